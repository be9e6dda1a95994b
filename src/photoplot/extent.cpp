#include "photoplot/extent.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "common/turn.hpp"

namespace foilcad {

namespace {

// Regular polygons with more vertices than this are bounded by their
// circumscribed circle (which holds every vertex) instead of vertex by vertex,
// so that a huge vertex count costs no time.
constexpr double kMaxTracedPolygonVertices = 1000.0;

constexpr Box kNothing = Box::nothing();

void add_circle(Box& b, Point centre, double radius) {
  b.add(centre.x - radius, centre.y - radius);
  b.add(centre.x + radius, centre.y + radius);
}

// Adds the rectangle [x0, x1] x [y0, y1], rotated about the macro origin.
void add_rotated_rectangle(Box& b, double x0, double x1, double y0, double y1, Point dir) {
  add(b, rotate({x0, y0}, dir));
  add(b, rotate({x1, y0}, dir));
  add(b, rotate({x0, y1}, dir));
  add(b, rotate({x1, y1}, dir));
}

class PrimitiveBox {
 public:
  PrimitiveBox(const MacroPrimitive& p, std::string_view name) : p_(p), name_(name) {}

  // The box of the primitive (exposed or not).
  Box box() {
    const std::vector<double>& m = p_.modifiers;
    const Point dir = direction(p_.rotation);
    Box shape = kNothing;
    switch (p_.code) {
      case 1:  // exposure, diameter, centre x, centre y, [rotation]
        add_circle(shape, rotate({m[2], m[3]}, dir), std::abs(m[1]) / 2.0);
        break;
      case 2:
      case 20:  // exposure, width, start x, start y, end x, end y, [rotation]
        vector_line(shape, m[1], {m[2], m[3]}, {m[4], m[5]}, dir);
        break;
      case 21: {  // exposure, width, height, centre x, centre y, [rotation]
        const double half_w = std::abs(m[1]) / 2.0;
        const double half_h = std::abs(m[2]) / 2.0;
        add_rotated_rectangle(shape, m[3] - half_w, m[3] + half_w, m[4] - half_h, m[4] + half_h,
                              dir);
        break;
      }
      case 22:  // exposure, width, height, lower-left x, lower-left y, [rotation]
        add_rotated_rectangle(shape, m[3], m[3] + m[1], m[4], m[4] + m[2], dir);
        break;
      case 4: {  // exposure, n, n + 1 points (x, y), [rotation]
        const std::size_t points = static_cast<std::size_t>(m[1]) + 1;
        for (std::size_t i = 0; i < points; ++i)
          add(shape, rotate({m[2 + 2 * i], m[3 + 2 * i]}, dir));
        break;
      }
      case 5:
        polygon(shape);
        break;
      case 6: {  // centre x, centre y, outer diameter, ring thickness, gap,
                 // ring count, cross-hair thickness, cross-hair length, [rotation]
        // The cross hair may reach beyond the outer ring.
        add_circle(shape, rotate({m[0], m[1]}, dir), std::abs(m[2]) / 2.0);
        const double half_t = std::abs(m[6]) / 2.0;
        const double half_l = std::abs(m[7]) / 2.0;
        add_rotated_rectangle(shape, m[0] - half_l, m[0] + half_l, m[1] - half_t, m[1] + half_t,
                              dir);
        add_rotated_rectangle(shape, m[0] - half_t, m[0] + half_t, m[1] - half_l, m[1] + half_l,
                              dir);
        break;
      }
      case 7:  // centre x, centre y, outer diameter, inner diameter, gap, [rotation]
        // The outer circle bounds it.
        add_circle(shape, rotate({m[0], m[1]}, dir), std::abs(m[2]) / 2.0);
        break;
      default:
        fail("unknown primitive code " + std::to_string(p_.code));
    }
    if (!finite(shape)) fail("the primitive reaches beyond the range of numbers");
    return shape;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw MacroError(describe_macro_statement(name_, p_.statement) + ": " + what);
  }

  void vector_line(Box& shape, double width, Point start, Point end, Point dir) const {
    const double half = std::abs(width) / 2.0;
    const double dx = end.x - start.x;
    const double dy = end.y - start.y;
    const double length = std::hypot(dx, dy);
    if (!std::isfinite(length)) fail("the line is longer than the range of numbers");
    if (length == 0.0) {
      // A line without a direction has no defined width axis; the circle of
      // the half width around its point holds it whichever way it would turn.
      add_circle(shape, rotate(start, dir), half);
      return;
    }
    const Point normal{-dy / length * half, dx / length * half};
    add(shape, rotate({start.x + normal.x, start.y + normal.y}, dir));
    add(shape, rotate({start.x - normal.x, start.y - normal.y}, dir));
    add(shape, rotate({end.x + normal.x, end.y + normal.y}, dir));
    add(shape, rotate({end.x - normal.x, end.y - normal.y}, dir));
  }

  // exposure, n, centre x, centre y, diameter, [rotation]; the first vertex
  // lies on the horizontal through the centre before the rotation.
  void polygon(Box& shape) const {
    const std::vector<double>& m = p_.modifiers;
    const double n = m[1];
    const double angle = p_.rotation;
    const Point centre = rotate({m[2], m[3]}, direction(angle));
    const double radius = std::abs(m[4]) / 2.0;
    if (n > kMaxTracedPolygonVertices) {
      add_circle(shape, centre, radius);
      return;
    }
    const int vertices = static_cast<int>(n);
    for (int k = 0; k < vertices; ++k) {
      // Each vertex's angle in degrees, so quarter turns come out exact.
      const Point d = direction(360.0 * k / vertices + angle);
      add(shape, {centre.x + radius * d.x, centre.y + radius * d.y});
    }
  }

  const MacroPrimitive& p_;
  std::string_view name_;
};

}  // namespace

std::optional<Box> macro_box(const std::vector<MacroPrimitive>& primitives,
                             std::string_view macro_name) {
  Box total = kNothing;
  for (const MacroPrimitive& p : primitives) {
    if (!p.exposed) continue;
    total.add(PrimitiveBox(p, macro_name).box());
  }
  if (total.empty()) return std::nullopt;
  return total;
}

Box arc_box(double x0, double y0, double x1, double y1, double cx, double cy, bool clockwise) {
  Box box{std::min(x0, x1), std::max(x0, x1), std::min(y0, y1), std::max(y0, y1)};
  const double r = std::max(std::hypot(x0 - cx, y0 - cy), std::hypot(x1 - cx, y1 - cy));
  if (!(r > 0.0) || !std::isfinite(r)) return box;
  constexpr double kTurn = 2.0 * std::numbers::pi;
  // Swept counterclockwise from where it begins: a clockwise arc is the same
  // set of points swept from its end.
  const ArcSweep arc = arc_sweep({x0, y0}, {x1, y1}, {cx, cy}, clockwise);
  const double start = clockwise ? arc.end : arc.start;
  const double sweep = arc.sweep;
  const double axis_x[4] = {cx + r, cx, cx - r, cx};
  const double axis_y[4] = {cy, cy + r, cy, cy - r};
  for (int q = 0; q < 4; ++q) {
    double offset = q * (std::numbers::pi / 2) - start;
    while (offset < 0.0) offset += kTurn;
    while (offset >= kTurn) offset -= kTurn;
    if (offset <= sweep) box.add(axis_x[q], axis_y[q]);
  }
  return box;
}

Box aperture_extent(const Drawing& drawing, const Aperture& a) {
  if (a.shape != Aperture::Shape::macro) {
    // -(0.5 s) added gives exactly the bits of 0.5 s subtracted, which the
    // edges of square and round apertures depend on.
    const double hx = 0.5 * a.sizes[0];
    const bool two_sides =
        (a.shape == Aperture::Shape::rectangle || a.shape == Aperture::Shape::obround) &&
        a.sizes.size() >= 2;
    const double hy = two_sides ? 0.5 * a.sizes[1] : hx;
    return {-hx, hx, -hy, hy};
  }
  std::optional<Box> box;
  try {
    box = macro_box(a.primitives, a.macro_name);
  } catch (const MacroError& e) {
    throw input_error(drawing.name, a.line, e.what(), drawing.record(a.record_line));
  }
  if (!box) {
    // A macro never defined, or one that exposes nothing: size 0.
    const double h = 0.5 * 0.0;
    return {-h, h, -h, h};
  }
  const Box scaled{box->min_x * a.unit, box->max_x * a.unit, box->min_y * a.unit,
                   box->max_y * a.unit};
  if (!finite(scaled)) {
    throw input_error(drawing.name, a.line, "the aperture size is out of range",
                      drawing.record(a.record_line));
  }
  return scaled;
}

Box object_box(const Drawing& d, const DrawingObject& o, const Box& aperture) {
  const ImageTransform& t = d.transforms[o.transform];
  const bool identity = t.identity();
  Box e = aperture;
  if (!identity) t.turn(e.min_x, e.max_x, e.min_y, e.max_y);
  switch (o.kind) {
    case DrawingObject::Kind::flash: {
      double x = o.to.x;
      double y = o.to.y;
      if (!identity) t.place(x, y);
      return {x + e.min_x, x + e.max_x, y + e.min_y, y + e.max_y};
    }
    case DrawingObject::Kind::stroke: {
      const double px = o.from.x;
      const double py = o.from.y;
      const double x = o.to.x;
      const double y = o.to.y;
      double low_x = x < px ? x : px;
      double high_x = px <= x ? x : px;
      double low_y = y < py ? y : py;
      double high_y = py <= y ? y : py;
      if (!identity) t.place(low_x, high_x, low_y, high_y);
      return {low_x + e.min_x, high_x + e.max_x, low_y + e.min_y, high_y + e.max_y};
    }
    case DrawingObject::Kind::arc: {
      const ArcDetail& a = d.arcs[o.detail];
      Box box = arc_box(o.from.x, o.from.y, o.to.x, o.to.y, a.centre.x, a.centre.y, a.clockwise);
      t.place(box.min_x, box.max_x, box.min_y, box.max_y);
      return {box.min_x + e.min_x, box.max_x + e.max_x, box.min_y + e.min_y, box.max_y + e.max_y};
    }
    case DrawingObject::Kind::region:
      break;
  }
  const RegionDetail& r = d.regions[o.detail];
  Box box = Box::nothing();
  for (std::size_t i = 0; i < r.point_count; ++i) {
    Point p = d.points[r.first_point + i];
    if (!identity) t.place(p.x, p.y);
    add(box, p);
  }
  return box;
}

}  // namespace foilcad
