// Integer coordinates for Clipper: 2^14 units a millimetre (about 61 nm).
// Every coordinate below 1024 mm is then exactly a 32-bit float as well as a
// double, so a mesh made of them keeps every vertex (and so stays closed)
// when it is written as binary STL.
//
// The exact model is the only part of foilcad that knows Clipper; nothing
// outside src/exact includes this header.
#pragma once

#include <clipper.hpp>
#include <span>

#include "common/box.hpp"

namespace foilcad::exact {

inline constexpr double kUnitsPerMm = 16384.0;

// A box in units. Its bounds are vertices' coordinates, never computed
// between them, so every comparison of boxes is exact.
using UnitBox = BasicBox<ClipperLib::cInt>;

// Contours as the booleans read them: a whole Paths or a run of one.
using PathSpan = std::span<const ClipperLib::Path>;

inline UnitBox box_of(const ClipperLib::Path& path) {
  UnitBox box = UnitBox::nothing();
  for (const ClipperLib::IntPoint& p : path) box.add(p.X, p.Y);
  return box;
}

inline UnitBox box_of(PathSpan paths) {
  UnitBox box = UnitBox::nothing();
  for (const ClipperLib::Path& path : paths) box.add(box_of(path));
  return box;
}

// The box as a counterclockwise contour.
inline ClipperLib::Path box_path(const UnitBox& b) {
  return {{b.min_x, b.min_y}, {b.max_x, b.min_y}, {b.max_x, b.max_y}, {b.min_x, b.max_y}};
}

}  // namespace foilcad::exact
