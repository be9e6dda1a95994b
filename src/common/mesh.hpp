// A triangle mesh: the faces of one closed solid. Standard library only.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace foilcad {

struct Vertex {
  double x;
  double y;
  double z;

  friend bool operator==(const Vertex&, const Vertex&) = default;
};

// A triangle that bounds its body against no other body: the top or bottom
// of the board, or its edge.
inline constexpr std::uint32_t kNoBody = std::numeric_limits<std::uint32_t>::max();

// Triangles index the vertices, counterclockwise seen from outside the solid,
// so that each normal (the cross product of the first two edges) points out.
struct Mesh {
  std::vector<Vertex> vertices;  // mm
  std::vector<std::array<std::uint32_t, 3>> triangles;
  // Per triangle, the body on its other side: an index into the list of
  // bodies the mesh is one of, or kNoBody. Empty when the model does not
  // say; the encoders do not read it.
  std::vector<std::uint32_t> across{};
};

}  // namespace foilcad
