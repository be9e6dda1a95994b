// A triangle mesh: the faces of one closed solid. Standard library only.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace foilcad {

struct Vertex {
  double x;
  double y;
  double z;

  friend bool operator==(const Vertex&, const Vertex&) = default;
};

// Triangles index the vertices, counterclockwise seen from outside the solid,
// so that each normal (the cross product of the first two edges) points out.
struct Mesh {
  std::vector<Vertex> vertices;  // mm
  std::vector<std::array<std::uint32_t, 3>> triangles;
};

}  // namespace foilcad
