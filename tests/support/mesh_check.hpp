// Checks that the meshes of the exact model are what a mesher accepts. Each
// returns a sentence about the first problem found, or nothing.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/body.hpp"
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

// The bodies meet in interfaces: where the walls of two bodies touch, they
// are made of the same triangles, reversed. With those pairs taken out, what
// is left of all meshes must still be one closed oriented surface (the
// board's); a wall that met another body's wall with other vertices, or at a
// gap, leaves edges unpaired.
std::optional<std::string> check_interfaces(std::span<const MeshBody> bodies);

// Each mesh names the body across each of its triangles (Mesh::across): a
// triangle that names body B is, reversed, a triangle of B's mesh; one that
// names kNoBody is the board's top, bottom or edge, which no other body has.
std::optional<std::string> check_across(std::span<const MeshBody> bodies);

// All of the above for every body (except float exactness): each closed,
// oriented, within its slab and of positive volume, the interfaces and the
// bodies across right, the conductors' volume the copper area times the
// thickness and all volumes together the board's area times the thickness
// (relative error at most 1e-6 of the board's).
std::optional<std::string> check_solids(const ExactSolids& solids, double z1, double z2);

}  // namespace foilcad::exact
