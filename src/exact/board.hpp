// The board the copper is cut to: the outline layer's area less its
// cut-outs, or else the drawing's frame, or else the extent given.
#pragma once

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

// Strictly simple contours in units, outer ones counterclockwise and
// cut-outs clockwise; none when the board has no area. Throws
// foilcad::Error when the board reaches beyond the range of the units.
ClipperLib::Paths trace_board(const Drawing& drawing, const ExactOptions& options);

}  // namespace foilcad::exact
