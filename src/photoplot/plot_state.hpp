// The plot state: where tracks, pads and regions become rectangles.
//
// Lengths are millimetres. Every aperture has an extent around its origin: a
// circle its diameter on both sides, a rectangle or obround its two sizes, a
// macro the box of its exposed primitives. A stroke becomes the bounding box
// of its path grown by that extent; a flash the extent placed on the point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/box.hpp"

namespace foilcad {

// Several constants are single-precision values widened to double, and the
// output depends on them bit for bit: solids made from a photoplot must come
// out byte for byte the same as they always have.
inline constexpr double kInchFactor = static_cast<double>(25.4f);  // 25.399999618530273
inline constexpr double kNoCoordinate = static_cast<double>(1e30f);  // 1.0000000150474662e+30

// The extremes before any coordinate has been received: the smallest stands
// above the largest.
inline constexpr Box kNoExtremes{kNoCoordinate, -kNoCoordinate, kNoCoordinate, -kNoCoordinate};

// A straight stroke as drawn: where it started and ended.
struct StrokePath {
  double x0, y0, x1, y1;
};

// How the image of a photoplot is placed: mirror, scale factor, offset,
// rotation and axis select, always applied in this order whatever the order
// of their statements. The first three act on coordinates only (A is the
// first coordinate, B the second): apertures and step and repeat distances
// are neither mirrored nor scaled. The rotation (counterclockwise about the
// origin) and the axis select turn the whole image, apertures and step and
// repeat distances included. Each step at its identity value is skipped, so
// the identity leaves every value as it was, bit for bit.
struct ImageTransform {
  bool mirror_a = false;
  bool mirror_b = false;
  double scale_a = 1.0;  // positive
  double scale_b = 1.0;
  double offset_a = 0.0;  // mm
  double offset_b = 0.0;
  int rotation = 0;        // degrees: 0, 90, 180 or 270
  bool swap_axes = false;  // %ASAYBX: the first device axis takes the data's y

  bool identity() const;
  // Mirror, scale and offset of one data axis (0 = x, 1 = y) on an interval.
  void coordinates(int axis, double& low, double& high) const;
  // Rotation and axis select on a box: where it lies once the image is turned.
  void turn(double& min_x, double& max_x, double& min_y, double& max_y) const;
  // Both on a box of coordinates.
  void place(double& min_x, double& max_x, double& min_y, double& max_y) const;
  void place(double& x, double& y) const;
  // The device axis a data axis ends up on, and whether it is negated there.
  int device_axis(int axis, bool& negated) const;
};

// How many objects of each kind a file drew.
struct ObjectCounts {
  std::size_t strokes = 0;
  std::size_t arcs = 0;
  std::size_t flashes = 0;
  std::size_t regions = 0;
  std::size_t region_rectangles = 0;
  std::size_t step_and_repeat_copies = 0;  // rectangles placed again by %SR
};

// The state a photoplot reader drives. The rectangle list only ever grows at
// its end, in file order (a step and repeat block appends its copies).
class PlotState {
 public:
  // A circle or square of the given size; a redefinition replaces it, and
  // rectangles already made keep the size they were made with.
  void define_aperture(long long code, double size_mm);
  void define_aperture(long long code, const Box& extent);
  void select_aperture(long long code);
  // Return the coordinate as placed on the device: the reader refuses one
  // that the image transform carried beyond the range of numbers.
  double set_x(double x_mm);
  double set_y(double y_mm);
  void plot_move();
  void plot_stroke();
  void plot_flash();
  // The arc from the previous to the current point around (cx, cy): the box
  // of the arc, through the extreme points it passes, grown by the aperture.
  void plot_arc(double cx, double cy, bool clockwise);
  // A rectangle of a filled region, already placed on the device; region
  // edges are not grown.
  void add_region_rectangle(const Box& r);

  // Objects after a clear polarity switch remove copper instead of adding it.
  void set_clear_polarity(bool clear);
  // Objects from here to the close are placed again at every step.
  void open_step_and_repeat(long long steps_x, long long steps_y, double step_x, double step_y);
  void close_step_and_repeat();
  // The rectangles closing the open block would add (none when no block is
  // open). Placements are at most a million, so the product fits.
  std::uint64_t pending_copies() const {
    if (!repeating_) return 0;
    const auto placements =
        static_cast<std::uint64_t>(steps_x_) * static_cast<std::uint64_t>(steps_y_);
    return (rectangles.size() - block_begin_) * (placements - 1);
  }

  // Width of a code's extent; 0 for a code never defined (the starting code 0
  // too).
  double aperture_size(long long code) const;
  long long current_aperture() const { return current_aperture_; }
  double x() const { return x_; }
  double y() const { return y_; }
  double previous_x() const { return previous_x_; }
  double previous_y() const { return previous_y_; }

  // Applied to every object from where it is set. Rectangles, extremes and
  // the leading strokes are placed on the device; the current and previous
  // points stay as the file wrote them.
  ImageTransform transform;

  std::vector<Box> rectangles;
  // The smallest and largest coordinate received on each axis: coordinates as
  // written in the file and scaled, moves included, aperture sizes not.
  Box extremes = kNoExtremes;
  // Index ranges [first, second) of rectangles drawn in clear polarity.
  std::vector<std::pair<std::size_t, std::size_t>> clear_runs;
  // The paths of the first four objects when they were straight strokes; an
  // object that was not one ends the list.
  std::vector<StrokePath> leading_strokes;
  ObjectCounts counts;

 private:
  // The current aperture's extent, turned with the image.
  Box current_extent() const;
  void append(const Box& r, bool straight_stroke);
  // Notes a device coordinate on device axis 0 (x) or 1 (y).
  void note_coordinate(int axis, double v);
  double set_coordinate(int axis, double v);

  std::unordered_map<long long, Box> apertures_;
  long long current_aperture_ = 0;
  double x_ = 0.0;
  double y_ = 0.0;
  double previous_x_ = 0.0;
  double previous_y_ = 0.0;
  bool clear_ = false;
  bool leading_open_ = true;
  // The open step and repeat block.
  bool repeating_ = false;
  long long steps_x_ = 1;
  long long steps_y_ = 1;
  double step_x_ = 0.0;
  double step_y_ = 0.0;
  std::size_t block_begin_ = 0;
  Box block_extremes_ = kNoExtremes;
};

// The box of the arc from (x0, y0) to (x1, y1) around (cx, cy), through the
// axis points it passes; equal end points make a full circle.
Box arc_box(double x0, double y0, double x1, double y1, double cx, double cy, bool clockwise);

}  // namespace foilcad
