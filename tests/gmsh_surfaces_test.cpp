// The gmsh writer on what a conversion of the example never gives it: names
// that gmsh's quotes cannot hold, and walls without a twin.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error.hpp"
#include "gmsh/files.hpp"
#include "gmsh/surfaces.hpp"

namespace foilcad {
namespace {

TEST(GmshNames, QuotesHoldEveryName) {
  std::string accents = "a";
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";  // é, two bytes
  const struct {
    std::string name;
    std::string group;
  } rows[] = {
      {"GND", "GND"},
      {"Net-(R1-Pad2)/{x}~\\", "Net-(R1-Pad2)/{x}~\\"},
      {"a\"b", "a_b"},
      {"tab\tnew\nline\x7f", "tab_new_line_"},
      {"", "body"},
      // Cut to 200 bytes, back to the start of the character the cut fell in.
      {accents, accents.substr(0, 199)},
  };
  for (const auto& row : rows) EXPECT_EQ(gmsh_group_name(row.name), row.group) << row.name;
  // Names that come out alike are told apart.
  std::vector<MeshBody> bodies(3);
  bodies[0].body.name = "a\"b";
  bodies[1].body.name = "a_b";
  bodies[2].body.name = "a\nb";
  EXPECT_EQ(gmsh_group_names(bodies), (std::vector<std::string>{"a_b", "a_b_2", "a_b_3"}));
}

// Two unit cubes side by side, x from 0 to 1 and 1 to 2, meeting in the
// face x = 1: each body's own vertices, the shared face in both, split along
// the same diagonal.
std::vector<MeshBody> two_cubes() {
  std::vector<MeshBody> bodies(2);
  for (std::uint32_t b = 0; b < 2; ++b) {
    bodies[b].body = b == 0 ? conductor_body(0, 1) : insulator_body(0, 1);
    Mesh& m = bodies[b].mesh;
    const double x0 = b;
    for (int i = 0; i < 8; ++i)
      m.vertices.push_back({x0 + (i & 1), double(i >> 1 & 1), double(i >> 2)});
    // Corner i has x = i & 1, y = i >> 1 & 1, z = i >> 2; each face as two
    // triangles counterclockwise from outside.
    const std::uint32_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                       {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (int f = 0; f < 6; ++f) {
      const auto& q = faces[f];
      m.triangles.push_back({q[0], q[1], q[2]});
      m.triangles.push_back({q[0], q[2], q[3]});
      // Face 5 is x = 1 of the first cube, face 4 x = 1 of the second.
      const bool shared = (b == 0 && f == 5) || (b == 1 && f == 4);
      m.across.insert(m.across.end(), 2, shared ? 1 - b : kNoBody);
    }
  }
  return bodies;
}

TEST(GmshSurfaces, AWallOnceWithItsNodesAndNoneWithoutItsTwin) {
  std::vector<MeshBody> bodies = two_cubes();
  const GmshSurfaces s = make_gmsh_surfaces(bodies);
  ASSERT_EQ(s.volumes.size(), 2u);
  // Top, bottom and edge of each cube, and the wall once.
  EXPECT_EQ(s.surfaces.size(), 7u);
  EXPECT_EQ(s.nodes.size(), 12u);
  EXPECT_EQ(s.triangles.size(), 22u);
  EXPECT_EQ(s.volumes[0].surfaces.size(), 4u);
  EXPECT_EQ(s.volumes[1].surfaces.size(), 4u);

  // A wall whose twin runs the same way round, or is missing, is refused.
  bodies[1].mesh.triangles[8] = {0, 6, 4};
  EXPECT_THROW(make_gmsh_surfaces(bodies), Error);
  bodies = two_cubes();
  bodies[1].mesh.across[8] = bodies[1].mesh.across[9] = kNoBody;
  EXPECT_THROW(make_gmsh_surfaces(bodies), Error);
}

}  // namespace
}  // namespace foilcad
