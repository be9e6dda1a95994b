// Turning points by an angle in degrees, as apertures and macro primitives
// are turned. Both models place shapes with exactly this arithmetic.
#pragma once

#include <cmath>
#include <numbers>

#include "common/box.hpp"

namespace foilcad {

// cos and sin of an angle in degrees, exact for multiples of 90 degrees so
// that quarter turns of axis-aligned shapes stay exactly axis-aligned.
inline Point direction(double degrees) {
  double turn = std::fmod(degrees, 360.0);
  if (turn < 0.0) turn += 360.0;
  if (turn == 0.0 || turn == 360.0) return {1.0, 0.0};
  if (turn == 90.0) return {0.0, 1.0};
  if (turn == 180.0) return {-1.0, 0.0};
  if (turn == 270.0) return {0.0, -1.0};
  const double radians = turn * (std::numbers::pi / 180.0);
  return {std::cos(radians), std::sin(radians)};
}

// p turned about the origin by the direction dir (from direction()).
inline Point rotate(Point p, Point dir) {
  return {dir.x * p.x - dir.y * p.y, dir.y * p.x + dir.x * p.y};
}

}  // namespace foilcad
