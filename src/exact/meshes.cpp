// The extrusion of labelled planes into the meshes of their bodies.
#include <algorithm>
#include <utility>

#include "exact/plane.hpp"

namespace foilcad::exact::detail {

void MeshBuilder::reserve(std::size_t faces, std::size_t walls) {
  const std::size_t triangles = mesh_.triangles.size() + 2 * (faces + walls);
  mesh_.triangles.reserve(triangles);
  mesh_.across.reserve(triangles);
  // A little more than each layer of vertices needs.
  mesh_.vertices.reserve(mesh_.vertices.size() + faces + walls + 3);
}

void MeshBuilder::add_plane(const LabelledPlane& plane, const Slab& slab) {
  points_ = &plane.points;
  seam_x_ = plane.seam_x;
  seam_points_ = plane.seam_points;
  z1_ = slab.z1;
  z2_ = slab.z2;
  std::size_t faces = 0;
  for (const Label label : labels_) faces += plane.first[label + 1] - plane.first[label];
  used_.clear();
  std::size_t slots = plane.points.size();
  if (faces < plane.points.size() / 32) {
    for (const Label label : labels_) {
      for (std::size_t k = plane.first[label]; k < plane.first[label + 1]; ++k) {
        used_.insert(used_.end(), plane.faces[k].corners.begin(), plane.faces[k].corners.end());
      }
    }
    std::sort(used_.begin(), used_.end());
    used_.erase(std::unique(used_.begin(), used_.end()), used_.end());
    slots = used_.size();
  }
  bottom_.assign(slots, kNone);
  top_.assign(slots, kNone);
  for (const Label label : labels_) add_region(plane, label, slab);
}

std::size_t MeshBuilder::slot(std::uint32_t v) const {
  if (used_.empty()) return v;
  return static_cast<std::size_t>(std::lower_bound(used_.begin(), used_.end(), v) - used_.begin());
}

void MeshBuilder::add_region(const LabelledPlane& plane, Label label, const Slab& slab) {
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

bool MeshBuilder::on_seam(double y) const {
  if (seam_points_ == nullptr) return false;
  const auto& on = *seam_points_;
  const auto k = std::lower_bound(
      on.begin(), on.end(), y,
      [](const ClipperLib::IntPoint& q, double at) { return static_cast<double>(q.Y) < at; });
  // (A point the triangulation computed could lie on the line too.)
  return k != on.end() && static_cast<double>(k->Y) == y;
}

std::uint32_t MeshBuilder::make(std::vector<std::uint32_t>& layer, std::uint32_t v, double z) {
  std::uint32_t& index = layer[slot(v)];
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

void extrude(std::span<const LabelledPlane* const> planes, const Slab& slab, MeshBuilder& builder) {
  std::size_t faces = 0, walls = 0;
  for (const LabelledPlane* plane : planes) {
    for (const Label label : builder.labels()) {
      faces += plane->first[label + 1] - plane->first[label];
      walls += plane->walls[label];
    }
  }
  builder.reserve(faces, walls);
  for (const LabelledPlane* plane : planes) builder.add_plane(*plane, slab);
}

}  // namespace foilcad::exact::detail
