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

}  // namespace foilcad
