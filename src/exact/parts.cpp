// The copper's connected parts: the conductor's faces joined over the edges
// they share, in each plane and across the seam between the halves.
#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "exact/plane.hpp"

namespace foilcad::exact::detail {
namespace {

// Disjoint sets of faces, by index.
class FaceSets {
 public:
  explicit FaceSets(std::size_t count) : parent_(count) {
    std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
  }
  std::uint32_t find(std::uint32_t a) {
    while (parent_[a] != a) a = parent_[a] = parent_[parent_[a]];
    return a;
  }
  void join(std::uint32_t a, std::uint32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::uint32_t> parent_;
};

// An edge of a conductor face: its two points (the lower-numbered first, as
// one key), the face (counted from the plane's first conductor face) and
// the label across it.
struct FaceEdge {
  std::uint64_t key;
  std::uint32_t face;
  Label across;
};

std::uint64_t edge_key(std::uint32_t a, std::uint32_t b) {
  return (std::uint64_t{std::min(a, b)} << 32) | std::max(a, b);
}

std::vector<FaceEdge> conductor_edges(const LabelledPlane& plane) {
  std::vector<FaceEdge> edges;
  const std::size_t first = plane.first[kConductorLabel];
  const std::size_t end = plane.first[kConductorLabel + 1];
  edges.reserve(3 * (end - first));
  for (std::size_t k = first; k < end; ++k) {
    const PlaneFace& f = plane.faces[k];
    for (std::size_t i = 0; i < 3; ++i) {
      edges.push_back({edge_key(f.corners[(i + 1) % 3], f.corners[(i + 2) % 3]),
                       static_cast<std::uint32_t>(k - first), f.across[i]});
    }
  }
  std::sort(edges.begin(), edges.end(),
            [](const FaceEdge& a, const FaceEdge& b) { return a.key < b.key; });
  return edges;
}

// A piece of the seam under a conductor face: its ends' heights, and the
// face's index among all planes' conductor faces.
struct SeamEdge {
  double low;
  double high;
  std::uint32_t face;
  friend bool operator<(const SeamEdge& a, const SeamEdge& b) {
    return a.low != b.low ? a.low < b.low : a.high < b.high;
  }
};

// Gives the faces their new labels: a conductor face its part's, an
// insulator face `insulator`, and the same across their edges.
void relabel(LabelledPlane& plane, const std::vector<FaceEdge>& edges,
             std::span<const std::uint32_t> part_of_face, Label insulator) {
  const std::size_t first = plane.first[kConductorLabel];
  const std::size_t end = plane.first[kConductorLabel + 1];
  const std::size_t labels = static_cast<std::size_t>(insulator) + 1;
  const auto label_of_face = [&](std::size_t k) -> Label {
    return k >= first && k < end ? part_of_face[k - first] : insulator;
  };
  const auto part_beyond = [&](const PlaneFace& f, std::size_t i) -> Label {
    const std::uint64_t key = edge_key(f.corners[(i + 1) % 3], f.corners[(i + 2) % 3]);
    const auto at = std::lower_bound(edges.begin(), edges.end(), key,
                                     [](const FaceEdge& e, std::uint64_t k) { return e.key < k; });
    if (at == edges.end() || at->key != key) {
      throw std::logic_error("split_parts: a wall of the insulator has no copper beyond it");
    }
    return part_of_face[at->face];
  };
  std::vector<std::size_t> counts(labels + 1, 0);
  for (std::size_t k = 0; k < plane.faces.size(); ++k) ++counts[label_of_face(k) + 1];
  std::partial_sum(counts.begin(), counts.end(), counts.begin());
  std::vector<std::size_t> next(counts.begin(), counts.end() - 1);
  std::vector<PlaneFace> faces(plane.faces.size());
  std::vector<std::size_t> walls(labels, 0);
  for (std::size_t k = 0; k < plane.faces.size(); ++k) {
    PlaneFace f = plane.faces[k];
    const Label own = label_of_face(k);
    for (std::size_t i = 0; i < 3; ++i) {
      Label& across = f.across[i];
      if (across == kOutside) {
        // The board's edge.
      } else if (across == kInsulatorLabel) {
        across = insulator;
      } else if (own != insulator) {
        across = own;  // an edge within the part (or on the seam)
      } else {
        across = part_beyond(plane.faces[k], i);
      }
      walls[own] += across != own;
    }
    faces[next[own]++] = f;
  }
  plane.faces = std::move(faces);
  plane.first = std::move(counts);
  plane.walls = std::move(walls);
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::uint32_t>> locate_probes(const Cdt& cdt,
                                                                   std::span<const NetProbe> probes,
                                                                   double lo, double hi) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
  FaceHandle hint;
  for (std::size_t k = 0; k < probes.size(); ++k) {
    const NetProbe& probe = probes[k];
    // A probe on the seam is the left half's.
    if (!(probe.x > lo && probe.x <= hi)) continue;
    const FaceHandle f = cdt.locate(Point(probe.x, probe.y), hint);
    if (f == FaceHandle() || cdt.is_infinite(f)) continue;
    hint = f;
    const FaceInfo& info = f->info();
    if (info.board_winding == 0 || info.copper_winding == 0) continue;  // cleared, or cut off
    found.emplace_back(static_cast<std::uint32_t>(k), info.face);
  }
  return found;
}

std::vector<CopperPart> split_parts(
    std::span<LabelledPlane* const> planes,
    std::span<const std::vector<std::pair<std::uint32_t, std::uint32_t>>* const> probe_faces) {
  std::vector<std::size_t> base;  // each plane's first face among all conductor faces
  std::size_t total = 0;
  for (const LabelledPlane* plane : planes) {
    base.push_back(total);
    total += plane->first[kConductorLabel + 1] - plane->first[kConductorLabel];
  }
  if (total > UINT32_MAX) throw std::length_error("split_parts: too many faces");
  FaceSets sets(total);
  std::vector<std::vector<FaceEdge>> edges;
  std::vector<std::vector<SeamEdge>> seams(planes.size());
  for (std::size_t h = 0; h < planes.size(); ++h) {
    const LabelledPlane& plane = *planes[h];
    edges.push_back(conductor_edges(plane));
    const std::vector<FaceEdge>& e = edges.back();
    const auto global = [&](std::uint32_t face) {
      return static_cast<std::uint32_t>(base[h] + face);
    };
    for (std::size_t i = 0; i < e.size();) {
      std::size_t j = i + 1;
      while (j < e.size() && e[j].key == e[i].key) ++j;
      if (e[i].across == kConductorLabel) {
        if (j - i == 2) {
          sets.join(global(e[i].face), global(e[i + 1].face));
        } else {
          // The part goes on in the other half: the edge is a piece of the
          // seam, found there by its heights.
          const Point& a = plane.points[e[i].key >> 32];
          const Point& b = plane.points[e[i].key & 0xFFFFFFFFu];
          seams[h].push_back({std::min(a.y(), b.y()), std::max(a.y(), b.y()), global(e[i].face)});
        }
      }
      i = j;
    }
    std::sort(seams[h].begin(), seams[h].end());
  }
  if (planes.size() == 2) {
    for (const SeamEdge& s : seams[0]) {
      const auto other = std::lower_bound(seams[1].begin(), seams[1].end(), s);
      if (other != seams[1].end() && !(s < *other)) sets.join(s.face, other->face);
    }
  }
  // The parts numbered by their first face.
  std::vector<std::uint32_t> part_of_face(total);
  std::vector<std::uint32_t> part_of_root(total, UINT32_MAX);
  std::vector<CopperPart> parts;
  for (std::size_t h = 0; h < planes.size(); ++h) {
    const LabelledPlane& plane = *planes[h];
    for (std::size_t k = plane.first[kConductorLabel]; k < plane.first[kConductorLabel + 1]; ++k) {
      const std::size_t g = base[h] + k - plane.first[kConductorLabel];
      std::uint32_t& part = part_of_root[sets.find(static_cast<std::uint32_t>(g))];
      if (part == UINT32_MAX) {
        part = static_cast<std::uint32_t>(parts.size());
        const Point& p = plane.points[plane.faces[k].corners[0]];
        parts.push_back({p.x(), p.y(), {}});
      }
      part_of_face[g] = part;
      CopperPart& c = parts[part];
      for (const std::uint32_t v : plane.faces[k].corners) {
        const Point& p = plane.points[v];
        if (p.y() < c.low_y || (p.y() == c.low_y && p.x() < c.low_x)) {
          c.low_x = p.x();
          c.low_y = p.y();
        }
      }
    }
    if (h < probe_faces.size()) {
      for (const auto& [probe, face] : *probe_faces[h]) {
        parts[part_of_face[base[h] + face - plane.first[kConductorLabel]]].probes.push_back(probe);
      }
    }
  }
  const auto insulator = static_cast<Label>(parts.size());
  for (std::size_t h = 0; h < planes.size(); ++h) {
    const std::size_t count =
        planes[h]->first[kConductorLabel + 1] - planes[h]->first[kConductorLabel];
    relabel(*planes[h], edges[h], std::span(part_of_face).subspan(base[h], count), insulator);
  }
  return parts;
}

}  // namespace foilcad::exact::detail
