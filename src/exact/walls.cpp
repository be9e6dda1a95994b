// The walls before they are extruded: contour edges that cross are bent
// through a whole point near the crossing, so that the triangulation keeps no
// computed point (snap_to_points, crossings), the seam's crossings likewise
// (cut_at); and each wall is split until its edge is a Delaunay edge
// (conform_walls).
#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <utility>

#include "common/parallel.hpp"
#include "exact/plane.hpp"

namespace foilcad::exact::detail {
namespace {

bool is_float(double v) { return static_cast<double>(static_cast<float>(v)) == v; }

bool is_whole(const Point& p) { return p.x() == std::floor(p.x()) && p.y() == std::floor(p.y()); }

// A point strictly inside the edge u-w, exactly on it and exact as a float:
// the whole-unit point nearest the middle if there is one in the middle
// third (whole units keep later splits exact too), else the midpoint.
std::optional<Point> split_point(const Point& u, const Point& w) {
  const Point middle((u.x() + w.x()) / 2, (u.y() + w.y()) / 2);  // exact: a power of two
  if (is_whole(middle)) return middle;
  if (is_whole(u) && is_whole(w)) {
    const auto dx = static_cast<std::int64_t>(w.x() - u.x());
    const auto dy = static_cast<std::int64_t>(w.y() - u.y());
    const std::int64_t g = std::gcd(dx, dy);  // whole-unit points on the edge: every 1/g
    if (g >= 2) {
      const std::int64_t k = g / 2;
      return Point(u.x() + static_cast<double>(k * (dx / g)),
                   u.y() + static_cast<double>(k * (dy / g)));
    }
  }
  if (is_float(middle.x()) && is_float(middle.y())) return middle;
  return std::nullopt;
}

// Whether the constrained edge (f, i) is no edge of the Delaunay
// triangulation of the points: the vertex across it lies inside the circle
// through f's corners, or on it (then the four corners of the two faces share
// a circle, and the wall runs through the middle of what gmsh sees as one
// cell). Edges of the hull never need a split.
bool needs_split(const Cdt& cdt, const FaceHandle& f, int i) {
  const FaceHandle n = f->neighbor(i);
  if (cdt.is_infinite(f) || cdt.is_infinite(n)) return false;
  const Point& a = f->vertex(0)->point();
  const Point& b = f->vertex(1)->point();
  const Point& c = f->vertex(2)->point();
  const Point& d = cdt.mirror_vertex(f, i)->point();
  // Whole units near each other, nearly all points: the determinant exactly
  // in 128 bits (products of four differences below 2^30 stay below 2^124).
  // CGAL's filter falls back to slow exact numbers whenever the four points
  // share a circle, as the corners of pads in a row do.
  constexpr double kNear = 1 << 30;
  const auto near = [&](const Point& p) {
    return is_whole(p) && std::abs(p.x() - d.x()) < kNear && std::abs(p.y() - d.y()) < kNear;
  };
  if (is_whole(d) && near(a) && near(b) && near(c)) {
    const auto w = [](double v) { return Wide{static_cast<std::int64_t>(v)}; };
    const Wide ax = w(a.x() - d.x()), ay = w(a.y() - d.y());
    const Wide bx = w(b.x() - d.x()), by = w(b.y() - d.y());
    const Wide cx = w(c.x() - d.x()), cy = w(c.y() - d.y());
    const Wide det = (ax * ax + ay * ay) * (bx * cy - cx * by) +
                     (bx * bx + by * by) * (cx * ay - ax * cy) +
                     (cx * cx + cy * cy) * (ax * by - bx * ay);
    return det >= 0;  // f is counterclockwise: positive inside
  }
  return CGAL::side_of_oriented_circle(a, b, c, d) != CGAL::ON_NEGATIVE_SIDE;
}

// Whether the segment a-b meets the closed unit square centred on r. In
// doubled coordinates the square's sides are odd integers and every product
// fits 128 bits: the test is exact.
bool passes_through(const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b,
                    const ClipperLib::IntPoint& r) {
  const Wide ax = 2 * Wide{a.X}, ay = 2 * Wide{a.Y}, bx = 2 * Wide{b.X}, by = 2 * Wide{b.Y};
  const Wide lo_x = 2 * Wide{r.X} - 1, hi_x = 2 * Wide{r.X} + 1;
  const Wide lo_y = 2 * Wide{r.Y} - 1, hi_y = 2 * Wide{r.Y} + 1;
  if (std::max(ax, bx) < lo_x || std::min(ax, bx) > hi_x || std::max(ay, by) < lo_y ||
      std::min(ay, by) > hi_y) {
    return false;
  }
  // The square's corners on both sides of the line (or one on it).
  int below = 0, above = 0;
  for (const Wide x : {lo_x, hi_x}) {
    for (const Wide y : {lo_y, hi_y}) {
      const Wide side = (bx - ax) * (y - ay) - (by - ay) * (x - ax);
      below += side <= 0;
      above += side >= 0;
    }
  }
  return below > 0 && above > 0;
}

// Points sorted into square cells, for finding those near an edge.
class PointCells {
 public:
  explicit PointCells(std::vector<ClipperLib::IntPoint> points) {
    cells_.reserve(points.size());
    for (const auto& p : points) cells_.push_back({key(p.X >> kShift, p.Y >> kShift), p});
    std::sort(cells_.begin(), cells_.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : point_less(a.second, b.second);
    });
  }

  // Calls f with every point within a unit of the segment a-b, and others.
  template <class F>
  void near(const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b, F&& f) const {
    const ClipperLib::cInt x0 = std::min(a.X, b.X) - 1, x1 = std::max(a.X, b.X) + 1;
    const double slope = static_cast<double>(b.Y - a.Y) / static_cast<double>(b.X - a.X);
    for (ClipperLib::cInt column = x0 >> kShift; column <= x1 >> kShift; ++column) {
      // The segment's heights within the column, a unit wider each way.
      const ClipperLib::cInt left = std::max(x0, column << kShift);
      const ClipperLib::cInt right = std::min(x1, ((column + 1) << kShift) - 1);
      const double y_left = static_cast<double>(a.Y) + slope * static_cast<double>(left - a.X);
      const double y_right = static_cast<double>(a.Y) + slope * static_cast<double>(right - a.X);
      const double low =
          std::max(std::min(y_left, y_right), static_cast<double>(std::min(a.Y, b.Y)));
      const double high =
          std::min(std::max(y_left, y_right), static_cast<double>(std::max(a.Y, b.Y)));
      const auto row0 = static_cast<ClipperLib::cInt>(std::floor(low) - 2) >> kShift;
      const auto row1 = static_cast<ClipperLib::cInt>(std::ceil(high) + 2) >> kShift;
      for (ClipperLib::cInt row = row0; row <= row1; ++row) {
        const std::uint64_t k = key(column, row);
        auto it = std::lower_bound(cells_.begin(), cells_.end(), k,
                                   [](const auto& c, std::uint64_t v) { return c.first < v; });
        for (; it != cells_.end() && it->first == k; ++it) f(it->second);
      }
    }
  }

 private:
  static constexpr int kShift = 10;  // cells of 1,024 units, about 60 um
  static std::uint64_t key(ClipperLib::cInt column, ClipperLib::cInt row) {
    // Coordinates stay within ±2^40 units (the triangulation checks), so a
    // cell index fits 31 bits once offset.
    const auto offset = [](ClipperLib::cInt c) {
      return static_cast<std::uint64_t>(c + (ClipperLib::cInt{1} << 31)) & 0xffffffffu;
    };
    return offset(column) << 32 | offset(row);
  }

  std::vector<std::pair<std::uint64_t, ClipperLib::IntPoint>> cells_;
};

// Rewrites the paths with the points between(a, b, out) puts into each edge
// a-b, in their order from a to b.
template <class Between>
void bend_edges(std::span<ClipperLib::Path> paths, Between&& between) {
  ClipperLib::Path added;
  ClipperLib::Path bent;  // the path so far, once it has changed
  for (auto& path : paths) {
    bool changed = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
      const ClipperLib::IntPoint a = path[i];
      const ClipperLib::IntPoint b = path[(i + 1) % path.size()];
      added.clear();
      between(a, b, added);
      if (changed) {
        bent.push_back(a);
      } else if (!added.empty()) {
        changed = true;
        bent.assign(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      }
      bent.insert(bent.end(), added.begin(), added.end());
    }
    if (changed) path.swap(bent);
  }
}

// Every slanted path edge that passes through the unit square around one of
// the points is bent through that point, so edges that crossed near it meet
// there: the edges move by less than a unit, as far as Clipper's own
// rounding moves them. A point in the square of a level or upright edge lies
// on it, and the triangulation splits the edge there by itself.
void snap_to(std::span<ClipperLib::Path> paths, const PointCells& cells) {
  std::vector<std::pair<double, ClipperLib::IntPoint>> on_edge;
  bend_edges(paths, [&](const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b,
                        ClipperLib::Path& between) {
    if (a.X == b.X || a.Y == b.Y) return;
    on_edge.clear();
    cells.near(a, b, [&](const ClipperLib::IntPoint& r) {
      if (r == a || r == b || !passes_through(a, b, r)) return;
      const double along = static_cast<double>(r.X - a.X) * static_cast<double>(b.X - a.X) +
                           static_cast<double>(r.Y - a.Y) * static_cast<double>(b.Y - a.Y);
      on_edge.emplace_back(along, r);
    });
    std::sort(on_edge.begin(), on_edge.end(), [](const auto& p, const auto& q) {
      return p.first != q.first ? p.first < q.first : point_less(p.second, q.second);
    });
    on_edge.erase(std::unique(on_edge.begin(), on_edge.end()), on_edge.end());
    for (const auto& [along, r] : on_edge) between.push_back(r);
  });
}

// a / b rounded to the nearest integer (halves away from zero), b != 0.
Wide rounded_quotient(Wide a, Wide b) {
  if (b < 0) a = -a, b = -b;
  const Wide q = (2 * (a < 0 ? -a : a) + b) / (2 * b);
  return a < 0 ? -q : q;
}

}  // namespace

// Each piece of a contour edge becomes a wall: a quad from the bottom to the
// top, split into two triangles along a diagonal. A mesher such as gmsh fills
// a solid by tetrahedralizing its vertices (Delaunay) and then recovering the
// surface; a wall that is no face of those tetrahedra needs extra points, and
// removing them again is where gmsh 4.8 crashes beside long walls next to
// small details. Every vertex lies at one of two heights, and a sphere through
// the four corners of the wall a-b has its centre halfway up, so it meets both
// layers of vertices in the same circle through a and b, seen from above: the
// wall is a face of the Delaunay tetrahedra when some circle through a and b
// has every other vertex outside, that is when a-b is an edge of the plain
// Delaunay triangulation, when the vertex across it lies outside the circle
// through the face on this side. Contour edges for which that fails are split
// until it holds, down to about the thickness: a wall no longer than it is
// high is a plain quad, whose diagonal the mesher finds by a flip. The
// smallest circle (a-b as its diameter) would do too, but asks for many more
// points where long tracks run beside pads. The points lie exactly on the
// edge, so the walls and the areas stay as they are, and they are exact
// floats.
//
// Each split halves an edge at most down to min_length, so the count stays
// near the number of points there were; the cap only guards against inputs
// that would cascade. Edges whose split point would not be exact stay whole.
std::size_t conform_walls(Cdt& cdt, double min_length) {
  // Each constrained edge once, from the face that runs along it from the
  // smaller point to the larger (or the only finite one): the edge iterator
  // picks the side by address, and the order of the splits decides where
  // they go, so it must not change from one run to the next.
  std::vector<std::pair<VertexHandle, VertexHandle>> todo;
  for (auto f = cdt.finite_faces_begin(); f != cdt.finite_faces_end(); ++f) {
    for (int i = 0; i < 3; ++i) {
      if (!f->is_constrained(i)) continue;
      const VertexHandle u = f->vertex(Cdt::ccw(i));
      const VertexHandle w = f->vertex(Cdt::cw(i));
      // Only edges that need a split now: one that comes to need it by
      // another split is next to the new point and is taken up then (below).
      if ((CGAL::compare_xy(u->point(), w->point()) == CGAL::SMALLER ||
           cdt.is_infinite(f->neighbor(i))) &&
          needs_split(cdt, f, i)) {
        todo.emplace_back(u, w);
      }
    }
  }
  // Small boards need more splits than they have points (one long wall beside
  // a detail takes a dozen).
  const std::size_t budget = 2 * cdt.number_of_vertices() + 100000;
  std::size_t added = 0;
  while (!todo.empty() && added < budget) {
    const auto [u, w] = todo.back();
    todo.pop_back();
    FaceHandle f;
    int i = 0;
    if (!cdt.is_edge(u, w, f, i) || !f->is_constrained(i)) continue;  // split since
    if (!needs_split(cdt, f, i)) continue;
    if (CGAL::squared_distance(u->point(), w->point()) < min_length * min_length) continue;
    const auto p = split_point(u->point(), w->point());
    if (!p) continue;
    // On the constrained edge: the triangulation splits the constraint there.
    const VertexHandle m = cdt.insert(*p, f);
    ++added;
    todo.emplace_back(u, m);
    todo.emplace_back(m, w);
    // Only the faces around m changed: m is the new neighbour of their far edges.
    auto face = cdt.incident_faces(m);
    const auto done = face;
    do {
      const int j = face->index(m);
      if (!cdt.is_infinite(face) && face->is_constrained(j)) {
        todo.emplace_back(face->vertex(Cdt::ccw(j)), face->vertex(Cdt::cw(j)));
      }
    } while (++face != done);
  }
  return added;
}

std::vector<ClipperLib::IntPoint> crossings(const Cdt& cdt,
                                            const std::vector<ClipperLib::IntPoint>& points) {
  std::vector<ClipperLib::IntPoint> found;
  for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v) {
    const ClipperLib::IntPoint p{static_cast<ClipperLib::cInt>(std::llround(v->point().x())),
                                 static_cast<ClipperLib::cInt>(std::llround(v->point().y()))};
    const bool given = static_cast<double>(p.X) == v->point().x() &&
                       static_cast<double>(p.Y) == v->point().y() &&
                       std::binary_search(points.begin(), points.end(), p, point_less);
    if (!given) found.push_back(p);
  }
  std::sort(found.begin(), found.end(), point_less);
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

// The point is the whole one nearest to where the edge crosses: afterwards
// every edge lies on one side (the edge moves by at most half a unit, as
// Clipper's rounding moves it).
void cut_at(ClipperLib::Paths& paths, ClipperLib::cInt seam) {
  bend_edges(paths, [&](const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b,
                        ClipperLib::Path& between) {
    if ((a.X < seam && b.X > seam) || (a.X > seam && b.X < seam)) {
      const Wide dy = rounded_quotient(Wide{seam - a.X} * Wide{b.Y - a.Y}, Wide{b.X - a.X});
      between.push_back({seam, a.Y + static_cast<ClipperLib::cInt>(dy)});
    }
  });
}

// The copper's two halves side by side, the board's contours with the first.
void snap_to_points(ClipperLib::Paths& copper, ClipperLib::Paths& board,
                    std::vector<ClipperLib::IntPoint> points) {
  const PointCells cells(std::move(points));
  const std::span<ClipperLib::Path> all(copper);
  const std::size_t middle = copper.size() / 2;
  parallel(2, [&](std::size_t k) {
    if (k == 0) {
      snap_to(all.first(middle), cells);
      snap_to(board, cells);
    } else {
      snap_to(all.subspan(middle), cells);
    }
  });
}

}  // namespace foilcad::exact::detail
