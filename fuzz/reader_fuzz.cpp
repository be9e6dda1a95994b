// The photoplot reader, and the rectangles the grid model makes of its
// drawing, on arbitrary bytes. A foilcad::Error is the expected
// answer to bad input, and its message must name the file and a line; any
// other exception, a crash, a sanitizer report or a hang is a finding.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "fuzz_check.hpp"
#include "photoplot/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const foilcad::Drawing drawing = foilcad::read_photoplot_text(text, "fuzz.gbr");
    const foilcad::DrawingBoxes plot = foilcad::make_boxes(drawing, foilcad::fuzz::read_limits());
    check(plot.first_active <= plot.rectangles.size() || !drawing.frame,
          "an outline with fewer than four rectangles");
    for (const auto& [first, second] : plot.clear_runs) {
      check(first <= second && second <= plot.rectangles.size(),
            "a clear polarity run outside the rectangles");
    }
    for (std::size_t r = 0; r < drawing.net_runs.size(); ++r) {
      const foilcad::Drawing::NetRun& run = drawing.net_runs[r];
      check(run.first_object < drawing.objects.size() &&
                (r == 0 || drawing.net_runs[r - 1].first_object < run.first_object),
            "a net run out of object order");
      check(std::size_t{run.first_net} + run.net_count <= drawing.run_nets.size(),
            "a net run beyond its list");
      for (const std::uint32_t net : drawing.nets_of(run.first_object)) {
        check(net < drawing.nets.size(), "a net beyond the names");
      }
    }
  } catch (const foilcad::Error& error) {
    const std::string message = error.what();
    check(message.starts_with("fuzz.gbr:"), "an input error that does not name the file");
  }
  return 0;
}
