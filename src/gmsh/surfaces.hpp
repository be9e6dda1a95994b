// The bodies of a conversion as gmsh takes them to fill every body with
// tetrahedra in one run: each connected piece of a body a volume, bounded by
// surfaces that the volumes on both sides of a wall share, with every place
// one node. Standard library only.
//
// Loaded as separate STL solids, the meshes of two bodies each bring their
// own copy of the walls between them, and the tetrahedra on the two sides
// share no node: to a solver, a crack that no current crosses. Here a wall
// is one surface, written once and named by both volumes' loops, and the
// nodes are found by their exact coordinates (the meshes make the walls of
// both sides from the same doubles), never within a tolerance.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/body.hpp"
#include "common/mesh.hpp"

namespace foilcad {

// What part of a volume's boundary a surface is: the board's top, its
// bottom, its edge (the outline, cut-outs and drilled holes), or a wall
// between two volumes.
enum class SurfaceKind : std::uint8_t { top, bottom, edge, wall };

struct GmshSurface {
  SurfaceKind kind = SurfaceKind::top;
  // The volume the triangles face out of, and for a wall the volume they
  // face into (otherwise kNoBody). Indices into GmshSurfaces::volumes.
  std::uint32_t volume = 0;
  std::uint32_t across = kNoBody;
  // Its triangles: GmshSurfaces::triangles from first_triangle onwards,
  // triangle_count of them.
  std::uint32_t first_triangle = 0;
  std::uint32_t triangle_count = 0;
  // The nodes this surface is the first to use: nodes[first_node] onwards,
  // node_count of them (gmsh files each node under one surface).
  std::uint32_t first_node = 0;
  std::uint32_t node_count = 0;
  // The box of its triangles' vertices, mm.
  Vertex low{0, 0, 0};
  Vertex high{0, 0, 0};
};

// A connected piece of one body (its triangles joined over shared edges;
// pieces that touch at a single vertex stay apart, and so do the parts on
// either side of an edge where the body touches itself, since gmsh fills a
// volume as one region) and the surfaces that bound it, indices into
// GmshSurfaces::surfaces in increasing order.
struct GmshVolume {
  std::uint32_t body = 0;
  std::vector<std::uint32_t> surfaces;
};

struct GmshSurfaces {
  // Every place a vertex of a body lies at, once, in the order the
  // surfaces first use them.
  std::vector<Vertex> nodes;
  // The surfaces' triangles, surface after surface, as indices into nodes,
  // counterclockwise seen from outside the surface's volume.
  std::vector<std::array<std::uint32_t, 3>> triangles;
  // By volume: a volume's own top, bottom and edge (those it has), then the
  // walls it shares with volumes after it in this list. Each wall is the
  // triangles of the volume that comes first.
  std::vector<GmshSurface> surfaces;
  // By body, and within a body by its first triangle.
  std::vector<GmshVolume> volumes;
};

// The surfaces of the bodies (closed meshes whose triangles name the body
// across them, Mesh::across; walls between two bodies the same triangles,
// reversed, in both). Throws foilcad::Error when a wall has no twin in the
// body it names, or the bodies hold more triangles or places than 32-bit
// indices count: a fault of the model, since no file can then be right.
GmshSurfaces make_gmsh_surfaces(std::span<const MeshBody> bodies);

}  // namespace foilcad
