// The holes of the drill files as the exact model cuts them: each hole's
// wall, a circle within the tolerance or a slot as a stadium, drilled out of
// the board; and around a plated hole a ring of copper as thick as the
// plating, the barrel's cut through this layer.
#pragma once

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"
#include "exact/pieces.hpp"

namespace foilcad::exact {

// Every hole of options.holes as a dark piece of one counterclockwise
// contour in units, in the holes' order; holes without a diameter make none.
// Drilled out of the board tile by tile (unite_tiles over a negative image of
// the board), they leave it with a contour of its own around each hole or
// group of overlapping holes. `traced` is the vertices the copper's pieces
// already have: both count against options.limits. Throws foilcad::Error
// naming the drill file and the line of the hole that crosses a limit or the
// range the model computes in.
Pieces trace_holes(const ExactOptions& options, std::size_t traced);

// Adds a piece for every plated hole: the hole widened by options.plating on
// every side, drawn after all the artwork so that it joins the copper it
// meets and stands where the artwork cleared the copper. Cut by the holes'
// walls (the board has none there) it is the ring. negative: the image's
// polarity, in which copper is drawn clear.
void add_plated_rings(const ExactOptions& options, bool negative, Pieces& pieces);

}  // namespace foilcad::exact
