// How far the objects of a drawing reach: the box of each aperture around
// its origin, of an arc, and of each object placed on the device. Both
// models measure with these, so that they agree on where the board's
// objects end to the bit: the grid's rectangles are these boxes, and the
// exact model's board without a frame or outline layer is their hull.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/box.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad {

// The box of a macro aperture's exposed primitives relative to its origin, in
// the file's units; nullopt when nothing is exposed. Throws MacroError when a
// primitive reaches beyond the range of numbers.
std::optional<Box> macro_box(const std::vector<MacroPrimitive>& primitives,
                             std::string_view macro_name);

// The box of the arc from (x0, y0) to (x1, y1) around (cx, cy), through the
// axis points it passes; equal end points make a full circle.
Box arc_box(double x0, double y0, double x1, double y1, double cx, double cy, bool clockwise);

// The extent of an aperture around its origin, in millimetres, before the
// image is turned: a circle's or polygon's outer diameter on both sides, a
// rectangle's or obround's two sizes, a macro's the box of its exposed
// primitives; size 0 for a macro never defined or exposing nothing. Throws
// foilcad::Error naming the drawing's file and the aperture's definition.
Box aperture_extent(const Drawing& drawing, const Aperture& aperture);

// Whether a box has only finite bounds.
inline bool finite(const Box& b) {
  return std::isfinite(b.min_x) && std::isfinite(b.max_x) && std::isfinite(b.min_y) &&
         std::isfinite(b.max_y);
}

// The box an object covers on the device: a flash its aperture's extent
// placed on its point, a stroke the box of its end points grown by the
// extent, an arc the box of the arc and the axis points it passes grown by
// the extent, a region the box of its contour. extent is the aperture's
// (aperture_extent; ignored for a region); the image transform in force is
// applied the way the grid's rectangles apply it.
Box object_box(const Drawing& drawing, const DrawingObject& object, const Box& extent);

}  // namespace foilcad
