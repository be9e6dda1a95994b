// The copper of a drawing as polygons: every object's true shape, dark and
// clear applied in file order, cut to the board. The stages: the board
// (board.hpp), the objects traced into pieces (pieces.hpp), the holes
// drilled out of the board and their plating added (holes.hpp), the pieces
// applied tile by tile (tiles.hpp, tile.hpp), the contours cleaned
// (cleaning.hpp).
#pragma once

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"
#include "exact/nets.hpp"

namespace foilcad::exact {

struct CopperShape {
  // Both as contours in units (kUnitsPerMm): outer ones counterclockwise,
  // holes clockwise, none passing one place twice; copper lies within board.
  ClipperLib::Paths copper;
  ClipperLib::Paths board;
  // With options.nets: where the objects that name nets add copper.
  std::vector<NetProbe> probes;
};

CopperShape trace_copper(const Drawing& drawing, const ExactOptions& options);

}  // namespace foilcad::exact
