// The photoplot reader: the line-oriented subset of RS-274X (Gerber) that a
// board layout tool writes for one copper layer.
//
// A record may hold several statements ("G54D11*X100Y200D02*"); an extended
// command runs from "%" to "%" and may span records (aperture macros do).
// Each statement is read as if it stood on a line of its own, by rules that
// look at its leading characters, so files written one statement per line
// with three-digit aperture codes at fixed columns read exactly as they
// always have. Lengths are inches unless the file says millimetres ("%MOMM",
// "G71"). Statements that match no rule are skipped; those whose meaning the
// converter does not draw are counted in warnings.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "photoplot/plot_state.hpp"

namespace foilcad {

// Things a file means that the converter does not draw as the file means them.
enum class WarningKind {
  incremental_coordinates,
  unsized_apertures,
  coordinates_without_operation,
  not_copper,
  no_outline,
  // Found once the cell map is known (build_board), not by the reader.
  no_copper,
};

// One line of a report for a kind: how often it occurred and where first.
struct Warning {
  WarningKind kind;
  std::size_t count = 0;
  std::size_t first_line = 0;
};

// A sentence that says what the converter did, for messages.
std::string_view describe(WarningKind kind);

// What a photoplot leaves for the board geometry.
struct Photoplot {
  std::vector<Box> rectangles;  // one per stroke or flash, in file order
  Box extremes = kNoExtremes;
  std::size_t records = 0;  // records read, up to "M02" or the end of the file
  std::vector<Warning> warnings;  // by the line each kind first occurred on
  // Index ranges [first, second) of rectangles drawn in clear polarity: they
  // remove copper that earlier rectangles made.
  std::vector<std::pair<std::size_t, std::size_t>> clear_runs;
  // The first four rectangles are a board outline (four strokes that close an
  // axis-parallel frame): they take no part in the geometry and the grid ends
  // at the coordinate extremes. Otherwise every rectangle is copper and the
  // grid ends at the rectangles' outer edges.
  bool outline = false;
  // The box of the outline's centre lines, when there is an outline.
  Box frame = kNoExtremes;
  // A negative image ("%IPNEG", or the attribute ".FilePolarity,Negative"):
  // the rectangles are where the copper is removed, and the copper is what
  // they leave of the outline's frame, or of their own extent without one.
  bool negative = false;
  ObjectCounts counts;
  // The units coordinates were read in: inches, millimetres, or both.
  bool inches_used = false;
  bool millimetres_used = false;

  // Where the first rectangle that counts as copper stands.
  std::size_t first_active() const { return outline ? 4 : 0; }
};

// p(d): 0.1 in single precision raised to the power d, with the roundings the
// scale factors of existing files depend on. d is 0 to 9.
double power_factor(int d);

// Bounds on what one file may make the reader do. A few hundred bytes of
// step and repeat around a region can ask for billions of rectangles; the
// largest boards met so far make about 150,000, and their grids already reach
// terabytes of solids. A file past a bound is refused at the line that
// crossed it.
struct ReadLimits {
  // Rectangles of the whole file: objects, step and repeat copies, region rows.
  std::size_t rectangles = 2'000'000;
  // Rows one region's slanted edges may be cut into (see RegionLimits).
  std::size_t region_rows = 100'000;
  // The sweep work of all regions together (see RegionLimits::edge_visits):
  // well under a second; real pours need a few hundred thousand.
  std::size_t region_edge_visits = 10'000'000;
};

// Reads the photoplot file. Throws foilcad::Error naming the file (and the
// line and its text for a field that cannot be read); nothing is written.
Photoplot read_photoplot(const std::filesystem::path& input_path, const ReadLimits& limits = {});

// The same over text already in memory; name is used in messages only.
Photoplot read_photoplot_text(std::string_view text, const std::filesystem::path& name,
                              const ReadLimits& limits = {});

}  // namespace foilcad
