// The drill reader on arbitrary bytes, with and without a board to guess the
// format against (the first byte chooses). A foilcad::Error naming the file
// and a line is the expected answer to bad input; holes that break the
// reader's limits, any other exception, a crash, a sanitizer report or a hang
// is a finding.
#include <cmath>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "drill/drill.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  foilcad::DrillOptions options;
  if (size > 0 && data[0] % 2 == 1) options.board = foilcad::Box{-10, 60, -5, 40};
  try {
    const foilcad::DrillFile file = foilcad::read_drill_text(text, "fuzz.drl", options);
    check(file.holes.size() <= foilcad::kMaxDrillHoles, "more holes than the limit");
    for (const foilcad::Hole& h : file.holes) {
      check(std::fabs(h.from.x) <= foilcad::kMaxDrillCoordinate &&
                std::fabs(h.from.y) <= foilcad::kMaxDrillCoordinate &&
                std::fabs(h.to.x) <= foilcad::kMaxDrillCoordinate &&
                std::fabs(h.to.y) <= foilcad::kMaxDrillCoordinate,
            "a hole out of range or not a number");
      check(h.diameter > 0 && h.diameter <= foilcad::kMaxToolDiameter,
            "a hole without a size, or too large");
      check(h.line >= 1 && h.line <= file.lines, "a hole without its line");
    }
  } catch (const foilcad::Error& error) {
    const std::string message = error.what();
    check(message.starts_with("fuzz.drl:"), "an input error that does not name the file");
  }
  return 0;
}
