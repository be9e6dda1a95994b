#include "exact/solids.hpp"

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "exact/parallel.hpp"

namespace foilcad::exact {
namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;

// How the winding numbers of copper and board change when a walk leaves a
// face through one of its edges, and the numbers the face has.
struct FaceInfo {
  std::array<std::int32_t, 3> copper_step{0, 0, 0};
  std::array<std::int32_t, 3> board_step{0, 0, 0};
  std::int32_t copper_winding = 0;
  std::int32_t board_winding = 0;
  bool reached = false;
};

using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<std::uint32_t, Kernel>;
using FaceBase =
    CGAL::Triangulation_face_base_with_info_2<FaceInfo, Kernel,
                                              CGAL::Constrained_triangulation_face_base_2<Kernel>>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Exact_predicates_tag: constraints that cross are split at a computed point
// instead of failing. extrude_solids counts the points the triangulation adds
// and bends the crossing edges through whole points instead (snap_to), so
// that every vertex stays exact.
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, CGAL::Exact_predicates_tag>;
using VertexHandle = Cdt::Vertex_handle;
using FaceHandle = Cdt::Face_handle;
using Point = Kernel::Point_2;

// A face's region in the plane: the index of its body in the slab's list
// (Slab::bodies), or kOutside beyond the board.
using Label = std::uint32_t;
inline constexpr Label kOutside = std::numeric_limits<Label>::max();

// The regions of one copper layer: the conductor where the copper's winding
// number is not zero inside the board, the insulator in the rest of the
// board.
enum : Label { kConductorLabel, kInsulatorLabel, kLayerLabels };

// The label of a face whose winding numbers are known.
Label label_of(const FaceInfo& info) {
  if (info.board_winding == 0) return kOutside;
  return info.copper_winding != 0 ? kConductorLabel : kInsulatorLabel;
}

// Products of whole-unit coordinates, exactly.
__extension__ typedef __int128 Wide;  // GCC's and Clang's; -Wpedantic knows it then

// An edge of a copper contour or of the board's, between two of the
// constraints' points.
struct ContourEdge {
  std::uint32_t from;
  std::uint32_t to;
  bool copper;  // else the board's
};

// What the triangulation is made of: every distinct point of the contours of
// copper and board, and each contour edge as a pair of indices into them.
struct Constraints {
  std::vector<ClipperLib::IntPoint> points;
  std::vector<ContourEdge> edges;
};

bool point_less(const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b) {
  return a.X != b.X ? a.X < b.X : a.Y < b.Y;
}

// The edges that lie between x = lo and x = hi (all of them once the paths
// are cut at the seam, see cut_at), their points, and `extra` points.
Constraints collect_constraints(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                                ClipperLib::cInt lo, ClipperLib::cInt hi,
                                const std::vector<ClipperLib::IntPoint>& extra) {
  const auto within = [&](const ClipperLib::IntPoint& p, const ClipperLib::IntPoint& q) {
    return std::min(p.X, q.X) >= lo && std::max(p.X, q.X) <= hi;
  };
  const auto for_each_edge = [&](auto&& f) {
    for (const auto* paths : {&copper, &board}) {
      for (const auto& path : *paths) {
        if (path.size() < 3) continue;  // encloses nothing
        for (std::size_t i = 0; i < path.size(); ++i) {
          const auto& p = path[i];
          const auto& q = path[(i + 1) % path.size()];
          if (p != q && within(p, q)) f(p, q, paths == &copper);
        }
      }
    }
  };
  Constraints constraints;
  constraints.points = extra;
  for_each_edge([&](const auto& p, const auto&, bool) { constraints.points.push_back(p); });
  std::sort(constraints.points.begin(), constraints.points.end(), point_less);
  constraints.points.erase(std::unique(constraints.points.begin(), constraints.points.end()),
                           constraints.points.end());
  const auto index_of = [&](const ClipperLib::IntPoint& p) {
    return static_cast<std::uint32_t>(
        std::lower_bound(constraints.points.begin(), constraints.points.end(), p, point_less) -
        constraints.points.begin());
  };
  for_each_edge([&](const auto& p, const auto& q, bool is_copper) {
    constraints.edges.push_back({index_of(p), index_of(q), is_copper});
  });
  return constraints;
}

// The largest coordinate magnitude the triangulation takes (extrude_solids
// checks it): integer units beyond it would lose exactness in the products
// of its predicates.
constexpr ClipperLib::cInt kMaxUnits = ClipperLib::cInt{1} << 40;

// Records on the triangulation edge (f, i) that a contour edge runs along it
// from `from`: the face on its left has the larger winding number.
void record_step(const FaceHandle& f, int i, const VertexHandle& from, bool copper,
                 std::int32_t times = 1) {
  const FaceHandle n = f->neighbor(i);
  const int j = n->index(f);
  // In f the edge runs from vertex ccw(i) to cw(i) with f on its left.
  const int sign = (f->vertex(Cdt::ccw(i)) == from ? -1 : 1) * times;
  auto& own = copper ? f->info().copper_step : f->info().board_step;
  auto& other = copper ? n->info().copper_step : n->info().board_step;
  own[i] += sign;
  other[j] -= sign;
}

double dot(const Point& origin, const Point& p, const Point& q) {
  return (p.x() - origin.x()) * (q.x() - origin.x()) + (p.y() - origin.y()) * (q.y() - origin.y());
}

// Walks along the contour edge a→b through the triangulation (which split it
// at every vertex on it) and records each piece.
void record_contour_edge(const Cdt& cdt, const VertexHandle& a, const VertexHandle& b,
                         bool copper) {
  VertexHandle current = a;
  VertexHandle previous;
  for (std::size_t steps = 0; current != b; ++steps) {
    if (steps > cdt.number_of_vertices()) {
      throw std::logic_error("extrude_solids: lost a contour edge in the triangulation");
    }
    FaceHandle best_face;
    int best_index = -1;
    VertexHandle best;
    double best_cosine = -2.0;
    const Point& target = b->point();
    auto edges = cdt.incident_edges(current);
    const auto done = edges;
    do {
      const FaceHandle f = edges->first;
      const int i = edges->second;
      VertexHandle w = f->vertex(Cdt::ccw(i));
      if (w == current) w = f->vertex(Cdt::cw(i));
      if (cdt.is_infinite(w) || w == previous || !f->is_constrained(i)) continue;
      if (w == b) {
        best = w, best_face = f, best_index = i;
        break;
      }
      // Exact coordinates (whole units, or points that split an edge exactly
      // on it, see conform_walls): the collinearity and the order are exact.
      if (CGAL::orientation(a->point(), target, w->point()) == CGAL::COLLINEAR &&
          dot(current->point(), w->point(), target) > 0 &&
          dot(target, w->point(), a->point()) > 0) {
        best = w, best_face = f, best_index = i;
        break;
      }
      // Only where constraints crossed at a computed point, which lies off the
      // line by rounding: follow the constrained edge that points closest to b.
      const double dx = w->point().x() - current->point().x();
      const double dy = w->point().y() - current->point().y();
      const double tx = target.x() - current->point().x();
      const double ty = target.y() - current->point().y();
      const double cosine =
          (dx * tx + dy * ty) / std::sqrt((dx * dx + dy * dy) * (tx * tx + ty * ty));
      if (cosine > best_cosine) best = w, best_face = f, best_index = i, best_cosine = cosine;
    } while (++edges != done);
    if (best_index < 0) {
      throw std::logic_error("extrude_solids: a contour edge ends in the triangulation");
    }
    record_step(best_face, best_index, current, copper);
    previous = current;
    current = best;
  }
}

// Where a large board is cut in two halves triangulated side by side: the
// line x = x, its points from bottom to top, and the winding numbers of
// copper and board along each piece between two of them. Each half sees
// only its own side; the pieces of the seam are the edges of its hull there,
// and stepping in over one gives the winding numbers the whole board has.
struct Seam {
  ClipperLib::cInt x = 0;
  std::vector<ClipperLib::IntPoint> points;
  std::vector<std::int32_t> copper;  // one per piece
  std::vector<std::int32_t> board;
};

// One half: the part of the board it covers, and which side the seam is on.
struct Half {
  const Seam* seam = nullptr;  // none: the whole board
  bool seam_on_right = false;
};

// A face of the plane inside the board: its corners (indices into
// LabelledPlane::points, counterclockwise) and per edge i (the one across
// from corner i) the label on its other side: its own where the region goes
// on, kOutside at the board's edge.
struct PlaneFace {
  std::array<std::uint32_t, 3> corners;
  std::array<Label, 3> across;
};

// A triangulated plane whose faces carry the labels of their regions, as the
// meshes read it: flat arrays, made on the half's own thread, so that the
// meshes need not follow the triangulation's linked faces.
struct LabelledPlane {
  // In units: whole, or on a contour edge exactly (conform_walls).
  std::vector<Point> points;
  // The faces inside the board by label, each label's in the triangulation's
  // order: those of label l are faces[first[l]] up to faces[first[l + 1]].
  std::vector<PlaneFace> faces;
  std::vector<std::size_t> first;
  std::vector<std::size_t> walls;  // per label: the edges where its region ends
  // The points the plane shares with the one beside it (the other half of
  // the board): those on the line x = seam_x (NaN, no x, when alone) at the
  // heights of seam_points.
  double seam_x = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ClipperLib::IntPoint>* seam_points = nullptr;
};

// One half's triangulation of its constraints with every face's winding
// numbers, and once it is finished the plane the meshes are made of.
struct Triangulation {
  Cdt cdt;
  std::size_t added_points = 0;  // where constraints crossed
  std::optional<LabelledPlane> plane;
};

// The label across the edge i of the face f labelled `own`: the neighbour's,
// except across a piece of the seam at x = seam_x, where the region goes on
// in the other half.
Label label_across(const FaceHandle& f, int i, Label own, double seam_x) {
  const Label other = label_of(f->neighbor(i)->info());
  if (other != own && f->vertex(Cdt::ccw(i))->point().x() == seam_x &&
      f->vertex(Cdt::cw(i))->point().x() == seam_x) {
    return own;
  }
  return other;
}

// The plane of a finished triangulation whose faces have their winding
// numbers; numbers the vertices (their info()) in the order of its points.
LabelledPlane label_plane(Cdt& cdt, const Half& half) {
  LabelledPlane plane;
  if (half.seam != nullptr) {
    plane.seam_x = static_cast<double>(half.seam->x);
    plane.seam_points = &half.seam->points;
  }
  plane.points.reserve(cdt.number_of_vertices());
  for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v) {
    v->info() = static_cast<std::uint32_t>(plane.points.size());
    plane.points.push_back(v->point());
  }
  plane.first.assign(kLayerLabels + 1, 0);
  for (auto f = cdt.finite_faces_begin(); f != cdt.finite_faces_end(); ++f) {
    const Label label = label_of(f->info());
    if (label != kOutside) ++plane.first[label + 1];
  }
  std::partial_sum(plane.first.begin(), plane.first.end(), plane.first.begin());
  plane.faces.resize(plane.first.back());
  // Counted for the meshes too: those of large boards take hundreds of
  // megabytes, and growing them step by step would copy them over and over.
  plane.walls.assign(kLayerLabels, 0);
  std::vector<std::size_t> next(plane.first.begin(), plane.first.end() - 1);
  for (auto f = cdt.finite_faces_begin(); f != cdt.finite_faces_end(); ++f) {
    const Label label = label_of(f->info());
    if (label == kOutside) continue;
    PlaneFace& face = plane.faces[next[label]++];
    for (int i = 0; i < 3; ++i) {
      face.corners[static_cast<std::size_t>(i)] = f->vertex(i)->info();
      const Label across = label_across(f, i, label, plane.seam_x);
      face.across[static_cast<std::size_t>(i)] = across;
      plane.walls[label] += across != label;
    }
  }
  return plane;
}

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
constexpr double kMinSplitUnits = 16.0;  // about 1 micrometre, for very thin foils

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

// Splits the contour edges that are no Delaunay edges (see above); returns the points added.
// Each split halves an edge at most down to the thickness, so the count stays
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

// With `clean_only`, stops where constraints crossed (the caller bends the
// edges through whole points and triangulates again) instead of finishing.
// Walls shorter than `min_split` (units) are not split.
void triangulate(const Constraints& constraints, const Half& half, Triangulation& out,
                 bool clean_only, double min_split) {
  Cdt& cdt = out.cdt;
  std::vector<Point> points;
  points.reserve(constraints.points.size());
  for (const auto& p : constraints.points) {
    points.emplace_back(static_cast<double>(p.X), static_cast<double>(p.Y));
  }
  // No point, no face: and the property map below would take the address of
  // a first element that does not exist.
  if (points.empty()) return;
  // Points first, in spatial order (much faster than one by one), then the
  // edges between their handles.
  std::vector<std::size_t> order(points.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  using SortTraits =
      CGAL::Spatial_sort_traits_adapter_2<Kernel, CGAL::Pointer_property_map<Point>::const_type>;
  CGAL::spatial_sort(order.begin(), order.end(),
                     SortTraits(CGAL::make_property_map(std::as_const(points)), Kernel()));
  std::vector<VertexHandle> handles(points.size());
  FaceHandle hint;
  for (std::size_t k : order) {
    handles[k] = cdt.insert(points[k], hint);
    hint = handles[k]->face();
  }
  for (const auto& e : constraints.edges) cdt.insert_constraint(handles[e.from], handles[e.to]);
  out.added_points = cdt.number_of_vertices() - points.size();
  if (cdt.dimension() < 2) return;  // every point on one line: no area
  if (clean_only && out.added_points > 0) return;
  conform_walls(cdt, min_split);

  for (const auto& e : constraints.edges) {
    record_contour_edge(cdt, handles[e.from], handles[e.to], e.copper);
  }
  if (half.seam != nullptr) {
    const std::vector<ClipperLib::IntPoint>& on = half.seam->points;
    const auto handle = [&](const ClipperLib::IntPoint& p) {
      return handles[static_cast<std::size_t>(
          std::lower_bound(constraints.points.begin(), constraints.points.end(), p, point_less) -
          constraints.points.begin())];
    };
    for (std::size_t k = 0; k + 1 < on.size(); ++k) {
      const VertexHandle low = handle(on[k]);
      const VertexHandle high = handle(on[k + 1]);
      FaceHandle f;
      int i = 0;
      if (!cdt.is_edge(low, high, f, i)) {
        throw std::logic_error("extrude_solids: the seam is not an edge of the triangulation");
      }
      // The half lies left of the piece run upward when it is the left half.
      const VertexHandle from = half.seam_on_right ? low : high;
      record_step(f, i, from, true, half.seam->copper[k]);
      record_step(f, i, from, false, half.seam->board[k]);
    }
  }
  // Winding numbers outward in: zero on every infinite face.
  std::vector<FaceHandle> queue;
  for (auto f = cdt.all_faces_begin(); f != cdt.all_faces_end(); ++f) {
    if (cdt.is_infinite(f)) {
      f->info().reached = true;
      queue.push_back(f);
    }
  }
  while (!queue.empty()) {
    const FaceHandle f = queue.back();
    queue.pop_back();
    for (int i = 0; i < 3; ++i) {
      const FaceHandle n = f->neighbor(i);
      if (n->info().reached) continue;
      n->info().reached = true;
      n->info().copper_winding = f->info().copper_winding + f->info().copper_step[i];
      n->info().board_winding = f->info().board_winding + f->info().board_step[i];
      queue.push_back(n);
    }
  }
  out.plane = label_plane(cdt, half);
  // The meshes need only the plane: the triangulation is let go on this
  // thread, beside the other half's.
  cdt.clear();
}

// Rounds of snapping crossings to whole points before the triangulation
// keeps computed points (each round can move an edge onto another).
constexpr int kSnapRounds = 4;

// The points where the triangulation split crossing constraints, rounded to
// whole units.
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

// A slab of the board from z1 to z2, and the bodies the labels of the planes
// over it stand for: label l is the body bodies[l] in the list of all bodies.
struct Slab {
  double z1 = 0.0;  // mm
  double z2 = 0.0;
  std::vector<std::uint32_t> bodies;
};

// For finding the vertices planes share by their place (exact coordinates).
struct VertexHash {
  std::size_t operator()(const Vertex& v) const noexcept {
    const std::hash<double> hash;
    return (hash(v.x) * 31 + hash(v.y)) * 31 + hash(v.z);
  }
};

// One body's mesh, made of the regions of labelled planes extruded over their
// slabs: each vertex made on first use, a bottom and a top one per point of a
// plane, and those that planes share (the seam's) once for all of them.
class MeshBuilder {
 public:
  explicit MeshBuilder(std::uint32_t body) : body_(body) {}

  std::uint32_t body() const { return body_; }

  // Room for `faces` more faces of the body's regions and `walls` more walls
  // around them.
  void reserve(std::size_t faces, std::size_t walls) {
    const std::size_t triangles = mesh_.triangles.size() + 2 * (faces + walls);
    mesh_.triangles.reserve(triangles);
    mesh_.across.reserve(triangles);
    // A little more than each layer of vertices needs.
    mesh_.vertices.reserve(mesh_.vertices.size() + faces + walls + 3);
  }

  // Appends the regions of `plane` whose labels stand for this body, extruded
  // over `slab`: a top and a bottom for each face, and a wall wherever the
  // label across an edge is another. Each triangle's body across
  // (Mesh::across) is the one the label across stands for at a wall, kNoBody
  // at the board's edge and at the top and bottom, which are the board's.
  void add_plane(const LabelledPlane& plane, const Slab& slab) {
    points_ = &plane.points;
    seam_x_ = plane.seam_x;
    seam_points_ = plane.seam_points;
    z1_ = slab.z1;
    z2_ = slab.z2;
    bottom_.assign(plane.points.size(), kNone);
    top_.assign(plane.points.size(), kNone);
    for (Label label = 0; label < slab.bodies.size(); ++label) {
      if (slab.bodies[label] == body_) add_region(plane, label, slab);
    }
  }

  Mesh take() { return std::move(mesh_); }
  // mm², of the faces added: the area of the body's top.
  double area() const { return area_ / (kUnitsPerMm * kUnitsPerMm); }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  void add_region(const LabelledPlane& plane, Label label, const Slab& slab) {
    for (std::size_t k = plane.first[label]; k < plane.first[label + 1]; ++k) {
      const PlaneFace& f = plane.faces[k];
      const auto [v0, v1, v2] = f.corners;
      // Faces are counterclockwise seen from above: up on top, reversed below.
      mesh_.triangles.push_back({top(v0), top(v1), top(v2)});
      mesh_.triangles.push_back({bottom(v0), bottom(v2), bottom(v1)});
      mesh_.across.push_back(kNoBody);
      mesh_.across.push_back(kNoBody);
      for (std::size_t i = 0; i < 3; ++i) {
        const Label other = f.across[i];
        if (other == label) continue;
        // The region lies left of a→b, so the wall faces right, outward. The
        // quad's diagonal starts at the bottom of the lower-numbered point,
        // so that the bodies on both sides split the wall the same way.
        const std::uint32_t a = f.corners[(i + 1) % 3];
        const std::uint32_t b = f.corners[(i + 2) % 3];
        if (a < b) {
          mesh_.triangles.push_back({bottom(a), bottom(b), top(b)});
          mesh_.triangles.push_back({bottom(a), top(b), top(a)});
        } else {
          mesh_.triangles.push_back({bottom(a), bottom(b), top(a)});
          mesh_.triangles.push_back({bottom(b), top(b), top(a)});
        }
        const std::uint32_t beyond = other == kOutside ? kNoBody : slab.bodies[other];
        mesh_.across.push_back(beyond);
        mesh_.across.push_back(beyond);
      }
      area_ += CGAL::area(plane.points[v0], plane.points[v1], plane.points[v2]);
    }
  }

  // Whether the plane shares the point at height y on its seam.
  bool on_seam(double y) const {
    if (seam_points_ == nullptr) return false;
    const auto& on = *seam_points_;
    const auto k = std::lower_bound(
        on.begin(), on.end(), y,
        [](const ClipperLib::IntPoint& q, double at) { return static_cast<double>(q.Y) < at; });
    // (A point the triangulation computed could lie on the line too.)
    return k != on.end() && static_cast<double>(k->Y) == y;
  }

  std::uint32_t make(std::vector<std::uint32_t>& layer, std::uint32_t v, double z) {
    std::uint32_t& index = layer[v];
    if (index != kNone) return index;
    const Point& p = (*points_)[v];
    const auto next = static_cast<std::uint32_t>(mesh_.vertices.size());
    // Units are integers and the scale a power of two: exact in mm.
    const Vertex vertex{p.x() / kUnitsPerMm, p.y() / kUnitsPerMm, z};
    if (p.x() == seam_x_ && on_seam(p.y())) {
      const auto [known, added] = shared_.try_emplace(vertex, next);
      if (!added) return index = known->second;
    }
    mesh_.vertices.push_back(vertex);
    return index = next;
  }
  std::uint32_t bottom(std::uint32_t v) { return make(bottom_, v, z1_); }
  std::uint32_t top(std::uint32_t v) { return make(top_, v, z2_); }

  std::uint32_t body_;
  Mesh mesh_;
  // Of the plane being added:
  const std::vector<Point>* points_ = nullptr;
  double seam_x_ = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ClipperLib::IntPoint>* seam_points_ = nullptr;
  double z1_ = 0.0;
  double z2_ = 0.0;
  std::vector<std::uint32_t> bottom_;  // per point, the vertex below it
  std::vector<std::uint32_t> top_;
  // The vertices of points that planes share, by place.
  std::unordered_map<Vertex, std::uint32_t, VertexHash> shared_;
  double area_ = 0.0;
};

// Extrudes the planes over one slab (its halves) into the mesh of one body.
void extrude(std::span<const LabelledPlane* const> planes, const Slab& slab, MeshBuilder& builder) {
  std::size_t faces = 0, walls = 0;
  for (const LabelledPlane* plane : planes) {
    for (Label label = 0; label < slab.bodies.size(); ++label) {
      if (slab.bodies[label] != builder.body()) continue;
      faces += plane->first[label + 1] - plane->first[label];
      walls += plane->walls[label];
    }
  }
  builder.reserve(faces, walls);
  for (const LabelledPlane* plane : planes) builder.add_plane(*plane, slab);
}

double paths_area(const ClipperLib::Paths& paths) {
  double area = 0.0;
  for (const auto& path : paths) area += ClipperLib::Area(path);
  return std::abs(area) / (kUnitsPerMm * kUnitsPerMm);
}

// The x of the seam: near the middle of the points, on no point's x, so
// that no contour edge runs along it. None when there are fewer points than
// halves_from.
std::optional<ClipperLib::cInt> choose_seam(const std::vector<ClipperLib::IntPoint>& points,
                                            std::size_t halves_from) {
  if (points.size() < halves_from || points.empty()) return std::nullopt;
  std::vector<ClipperLib::cInt> xs;
  xs.reserve(points.size());
  for (const auto& p : points) xs.push_back(p.X);
  std::sort(xs.begin(), xs.end());
  ClipperLib::cInt x = xs[xs.size() / 2];
  while (std::binary_search(xs.begin(), xs.end(), x)) ++x;
  if (x >= xs.back()) return std::nullopt;
  return x;
}

// a / b rounded to the nearest integer (halves away from zero), b != 0.
Wide rounded_quotient(Wide a, Wide b) {
  if (b < 0) a = -a, b = -b;
  const Wide q = (2 * (a < 0 ? -a : a) + b) / (2 * b);
  return a < 0 ? -q : q;
}

// Every edge that crosses x = seam gets a whole point on it there, the
// nearest to where it crosses: afterwards every edge lies on one side (the
// edge moves by at most half a unit, as Clipper's rounding moves it).
void cut_at(ClipperLib::Paths& paths, ClipperLib::cInt seam) {
  bend_edges(paths, [&](const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b,
                        ClipperLib::Path& between) {
    if ((a.X < seam && b.X > seam) || (a.X > seam && b.X < seam)) {
      const Wide dy = rounded_quotient(Wide{seam - a.X} * Wide{b.Y - a.Y}, Wide{b.X - a.X});
      between.push_back({seam, a.Y + static_cast<ClipperLib::cInt>(dy)});
    }
  });
}

// The seam's points and the winding numbers along its pieces, from the
// edges right of it: a ray from a piece's middle to the right crosses each
// edge whose heights span the middle's, upward ones counting +1.
// std::nullopt when an edge runs along the seam (a snapped crossing can put
// one there): that board is triangulated whole.
std::optional<Seam> make_seam(ClipperLib::cInt x, const ClipperLib::Paths& copper,
                              const ClipperLib::Paths& board) {
  Seam seam;
  seam.x = x;
  for (const auto* paths : {&copper, &board}) {
    for (const auto& path : *paths) {
      for (const auto& p : path) {
        if (p.X == x) seam.points.push_back(p);
      }
    }
  }
  std::sort(seam.points.begin(), seam.points.end(), point_less);
  seam.points.erase(std::unique(seam.points.begin(), seam.points.end()), seam.points.end());
  const std::size_t pieces = seam.points.empty() ? 0 : seam.points.size() - 1;
  // Twice each piece's middle, rising.
  std::vector<Wide> middles(pieces);
  for (std::size_t k = 0; k < pieces; ++k) {
    middles[k] = Wide{seam.points[k].Y} + Wide{seam.points[k + 1].Y};
  }
  std::vector<std::int32_t> copper_steps(pieces + 1, 0), board_steps(pieces + 1, 0);
  for (const auto* paths : {&copper, &board}) {
    auto& steps = paths == &copper ? copper_steps : board_steps;
    for (const auto& path : *paths) {
      if (path.size() < 3) continue;
      for (std::size_t i = 0; i < path.size(); ++i) {
        const auto& a = path[i];
        const auto& b = path[(i + 1) % path.size()];
        if (a.X == x && b.X == x && a.Y != b.Y) return std::nullopt;
        if (a.X < x || b.X < x || a.Y == b.Y) continue;
        // Half open, so that a vertex on a ray counts once.
        const Wide low = 2 * Wide{std::min(a.Y, b.Y)};
        const Wide high = 2 * Wide{std::max(a.Y, b.Y)};
        const auto first = std::lower_bound(middles.begin(), middles.end(), low) - middles.begin();
        const auto end = std::lower_bound(middles.begin(), middles.end(), high) - middles.begin();
        const std::int32_t up = b.Y > a.Y ? 1 : -1;
        steps[static_cast<std::size_t>(first)] += up;
        steps[static_cast<std::size_t>(end)] -= up;
      }
    }
  }
  seam.copper.resize(pieces);
  seam.board.resize(pieces);
  std::int32_t c = 0, w = 0;
  for (std::size_t k = 0; k < pieces; ++k) {
    seam.copper[k] = c += copper_steps[k];
    seam.board[k] = w += board_steps[k];
  }
  return seam;
}

// snap_to on both path sets, the copper's two halves side by side.
void snap_all(ClipperLib::Paths& copper, ClipperLib::Paths& board, const PointCells& cells) {
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

}  // namespace

ExactSolids extrude_solids(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                           double z1, double z2, std::size_t halves_from) {
  if (!std::isfinite(z1) || !std::isfinite(z2) || z1 == z2) {
    throw Error("the exact model needs a thickness other than zero");
  }
  if (z2 < z1) std::swap(z1, z2);

  const double min_split = std::max(kMinSplitUnits, (z2 - z1) * kUnitsPerMm);
  ClipperLib::Paths cut_copper = copper;
  ClipperLib::Paths cut_board = board;
  std::optional<ClipperLib::cInt> seam_x;
  {
    std::vector<ClipperLib::IntPoint> points;
    for (const auto* paths : {&copper, &board}) {
      for (const auto& path : *paths) points.insert(points.end(), path.begin(), path.end());
    }
    // Every later point lies between these (cuts on their edges, crossings).
    for (const auto& p : points) {
      if (std::abs(p.X) > kMaxUnits || std::abs(p.Y) > kMaxUnits) {
        throw Error("the board reaches too far from the origin for the exact model");
      }
    }
    seam_x = choose_seam(points, halves_from);
    // Clipper's rounding now and then leaves a vertex a fraction of a unit
    // across another edge: bent through the vertex beforehand, those edges
    // need no second triangulation (see below).
    const PointCells cells(std::move(points));
    snap_all(cut_copper, cut_board, cells);
  }
  std::optional<Seam> seam;
  std::vector<Half> halves;
  std::vector<std::unique_ptr<Triangulation>> triangulations;
  constexpr ClipperLib::cInt kAll = std::numeric_limits<ClipperLib::cInt>::max();
  for (int round = 0;; ++round) {
    seam.reset();
    if (seam_x) {
      cut_at(cut_copper, *seam_x);
      cut_at(cut_board, *seam_x);
      seam = make_seam(*seam_x, cut_copper, cut_board);
    }
    halves.clear();
    if (seam) {
      halves = {{&*seam, true}, {&*seam, false}};
    } else {
      halves = {{}};
    }
    std::vector<Constraints> constraints(halves.size());
    triangulations.clear();
    for (std::size_t h = 0; h < halves.size(); ++h) {
      triangulations.push_back(std::make_unique<Triangulation>());
    }
    const bool last = round == kSnapRounds;
    parallel(halves.size(), [&](std::size_t h) {
      const Half& half = halves[h];
      const ClipperLib::cInt lo = half.seam == nullptr || half.seam_on_right ? -kAll : seam->x;
      const ClipperLib::cInt hi = half.seam == nullptr || !half.seam_on_right ? kAll : seam->x;
      constraints[h] = collect_constraints(
          cut_copper, cut_board, lo, hi,
          half.seam != nullptr ? half.seam->points : std::vector<ClipperLib::IntPoint>{});
      triangulate(constraints[h], half, *triangulations[h], !last, min_split);
    });
    if (last) break;
    std::vector<ClipperLib::IntPoint> snaps;
    for (std::size_t h = 0; h < halves.size(); ++h) {
      if (triangulations[h]->added_points == 0) continue;  // and split walls are no crossings
      const auto found = crossings(triangulations[h]->cdt, constraints[h].points);
      snaps.insert(snaps.end(), found.begin(), found.end());
    }
    if (snaps.empty()) break;
    // Constraints crossed (copper across the board's border, or Clipper's
    // rounding, which leaves a crossing a fraction of a unit long now and
    // then): the edges meet at the crossing's nearest whole point instead.
    const PointCells cells(std::move(snaps));
    snap_all(cut_copper, cut_board, cells);
  }

  // The meshes only read the planes: the bodies built side by side.
  std::vector<const LabelledPlane*> planes;
  for (const auto& t : triangulations) {
    if (t->plane) planes.push_back(&*t->plane);
  }
  const Slab slab{z1, z2, {0, 1}};  // the conductor's label, the insulator's
  std::vector<MeshBuilder> builders{MeshBuilder(0), MeshBuilder(1)};
  parallel(builders.size(), [&](std::size_t b) { extrude(planes, slab, builders[b]); });
  ExactSolids solids;
  solids.copper_area = builders[0].area();
  solids.bodies.push_back({conductor_body(z1, z2), builders[0].take()});
  solids.bodies.push_back({insulator_body(z1, z2), builders[1].take()});
  solids.board_area = paths_area(cut_board);
  return solids;
}

}  // namespace foilcad::exact
