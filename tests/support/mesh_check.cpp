#include "support/mesh_check.hpp"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "exact/clipper_units.hpp"

namespace foilcad::exact {
namespace {

using Triangle = std::array<std::uint32_t, 3>;
using DirectedEdge = std::pair<std::uint32_t, std::uint32_t>;

std::string describe(const Vertex& v) {
  std::ostringstream out;
  out.precision(17);
  out << "(" << v.x << ", " << v.y << ", " << v.z << ")";
  return out.str();
}

bool coordinate_less(const Vertex& a, const Vertex& b) {
  if (a.x != b.x) return a.x < b.x;
  if (a.y != b.y) return a.y < b.y;
  return a.z < b.z;
}

// The edges of triangles over one vertex numbering: each directed edge once,
// and its reverse once. A vertical edge may be in more: where a solid touches
// itself along a vertical line (two copper corners meeting, or a corner on
// the board's border pinching the insulator), two walls on each side end at
// the same column of vertices, and STL, which has no vertex numbers, could not
// keep two copies of that column apart anyway. There the edge must run each
// way as often.
std::optional<std::string> check_edges(const std::vector<Triangle>& triangles,
                                       const std::vector<Vertex>& vertices) {
  // Each edge once, lower vertex first, with the direction it runs in: one
  // sort brings all uses of an edge together.
  struct Use {
    std::uint32_t low, high;
    bool up;  // runs from low to high
    bool operator<(const Use& o) const {
      return std::tie(low, high, up) < std::tie(o.low, o.high, o.up);
    }
  };
  std::vector<Use> uses;
  uses.reserve(triangles.size() * 3);
  for (const auto& t : triangles) {
    for (int k = 0; k < 3; ++k) {
      const auto from = t[k], to = t[(k + 1) % 3];
      uses.push_back({std::min(from, to), std::max(from, to), from < to});
    }
  }
  std::sort(uses.begin(), uses.end());
  for (std::size_t k = 0; k < uses.size();) {
    std::size_t end = k, up = 0;
    while (end < uses.size() && uses[end].low == uses[k].low && uses[end].high == uses[k].high) {
      up += uses[end++].up;
    }
    const std::size_t count = end - k, down = count - up;
    const Vertex& p = vertices[uses[k].low];
    const Vertex& q = vertices[uses[k].high];
    const bool vertical = p.x == q.x && p.y == q.y;
    if (up != down) {
      return "the edge " + describe(p) + " to " + describe(q) + " is in " + std::to_string(up) +
             " triangles one way and " + std::to_string(down) +
             " the other (the surface is open or flipped there)";
    }
    if (count > 2 && !vertical) {
      return "the edge " + describe(p) + " to " + describe(q) + " is in " + std::to_string(count) +
             " triangles";
    }
    k = end;
  }
  return std::nullopt;
}

// Rotated so that the smallest index comes first; the orientation is kept.
Triangle canonical(Triangle t) {
  std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
  return t;
}

// The meshes of all bodies over one numbering of their vertices by place,
// and each triangle's partner: the body whose mesh has it reversed.
struct Joined {
  std::vector<Vertex> places;
  std::vector<std::vector<std::uint32_t>> ids;  // per body, per vertex: its place
  // Per body, per triangle: the body with the triangle reversed, or kNoBody.
  std::vector<std::vector<std::uint32_t>> partner;
  // The triangles no other body has reversed, over the places.
  std::vector<Triangle> rest;
};

// Pairs the triangles of different bodies that face each other at one place.
// Where more than two triangles lie at one place, or two that face the same
// way or belong to one body, none of them is paired.
Joined join(std::span<const MeshBody> bodies) {
  Joined joined;
  for (const MeshBody& b : bodies) {
    joined.places.insert(joined.places.end(), b.mesh.vertices.begin(), b.mesh.vertices.end());
  }
  std::sort(joined.places.begin(), joined.places.end(), coordinate_less);
  joined.places.erase(std::unique(joined.places.begin(), joined.places.end()), joined.places.end());
  // The corners of each triangle over the places, smallest first; `up` when
  // the other two rise in order, which a triangle and its reverse differ in.
  struct Use {
    Triangle corners;
    bool up;
    std::uint32_t body;
    std::uint32_t index;
    bool operator<(const Use& o) const {
      return std::tie(corners, up, body, index) < std::tie(o.corners, o.up, o.body, o.index);
    }
  };
  std::vector<Use> uses;
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    const Mesh& mesh = bodies[b].mesh;
    std::vector<std::uint32_t>& ids = joined.ids.emplace_back(mesh.vertices.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
      ids[k] =
          static_cast<std::uint32_t>(std::lower_bound(joined.places.begin(), joined.places.end(),
                                                      mesh.vertices[k], coordinate_less) -
                                     joined.places.begin());
    }
    joined.partner.emplace_back(mesh.triangles.size(), kNoBody);
    for (std::size_t k = 0; k < mesh.triangles.size(); ++k) {
      Triangle t;
      for (int i = 0; i < 3; ++i) t[i] = ids.at(mesh.triangles[k][i]);
      t = canonical(t);
      const bool up = t[1] < t[2];
      if (!up) std::swap(t[1], t[2]);
      uses.push_back({t, up, static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(k)});
    }
  }
  std::sort(uses.begin(), uses.end());
  for (std::size_t k = 0; k < uses.size();) {
    std::size_t end = k;
    while (end < uses.size() && uses[end].corners == uses[k].corners) ++end;
    if (end - k == 2 && uses[k].up != uses[k + 1].up && uses[k].body != uses[k + 1].body) {
      joined.partner[uses[k].body][uses[k].index] = uses[k + 1].body;
      joined.partner[uses[k + 1].body][uses[k + 1].index] = uses[k].body;
    } else {
      for (std::size_t u = k; u < end; ++u) {
        const Triangle& t = uses[u].corners;
        joined.rest.push_back(uses[u].up ? t : Triangle{t[0], t[2], t[1]});
      }
    }
    k = end;
  }
  return joined;
}

// Two closed solids whose walls stand face to face with different vertices
// (a T-junction) still make a closed surface together. Seen from above they
// show it: the top faces of all bodies, joined, have a border edge in the
// board's inside, overlapping a border edge of another body on the same line.
// So no two border edges of the joined top faces may overlap. The test runs
// in integer units, where lying on one line is exact.
std::optional<std::string> check_top_border(std::span<const MeshBody> bodies,
                                            const Joined& joined) {
  const std::vector<Vertex>& places = joined.places;
  double top = -std::numeric_limits<double>::infinity();
  for (const auto& v : places) top = std::max(top, v.z);
  std::vector<DirectedEdge> edges;
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    const Mesh& mesh = bodies[b].mesh;
    for (const auto& t : mesh.triangles) {
      std::array<std::uint32_t, 3> id;
      bool on_top = true;
      for (int i = 0; i < 3; ++i) {
        const Vertex& v = mesh.vertices[t[i]];
        on_top = on_top && v.z == top;
        id[i] = joined.ids[b][t[i]];
      }
      if (!on_top) continue;
      for (int k = 0; k < 3; ++k) edges.emplace_back(id[k], id[(k + 1) % 3]);
    }
  }
  std::sort(edges.begin(), edges.end());

  struct Piece {
    std::int64_t dir_x, dir_y, offset;  // the line
    std::int64_t from, to;              // along it
    DirectedEdge edge;
    bool operator<(const Piece& o) const {
      return std::tie(dir_x, dir_y, offset, from) < std::tie(o.dir_x, o.dir_y, o.offset, o.from);
    }
  };
  constexpr double kLimit = 1e9;  // units: products stay within 64 bits
  std::vector<Piece> pieces;
  for (const auto& e : edges) {
    if (std::binary_search(edges.begin(), edges.end(), DirectedEdge{e.second, e.first})) continue;
    const Vertex& p = places[e.first];
    const Vertex& q = places[e.second];
    const double ux[2] = {p.x * kUnitsPerMm, q.x * kUnitsPerMm};
    const double uy[2] = {p.y * kUnitsPerMm, q.y * kUnitsPerMm};
    bool whole = true;
    for (double c : {ux[0], ux[1], uy[0], uy[1]}) {
      whole = whole && c == std::round(c) && std::abs(c) < kLimit;
    }
    if (!whole) continue;  // a computed point: no exact line to test
    const auto px = static_cast<std::int64_t>(ux[0]), py = static_cast<std::int64_t>(uy[0]);
    const auto qx = static_cast<std::int64_t>(ux[1]), qy = static_cast<std::int64_t>(uy[1]);
    std::int64_t dx = qx - px, dy = qy - py;
    const std::int64_t g = std::gcd(dx, dy);
    dx /= g, dy /= g;
    if (dx < 0 || (dx == 0 && dy < 0)) dx = -dx, dy = -dy;
    const std::int64_t a = dx * px + dy * py, b = dx * qx + dy * qy;
    pieces.push_back({dx, dy, dx * py - dy * px, std::min(a, b), std::max(a, b), e});
  }
  std::sort(pieces.begin(), pieces.end());
  for (std::size_t k = 1; k < pieces.size(); ++k) {
    const Piece& a = pieces[k - 1];
    const Piece& b = pieces[k];
    if (a.dir_x == b.dir_x && a.dir_y == b.dir_y && a.offset == b.offset && b.from < a.to) {
      return "the solids do not meet wall to wall: the walls at " + describe(places[a.edge.first]) +
             " to " + describe(places[a.edge.second]) + " and " + describe(places[b.edge.first]) +
             " to " + describe(places[b.edge.second]) +
             " stand face to face with different vertices";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> check_closed(const Mesh& mesh) {
  const auto count = mesh.vertices.size();
  for (std::size_t k = 0; k < mesh.triangles.size(); ++k) {
    const auto& t = mesh.triangles[k];
    if (t[0] >= count || t[1] >= count || t[2] >= count) {
      return "triangle " + std::to_string(k) + " names a vertex that does not exist";
    }
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) {
      return "triangle " + std::to_string(k) + " uses one vertex twice";
    }
  }
  std::vector<Vertex> sorted = mesh.vertices;
  std::sort(sorted.begin(), sorted.end(), coordinate_less);
  const auto repeated = std::adjacent_find(sorted.begin(), sorted.end());
  if (repeated != sorted.end()) return "the vertex " + describe(*repeated) + " is there twice";
  return check_edges(mesh.triangles, mesh.vertices);
}

std::optional<std::string> check_nondegenerate(const Mesh& mesh) {
  using Point = CGAL::Exact_predicates_inexact_constructions_kernel::Point_3;
  for (std::size_t k = 0; k < mesh.triangles.size(); ++k) {
    const auto& t = mesh.triangles[k];
    std::array<Point, 3> p;
    for (int i = 0; i < 3; ++i) {
      const Vertex& v = mesh.vertices.at(t[i]);
      p[i] = Point(v.x, v.y, v.z);
    }
    // Exact predicate: a sliver of any width passes, a flat triangle never.
    if (CGAL::collinear(p[0], p[1], p[2])) {
      return "triangle " + std::to_string(k) + " at " + describe(mesh.vertices[t[0]]) +
             " has no area";
    }
  }
  return std::nullopt;
}

std::optional<std::string> check_float_exact(const Mesh& mesh) {
  for (const auto& v : mesh.vertices) {
    for (double c : {v.x, v.y}) {
      if (static_cast<double>(static_cast<float>(c)) != c) {
        return "the vertex " + describe(v) + " is not at a 32-bit float place";
      }
    }
  }
  return std::nullopt;
}

double signed_volume(const Mesh& mesh) {
  if (mesh.vertices.empty()) return 0.0;
  // Relative to one vertex of the mesh: far from the origin the products of
  // absolute coordinates would cancel most of their digits.
  const Vertex& o = mesh.vertices.front();
  long double six_volumes = 0.0L;
  for (const auto& t : mesh.triangles) {
    std::array<std::array<long double, 3>, 3> p;
    for (int i = 0; i < 3; ++i) {
      const Vertex& v = mesh.vertices[t[i]];
      p[i] = {static_cast<long double>(v.x) - o.x, static_cast<long double>(v.y) - o.y,
              static_cast<long double>(v.z) - o.z};
    }
    six_volumes += p[0][0] * (p[1][1] * p[2][2] - p[1][2] * p[2][1]) -
                   p[0][1] * (p[1][0] * p[2][2] - p[1][2] * p[2][0]) +
                   p[0][2] * (p[1][0] * p[2][1] - p[1][1] * p[2][0]);
  }
  return static_cast<double>(six_volumes / 6.0L);
}

std::optional<std::string> check_interfaces(std::span<const MeshBody> bodies) {
  const Joined joined = join(bodies);
  if (auto problem = check_edges(joined.rest, joined.places)) {
    return "the solids do not meet wall to wall: " + *problem;
  }
  return check_top_border(bodies, joined);
}

std::optional<std::string> check_across(std::span<const MeshBody> bodies) {
  const auto name = [&](std::uint32_t body) -> std::string {
    if (body == kNoBody) return "no body";
    if (body < bodies.size()) return "the " + bodies[body].body.name;
    return "body " + std::to_string(body) + " (of " + std::to_string(bodies.size()) + ")";
  };
  const Joined joined = join(bodies);
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    const Mesh& mesh = bodies[b].mesh;
    if (mesh.across.size() != mesh.triangles.size()) {
      return bodies[b].body.name + ": the body across is named for " +
             std::to_string(mesh.across.size()) + " of " + std::to_string(mesh.triangles.size()) +
             " triangles";
    }
    for (std::size_t k = 0; k < mesh.triangles.size(); ++k) {
      const std::uint32_t named = mesh.across[k];
      const std::uint32_t partner = joined.partner[b][k];
      if (named == partner) continue;
      const std::string where = bodies[b].body.name + ": triangle " + std::to_string(k) + " at " +
                                describe(mesh.vertices[mesh.triangles[k][0]]);
      if (partner == kNoBody) {
        return where + " names " + name(named) +
               " across it, but no other body has it reversed: it is the board's surface";
      }
      return where + " names " + name(named) + " across it, but it is " + name(partner) +
             "'s, reversed";
    }
  }
  return std::nullopt;
}

std::optional<std::string> check_solids(const ExactSolids& solids, double z1, double z2) {
  if (solids.bodies.empty()) return "no bodies";
  for (const MeshBody& b : solids.bodies) {
    const std::string& name = b.body.name;
    if (auto problem = check_closed(b.mesh)) return name + ": " + *problem;
    if (auto problem = check_nondegenerate(b.mesh)) return name + ": " + *problem;
    if (!b.mesh.triangles.empty() && !(signed_volume(b.mesh) > 0)) {
      return name + ": the volume is not positive (normals point inward)";
    }
    const double low = std::min(b.body.z1, b.body.z2), high = std::max(b.body.z1, b.body.z2);
    for (const Vertex& v : b.mesh.vertices) {
      if (!(v.z >= low && v.z <= high))
        return name + ": the vertex " + describe(v) + " lies outside its slab";
    }
  }
  if (auto problem = check_interfaces(solids.bodies)) return problem;
  if (auto problem = check_across(solids.bodies)) return problem;

  const double thickness = std::abs(z2 - z1);
  const double board_volume = solids.board_area * thickness;
  const double tolerance = 1e-6 * board_volume;
  double conductor = 0.0, all = 0.0;
  for (const MeshBody& b : solids.bodies) {
    const double volume = signed_volume(b.mesh);
    all += volume;
    if (b.body.kind == BodyKind::conductor) conductor += volume;
  }
  std::ostringstream out;
  out.precision(17);
  if (std::abs(conductor - solids.copper_area * thickness) > tolerance) {
    out << "the conductor's volume " << conductor << " is not the copper area times the thickness "
        << solids.copper_area * thickness;
    return out.str();
  }
  for (std::size_t b = 0; b < solids.areas.size() && b < solids.bodies.size(); ++b) {
    const double volume = signed_volume(solids.bodies[b].mesh);
    if (std::abs(volume - solids.areas[b] * thickness) > tolerance) {
      out << solids.bodies[b].body.name << ": the volume " << volume
          << " is not its area times the thickness " << solids.areas[b] * thickness;
      return out.str();
    }
  }
  if (std::abs(all - board_volume) > tolerance) {
    out << "the volumes " << all << " do not add up to the board's area times the thickness "
        << board_volume;
    return out.str();
  }
  return std::nullopt;
}

}  // namespace foilcad::exact
