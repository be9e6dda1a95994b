#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "common/error.hpp"
#include "exact/solids.hpp"
#include "support/mesh_check.hpp"

namespace foilcad::exact {
namespace {

using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

ClipperLib::cInt units(double mm) {
  return static_cast<ClipperLib::cInt>(std::llround(mm * kUnitsPerMm));
}

// Counterclockwise (outer contour); reversed it is a hole.
Path rect(double x0, double y0, double x1, double y1) {
  return {{units(x0), units(y0)},
          {units(x1), units(y0)},
          {units(x1), units(y1)},
          {units(x0), units(y1)}};
}

Path reversed(Path p) {
  std::reverse(p.begin(), p.end());
  return p;
}

Paths clip(const Paths& subject, const Paths& clip, ClipperLib::ClipType type) {
  ClipperLib::Clipper clipper;
  clipper.StrictlySimple(true);
  clipper.AddPaths(subject, ClipperLib::ptSubject, true);
  if (!clip.empty()) clipper.AddPaths(clip, ClipperLib::ptClip, true);
  Paths out;
  clipper.Execute(type, out, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
  return out;
}

double area_mm2(const Paths& paths) {
  double a = 0;
  for (const auto& p : paths) a += ClipperLib::Area(p);
  return a / (kUnitsPerMm * kUnitsPerMm);
}

// The checks every result passes, and the walls the two solids share.
void expect_sound(const ExactSolids& s, double z1, double z2) {
  const auto problem = check_solids(s, z1, z2);
  EXPECT_FALSE(problem) << *problem;
  EXPECT_FALSE(check_float_exact(s.bodies[0].mesh));
  EXPECT_FALSE(check_float_exact(s.bodies[1].mesh));
}

constexpr double kZ1 = 0.5;
constexpr double kZ2 = 0.535;
constexpr double kT = kZ2 - kZ1;

TEST(ExactSolids, SquarePadInBoard) {
  const auto s = extrude_solids({rect(2, 2, 4, 4)}, {rect(0, 0, 10, 10)}, kZ1, kZ2);
  expect_sound(s, kZ1, kZ2);
  EXPECT_EQ(s.copper_area, 4.0);
  EXPECT_EQ(s.board_area, 100.0);
  // Top, bottom and four walls; the insulator has the same four walls inside.
  EXPECT_EQ(s.bodies[0].mesh.vertices.size(), 8u);
  EXPECT_EQ(s.bodies[0].mesh.triangles.size(), 12u);
  EXPECT_NEAR(signed_volume(s.bodies[0].mesh), 4 * kT, 1e-12);
  EXPECT_NEAR(signed_volume(s.bodies[1].mesh), 96 * kT, 1e-12);
  for (const auto& v : s.bodies[0].mesh.vertices) EXPECT_TRUE(v.z == kZ1 || v.z == kZ2);
}

TEST(ExactSolids, PadWithHoleAndBoardWithCutOut) {
  // A ring of copper, and a board with a slot cut out next to it whose edge
  // the copper touches.
  const Paths copper = {rect(2, 2, 6, 6), reversed(rect(3, 3, 5, 5))};
  const Paths board = {rect(0, 0, 10, 10), reversed(rect(6, 3, 8, 5))};
  const auto s = extrude_solids(copper, board, kZ1, kZ2);
  expect_sound(s, kZ1, kZ2);
  EXPECT_EQ(s.copper_area, 12.0);
  EXPECT_EQ(s.board_area, 96.0);
  EXPECT_NEAR(signed_volume(s.bodies[1].mesh), 84 * kT, 1e-12);
}

TEST(ExactSolids, CopperAtAndAcrossTheBorder) {
  // Along the left border; across the right one (cut there); and a slanted
  // board edge crossed by copper, where the cut needs points off the grid.
  for (const auto& [copper, board, area] :
       {std::tuple{Paths{rect(0, 2, 3, 4)}, Paths{rect(0, 0, 10, 10)}, 6.0},
        std::tuple{Paths{rect(0, 0, 10, 1)}, Paths{rect(0, 0, 10, 10)}, 10.0},
        std::tuple{Paths{rect(8, 2, 12, 4)}, Paths{rect(0, 0, 10, 10)}, 4.0},
        std::tuple{Paths{rect(-1, -1, 11, 11)}, Paths{rect(0, 0, 10, 10)}, 100.0}}) {
    const auto s = extrude_solids(copper, board, kZ1, kZ2);
    expect_sound(s, kZ1, kZ2);
    EXPECT_EQ(s.copper_area, area);
  }
  const Path diamond = {
      {units(5), units(0)}, {units(10), units(5)}, {units(5), units(10)}, {units(0), units(5)}};
  const auto s = extrude_solids({rect(1, 4, 9.3, 4.7)}, {diamond}, kZ1, kZ2);
  expect_sound(s, kZ1, kZ2);
  EXPECT_NEAR(s.copper_area,
              area_mm2(clip({rect(1, 4, 9.3, 4.7)}, {diamond}, ClipperLib::ctIntersection)), 1e-6);
}

TEST(ExactSolids, CopperTouchingAtPointsAndEdges) {
  // Two pads meeting at one corner; a third sharing part of an edge with one
  // of them, so a corner of each lies on the other's edge.
  const Paths copper = {rect(2, 2, 4, 4), rect(4, 4, 6, 6), rect(6, 5, 7, 8)};
  const auto s = extrude_solids(copper, {rect(0, 0, 10, 10)}, kZ1, kZ2);
  expect_sound(s, kZ1, kZ2);
  EXPECT_EQ(s.copper_area, 11.0);
}

TEST(ExactSolids, NoCopperAndAllCopper) {
  const auto none = extrude_solids({}, {rect(0, 0, 10, 10)}, kZ1, kZ2);
  expect_sound(none, kZ1, kZ2);
  EXPECT_TRUE(none.bodies[0].mesh.triangles.empty());
  EXPECT_EQ(none.bodies[1].mesh.triangles.size(), 12u);

  const auto all = extrude_solids({rect(0, 0, 10, 10)}, {rect(0, 0, 10, 10)}, kZ1, kZ2);
  expect_sound(all, kZ1, kZ2);
  EXPECT_TRUE(all.bodies[1].mesh.triangles.empty());
  EXPECT_EQ(all.copper_area, 100.0);

  const auto nothing = extrude_solids({}, {}, kZ1, kZ2);
  EXPECT_TRUE(nothing.bodies[0].mesh.triangles.empty() && nothing.bodies[1].mesh.triangles.empty());
}

TEST(ExactSolids, Thickness) {
  // Upside down the solids still face outward; flat ones are refused.
  const auto s = extrude_solids({rect(2, 2, 4, 4)}, {rect(0, 0, 10, 10)}, kZ2, kZ1);
  expect_sound(s, kZ1, kZ2);
  EXPECT_THROW(extrude_solids({rect(2, 2, 4, 4)}, {rect(0, 0, 10, 10)}, 1.0, 1.0), Error);
}

// Each body's walls by the body across them, as the length of the contours
// they stand on (mm; the wall's area over the thickness): the labels of the
// plane decide which walls there are, and each triangle names the body on
// its other side, whole and in two halves beside a seam.
TEST(ExactSolids, WallsBetweenBodies) {
  struct Case {
    const char* name;
    Paths copper;
    double copper_area;
    double between;         // conductor against insulator
    double copper_edge;     // conductor on the board's edge
    double insulator_edge;  // insulator on the board's edge
  };
  const Case cases[] = {
      {"pad in a board", {rect(2, 2, 4, 4)}, 4, 8, 0, 40},
      {"copper along the board's edge", {rect(0, 2, 3, 4)}, 6, 8, 2, 38},
      {"copper across the board's edge", {rect(8, 2, 12, 4)}, 4, 6, 2, 38},
      {"a hole in copper with copper inside it",
       {rect(2, 2, 8, 8), reversed(rect(3, 3, 7, 7)), rect(4, 4, 6, 6)},
       24,
       48,
       0,
       40},
      // Nonzero: where two contours overlap the copper is still one body.
      // Their edges cross at right angles, where no edge is slanted to be
      // bent through the crossing: still every vertex is exact.
      {"overlapping copper", {rect(2, 2, 5, 5), rect(4, 4, 7, 7)}, 17, 20, 0, 40},
  };
  const Paths board = {rect(0, 0, 10, 10)};
  for (const Case& c : cases) {
    for (const std::size_t halves_from : {kHalvesFrom, std::size_t{0}}) {
      SCOPED_TRACE(std::string(c.name) + (halves_from == 0 ? ", in halves" : ""));
      auto s = extrude_solids(c.copper, board, kZ1, kZ2, halves_from);
      expect_sound(s, kZ1, kZ2);
      EXPECT_NEAR(s.copper_area, c.copper_area, 1e-9);
      // Per body, the walls' length by the body across.
      std::map<std::pair<std::size_t, std::uint32_t>, double> length;
      for (std::size_t b = 0; b < s.bodies.size(); ++b) {
        const Mesh& m = s.bodies[b].mesh;
        for (std::size_t k = 0; k < m.triangles.size(); ++k) {
          const Vertex& p = m.vertices[m.triangles[k][0]];
          const Vertex& q = m.vertices[m.triangles[k][1]];
          const Vertex& r = m.vertices[m.triangles[k][2]];
          if (p.z == q.z && q.z == r.z) continue;  // the board's top or bottom
          const double ux = q.x - p.x, uy = q.y - p.y, uz = q.z - p.z;
          const double vx = r.x - p.x, vy = r.y - p.y, vz = r.z - p.z;
          const double area =
              std::hypot(uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx) / 2;
          length[{b, m.across[k]}] += area / kT;
        }
      }
      const std::map<std::pair<std::size_t, std::uint32_t>, double> expected = {
          {{0, 1}, c.between},
          {{1, 0}, c.between},
          {{0, kNoBody}, c.copper_edge},
          {{1, kNoBody}, c.insulator_edge}};
      for (const auto& [key, want] : expected) EXPECT_NEAR(length[key], want, 1e-9);
      EXPECT_EQ(length.size(), expected.size());

      // A wall that names no body where the insulator is across is found.
      auto& across = s.bodies[0].mesh.across;
      const auto wall = std::find(across.begin(), across.end(), 1u);
      ASSERT_NE(wall, across.end());
      *wall = kNoBody;
      EXPECT_TRUE(check_across(s.bodies));
    }
  }
}

// Walls longer than `min_length` that are no face of the Delaunay
// tetrahedra of the solids' vertices: their top edge's two top triangles (one
// in each solid) have the far corner of one inside or on the circle through
// the other. gmsh finds every other wall among the tetrahedra it starts from;
// on a board with such walls next to small details it crashed recovering
// them. Walls whose midpoint is no float are left out: a slanted edge halved
// until its points would not survive a binary STL cannot be split further.
int walls_off_delaunay(const ExactSolids& s, double z2, double min_length) {
  using Unit = std::pair<std::int64_t, std::int64_t>;
  // Exact: the coordinates are floats on a grid of 2^-14 mm.
  const auto unit = [](const Vertex& v) {
    return Unit{std::llround(v.x * kUnitsPerMm), std::llround(v.y * kUnitsPerMm)};
  };
  struct Corner {
    Unit at;
    bool conductor;
  };
  // Each top triangle's edge a→b (counterclockwise) to its third corner.
  std::map<std::pair<Unit, Unit>, Corner> across;
  for (const Mesh* mesh : {&s.bodies[0].mesh, &s.bodies[1].mesh}) {
    for (const auto& t : mesh->triangles) {
      if (mesh->vertices[t[0]].z != z2 || mesh->vertices[t[1]].z != z2 ||
          mesh->vertices[t[2]].z != z2) {
        continue;
      }
      for (int k = 0; k < 3; ++k) {
        across[{unit(mesh->vertices[t[k]]), unit(mesh->vertices[t[(k + 1) % 3]])}] = {
            unit(mesh->vertices[t[(k + 2) % 3]]), mesh == &s.bodies[0].mesh};
      }
    }
  }
  int count = 0;
  for (const auto& [edge, corner] : across) {
    const auto other = across.find({edge.second, edge.first});
    // Walls only (the solid changes across the edge), each once.
    if (other == across.end() || other->second.conductor == corner.conductor || !corner.conductor) {
      continue;
    }
    const auto [a, b] = edge;
    const double length = std::hypot(static_cast<double>(b.first - a.first),
                                     static_cast<double>(b.second - a.second));
    if (length <= min_length * kUnitsPerMm) continue;
    if ((a.first + b.first) % 2 != 0 || (a.second + b.second) % 2 != 0) {
      const double mx = static_cast<double>(a.first + b.first) / 2 / kUnitsPerMm;
      const double my = static_cast<double>(a.second + b.second) / 2 / kUnitsPerMm;
      if (static_cast<float>(mx) != mx || static_cast<float>(my) != my) continue;
    }
    const Unit c = corner.at, d = other->second.at;
    __extension__ typedef __int128 Wide;
    const auto dx = [&](const Unit& p) { return Wide{p.first - d.first}; };
    const auto dy = [&](const Unit& p) { return Wide{p.second - d.second}; };
    const Wide det = (dx(a) * dx(a) + dy(a) * dy(a)) * (dx(b) * dy(c) - dx(c) * dy(b)) +
                     (dx(b) * dx(b) + dy(b) * dy(b)) * (dx(c) * dy(a) - dx(a) * dy(c)) +
                     (dx(c) * dx(c) + dy(c) * dy(c)) * (dx(a) * dy(b) - dx(b) * dy(a));
    count += det >= 0;  // a, b, c counterclockwise: d inside or on their circle
  }
  return count;
}

TEST(ExactSolids, WallsWithoutCornersCloseBeside) {
  // A strip 38 mm long with a pad's tip 10 um from the middle of its wall,
  // and a slanted strip with another tip near it: the walls are split
  // (exactly on them, so the areas stay), and both solids come out the same
  // on every run.
  const Path tip = {{units(2.01), units(20)}, {units(4), units(19)}, {units(4), units(21)}};
  const Path slanted = {
      {units(5), units(1)}, {units(6), units(1)}, {units(9.3), units(38)}, {units(8.3), units(38)}};
  const Path tip2 = {{units(6.3), units(20)}, {units(6.8), units(22)}, {units(5.5), units(23)}};
  const Paths copper = clip({rect(1, 1, 2, 39), tip, slanted, tip2}, {}, ClipperLib::ctUnion);
  const Paths board = {rect(0, 0, 10, 40)};
  const auto s = extrude_solids(copper, board, kZ1, kZ2);
  expect_sound(s, kZ1, kZ2);
  EXPECT_EQ(walls_off_delaunay(s, kZ2, kT), 0);
  EXPECT_NEAR(s.copper_area, area_mm2(copper), 1e-9);
  const auto again = extrude_solids(copper, board, kZ1, kZ2);
  EXPECT_TRUE(again.bodies[0].mesh.triangles == s.bodies[0].mesh.triangles &&
              again.bodies[1].mesh.triangles == s.bodies[1].mesh.triangles);
}

TEST(MeshCheck, FindsBrokenMeshes) {
  const auto good = extrude_solids({rect(2, 2, 4, 4)}, {rect(0, 0, 10, 10)}, kZ1, kZ2);
  ASSERT_FALSE(check_solids(good, kZ1, kZ2));

  auto flipped = good;
  std::swap(flipped.bodies[0].mesh.triangles[0][1], flipped.bodies[0].mesh.triangles[0][2]);
  EXPECT_TRUE(check_closed(flipped.bodies[0].mesh));

  auto open = good;
  open.bodies[1].mesh.triangles.pop_back();
  EXPECT_TRUE(check_closed(open.bodies[1].mesh));

  auto doubled = good;
  doubled.bodies[0].mesh.vertices.push_back(doubled.bodies[0].mesh.vertices[0]);
  doubled.bodies[0].mesh.triangles[0][0] =
      static_cast<std::uint32_t>(doubled.bodies[0].mesh.vertices.size() - 1);
  EXPECT_TRUE(check_closed(doubled.bodies[0].mesh));

  auto flat = good;
  flat.bodies[0].mesh.vertices[flat.bodies[0].mesh.triangles[0][0]].z = kZ1;
  flat.bodies[0].mesh.vertices[flat.bodies[0].mesh.triangles[0][1]].z = kZ1;
  flat.bodies[0].mesh.vertices[flat.bodies[0].mesh.triangles[0][2]].z = kZ1;
  EXPECT_TRUE(check_solids(flat, kZ1, kZ2));

  auto inside_out = good;
  for (auto& t : inside_out.bodies[0].mesh.triangles) std::swap(t[1], t[2]);
  EXPECT_FALSE(check_closed(inside_out.bodies[0].mesh));
  EXPECT_LT(signed_volume(inside_out.bodies[0].mesh), 0);
  EXPECT_TRUE(check_solids(inside_out, kZ1, kZ2));

  // Overlap: the insulator is the whole board, pad included.
  auto overlap = good;
  overlap.bodies[1].mesh = extrude_solids({}, {rect(0, 0, 10, 10)}, kZ1, kZ2).bodies[1].mesh;
  EXPECT_FALSE(check_interfaces(overlap.bodies));
  EXPECT_TRUE(check_solids(overlap, kZ1, kZ2));
}

TEST(MeshCheck, FindsWallsWithDifferentVertices) {
  // Side by side, each closed and the areas right, but the insulator's wall
  // has a vertex in the middle of the conductor's.
  const auto left = extrude_solids({rect(0, 0, 2, 2)}, {rect(0, 0, 2, 2)}, kZ1, kZ2);
  Path right = rect(2, 0, 4, 2);
  right.push_back({units(2), units(1)});
  const auto other = extrude_solids({}, {right}, kZ1, kZ2);
  ExactSolids joined{{left.bodies[0], other.bodies[1]}, 4.0, 8.0, {}, {}, {}};
  EXPECT_FALSE(check_closed(joined.bodies[0].mesh));
  EXPECT_FALSE(check_closed(joined.bodies[1].mesh));
  const auto problem = check_interfaces(joined.bodies);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("face to face"), std::string::npos) << *problem;

  // The same two made as one board meet properly.
  const auto whole = extrude_solids({rect(0, 0, 2, 2)}, {rect(0, 0, 4, 2)}, kZ1, kZ2);
  EXPECT_FALSE(check_interfaces(whole.bodies));
}

// Random pads, tracks and slanted polygons unioned, cut to a board with a
// cut-out, as the copper of a drawing comes out of Clipper.
TEST(ExactSolids, RandomBoards) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(-2.0, 42.0), size(0.05, 6.0), unit(0.0, 1.0);
    Paths shapes;
    const int count = 5 + static_cast<int>(rng() % 60);
    for (int k = 0; k < count; ++k) {
      const double x = pos(rng), y = pos(rng);
      if (unit(rng) < 0.5) {
        shapes.push_back(rect(x, y, x + size(rng), y + size(rng)));
      } else {
        // A convex polygon around (x, y), counterclockwise.
        const int corners = 3 + static_cast<int>(rng() % 10);
        const double r = size(rng), turn = unit(rng);
        Path p;
        for (int c = 0; c < corners; ++c) {
          const double a = 2 * M_PI * (c + turn) / corners;
          p.push_back({units(x + r * std::cos(a)), units(y + r * std::sin(a))});
        }
        shapes.push_back(p);
      }
    }
    Paths board = {rect(0, 0, 40, 40)};
    if (seed % 3 == 0) board.push_back(reversed(rect(10, 10, 15, 22)));
    if (seed % 5 == 0) {
      board = {{{units(0), units(5)},
                {units(5), units(0)},
                {units(40), units(0)},
                {units(40), units(35)},
                {units(35), units(40)},
                {units(0), units(40)}}};
    }
    const Paths copper =
        clip(clip(shapes, {}, ClipperLib::ctUnion), board, ClipperLib::ctIntersection);
    // Whole, and in two halves with a seam (as large boards are).
    for (const std::size_t halves_from : {kHalvesFrom, std::size_t{0}}) {
      const auto s = extrude_solids(copper, board, kZ1, kZ2, halves_from);
      const auto problem = check_solids(s, kZ1, kZ2);
      EXPECT_FALSE(problem) << "seed " << seed << ", " << halves_from << ": " << *problem;
      EXPECT_FALSE(check_float_exact(s.bodies[0].mesh));
      // The seam moves the slanted edges it cuts by up to half a unit.
      const double off = halves_from == 0 ? 1e-6 : 1e-12;
      EXPECT_NEAR(s.copper_area, area_mm2(copper), off * s.board_area) << "seed " << seed;
      EXPECT_NEAR(s.board_area, area_mm2(board), off * s.board_area) << "seed " << seed;
      EXPECT_EQ(walls_off_delaunay(s, kZ2, kT), 0) << "seed " << seed;

      // Parted, each outer contour of the copper (strictly simple: shapes
      // that touch at a point are apart) is a body of its own area, joined
      // across the seam.
      const std::vector<std::string> no_nets;
      const NetParts parted{{}, no_nets};
      const auto p = extrude_solids(copper, board, kZ1, kZ2, halves_from, &parted);
      const auto parted_problem = check_solids(p, kZ1, kZ2);
      EXPECT_FALSE(parted_problem) << "seed " << seed << ", parted: " << *parted_problem;
      std::vector<double> expected, found;
      for (const Path& c : copper) {
        if (ClipperLib::Area(c) > 0)
          expected.push_back(area_mm2(clip({c}, copper, ClipperLib::ctIntersection)));
      }
      for (std::size_t b = 0; b + 1 < p.bodies.size(); ++b) found.push_back(p.areas[b]);
      std::sort(expected.begin(), expected.end());
      std::sort(found.begin(), found.end());
      ASSERT_EQ(found.size(), expected.size()) << "seed " << seed << ", " << halves_from;
      for (std::size_t k = 0; k < found.size(); ++k) {
        EXPECT_NEAR(found[k], expected[k], off * s.board_area) << "seed " << seed;
      }
      EXPECT_EQ(p.bodies.back().body.name, "insulator");
    }
  }
}

// Copper whose contours cross each other and the board's slanted edges at
// points between whole units, as raw shapes (not united first) and as
// Clipper's rounding leaves a crossing now and then: the edges are bent
// through whole points, so every vertex stays a float and the solids close.
TEST(ExactSolids, CrossingContours) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(-1.0, 21.0), size(0.2, 5.0), unit(0.0, 1.0);
    Paths shapes;
    double perimeter = 0;
    for (int k = 0; k < 40; ++k) {
      const double x = pos(rng), y = pos(rng), r = size(rng), turn = unit(rng);
      const int corners = 3 + static_cast<int>(rng() % 6);
      Path p;
      for (int c = 0; c < corners; ++c) {
        const double a = 2 * M_PI * (c + turn) / corners;
        p.push_back({units(x + r * std::cos(a)), units(y + r * std::sin(a))});
      }
      perimeter += 2 * corners * r;  // more than the polygon's
      shapes.push_back(p);
    }
    const Path board = {{units(0), units(3)},   {units(3), units(0)},   {units(20), units(0)},
                        {units(20), units(17)}, {units(17), units(20)}, {units(0), units(20)}};
    // Each edge moves by less than a unit.
    const double united =
        area_mm2(clip(clip(shapes, {}, ClipperLib::ctUnion), {board}, ClipperLib::ctIntersection));
    for (const std::size_t halves_from : {kHalvesFrom, std::size_t{0}}) {
      const auto s = extrude_solids(shapes, {board}, kZ1, kZ2, halves_from);
      expect_sound(s, kZ1, kZ2);
      EXPECT_NEAR(s.copper_area, united, (perimeter + 80) / kUnitsPerMm) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace foilcad::exact
