// The booleans the exact model is made of, as plain functions over contours:
// each sets up a Clipper, executes it and turns the result's contours by
// their nesting (execute_oriented), so that no caller sets up the engine.
// Subject and clip are filled by the same rule, nonzero unless one is given;
// results have outer contours counterclockwise and holes clockwise.
#pragma once

#include "exact/clipper_units.hpp"

namespace foilcad::exact {

// Whether a contour of a result may pass one place twice. Separated, none
// does (contours may still meet each other at a vertex): Clipper makes a
// result so (strictly simple) in time that grows with the square of a
// contour's length, so that is done only where needed, and contours longer
// than a few thousand vertices are split at their shared vertices instead.
enum class Touching {
  allowed,    // the plain result
  separated,  // the plain result, separated where two vertices share a place
  never,      // separated, and strictly simple from the start where Clipper is quick at it
};

ClipperLib::Paths boolean(ClipperLib::ClipType type, PathSpan subject, PathSpan clip,
                          ClipperLib::PolyFillType fill = ClipperLib::pftNonZero,
                          Touching touching = Touching::allowed);

inline ClipperLib::Paths unite(PathSpan subject,
                               ClipperLib::PolyFillType fill = ClipperLib::pftNonZero,
                               Touching touching = Touching::allowed) {
  return boolean(ClipperLib::ctUnion, subject, {}, fill, touching);
}

inline ClipperLib::Paths subtract(PathSpan subject, PathSpan clip) {
  return boolean(ClipperLib::ctDifference, subject, clip);
}

inline ClipperLib::Paths intersect(PathSpan subject, PathSpan clip,
                                   ClipperLib::PolyFillType fill = ClipperLib::pftNonZero) {
  return boolean(ClipperLib::ctIntersection, subject, clip, fill);
}

// Whether two vertices of the contours lie in one place.
bool shares_vertices(const ClipperLib::Paths& paths);

}  // namespace foilcad::exact
