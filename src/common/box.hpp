// The plain value types every stage shares: a point and an axis-aligned box.
// Standard library only, so that any folder may include it.
#pragma once

#include <algorithm>
#include <limits>

namespace foilcad {

struct Point {
  double x;
  double y;

  friend bool operator==(const Point&, const Point&) = default;
};

// An axis-aligned box, stored in this order: smallest x, largest x, smallest
// y, largest y. The grid's splitting and its cell map compare these four
// values in this order, so the output depends on it. A box made from objects
// has min <= max on both axes; an empty box stands with its smallest above
// its largest. The grid and the photoplot count in millimetres (Box); the
// exact model in whole units of its own (BasicBox of an integer type).
template <class T>
struct BasicBox {
  T min_x;
  T max_x;
  T min_y;
  T max_y;

  // The box of nothing: adding a point makes it the box of that point, and
  // it meets no box.
  static constexpr BasicBox nothing() {
    if constexpr (std::numeric_limits<T>::has_infinity) {
      constexpr T kFar = std::numeric_limits<T>::infinity();
      return {kFar, -kFar, kFar, -kFar};
    } else {
      return {std::numeric_limits<T>::max(), std::numeric_limits<T>::min(),
              std::numeric_limits<T>::max(), std::numeric_limits<T>::min()};
    }
  }

  // False for a NaN bound too: such a box holds nothing.
  constexpr bool empty() const { return !(min_x <= max_x && min_y <= max_y); }

  // Grows the box to hold (x, y). std::min and std::max keep the box's own
  // value on a tie, so adding a value equal to a bound changes no bit.
  constexpr void add(T x, T y) {
    min_x = std::min(min_x, x);
    max_x = std::max(max_x, x);
    min_y = std::min(min_y, y);
    max_y = std::max(max_y, y);
  }

  // Grows the box to hold other; an empty other adds nothing.
  constexpr void add(const BasicBox& other) {
    if (other.empty()) return;
    add(other.min_x, other.min_y);
    add(other.max_x, other.max_y);
  }

  // Whether the two boxes share a point (touching counts).
  constexpr bool intersects(const BasicBox& other) const {
    return min_x <= other.max_x && other.min_x <= max_x && min_y <= other.max_y &&
           other.min_y <= max_y;
  }

  // Whether other lies within this box (its border included).
  constexpr bool contains(const BasicBox& other) const {
    return other.min_x >= min_x && other.max_x <= max_x && other.min_y >= min_y &&
           other.max_y <= max_y;
  }

  // The part both boxes cover; empty when they do not meet.
  constexpr BasicBox intersection(const BasicBox& other) const {
    return {std::max(min_x, other.min_x), std::min(max_x, other.max_x),
            std::max(min_y, other.min_y), std::min(max_y, other.max_y)};
  }

  constexpr T width() const { return max_x - min_x; }
  constexpr T height() const { return max_y - min_y; }

  friend bool operator==(const BasicBox&, const BasicBox&) = default;
};

// The smallest box that holds both.
template <class T>
constexpr BasicBox<T> hull(BasicBox<T> a, const BasicBox<T>& b) {
  a.add(b);
  return a;
}

using Box = BasicBox<double>;

inline void add(Box& box, Point p) { box.add(p.x, p.y); }

}  // namespace foilcad
