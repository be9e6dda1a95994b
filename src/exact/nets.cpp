#include "exact/nets.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <utility>

namespace foilcad::exact {

namespace {

// Where a contour crosses a level line: which way it goes (upward +1), as an
// edge of the shape or of a cut.
struct Crossing {
  double x;
  int shape;
  int cut;
  bool operator<(const Crossing& o) const {
    return x != o.x ? x < o.x : shape != o.shape ? shape < o.shape : cut < o.cut;
  }
};

void add_crossings(PathSpan contours, double level, bool cut, std::vector<Crossing>& out) {
  for (const auto& path : contours) {
    for (std::size_t i = 0; i < path.size(); ++i) {
      const auto& a = path[i];
      const auto& b = path[(i + 1) % path.size()];
      const double ay = static_cast<double>(a.Y);
      const double by = static_cast<double>(b.Y);
      if ((ay < level) == (by < level)) continue;
      const double t = (level - ay) / (by - ay);
      const double at = static_cast<double>(a.X) + t * static_cast<double>(b.X - a.X);
      const int up = by > ay ? 1 : -1;
      out.push_back({at, cut ? 0 : up, cut ? up : 0});
    }
  }
}

// The holes' cells of 1 mm, for the few holes near a point or a piece.
class HoleCells {
 public:
  explicit HoleCells(const Pieces& holes) : holes_(holes) {
    for (std::uint32_t h = 0; h < holes.pieces.size(); ++h) {
      const UnitBox& b = holes.pieces[h].box;
      for (auto cx = b.min_x >> kShift; cx <= b.max_x >> kShift; ++cx) {
        for (auto cy = b.min_y >> kShift; cy <= b.max_y >> kShift; ++cy) {
          cells_.emplace_back(std::pair{cx, cy}, h);
        }
      }
    }
    std::sort(cells_.begin(), cells_.end());
  }

  // Whether (x, y) lies in a hole or on its wall.
  bool holds(double x, double y) const {
    const ClipperLib::IntPoint p{std::llround(x), std::llround(y)};
    bool in = false;
    for_each({p.X, p.X, p.Y, p.Y}, [&](std::uint32_t h) {
      const Piece& hole = holes_.pieces[h];
      if (!in && ClipperLib::PointInPolygon(p, holes_.contours[hole.first]) != 0) in = true;
    });
    return in;
  }

  // The contours of the holes whose boxes meet the box.
  std::vector<ClipperLib::Path> near(const UnitBox& box) const {
    std::vector<std::uint32_t> found;
    for_each(box, [&](std::uint32_t h) { found.push_back(h); });
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<ClipperLib::Path> out;
    for (const std::uint32_t h : found) {
      const Piece& hole = holes_.pieces[h];
      out.insert(out.end(), holes_.contours.begin() + static_cast<std::ptrdiff_t>(hole.first),
                 holes_.contours.begin() + static_cast<std::ptrdiff_t>(hole.first + hole.count));
    }
    return out;
  }

 private:
  static constexpr int kShift = 14;  // cells of 16,384 units, 1 mm
  using Cell = std::pair<ClipperLib::cInt, ClipperLib::cInt>;

  // f(hole) for each hole listed in a cell the box meets whose box meets it,
  // once a cell.
  template <class F>
  void for_each(const UnitBox& box, F&& f) const {
    for (auto cx = box.min_x >> kShift; cx <= box.max_x >> kShift; ++cx) {
      auto it = std::lower_bound(cells_.begin(), cells_.end(),
                                 std::pair{Cell{cx, box.min_y >> kShift}, std::uint32_t{0}});
      for (; it != cells_.end() && it->first <= Cell{cx, box.max_y >> kShift}; ++it) {
        const UnitBox& b = holes_.pieces[it->second].box;
        if (b.min_x <= box.max_x && b.max_x >= box.min_x && b.min_y <= box.max_y &&
            b.max_y >= box.min_y) {
          f(it->second);
        }
      }
    }
  }

  const Pieces& holes_;
  std::vector<std::pair<Cell, std::uint32_t>> cells_;
};

}  // namespace

bool interior_point(PathSpan contours, double& x, double& y, PathSpan cut) {
  std::vector<ClipperLib::cInt> heights;
  for (const auto& path : contours) {
    for (const auto& p : path) heights.push_back(p.Y);
  }
  std::sort(heights.begin(), heights.end());
  heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
  if (heights.size() < 2) return false;
  // Between the two heights farthest apart the level line meets no vertex,
  // and the shape is thickest there in the usual case (a circle's chords
  // bunch at its top and bottom). With cuts, the next widest gaps follow, in
  // case the cuts cover the line's spans.
  std::vector<std::size_t> gaps(heights.size() - 1);
  std::iota(gaps.begin(), gaps.end(), std::size_t{0});
  const auto wider = [&](std::size_t a, std::size_t b) {
    return heights[a + 1] - heights[a] > heights[b + 1] - heights[b];
  };
  if (cut.empty()) {
    gaps = {*std::min_element(gaps.begin(), gaps.end(), wider)};  // the first widest
  } else {
    std::stable_sort(gaps.begin(), gaps.end(), wider);
  }
  std::vector<Crossing> crossings;
  for (const std::size_t gap : gaps) {
    const double level =
        (static_cast<double>(heights[gap]) + static_cast<double>(heights[gap + 1])) / 2;
    crossings.clear();
    add_crossings(contours, level, false, crossings);
    add_crossings(cut, level, true, crossings);
    std::sort(crossings.begin(), crossings.end());
    int winding = 0;
    int cut_winding = 0;
    double best = 0.0;
    bool found = false;
    for (std::size_t k = 0; k + 1 < crossings.size(); ++k) {
      winding += crossings[k].shape;
      cut_winding += crossings[k].cut;
      const double width = crossings[k + 1].x - crossings[k].x;
      if (winding != 0 && cut_winding == 0 && width > best) {
        best = width;
        x = (crossings[k].x + crossings[k + 1].x) / 2;
        found = true;
      }
    }
    if (found) {
      y = level;
      return true;
    }
  }
  return false;
}

std::vector<NetProbe> net_probes(const Drawing& drawing, const Pieces& pieces,
                                 const Pieces& holes) {
  std::vector<NetProbe> probes;
  if (drawing.nets.empty()) return probes;
  const HoleCells cells(holes);
  for (const Piece& piece : pieces.pieces) {
    if (piece.object == kNoObject || piece.clear != drawing.negative) continue;
    NetProbe probe;
    probe.nets = drawing.nets_of(piece.object);
    if (probe.nets.empty()) continue;
    const PathSpan contours = pieces.contours_of(piece);
    if (!interior_point(contours, probe.x, probe.y)) continue;
    // A pad's middle is where its hole is drilled: the probe moves to the
    // thickest part of the copper the holes leave of it.
    if (!holes.pieces.empty() && cells.holds(probe.x, probe.y) &&
        !interior_point(contours, probe.x, probe.y, cells.near(piece.box))) {
      continue;
    }
    probe.line = drawing.objects[piece.object].line;
    probes.push_back(probe);
  }
  return probes;
}

PartBodies name_parts(std::span<const CopperPart> parts, std::span<const NetProbe> probes,
                      const std::vector<std::string>& net_names) {
  std::vector<std::uint32_t> order(parts.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const CopperPart& p = parts[a];
    const CopperPart& q = parts[b];
    return p.low_y != q.low_y ? p.low_y < q.low_y : p.low_x < q.low_x;
  });
  const std::set<std::string> taken(net_names.begin(), net_names.end());
  PartBodies out;
  out.body_of_part.resize(parts.size());
  std::map<std::uint32_t, std::uint32_t> body_of_net;
  std::size_t shorts = 0;
  std::size_t short_line = 0;
  std::size_t copper_number = 0;
  for (const std::uint32_t p : order) {
    // The part's nets, and the line where a second one first appears.
    std::vector<std::uint32_t> found = parts[p].probes;
    std::sort(found.begin(), found.end(),
              [&](std::uint32_t a, std::uint32_t b) { return probes[a].line < probes[b].line; });
    std::set<std::uint32_t> nets;
    std::size_t second_line = 0;
    for (const std::uint32_t k : found) {
      for (const std::uint32_t n : probes[k].nets) {
        if (nets.insert(n).second && nets.size() == 2) second_line = probes[k].line;
      }
    }
    if (nets.size() > 1) {
      if (shorts++ == 0) short_line = second_line;
    }
    std::vector<std::string> names;
    for (const std::uint32_t n : nets) names.push_back(net_names[n]);
    if (nets.size() == 1) {
      const auto [it, added] =
          body_of_net.try_emplace(*nets.begin(), static_cast<std::uint32_t>(out.names.size()));
      if (added) {
        out.names.push_back(names.front());
        out.nets.push_back(names);
      }
      out.body_of_part[p] = it->second;
      continue;
    }
    std::string name;
    do {
      name = "copper_" + std::to_string(++copper_number);
    } while (taken.contains(name));
    out.body_of_part[p] = static_cast<std::uint32_t>(out.names.size());
    out.names.push_back(std::move(name));
    out.nets.push_back(std::move(names));
  }
  if (shorts > 0) out.warnings.push_back({WarningKind::joined_nets, shorts, short_line});
  return out;
}

}  // namespace foilcad::exact
