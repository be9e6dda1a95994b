#include "exact/shapes.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <utility>

#include "common/arc.hpp"
#include "common/turn.hpp"
#include "exact/booleans.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

constexpr double kPi = std::numbers::pi;

// The most vertices a circle takes, however small the tolerance: beyond it
// the chords are far shorter than the unit anyway.

// The most rings of a moire drawn: more would be thinner than the unit.
constexpr int kMaxMoireRings = 10000;

// Counterclockwise (positive area) in place.
void orient(Path& path) {
  if (ClipperLib::Area(path) < 0.0) std::reverse(path.begin(), path.end());
}

// The hull of a convex counterclockwise polygon at from and at to: the
// vertices whose edges face away from the motion stay at from, the others
// move to to, and the two vertices where that changes are taken at both.
template <typename Emit>
void sweep_hull(const std::vector<Point>& shape, Point from, Point to, Emit emit) {
  const double dx = to.x - from.x;
  const double dy = to.y - from.y;
  const std::size_t n = shape.size();
  if (n == 0) return;
  auto front = [&](std::size_t i) {
    const Point& a = shape[i];
    const Point& b = shape[(i + 1) % n];
    return (b.y - a.y) * dx - (b.x - a.x) * dy > 0.0;
  };
  bool previous = front(n - 1);
  for (std::size_t i = 0; i < n; ++i) {
    const bool next = front(i);
    const Point v = shape[i];
    const Point at_from{from.x + v.x, from.y + v.y};
    const Point at_to{to.x + v.x, to.y + v.y};
    if (!previous && !next) {
      emit(at_from);
    } else if (previous && next) {
      emit(at_to);
    } else if (!previous) {
      emit(at_from);
      emit(at_to);
    } else {
      emit(at_to);
      emit(at_from);
    }
    previous = next;
  }
}

std::vector<Point> swept_points(const std::vector<Point>& shape, Point from, Point to) {
  std::vector<Point> out;
  out.reserve(shape.size() + 2);
  sweep_hull(shape, from, to, [&](Point p) { out.push_back(p); });
  return out;
}

Path to_path(const std::vector<Point>& points) {
  Path path;
  path.reserve(points.size());
  for (const Point& p : points) path.push_back(to_units(p));
  return path;
}

std::vector<Point> rectangle(double x0, double x1, double y0, double y1) {
  return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

// A regular polygon of n vertices on a circle, the first at degrees.
std::vector<Point> regular_polygon(Point centre, double radius, int n, double degrees) {
  std::vector<Point> points;
  points.reserve(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    const Point d = direction(360.0 * k / n + degrees);
    points.push_back({centre.x + radius * d.x, centre.y + radius * d.y});
  }
  return points;
}

// The primitives of a macro drawn in order: exposed ones are added, the
// others remove what the macro drew before them. Consecutive primitives of
// one exposure are applied together.
class MacroTracer {
 public:
  MacroTracer(const Aperture& a, double tolerance, std::size_t max_vertices)
      : a_(a), unit_(a.unit), tolerance_(tolerance / a.unit), max_vertices_(max_vertices) {}

  Paths run() {
    for (const MacroPrimitive& p : a_.primitives) {
      p_ = &p;
      dir_ = direction(p.rotation);
      Paths shape = primitive();
      if (shape.empty()) continue;
      if (p.exposed != exposed_ && !pending_.empty()) flush();
      exposed_ = p.exposed;
      pending_.insert(pending_.end(), std::make_move_iterator(shape.begin()),
                      std::make_move_iterator(shape.end()));
    }
    flush();
    return std::move(drawn_);
  }

 private:
  void flush() {
    if (pending_.empty()) return;
    if (exposed_) {
      pending_.insert(pending_.end(), drawn_.begin(), drawn_.end());
      drawn_ = unite(pending_);
    } else if (!drawn_.empty()) {
      drawn_ = subtract(drawn_, pending_);
    }
    pending_.clear();
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw MacroError(describe_macro_statement(a_.macro_name, p_->statement) + ": " + what);
  }

  // A point of the primitive (macro units, before its rotation) in
  // millimetres, turned about the macro's origin, in units.
  IntPoint place(Point p) const {
    const Point r = rotate({p.x * unit_, p.y * unit_}, dir_);
    return to_units(r);
  }

  Path path(const std::vector<Point>& points) {
    vertices_ += points.size();
    if (vertices_ > max_vertices_) throw TooManyVertices();
    Path out;
    out.reserve(points.size());
    for (const Point& p : points) out.push_back(place(p));
    orient(out);
    return out;
  }

  std::vector<Point> circle(Point centre, double diameter) const {
    return circle_polygon(centre, std::abs(diameter) / 2.0, tolerance_);
  }

  Paths primitive() {
    const std::vector<double>& m = p_->modifiers;
    auto need = [&](std::size_t count) {
      if (m.size() < count) fail("the primitive has too few modifiers");
    };
    switch (p_->code) {
      case 1:  // exposure, diameter, centre x, centre y, [rotation]
        need(4);
        if (m[1] == 0.0) return {};
        return {path(circle({m[2], m[3]}, m[1]))};
      case 2:
      case 20: {  // exposure, width, start x, start y, end x, end y, [rotation]
        need(6);
        const double half = std::abs(m[1]) / 2.0;
        const double dx = m[4] - m[2];
        const double dy = m[5] - m[3];
        const double length = std::hypot(dx, dy);
        if (!std::isfinite(length)) fail("the line is longer than the range of numbers");
        // A line without length or width covers no area.
        if (length == 0.0 || half == 0.0) return {};
        const Point n{-dy / length * half, dx / length * half};
        return {path({{m[2] - n.x, m[3] - n.y},
                      {m[4] - n.x, m[5] - n.y},
                      {m[4] + n.x, m[5] + n.y},
                      {m[2] + n.x, m[3] + n.y}})};
      }
      case 21: {  // exposure, width, height, centre x, centre y, [rotation]
        need(5);
        const double hw = std::abs(m[1]) / 2.0;
        const double hh = std::abs(m[2]) / 2.0;
        if (hw == 0.0 || hh == 0.0) return {};
        return {path(rectangle(m[3] - hw, m[3] + hw, m[4] - hh, m[4] + hh))};
      }
      case 22:  // exposure, width, height, lower-left x, lower-left y, [rotation]
        need(5);
        if (m[1] == 0.0 || m[2] == 0.0) return {};
        return {path(rectangle(m[3], m[3] + m[1], m[4], m[4] + m[2]))};
      case 4: {  // exposure, n, n + 1 points, [rotation]
        need(2);
        const std::size_t points = static_cast<std::size_t>(m[1]) + 1;
        need(2 + 2 * points);
        std::vector<Point> contour;
        contour.reserve(points);
        for (std::size_t i = 0; i < points; ++i) contour.push_back({m[2 + 2 * i], m[3 + 2 * i]});
        // Filled as regions are: even-odd.
        return unite(Paths{path(contour)}, ClipperLib::pftEvenOdd);
      }
      case 5: {  // exposure, n, centre x, centre y, diameter, [rotation]
        need(5);
        const double radius = std::abs(m[4]) / 2.0;
        if (radius == 0.0) return {};
        // place() turns the centre and the vertices alike: the first vertex
        // lies on the horizontal through the centre before the rotation.
        const double circle_count = circle_vertices(radius * unit_, tolerance_ * unit_);
        if (m[1] > circle_count) return {path(circle({m[2], m[3]}, m[4]))};
        return {path(regular_polygon({m[2], m[3]}, radius, static_cast<int>(m[1]), 0.0))};
      }
      case 6:
        need(8);
        return moire();
      case 7:
        need(5);
        return thermal();
      default:
        fail("unknown primitive code " + std::to_string(p_->code));
    }
  }

  // centre x, centre y, outer diameter, ring thickness, gap, ring count,
  // cross-hair thickness, cross-hair length
  Paths moire() {
    const std::vector<double>& m = p_->modifiers;
    const Point c{m[0], m[1]};
    const double thickness = std::abs(m[3]);
    const double gap = std::abs(m[4]);
    Paths out;
    double outer = std::abs(m[2]);
    const double rings = std::min<double>(m[5], kMaxMoireRings);
    for (int i = 0; i < rings && outer > 0.0 && thickness > 0.0; ++i) {
      out.push_back(path(circle(c, outer)));
      const double inner = outer - 2.0 * thickness;
      if (inner > 0.0) {
        Path hole = path(circle(c, inner));
        std::reverse(hole.begin(), hole.end());
        out.push_back(std::move(hole));
      }
      outer = inner - 2.0 * gap;
      if (gap == 0.0) break;  // the next ring would join this one
    }
    const double ht = std::abs(m[6]) / 2.0;
    const double hl = std::abs(m[7]) / 2.0;
    if (ht > 0.0 && hl > 0.0) {
      out.push_back(path(rectangle(c.x - hl, c.x + hl, c.y - ht, c.y + ht)));
      out.push_back(path(rectangle(c.x - ht, c.x + ht, c.y - hl, c.y + hl)));
    }
    return out;
  }

  // centre x, centre y, outer diameter, inner diameter, gap: a ring cut by
  // two gaps through the centre, parallel to the axes before the rotation.
  Paths thermal() {
    const std::vector<double>& m = p_->modifiers;
    const Point c{m[0], m[1]};
    const double outer = std::abs(m[2]);
    const double inner = std::abs(m[3]);
    const double hg = std::abs(m[4]) / 2.0;
    if (outer == 0.0 || inner >= outer) return {};
    Paths cut;
    if (inner > 0.0) cut.push_back(path(circle(c, inner)));
    if (hg > 0.0) {
      const double reach = outer;
      cut.push_back(path(rectangle(c.x - reach, c.x + reach, c.y - hg, c.y + hg)));
      cut.push_back(path(rectangle(c.x - hg, c.x + hg, c.y - reach, c.y + reach)));
    }
    return subtract(Paths{path(circle(c, outer))}, cut);
  }

  const Aperture& a_;
  double unit_;
  double tolerance_;  // in the macro's units
  std::size_t max_vertices_;
  std::size_t vertices_ = 0;  // of the primitives made so far
  const MacroPrimitive* p_ = nullptr;
  Point dir_{1.0, 0.0};
  Paths drawn_;
  Paths pending_;
  bool exposed_ = true;
};

// The sizes of a standard aperture, with what the file left out.
double size(const Aperture& a, std::size_t i, double otherwise) {
  return i < a.sizes.size() ? a.sizes[i] : otherwise;
}

}  // namespace

cInt to_units(double mm) {
  const double u = mm * kUnitsPerMm;
  if (!(std::fabs(u) <= static_cast<double>(ClipperLib::loRange))) throw OutOfRange();
  return static_cast<cInt>(std::llround(u));
}

int circle_vertices(double radius, double tolerance) {
  // A little room for the vertices standing outside the circle (they keep
  // its area).
  const int n = chord_count(2.0 * kPi, radius, tolerance, kRoomOutside);
  const int vertices = (n + 3) / 4 * 4;
  return std::max(vertices, 8);
}

double area_keeping_factor(double step) {
  if (step <= 0.0) return 1.0;
  return std::sqrt(step / std::sin(step));
}

std::vector<Point> circle_polygon(Point centre, double radius, double tolerance) {
  const int n = circle_vertices(radius, tolerance);
  const double r = radius * area_keeping_factor(2.0 * kPi / n);
  std::vector<Point> points;
  points.reserve(static_cast<std::size_t>(n));
  const int quarter = n / 4;
  for (int k = 0; k < n; ++k) {
    Point d;
    if (k % quarter == 0) {
      const int q = k / quarter;
      d = q == 0   ? Point{1.0, 0.0}
          : q == 1 ? Point{0.0, 1.0}
          : q == 2 ? Point{-1.0, 0.0}
                   : Point{0.0, -1.0};
    } else {
      const double a = 2.0 * kPi * k / n;
      d = {std::cos(a), std::sin(a)};
    }
    points.push_back({centre.x + r * d.x, centre.y + r * d.y});
  }
  return points;
}

void sweep_convex(const std::vector<Point>& shape, Point from, Point to, Path& out) {
  out.reserve(out.size() + shape.size() + 2);
  sweep_hull(shape, from, to, [&](Point p) { out.push_back(to_units(p)); });
}

void sweep_paths(const Paths& shape, IntPoint from, IntPoint to, Paths& out) {
  for (const IntPoint at : {from, to}) {
    for (const Path& p : shape) {
      Path& copy = out.emplace_back(p);
      for (IntPoint& q : copy) {
        q.X += at.X;
        q.Y += at.Y;
      }
    }
  }
  if (from == to) return;
  for (const Path& p : shape) {
    for (std::size_t i = 0; i < p.size(); ++i) {
      const IntPoint a = p[i];
      const IntPoint b = p[(i + 1) % p.size()];
      Path quad{{a.X + from.X, a.Y + from.Y},
                {b.X + from.X, b.Y + from.Y},
                {b.X + to.X, b.Y + to.Y},
                {a.X + to.X, a.Y + to.Y}};
      const double area = ClipperLib::Area(quad);
      if (area == 0.0) continue;
      if (area < 0.0) std::reverse(quad.begin(), quad.end());
      out.push_back(std::move(quad));
    }
  }
}

void turn(Paths& paths, const ImageTransform& t) {
  if (t.rotation == 0 && !t.swap_axes) return;
  for (Path& path : paths) {
    for (IntPoint& p : path) {
      for (int q = 0; q < t.rotation / 90; ++q) p = {-p.Y, p.X};
      if (t.swap_axes) std::swap(p.X, p.Y);
    }
    if (t.swap_axes) std::reverse(path.begin(), path.end());
  }
}

ApertureShape aperture_shape(const Aperture& a, const ImageTransform& t, double tolerance,
                             std::size_t max_vertices) {
  ApertureShape shape;
  if (a.shape == Aperture::Shape::macro) {
    if (a.primitives.empty()) return shape;
    shape.flash = MacroTracer(a, tolerance, max_vertices).run();
    turn(shape.flash, t);
    return shape;
  }
  double hole = 0.0;
  const double first = size(a, 0, 0.0);
  switch (a.shape) {
    case Aperture::Shape::circle:
      if (!(first > 0.0)) return shape;
      shape.convex = circle_polygon({0.0, 0.0}, first / 2.0, tolerance);
      shape.circle_radius = first / 2.0;
      hole = size(a, 1, 0.0);
      break;
    case Aperture::Shape::rectangle:
    case Aperture::Shape::obround: {
      const double x = first;
      const double y = size(a, 1, x);
      if (!(x > 0.0 && y > 0.0)) return shape;
      hole = size(a, 2, 0.0);
      if (a.shape == Aperture::Shape::rectangle) {
        shape.convex = rectangle(-x / 2.0, x / 2.0, -y / 2.0, y / 2.0);
        break;
      }
      // An obround is a circle of its smaller side swept along the longer.
      const double r = std::min(x, y) / 2.0;
      const std::vector<Point> end = circle_polygon({0.0, 0.0}, r, tolerance);
      const double reach = (std::max(x, y) - std::min(x, y)) / 2.0;
      if (x == y) {
        shape.convex = end;
        shape.circle_radius = r;
      } else if (x > y) {
        shape.convex = swept_points(end, {-reach, 0.0}, {reach, 0.0});
      } else {
        shape.convex = swept_points(end, {0.0, -reach}, {0.0, reach});
      }
      break;
    }
    case Aperture::Shape::polygon: {
      if (!(first > 0.0)) return shape;
      const double vertices = std::floor(size(a, 1, 0.0));
      const double degrees = size(a, 2, 0.0);
      hole = size(a, 3, 0.0);
      // Without a usable vertex count, or with more vertices than the circle
      // takes, the polygon is drawn as its circle.
      if (vertices >= 3.0 && vertices <= circle_vertices(first / 2.0, tolerance)) {
        shape.convex =
            regular_polygon({0.0, 0.0}, first / 2.0, static_cast<int>(vertices), degrees);
      } else {
        shape.convex = circle_polygon({0.0, 0.0}, first / 2.0, tolerance);
      }
      break;
    }
    case Aperture::Shape::macro:
      break;
  }
  for (Point& p : shape.convex) p = t.turned(p);
  if (t.swap_axes) std::reverse(shape.convex.begin(), shape.convex.end());
  Path solid = to_path(shape.convex);
  if (hole > 0.0) {
    Path inner = to_path(circle_polygon({0.0, 0.0}, hole / 2.0, tolerance));
    shape.flash = subtract(Paths{solid}, Paths{inner});
  } else {
    shape.flash.push_back(std::move(solid));
  }
  return shape;
}

}  // namespace foilcad::exact
