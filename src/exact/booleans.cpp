#include "exact/booleans.hpp"

#include <algorithm>
#include <vector>

#include "exact/orientation.hpp"

namespace foilcad::exact {

using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

Paths boolean(ClipperLib::ClipType type, PathSpan subject, PathSpan clip,
              ClipperLib::PolyFillType fill, Touching touching) {
  ClipperLib::Clipper clipper;
  // Path by path: Clipper takes no span, and copying into a Paths first
  // would cost as much again. The order of the paths decides the order of
  // the result's contours, so it is kept.
  for (const Path& p : subject) clipper.AddPath(p, ClipperLib::ptSubject, true);
  for (const Path& p : clip) clipper.AddPath(p, ClipperLib::ptClip, true);
  if (touching == Touching::never) clipper.StrictlySimple(true);
  Paths out = execute_oriented(clipper, type, fill);
  if (touching != Touching::separated || !shares_vertices(out)) return out;
  clipper.StrictlySimple(true);
  return execute_oriented(clipper, type, fill);
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
