// The triangulation of a half's constraints and the labels of its faces:
// winding numbers stepped in across the contour edges from outside the
// board, then the layer's rule of regions.
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "exact/plane.hpp"

namespace foilcad::exact::detail {
namespace {

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

// The label of a face whose winding numbers are known.
Label label_of(const FaceInfo& info) {
  if (info.board_winding == 0) return kOutside;
  return info.copper_winding != 0 ? kConductorLabel : kInsulatorLabel;
}

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

}  // namespace

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
    f->info().face = static_cast<std::uint32_t>(next[label]);
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

// A ray from a piece's middle to the right crosses each edge whose heights
// span the middle's, upward ones counting +1.
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

std::vector<VertexHandle> insert_constraints(const Constraints& constraints, Cdt& cdt) {
  std::vector<Point> points;
  points.reserve(constraints.points.size());
  for (const auto& p : constraints.points) {
    points.emplace_back(static_cast<double>(p.X), static_cast<double>(p.Y));
  }
  // No point, no face: and the property map below would take the address of
  // a first element that does not exist.
  if (points.empty()) return {};
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
  return handles;
}

void count_windings(Cdt& cdt, const Constraints& constraints, std::span<const VertexHandle> handles,
                    const Half& half) {
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
}

}  // namespace foilcad::exact::detail
