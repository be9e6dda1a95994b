// The photoplot reader: the line-oriented subset of RS-274X (Gerber) that a
// board layout tool writes for one copper layer.
//
// One statement per record, its code in column 1; the coordinates of an
// operation and its code on one line ("X...Y...D01*"); aperture definitions
// with three-digit codes at fixed columns. Lengths are inches unless the file
// switches to millimetres with "%MOMM". Records that match no rule are skipped.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

#include "photoplot/plot_state.hpp"

namespace foilcad {

// What a photoplot leaves for the board geometry.
struct Photoplot {
  std::vector<Rectangle> rectangles;  // one per stroke or flash, in file order
  CoordinateExtremes extremes;
  std::size_t records = 0;  // records read, up to "M02" or the end of the file
};

// p(d): 0.1 in single precision raised to the power d, with the roundings the
// scale factors of existing files depend on. d is 0 to 9.
double power_factor(int d);

// Reads the photoplot file. Throws foilcad::Error naming the file (and the
// line and its text for a field that cannot be read); nothing is written.
Photoplot read_photoplot(const std::filesystem::path& input_path);

// The same over text already in memory; name is used in messages only.
Photoplot read_photoplot_text(std::string_view text, const std::filesystem::path& name);

}  // namespace foilcad
