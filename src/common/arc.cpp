#include "common/arc.hpp"

#include <cmath>
#include <numbers>

namespace foilcad {

ArcSweep arc_sweep(Point start, Point end, Point centre, bool clockwise) {
  constexpr double kTurn = 2.0 * std::numbers::pi;
  ArcSweep arc;
  arc.start = std::atan2(start.y - centre.y, start.x - centre.x);
  arc.end = std::atan2(end.y - centre.y, end.x - centre.x);
  // A clockwise arc turns from its start the same way a counterclockwise one
  // turns from its end: the difference is taken the other way round.
  arc.sweep = clockwise ? arc.start - arc.end : arc.end - arc.start;
  if (start.x == end.x && start.y == end.y) {
    arc.sweep = kTurn;
  } else {
    while (arc.sweep <= 0.0) arc.sweep += kTurn;
  }
  return arc;
}

int chord_count(double sweep, double radius, double sagitta, double margin) {
  if (!(radius > sagitta) || !std::isfinite(radius)) return 1;
  const double step = 2.0 * std::acos(1.0 - sagitta / radius);
  const double chords = std::ceil(sweep / step * margin);
  if (!(chords > 1.0)) return 1;
  if (!(chords < kMaxChords)) return kMaxChords;
  return static_cast<int>(chords);
}

}  // namespace foilcad
