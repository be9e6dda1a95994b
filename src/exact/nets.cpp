#include "exact/nets.hpp"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <utility>

namespace foilcad::exact {

bool interior_point(PathSpan contours, double& x, double& y) {
  std::vector<ClipperLib::cInt> heights;
  for (const auto& path : contours) {
    for (const auto& p : path) heights.push_back(p.Y);
  }
  std::sort(heights.begin(), heights.end());
  heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
  if (heights.size() < 2) return false;
  // Between the two heights farthest apart the level line meets no vertex,
  // and the shape is thickest there in the usual case (a circle's chords
  // bunch at its top and bottom).
  std::size_t gap = 0;
  for (std::size_t k = 1; k + 1 < heights.size(); ++k) {
    if (heights[k + 1] - heights[k] > heights[gap + 1] - heights[gap]) gap = k;
  }
  const double level =
      (static_cast<double>(heights[gap]) + static_cast<double>(heights[gap + 1])) / 2;
  // Where the contours cross the line, and which way (upward +1).
  std::vector<std::pair<double, int>> crossings;
  for (const auto& path : contours) {
    for (std::size_t i = 0; i < path.size(); ++i) {
      const auto& a = path[i];
      const auto& b = path[(i + 1) % path.size()];
      const double ay = static_cast<double>(a.Y);
      const double by = static_cast<double>(b.Y);
      if ((ay < level) == (by < level)) continue;
      const double t = (level - ay) / (by - ay);
      const double at = static_cast<double>(a.X) + t * static_cast<double>(b.X - a.X);
      crossings.emplace_back(at, by > ay ? 1 : -1);
    }
  }
  std::sort(crossings.begin(), crossings.end());
  int winding = 0;
  double best = 0.0;
  bool found = false;
  for (std::size_t k = 0; k + 1 < crossings.size(); ++k) {
    winding += crossings[k].second;
    const double width = crossings[k + 1].first - crossings[k].first;
    if (winding != 0 && width > best) {
      best = width;
      x = (crossings[k].first + crossings[k + 1].first) / 2;
      found = true;
    }
  }
  y = level;
  return found;
}

std::vector<NetProbe> net_probes(const Drawing& drawing, const Pieces& pieces) {
  std::vector<NetProbe> probes;
  if (drawing.nets.empty()) return probes;
  for (const Piece& piece : pieces.pieces) {
    if (piece.object == kNoObject || piece.clear != drawing.negative) continue;
    NetProbe probe;
    probe.nets = drawing.nets_of(piece.object);
    if (probe.nets.empty()) continue;
    if (!interior_point(pieces.contours_of(piece), probe.x, probe.y)) continue;
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
