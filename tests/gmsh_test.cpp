// gmsh meshes every body of a conversion in one run from the files of
// --gmsh, and the tetrahedra of two bodies share the nodes of every wall
// between them: read back, no face lies between tetrahedra of two bodies
// unless it is a wall, none is a face of one tetrahedron unless it is the
// board's top, bottom or edge, no two nodes lie at one place, and each body
// is filled to its volume. Built and run only where gmsh is installed.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace foilcad {
namespace {

using namespace test_support;

// A gmsh mesh in the 2.2 text format: physical names by dimension and tag,
// nodes, and the triangles and tetrahedra with their physical tag.
struct GmshMesh {
  std::map<std::pair<int, int>, std::string> names;
  std::map<long, std::array<double, 3>> nodes;
  std::vector<std::pair<int, std::array<long, 3>>> triangles;
  std::vector<std::pair<int, std::array<long, 4>>> tetrahedra;
};

GmshMesh read_msh(const std::string& text) {
  GmshMesh mesh;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    std::size_t n = 0;
    if (word == "$PhysicalNames") {
      in >> n;
      for (std::size_t i = 0; i < n; ++i) {
        int dimension = 0, tag = 0;
        std::string name;
        in >> dimension >> tag >> std::ws;
        std::getline(in, name);
        mesh.names[{dimension, tag}] = name.substr(1, name.size() - 2);  // unquoted
      }
    } else if (word == "$Nodes") {
      in >> n;
      for (std::size_t i = 0; i < n; ++i) {
        long id = 0;
        std::array<double, 3> p{};
        in >> id >> p[0] >> p[1] >> p[2];
        mesh.nodes[id] = p;
      }
    } else if (word == "$Elements") {
      in >> n;
      for (std::size_t e = 0; e < n; ++e) {
        long id = 0;
        int type = 0, tags = 0, physical = 0, tag = 0;
        in >> id >> type >> tags >> physical;
        for (int t = 1; t < tags; ++t) in >> tag;
        if (type == 2) {
          std::array<long, 3> v{};
          in >> v[0] >> v[1] >> v[2];
          mesh.triangles.push_back({physical, v});
        } else if (type == 4) {
          std::array<long, 4> v{};
          in >> v[0] >> v[1] >> v[2] >> v[3];
          mesh.tetrahedra.push_back({physical, v});
        } else {
          std::string rest;
          std::getline(in, rest);
        }
      }
    }
  }
  return mesh;
}

double tetrahedron_volume(const GmshMesh& mesh, const std::array<long, 4>& v) {
  const auto& a = mesh.nodes.at(v[0]);
  double d[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) d[r][c] = mesh.nodes.at(v[r + 1])[c] - a[c];
  }
  return std::fabs(d[0][0] * (d[1][1] * d[2][2] - d[1][2] * d[2][1]) -
                   d[0][1] * (d[1][0] * d[2][2] - d[1][2] * d[2][0]) +
                   d[0][2] * (d[1][0] * d[2][1] - d[1][1] * d[2][0])) /
         6;
}

std::array<long, 3> sorted(std::array<long, 3> face) {
  std::sort(face.begin(), face.end());
  return face;
}

struct Board {
  const char* name;
  std::string input;
  std::string options;
};

TEST(Gmsh, MeshesEveryBodyWithSharedNodesOnEveryWall) {
  if (std::system("gmsh --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "gmsh not installed";
  constexpr double kThickness = 0.035;
  const std::string examples = FOILCAD_EXAMPLES;
  const Board boards[] = {
      {"board", examples + "/board.gbr", ""},
      {"board", examples + "/board.gbr", "--drill '" + examples + "/board.drl'"},
      {"ring_in_clearance", std::string(FOILCAD_TEST_DATA) + "/gmsh/ring_in_clearance.gbr", ""},
      // The insulator touches itself along two edges, between pads that meet
      // at a corner: each side is a volume of its own.
      {"kicad6-custom-pad-macros",
       std::string(FOILCAD_TEST_DATA) + "/excerpts/kicad6-custom-pad-macros.gbr", ""},
      // Fifteen bodies named after their nets, one of them GND.
      {"ecc83-pp_v2-x2", std::string(FOILCAD_TEST_DATA) + "/nets/ecc83-pp_v2-x2.gbr", ""},
  };
  for (const Board& board : boards) {
    SCOPED_TRACE(board.input + " " + board.options);
    ScratchDir dir;
    const std::string convert = "cd '" + dir.path().string() +
                                "' && '" FOILCAD_CONVERT_EXE "' -q --geometry exact --thickness " +
                                std::to_string(kThickness) + " --gmsh --json s.json " +
                                board.options + " --out-dir out '" + board.input + "' 2>err";
    ASSERT_EQ(std::system(convert.c_str()), 0) << read_file(dir / "err");
    // From another folder: the .geo finds the surfaces beside it.
    const std::string mesh_command = "cd '" + dir.path().string() + "' && gmsh -3 -nt 1 out/" +
                                     board.name + ".geo -format msh2 -o mesh.msh >log 2>&1";
    ASSERT_EQ(std::system(mesh_command.c_str()), 0) << read_file(dir / "log");
    const GmshMesh mesh = read_msh(read_file(dir / "mesh.msh"));
    const auto summary = nlohmann::json::parse(read_file(dir / "s.json"));

    // A volume group per body, named after it; the surface groups top,
    // bottom, edge and each conductor's walls.
    std::map<std::string, double> body_volume;
    std::set<std::string> expected_surfaces{"top", "bottom", "edge"};
    for (const auto& body : summary["bodies"]) {
      body_volume[body["name"]] = body["volume_mm3"];
      if (body["kind"] == "conductor") {
        expected_surfaces.insert(body["name"].get<std::string>() + "_walls");
      }
    }
    std::map<int, std::string> volume_names;
    std::set<std::string> volume_groups, surface_groups;
    std::set<int> wall_groups;
    for (const auto& [key, name] : mesh.names) {
      if (key.first == 3) {
        volume_names[key.second] = name;
        volume_groups.insert(name);
      } else {
        surface_groups.insert(name);
        if (name.ends_with("_walls")) wall_groups.insert(key.second);
      }
    }
    std::set<std::string> bodies;
    for (const auto& [name, v] : body_volume) bodies.insert(name);
    EXPECT_EQ(volume_groups, bodies);
    EXPECT_EQ(surface_groups, expected_surfaces);
    if (std::string(board.name) == "ecc83-pp_v2-x2") {
      EXPECT_TRUE(bodies.contains("GND"));
    }

    // One node a place.
    std::set<std::array<double, 3>> places;
    for (const auto& [id, p] : mesh.nodes) places.insert(p);
    EXPECT_EQ(places.size(), mesh.nodes.size());

    // Each face of a tetrahedron with the bodies on its sides.
    std::map<std::array<long, 3>, std::vector<int>> sides;
    std::map<int, double> volume;
    for (const auto& [body, v] : mesh.tetrahedra) {
      for (int skip = 0; skip < 4; ++skip) {
        std::array<long, 3> face{};
        for (int i = 0, k = 0; i < 4; ++i) {
          if (i != skip) face[k++] = v[i];
        }
        sides[sorted(face)].push_back(body);
      }
      volume[body] += tetrahedron_volume(mesh, v);
    }
    std::set<std::array<long, 3>> boundary, walls;
    for (const auto& [group, v] : mesh.triangles) {
      (wall_groups.contains(group) ? walls : boundary).insert(sorted(v));
    }
    std::size_t faces_alone = 0, faces_between = 0;
    for (const auto& [face, bodies] : sides) {
      ASSERT_LE(bodies.size(), 2u);
      if (bodies.size() == 1) {
        ++faces_alone;
        EXPECT_TRUE(boundary.contains(face)) << "a face of one tetrahedron inside the board";
      } else if (bodies[0] != bodies[1]) {
        ++faces_between;
        EXPECT_TRUE(walls.contains(face)) << "tetrahedra of two bodies meet off the walls";
      }
    }
    EXPECT_EQ(faces_alone, boundary.size());
    EXPECT_EQ(faces_between, walls.size());
    EXPECT_GT(walls.size(), 0u);

    // Each body's tetrahedra fill its volume.
    for (const auto& [tag, v] : volume) {
      const double expected = body_volume.at(volume_names.at(tag));
      EXPECT_NEAR(v, expected, expected * 1e-6) << volume_names.at(tag);
    }
  }
}

}  // namespace
}  // namespace foilcad
