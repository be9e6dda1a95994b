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

// The most chords any arc is followed by: the largest circle the exact model
// computes in (65 m across) stands off its 65,536 chords by 0.08 um, within
// the finest tolerance it accepts (0.1 um). More would only cost time and
// memory.
inline constexpr int kMaxChords = 65536;

// How many chords follow an arc of `sweep` radians on a circle of `radius`
// so that none stands off the arc by more than `sagitta` (a chord spanning
// the angle a stands off by radius (1 - cos(a / 2))), times `margin` for
// callers that move the vertices off the circle. One where a single chord
// already lies within the sagitta, or where the radius or the sweep is no
// finite number; at most kMaxChords.
int chord_count(double sweep, double radius, double sagitta, double margin = 1.0);

}  // namespace foilcad
