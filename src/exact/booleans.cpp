#include "exact/booleans.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "exact/orientation.hpp"

namespace foilcad::exact {

using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// Clipper makes a result strictly simple in time that grows with the square
// of each contour's length (it compares every vertex of a contour with every
// other), and the copper of a board that turns polarity often can make one
// contour of tens of thousands of vertices across many tiles. Where a
// contour is longer than this, touching contours are separated here
// instead, in time that grows with their length.
constexpr std::size_t kLongestSeparatedByClipper = 4096;

std::size_t longest(PathSpan paths) {
  std::size_t most = 0;
  for (const Path& p : paths) most = std::max(most, p.size());
  return most;
}

struct PointHash {
  std::size_t operator()(const IntPoint& p) const {
    const auto x = static_cast<std::uint64_t>(p.X);
    const auto y = static_cast<std::uint64_t>(p.Y);
    return static_cast<std::size_t>((x * 0x9E3779B97F4A7C15ull) ^ (y + (x << 6) + (x >> 2)));
  }
};

// Appends the contour split into loops wherever it passes one place twice:
// each loop passes every place once. The loops run along the contour's own
// edges, each the way the contour does, so every point keeps its winding
// number: outer loops stay counterclockwise, the holes a contour pinches off
// clockwise. A loop of two vertices (out and back along one edge) encloses
// nothing and is left out.
void split_at_shared_vertices(Path& path, Paths& out) {
  std::unordered_map<IntPoint, std::size_t, PointHash> at;  // where on the stack
  at.reserve(path.size());
  Path stack;
  stack.reserve(path.size());
  for (const IntPoint& v : path) {
    const auto found = at.find(v);
    if (found == at.end()) {
      at.emplace(v, stack.size());
      stack.push_back(v);
      continue;
    }
    // The contour is back at v: the vertices since v make a loop.
    const std::size_t first = found->second;
    if (stack.size() - first >= 3) out.emplace_back(stack.begin() + first, stack.end());
    for (std::size_t i = first + 1; i < stack.size(); ++i) at.erase(stack[i]);
    stack.resize(first + 1);
  }
  if (stack.size() >= 3) out.push_back(std::move(stack));
}

}  // namespace

Paths boolean(ClipperLib::ClipType type, PathSpan subject, PathSpan clip,
              ClipperLib::PolyFillType fill, Touching touching) {
  ClipperLib::Clipper clipper;
  // Path by path: Clipper takes no span, and copying into a Paths first
  // would cost as much again. The order of the paths decides the order of
  // the result's contours, so it is kept.
  for (const Path& p : subject) clipper.AddPath(p, ClipperLib::ptSubject, true);
  for (const Path& p : clip) clipper.AddPath(p, ClipperLib::ptClip, true);
  // A result that is to be strictly simple from the start (the board, a
  // tile's copper united once more) has contours about as long as the ones
  // it is made of: from short ones, Clipper makes it so at once.
  const bool short_input =
      longest(subject) <= kLongestSeparatedByClipper && longest(clip) <= kLongestSeparatedByClipper;
  if (touching == Touching::never && short_input) clipper.StrictlySimple(true);
  Paths out = execute_oriented(clipper, type, fill);
  if (touching == Touching::allowed || (touching == Touching::never && short_input) ||
      !shares_vertices(out)) {
    return out;
  }
  if (longest(out) <= kLongestSeparatedByClipper) {
    clipper.StrictlySimple(true);
    return execute_oriented(clipper, type, fill);
  }
  Paths separated;
  separated.reserve(out.size());
  for (Path& p : out) split_at_shared_vertices(p, separated);
  return separated;
}

bool shares_vertices(const Paths& paths) {
  std::vector<IntPoint> points;
  for (const Path& p : paths) points.insert(points.end(), p.begin(), p.end());
  std::sort(points.begin(), points.end(), [](const IntPoint& a, const IntPoint& b) {
    return a.X < b.X || (a.X == b.X && a.Y < b.Y);
  });
  return std::adjacent_find(points.begin(), points.end()) != points.end();
}

}  // namespace foilcad::exact
