// The plain value types every stage shares: a point and an axis-aligned box,
// in millimetres. Standard library only, so that any folder may include it.
#pragma once

namespace foilcad {

struct Point {
  double x;
  double y;

  friend bool operator==(const Point&, const Point&) = default;
};

// An axis-aligned box, stored in this order: smallest x, largest x, smallest
// y, largest y. The grid's splitting and its cell map compare these four
// values in this order, so the output depends on it. A box made from objects
// has min <= max on both axes; an "empty" box (such as the extremes before
// any coordinate) stands with its smallest above its largest.
struct Box {
  double min_x;
  double max_x;
  double min_y;
  double max_y;

  friend bool operator==(const Box&, const Box&) = default;
};

}  // namespace foilcad
