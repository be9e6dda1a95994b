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

namespace foilcad {

// A right-justified 8-character number field: one decimal, ties to the even
// tenth, no minus sign on a value that rounds to zero, and "********" for a
// value that does not fit (or is not finite).
using NumberField = std::array<char, 8>;
NumberField format_number_field(double value);

// Which side faces to write, in the order the caller fills them.
struct SideFlags {
  bool plus_y = false;
  bool minus_y = false;
  bool plus_x = false;
  bool minus_x = false;
};

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
