#include "exact/orientation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

struct Edge {
  IntPoint a, b;  // a.Y < b.Y
  std::size_t path;
};

__extension__ typedef __int128 Wide;  // GCC's and Clang's; -Wpedantic knows it then

// Whether a horizontal line at y crosses the edge: the edge counts from its
// lower end up to, not including, its upper one.
bool crosses(const Edge& e, double y) { return e.a.Y <= y && y < e.b.Y; }

// Which side of the edge the point (x2 / 2, y2 / 2) lies on: 1 left of it
// (the edge, going up, passes to its right), -1 right of it, 0 within a
// unit of its line. Contours of one result do not cross, but where two run
// along one slanted line, Clipper's rounding may leave one a fraction of a
// unit across the other: a point that close is taken to be on the edge, and
// another point of the contour is tried.
int side(const Edge& e, cInt x2, cInt y2) {
  const Wide cross = static_cast<Wide>(e.b.X - e.a.X) * (y2 - 2 * e.a.Y) -
                     static_cast<Wide>(e.b.Y - e.a.Y) * (x2 - 2 * e.a.X);
  // cross is twice the distance from the line times the edge's length.
  const double c = static_cast<double>(cross);
  const double dx = static_cast<double>(e.b.X - e.a.X);
  const double dy = static_cast<double>(e.b.Y - e.a.Y);
  if (c * c < 4.0 * (dx * dx + dy * dy)) return 0;
  return cross > 0 ? 1 : -1;
}

}  // namespace

std::size_t orient_by_nesting(Paths& paths) {
  if (paths.size() == 1) {
    if (ClipperLib::Area(paths[0]) >= 0.0) return 0;
    std::reverse(paths[0].begin(), paths[0].end());
    return 1;
  }
  // Every edge that is not horizontal, in bands of y: a ray from a point
  // to the right meets only the edges of the point's band.
  std::vector<Edge> edges;
  cInt low = std::numeric_limits<cInt>::max();
  cInt high = std::numeric_limits<cInt>::min();
  for (std::size_t k = 0; k < paths.size(); ++k) {
    const Path& p = paths[k];
    for (std::size_t i = 0; i < p.size(); ++i) {
      const IntPoint& u = p[i];
      const IntPoint& v = p[(i + 1) % p.size()];
      if (u.Y == v.Y) continue;
      edges.push_back(u.Y < v.Y ? Edge{u, v, k} : Edge{v, u, k});
      low = std::min({low, u.Y, v.Y});
      high = std::max({high, u.Y, v.Y});
    }
  }
  if (edges.empty()) return 0;
  std::size_t bands =
      std::clamp<std::size_t>(static_cast<std::size_t>(2.0 * std::sqrt(edges.size())), 1, 4096);
  double height = 0.0;
  const auto band = [&](double y) {
    const double b = std::floor((y - static_cast<double>(low)) / height);
    return static_cast<std::size_t>(std::clamp(b, 0.0, static_cast<double>(bands - 1)));
  };
  // Fewer bands where many edges are long (a comb drawn as one region):
  // an edge is listed in every band it spans.
  for (;; bands /= 2) {
    height = static_cast<double>(high - low) / static_cast<double>(bands);
    std::size_t listed = 0;
    for (const Edge& e : edges) {
      listed += band(static_cast<double>(e.b.Y)) - band(static_cast<double>(e.a.Y)) + 1;
    }
    if (bands == 1 || listed <= 16 * edges.size()) break;
  }
  // Each band's edges, one band after the other: where band b's begin (begins[b]).
  std::vector<std::size_t> begins(bands + 1, 0);
  for (const Edge& e : edges) {
    const std::size_t b1 = band(static_cast<double>(e.b.Y));
    for (std::size_t b = band(static_cast<double>(e.a.Y)); b <= b1; ++b) ++begins[b + 1];
  }
  for (std::size_t b = 0; b < bands; ++b) begins[b + 1] += begins[b];
  std::vector<std::uint32_t> in_bands(begins[bands]);
  std::vector<std::size_t> next(begins.begin(), begins.end() - 1);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::size_t b1 = band(static_cast<double>(edges[i].b.Y));
    for (std::size_t b = band(static_cast<double>(edges[i].a.Y)); b <= b1; ++b) {
      in_bands[next[b]++] = static_cast<std::uint32_t>(i);
    }
  }
  std::size_t turned = 0;
  for (std::size_t k = 0; k < paths.size(); ++k) {
    Path& p = paths[k];
    if (p.size() < 3) continue;
    // The middle of one of the contour's slanted or upright edges lies on no
    // other contour (they do not cross and share no edge); should it lie
    // within a unit of one, the next edge is tried. A contour with no edge
    // clear of the others keeps the turn Clipper gave it.
    int enclosing = -1;
    for (std::size_t i = 0; i < p.size() && enclosing < 0; ++i) {
      const IntPoint& u = p[i];
      const IntPoint& v = p[(i + 1) % p.size()];
      if (u.Y == v.Y) continue;
      const cInt x2 = u.X + v.X;  // the middle, doubled
      const cInt y2 = u.Y + v.Y;
      const double y = static_cast<double>(y2) / 2.0;
      int count = 0;
      bool on_edge = false;
      const std::size_t b = band(y);
      for (std::size_t n = begins[b]; n < begins[b + 1]; ++n) {
        const Edge& edge = edges[in_bands[n]];
        if (edge.path == k || !crosses(edge, y)) continue;
        const int s = side(edge, x2, y2);
        if (s == 0) {
          on_edge = true;
          break;
        }
        if (s > 0) ++count;
      }
      if (!on_edge) enclosing = count;
    }
    if (enclosing < 0) continue;
    const bool outer = enclosing % 2 == 0;
    if (outer != (ClipperLib::Area(p) > 0.0)) {
      std::reverse(p.begin(), p.end());
      ++turned;
    }
  }
  return turned;
}

Paths execute_oriented(ClipperLib::Clipper& clipper, ClipperLib::ClipType type,
                       ClipperLib::PolyFillType fill) {
  Paths out;
  clipper.Execute(type, out, fill, fill);
  orient_by_nesting(out);
  return out;
}

}  // namespace foilcad::exact
