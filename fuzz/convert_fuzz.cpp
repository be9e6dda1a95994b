// The whole conversion on small inputs: read, build the grid and the cell map,
// write both solids into memory, in every encoding, merged and not. The
// solids must have exactly the bytes, boxes and facets measured beforehand
// counts in advance, since the converter checks the free disk space against
// that count (and a binary header holds it).
//
// Inputs whose grid would be large are skipped rather than converted: the
// point is the logic, and a few hundred rectangles already make every kind of
// overlap. Output is capped by a sink that gives up past kOutputCap bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "fuzz_check.hpp"
#include "photoplot/reader.hpp"
#include "stl/solid_files.hpp"
#include "support/conversions.hpp"

namespace {

constexpr std::size_t kMaxRectangles = 200;
constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 12;
constexpr std::uint64_t kOutputCap = std::uint64_t{8} << 20;

struct OutputCapReached {};

// Counts bytes and keeps the start and the end of what it was given.
class CountingSink : public foilcad::ByteSink {
 public:
  void write(std::string_view bytes) override {
    total_ += bytes.size();
    if (total_ > kOutputCap) throw OutputCapReached{};
    if (head_.size() < 64) head_.append(bytes.substr(0, 64 - head_.size()));
    tail_.append(bytes);
    if (tail_.size() > 64) tail_.erase(0, tail_.size() - 64);
  }
  std::uint64_t total() const { return total_; }
  const std::string& head() const { return head_; }
  const std::string& tail() const { return tail_; }

 private:
  std::uint64_t total_ = 0;
  std::string head_;
  std::string tail_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Reading stops as soon as a file makes more rectangles than are converted.
  foilcad::BoxLimits limits = foilcad::fuzz::read_limits();
  limits.rectangles = kMaxRectangles;
  limits.region_rows = kMaxRectangles;
  foilcad::Drawing plot;
  try {
    plot = foilcad::read_photoplot_text(text, "fuzz.gbr");
    // The grid has at most two lines per rectangle and axis plus the extremes.
    if (foilcad::make_boxes(plot, limits).rectangles.size() > kMaxRectangles) return 0;
  } catch (const foilcad::Error&) {
    return 0;  // the reader target looks at these
  }

  foilcad::ConversionReport report;
  foilcad::Grid grid;
  try {
    grid = foilcad::grid_of(plot, report);
  } catch (const foilcad::Error&) {
    return 0;  // a photoplot without coordinates, or a grid too large for memory
  }
  const auto& lists = grid.lists;
  const auto& map = grid.map;
  check(lists.x.size() >= 2 && lists.y.size() >= 2, "a grid with fewer than two lines");
  check(map.columns == lists.x.size() - 1 && map.rows == lists.y.size() - 1,
        "a cell map that does not match its grid");
  check(map.flags.size() == map.columns * map.rows, "a cell map of the wrong size");
  check(report.cells == map.flags.size(), "a report with the wrong cell count");
  if (map.flags.size() > kMaxCells) return 0;

  const foilcad::SolidSizes expected = foilcad::measure_cells(map);
  check(foilcad::sizes_of(report) == expected, "a report whose solids differ from their measure");
  if (foilcad::total_bytes(expected) > kOutputCap) return 0;

  CountingSink conductor;
  CountingSink insulator;
  foilcad::SolidSizes written;
  try {
    written = foilcad::emit_layer(conductor, insulator, 0.0, 0.035, grid);
  } catch (const OutputCapReached&) {
    foilcad::fuzz::broken("more output than measured");
  }
  check(written == expected, "the solids were written with other counts than measured");
  check(conductor.total() == expected[0].bytes, "conductor bytes differ from the measure");
  check(insulator.total() == expected[1].bytes, "insulator bytes differ from the measure");
  check(conductor.head().starts_with(" solid "), "a conductor solid without its header");
  check(insulator.head().starts_with(" solid "), "an insulator solid without its header");
  check(conductor.tail().find("endsolid") != std::string::npos, "a conductor solid cut short");
  check(insulator.tail().find("endsolid") != std::string::npos, "an insulator solid cut short");

  // The other encodings, merged or not: the binary header and the disk
  // checks rely on their measures as much.
  using foilcad::StlFormat;
  for (const StlFormat format : {StlFormat::classic, StlFormat::ascii, StlFormat::binary}) {
    for (const bool merge : {false, true}) {
      if (format == StlFormat::classic && !merge) continue;
      const foilcad::StlOptions stl{format, merge};
      const foilcad::SolidSizes measured =
          foilcad::measure_grid_solids(stl, grid, foilcad::grid_bodies(-0.5, 0.035));
      if (foilcad::total_bytes(measured) > kOutputCap) continue;
      CountingSink c;
      CountingSink i;
      const foilcad::SolidSizes made = foilcad::emit_layer(c, i, -0.5, 0.035, grid, stl);
      check(made == measured, "an encoding writes other counts than it measures");
      check(c.total() == measured[0].bytes && i.total() == measured[1].bytes,
            "an encoding writes other bytes than it measures");
    }
  }
  return 0;
}
