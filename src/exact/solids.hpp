// Extrusion of the copper and the board into the two meshes, and the checks
// every mesh of this model passes.
#pragma once

#include <cstddef>
#include <string>

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

// The conductor is copper, the insulator board less copper, both from z1 to
// z2; each insulator wall is made of exactly the conductor's wall vertices.
ExactSolids extrude_solids(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                           double z1, double z2);

}  // namespace foilcad::exact
