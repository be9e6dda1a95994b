// Checks that the meshes of the exact model are what a mesher accepts. Each
// returns a sentence about the first problem found, or nothing.
#pragma once

#include <optional>
#include <string>

#include "common/mesh.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

// Every index names a vertex, no two vertices are at the same place, and
// every edge is in exactly two triangles that run along it in opposite
// directions (the surface is closed and consistently oriented). A vertical
// edge where the solid touches itself (a pinch) may be in 2k triangles, k
// each way.
std::optional<std::string> check_closed(const Mesh& mesh);

// No triangle has its three corners on one line (or two at one place).
std::optional<std::string> check_nondegenerate(const Mesh& mesh);

// Every x and y survives the trip through a 32-bit float (binary STL), so
// that vertices stay apart there. (Each height is one value for the whole
// solid, whatever it rounds to.)
std::optional<std::string> check_float_exact(const Mesh& mesh);

// The volume enclosed, positive when the normals point outward; mm³.
double signed_volume(const Mesh& mesh);

// The two solids meet in one interface: where a conductor wall and an
// insulator wall touch, they are made of the same triangles, reversed. With
// those pairs taken out, what is left of both meshes must still be one closed
// oriented surface (the board's); a wall that met the other solid's wall with
// other vertices, or at a gap, leaves edges unpaired.
std::optional<std::string> check_interface(const Mesh& conductor, const Mesh& insulator);

// All of the above for both solids, their volumes positive, the conductor's
// volume the copper area times the thickness and both together the board's
// area times the thickness (relative error at most 1e-6 of the board's).
std::optional<std::string> check_solids(const ExactSolids& solids, double z1, double z2);

}  // namespace foilcad::exact
