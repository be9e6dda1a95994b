// The box facet writer: one axis-aligned box as triangular facets of an ASCII
// STL solid, every line ended by CR LF.
//
// Coordinates are millimetres, written in fixed-point notation with one
// decimal in 8-character fields. Top and bottom faces are always written; a
// side face only when its flag is set, so that sides two boxes of one solid
// share can be left out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "geometry/box_walk.hpp"

namespace foilcad {

// A right-justified 8-character number field: one decimal, ties to the even
// tenth, no minus sign on a value that rounds to zero, and "********" for a
// value that does not fit (or is not finite).
using NumberField = std::array<char, 8>;
NumberField format_number_field(double value);

// The six faces of a box in the order every format writes them (top, bottom,
// +y, -y, +x, -x), each as two facets that start at the same corner, and
// their vertices as bounds: with x1 <= x2, y1 <= y2 and z1 <= z2 every facet
// runs counter-clockwise seen from outside, around its face's normal.
enum BoxBound : std::uint8_t { kX1, kX2, kY1, kY2, kZ1, kZ2 };
struct BoxFace {
  std::array<std::int8_t, 3> normal;
  std::array<std::array<BoxBound, 9>, 2> facets;
};
extern const std::array<BoxFace, 6> kBoxFaces;

// Whether face f (0 to 5) of a box with these sides is written: top and
// bottom always, a side face when asked for.
inline bool face_written(int f, SideFlags sides) {
  switch (f) {
    case 2:
      return sides.plus_y;
    case 3:
      return sides.minus_y;
    case 4:
      return sides.plus_x;
    case 5:
      return sides.minus_x;
    default:
      return true;
  }
}

// Facets of a box: four for top and bottom, two for each side asked for.
inline std::uint64_t box_facets(SideFlags sides) {
  return 4u + 2u * (unsigned{sides.plus_y} + unsigned{sides.minus_y} + unsigned{sides.plus_x} +
                    unsigned{sides.minus_x});
}

// The six bounds of a box, already formatted. A grid has only a few distinct
// values, so callers format each once and reuse the fields for every box.
struct BoxFields {
  NumberField x1, x2, y1, y2, z1, z2;
};

// Bytes of one box: the four top and bottom facets plus two facets for every
// side asked for. kMaxBoxBytes bounds every box.
std::size_t box_bytes(SideFlags sides);
inline constexpr std::size_t kMaxBoxBytes = 2322;

// Writes the facets of one box at out, which must have room for kMaxBoxBytes,
// and returns the end of what it wrote. The caller gives x1 <= x2, y1 <= y2 and
// z1 <= z2; with them every facet runs counter-clockwise seen from outside.
char* cube(char* out, const BoxFields& box, SideFlags sides);

// The same for unformatted bounds, appended to out.
void cube(std::string& out, double x1, double x2, double y1, double y2, double z1, double z2,
          SideFlags sides);

}  // namespace foilcad
