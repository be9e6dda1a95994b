// Integer coordinates for Clipper: 2^14 units a millimetre (about 61 nm).
// Every coordinate below 1024 mm is then exactly a 32-bit float as well as a
// double, so a mesh made of them keeps every vertex (and so stays closed)
// when it is written as binary STL.
#pragma once

#include <clipper.hpp>

namespace foilcad::exact {

inline constexpr double kUnitsPerMm = 16384.0;

}  // namespace foilcad::exact
