// The shapes the exact model is made of: circles as polygons within the
// tolerance, apertures (standard shapes and macros) around their origin, and
// the sweep of a shape along a segment.
#pragma once

#include <stdexcept>
#include <vector>

#include "common/box.hpp"
#include "exact/clipper_units.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad::exact {

// A coordinate beyond the range Clipper computes with exactly (±0x3FFFFFFF
// units, about ±65 m), or not a number at all. The caller names the line.
class OutOfRange : public std::runtime_error {
 public:
  OutOfRange()
      : std::runtime_error(
            "the object reaches beyond ±65 m, the range the exact model computes in") {}
};

// An aperture that needs more vertices than it may have. The caller names
// the line.
class TooManyVertices : public std::runtime_error {
 public:
  TooManyVertices() : std::runtime_error("the aperture needs too many vertices") {}
};

ClipperLib::cInt to_units(double mm);
inline ClipperLib::IntPoint to_units(Point p) { return {to_units(p.x), to_units(p.y)}; }

// How many vertices a circle of this radius takes so that no chord strays
// more than tolerance from it: a multiple of four (the axis points are
// vertices), at least eight.
int circle_vertices(double radius, double tolerance);

// The polygons that keep a circle's area (below) stand half their deviation
// outside the circle: chord counts for them are taken this many times over,
// so that the deviation still lies within the tolerance.
inline constexpr double kRoomOutside = 1.02;

// A regular polygon of n vertices whose area equals that of the circle of
// radius r has its vertices at r times this factor; step is 2 pi / n. Its
// edges then cross the circle, half the deviation outside, half inside.
double area_keeping_factor(double step);

// The circle as a counterclockwise polygon of circle_vertices(radius) vertices,
// the first on the positive x axis, with the circle's area.
std::vector<Point> circle_polygon(Point centre, double radius, double tolerance);

// The hull of a convex counterclockwise polygon placed at from and at to: the
// area the polygon sweeps along the segment. Appended to out, counterclockwise.
void sweep_convex(const std::vector<Point>& shape, Point from, Point to, ClipperLib::Path& out);

// The area any shape (outer contours counterclockwise, holes clockwise)
// sweeps along a segment: the shape at both ends and the quadrilateral every
// edge sweeps, each counterclockwise, to be united with the nonzero rule.
void sweep_paths(const ClipperLib::Paths& shape, ClipperLib::IntPoint from, ClipperLib::IntPoint to,
                 ClipperLib::Paths& out);

// An aperture as the exact model draws it, turned with the image.
struct ApertureShape {
  // What a flash draws, in units around the origin: outer contours
  // counterclockwise, holes clockwise. Empty for an aperture of size zero.
  ClipperLib::Paths flash;
  // The solid shape a stroke sweeps (holes do not count), in millimetres,
  // counterclockwise, when it is convex (every standard shape).
  std::vector<Point> convex;
  // A circle's radius in millimetres (strokes and arcs are traced as bands),
  // or 0 for any other shape.
  double circle_radius = 0.0;
};

// The shape of an aperture as defined, turned by t's rotation and axis
// select. Throws MacroError for a macro primitive that cannot be drawn,
// OutOfRange for one beyond the range, TooManyVertices for a macro whose
// primitives have more than max_vertices together (thousands of rings of a
// moire each take a circle of thousands: they are counted as they are made).
ApertureShape aperture_shape(const Aperture& aperture, const ImageTransform& t, double tolerance,
                             std::size_t max_vertices);

// Turns points by t's quarter turns and axis select (exact on integers); an
// axis swap mirrors, so paths are reversed to keep their orientation.
void turn(ClipperLib::Paths& paths, const ImageTransform& t);

}  // namespace foilcad::exact
