// Extrusion of the copper and the board into the two meshes, and the checks
// every mesh of this model passes.
#pragma once

#include <cstddef>
#include <string>

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

// Boards with at least this many contour points are triangulated in two
// halves side by side (on one core too: the solids of a board do not depend
// on the machine); smaller ones whole, where two threads gain nothing.
inline constexpr std::size_t kHalvesFrom = 1000;

// The conductor is copper, the insulator board less copper, both from z1 to
// z2; each insulator wall is made of exactly the conductor's wall vertices.
// halves_from: see kHalvesFrom (0 always cuts a board with area in two).
ExactSolids extrude_solids(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                           double z1, double z2, std::size_t halves_from = kHalvesFrom);

}  // namespace foilcad::exact
