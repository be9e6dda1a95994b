// The exact model's extrusion: the contours of copper and board triangulated
// as one plane whose faces carry the label of their region, and each region
// extruded into the closed mesh of its body. The stages (labelling.cpp,
// walls.cpp, meshes.cpp over the types of plane.hpp) stay behind this
// header, which knows neither them nor CGAL.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"
#include "exact/nets.hpp"

namespace foilcad::exact {

// Boards with at least this many contour points are triangulated in two
// halves side by side (on one core too: the solids of a board do not depend
// on the machine); smaller ones whole, where two threads gain nothing.
inline constexpr std::size_t kHalvesFrom = 1000;

// The conductor and then the insulator, both from z1 to z2: the conductor
// where the copper's winding number is not zero inside the board, the
// insulator in the rest of the board. Where two bodies meet, their walls are
// the same triangles, reversed; each triangle names the body across it
// (Mesh::across). halves_from: see kHalvesFrom (0 always cuts a board with
// area in two).
// With parts, each connected part of the conductor is a body of its own, or
// one body with the other parts of its net (see name_parts), and the
// insulator comes last.
struct NetParts {
  std::span<const NetProbe> probes;
  const std::vector<std::string>& names;  // of the nets the probes name
};
ExactSolids extrude_solids(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                           double z1, double z2, std::size_t halves_from = kHalvesFrom,
                           const NetParts* parts = nullptr);

}  // namespace foilcad::exact
