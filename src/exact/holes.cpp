#include "exact/holes.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "common/error.hpp"
#include "exact/shapes.hpp"

namespace foilcad::exact {

using ClipperLib::IntPoint;
using ClipperLib::Path;

namespace {

// Holes as pieces of one contour each, from a circle of its radius made
// once and placed in units as flashes are.
class HoleTracer {
 public:
  HoleTracer(const ExactOptions& options, double widen)
      : options_(options),
        widen_(widen),
        // Below a unit the chords are as close as the coordinates can follow.
        tolerance_(std::max(options.tolerance, 1.0 / kUnitsPerMm)) {}

  // The hole's contour added to pieces as a piece of its own; false for a
  // hole without area.
  bool add(const Hole& h, Pieces& pieces, bool clear) {
    const double radius = h.diameter / 2.0 + widen_;
    if (!(radius > 0.0)) return false;
    Path path;
    try {
      const Circle& circle = circle_of(radius);
      if (h.slot()) {
        sweep_convex(circle.mm, h.from, h.to, path);
      } else {
        const IntPoint at = to_units(h.from);
        path.reserve(circle.units.size());
        for (const IntPoint& q : circle.units) path.push_back({q.X + at.X, q.Y + at.Y});
      }
    } catch (const OutOfRange& e) {
      fail(h, e.what());
    }
    const UnitBox box = box_of(path);
    constexpr ClipperLib::cInt kRange = ClipperLib::loRange;
    if (box.min_x < -kRange || box.max_x > kRange || box.min_y < -kRange || box.max_y > kRange) {
      fail(h, OutOfRange().what());
    }
    const std::size_t vertices = path.size();
    pieces.pieces.push_back({clear, pieces.contours.size(), 1, vertices, box, kNoObject});
    pieces.contours.push_back(std::move(path));
    pieces.vertices += vertices;
    return true;
  }

  [[noreturn]] void fail(const Hole& h, const std::string& what) const {
    const std::string file =
        h.file < options_.hole_files.size() ? options_.hole_files[h.file].string() : "drill file";
    throw Error(file + ":" + std::to_string(h.line) + ": " + what);
  }

 private:
  struct Circle {
    std::vector<Point> mm;  // around the origin, for slots
    Path units;             // the same in units, for round holes
  };

  const Circle& circle_of(double radius) {
    auto [it, added] = circles_.try_emplace(radius);
    if (added) {
      it->second.mm = circle_polygon({0.0, 0.0}, radius, tolerance_);
      for (const Point& p : it->second.mm) it->second.units.push_back(to_units(p));
    }
    return it->second;
  }

  const ExactOptions& options_;
  double widen_;
  double tolerance_;
  std::map<double, Circle> circles_;  // by radius: boards use a few dozen drills
};

}  // namespace

Pieces trace_holes(const ExactOptions& options, std::size_t traced) {
  HoleTracer tracer(options, 0.0);
  Pieces walls;
  walls.pieces.reserve(options.holes.size());
  walls.contours.reserve(options.holes.size());
  std::size_t vertices = traced;
  for (const Hole& h : options.holes) {
    const std::size_t before = walls.vertices;
    if (!tracer.add(h, walls, false)) continue;
    // With the rings, the plated holes take this many twice over.
    vertices += (walls.vertices - before) * (h.plating == Plating::plated ? 2 : 1);
    if (vertices > options.limits.points) {
      tracer.fail(h, "the holes and the copper's contours need more than " +
                         std::to_string(options.limits.points) + " vertices: too many to trace");
    }
  }
  return walls;
}

void add_plated_rings(const ExactOptions& options, bool negative, Pieces& pieces) {
  if (!(options.plating > 0.0)) return;
  HoleTracer tracer(options, options.plating);
  for (const Hole& h : options.holes) {
    if (h.plating == Plating::plated && h.diameter > 0.0) tracer.add(h, pieces, negative);
  }
}

}  // namespace foilcad::exact
