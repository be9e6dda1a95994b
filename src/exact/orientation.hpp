// Clipper 6 now and then returns a contour turned the wrong way: where
// horizontal edges of its input lie on one line (pads of one size in a row,
// a unit apart), an outer contour may come out clockwise like a hole. Under
// the nonzero rule that contour then cancels the copper it lies on, or fills
// the holes inside it. Every boolean of the exact model runs through
// execute_oriented (or, for offsets, passes its result to orient_by_nesting).
#pragma once

#include "exact/clipper_units.hpp"

namespace foilcad::exact {

// Turns each contour of a boolean's result (contours that do not cross) by
// how many of the others enclose it: outer contours, enclosed an even
// number of times, counterclockwise; holes clockwise. Returns how many were
// turned.
std::size_t orient_by_nesting(ClipperLib::Paths& paths);

// The clipper's boolean of its paths, filled by `fill` on both sides, with
// its contours turned by their nesting.
ClipperLib::Paths execute_oriented(ClipperLib::Clipper& clipper, ClipperLib::ClipType type,
                                   ClipperLib::PolyFillType fill = ClipperLib::pftNonZero);

}  // namespace foilcad::exact
