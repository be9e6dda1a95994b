// The copper of a drawing as polygons: every object's true outline, dark and
// clear applied in file order, clipped to the board.
#pragma once

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

struct CopperShape {
  // Both as a Clipper result (outer contours counterclockwise, holes
  // clockwise, strictly simple), in kUnitsPerMm; copper lies within board.
  ClipperLib::Paths copper;
  ClipperLib::Paths board;
};

CopperShape trace_copper(const Drawing& drawing, const ExactOptions& options);

}  // namespace foilcad::exact
