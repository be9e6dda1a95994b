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
// converter does not draw are counted in warnings. What the file draws is
// handed over as a Drawing (photoplot/drawing.hpp).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "photoplot/drawing.hpp"

namespace foilcad {

// p(d): 0.1 in single precision raised to the power d, with the roundings the
// scale factors of existing files depend on. d is 0 to 9.
double power_factor(int d);

// Reads the photoplot file into its drawing. Throws foilcad::Error naming the
// file (and the line and its text for a field that cannot be read).
Drawing read_photoplot(const std::filesystem::path& input_path);

// The same over text already in memory; name is used in messages only.
Drawing read_photoplot_text(std::string_view text, const std::filesystem::path& name);

}  // namespace foilcad
