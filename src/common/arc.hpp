// Circular arcs as a photoplot draws them: from a start point to an end point
// around a centre, counterclockwise or clockwise.
#pragma once

#include "common/box.hpp"

namespace foilcad {

// The angles of an arc in radians: where it starts (the direction from the
// centre to the start point, as atan2 gives it) and how far it turns, in
// (0, 2 pi], in its own direction. An arc whose end points coincide is a full
// circle.
struct ArcSweep {
  double start;
  double end;  // the direction to the end point
  double sweep;
};

ArcSweep arc_sweep(Point start, Point end, Point centre, bool clockwise);

}  // namespace foilcad
