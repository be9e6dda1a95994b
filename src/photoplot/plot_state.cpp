#include "photoplot/plot_state.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/arc.hpp"

namespace foilcad {

bool ImageTransform::identity() const {
  return !mirror_a && !mirror_b && scale_a == 1.0 && scale_b == 1.0 && offset_a == 0.0 &&
         offset_b == 0.0 && rotation == 0 && !swap_axes;
}

void ImageTransform::coordinates(int axis, double& low, double& high) const {
  if (axis == 0 ? mirror_a : mirror_b) {
    const double l = low;
    low = -high;
    high = -l;
  }
  const double scale = axis == 0 ? scale_a : scale_b;
  if (scale != 1.0) {
    low *= scale;
    high *= scale;
  }
  const double offset = axis == 0 ? offset_a : offset_b;
  if (offset != 0.0) {
    low += offset;
    high += offset;
  }
}

void ImageTransform::turn(double& min_x, double& max_x, double& min_y, double& max_y) const {
  // A quarter turn counterclockwise takes (x, y) to (-y, x); negation is exact.
  for (int q = 0; q < rotation / 90; ++q) {
    const double low_x = min_x;
    const double high_x = max_x;
    min_x = -max_y;
    max_x = -min_y;
    min_y = low_x;
    max_y = high_x;
  }
  if (swap_axes) {
    std::swap(min_x, min_y);
    std::swap(max_x, max_y);
  }
}

void ImageTransform::place(double& min_x, double& max_x, double& min_y, double& max_y) const {
  coordinates(0, min_x, max_x);
  coordinates(1, min_y, max_y);
  turn(min_x, max_x, min_y, max_y);
}

void ImageTransform::place(double& x, double& y) const {
  double high_x = x;
  double high_y = y;
  place(x, high_x, y, high_y);
}

int ImageTransform::device_axis(int axis, bool& negated) const {
  negated = false;
  for (int q = 0; q < rotation / 90; ++q) {
    // x goes to y unchanged, y to x negated.
    if (axis == 1) negated = !negated;
    axis = 1 - axis;
  }
  return swap_axes ? 1 - axis : axis;
}

void PlotState::define_aperture(long long code, double size_mm) {
  // -(0.5 s) added gives exactly the bits of 0.5 s subtracted, so square and
  // round apertures place their edges as they always did.
  const double h = 0.5 * size_mm;
  apertures_[code] = {-h, h, -h, h};
}

void PlotState::define_aperture(long long code, const Box& extent) {
  apertures_[code] = extent;
}

void PlotState::select_aperture(long long code) { current_aperture_ = code; }

Box PlotState::current_extent() const {
  const auto it = apertures_.find(current_aperture_);
  Box e = it == apertures_.end() ? Box{0.0, 0.0, 0.0, 0.0} : it->second;
  transform.turn(e.min_x, e.max_x, e.min_y, e.max_y);
  return e;
}

double PlotState::aperture_size(long long code) const {
  const auto it = apertures_.find(code);
  return it == apertures_.end() ? 0.0 : it->second.max_x - it->second.min_x;
}

namespace {

// The comparisons are written the way round that decides which value wins a
// tie or a comparison with NaN; they must not be "simplified" to std::min.
void note(double v, double& low, double& high) {
  if (v < low) low = v;
  if (high < v) high = v;
}

}  // namespace

void PlotState::note_coordinate(int axis, double v) {
  if (axis == 0) {
    note(v, extremes.min_x, extremes.max_x);
    if (repeating_) note(v, block_extremes_.min_x, block_extremes_.max_x);
  } else {
    note(v, extremes.min_y, extremes.max_y);
    if (repeating_) note(v, block_extremes_.min_y, block_extremes_.max_y);
  }
}

// A coordinate of one data axis lands on one device axis whatever the other
// coordinate is: mirror, scale and offset act axis by axis, and the turns
// move whole axes.
double PlotState::set_coordinate(int axis, double v) {
  double high = v;
  transform.coordinates(axis, v, high);
  bool negated = false;
  const int device = transform.device_axis(axis, negated);
  if (negated) v = -v;
  note_coordinate(device, v);
  return v;
}

double PlotState::set_x(double x_mm) {
  x_ = x_mm;
  return set_coordinate(0, x_mm);
}

double PlotState::set_y(double y_mm) {
  y_ = y_mm;
  return set_coordinate(1, y_mm);
}

void PlotState::plot_move() {
  previous_x_ = x_;
  previous_y_ = y_;
}

void PlotState::append(const Box& r, bool straight_stroke) {
  if (leading_open_ && leading_strokes.size() < 4) {
    if (straight_stroke) {
      StrokePath path{previous_x_, previous_y_, x_, y_};
      transform.place(path.x0, path.y0);
      transform.place(path.x1, path.y1);
      leading_strokes.push_back(path);
    } else {
      leading_open_ = false;
    }
  }
  rectangles.push_back(r);
  if (clear_) clear_runs.back().second = rectangles.size();
}

// Strokes, flashes and arcs find the box of their coordinates as the file
// wrote them, place that box on the device (a box stays a box under every
// image transform, and an arc's box becomes the box of the placed arc), then
// grow it by the aperture's extent.
void PlotState::plot_stroke() {
  const Box e = current_extent();
  double low_x = x_ < previous_x_ ? x_ : previous_x_;
  double high_x = previous_x_ <= x_ ? x_ : previous_x_;
  double low_y = y_ < previous_y_ ? y_ : previous_y_;
  double high_y = previous_y_ <= y_ ? y_ : previous_y_;
  transform.place(low_x, high_x, low_y, high_y);
  append({low_x + e.min_x, high_x + e.max_x, low_y + e.min_y, high_y + e.max_y}, true);
  ++counts.strokes;
  plot_move();
}

void PlotState::plot_flash() {
  const Box e = current_extent();
  double x = x_;
  double y = y_;
  transform.place(x, y);
  append({x + e.min_x, x + e.max_x, y + e.min_y, y + e.max_y}, false);
  ++counts.flashes;
  plot_move();
}

void PlotState::plot_arc(double cx, double cy, bool clockwise) {
  const Box e = current_extent();
  Box box = arc_box(previous_x_, previous_y_, x_, y_, cx, cy, clockwise);
  transform.place(box.min_x, box.max_x, box.min_y, box.max_y);
  append({box.min_x + e.min_x, box.max_x + e.max_x, box.min_y + e.min_y, box.max_y + e.max_y},
         false);
  ++counts.arcs;
  plot_move();
}

void PlotState::add_region_rectangle(const Box& r) {
  append(r, false);
  ++counts.region_rectangles;
}

void PlotState::set_clear_polarity(bool clear) {
  if (clear && !clear_ && (clear_runs.empty() || clear_runs.back().second != rectangles.size())) {
    clear_runs.emplace_back(rectangles.size(), rectangles.size());
  }
  if (!clear && clear_ && clear_runs.back().first == clear_runs.back().second) clear_runs.pop_back();
  clear_ = clear;
}

void PlotState::open_step_and_repeat(long long steps_x, long long steps_y, double step_x,
                                     double step_y) {
  close_step_and_repeat();
  repeating_ = true;
  steps_x_ = steps_x;
  steps_y_ = steps_y;
  step_x_ = step_x;
  step_y_ = step_y;
  block_begin_ = rectangles.size();
  block_extremes_ = kNoExtremes;
}

void PlotState::close_step_and_repeat() {
  if (!repeating_) return;
  repeating_ = false;
  const std::size_t block_end = rectangles.size();
  // The polarity of every rectangle of the block, so that each copy clears
  // where the original cleared.
  std::vector<bool> cleared(block_end - block_begin_, false);
  for (const auto& [first, last] : clear_runs) {
    for (std::size_t i = std::max(first, block_begin_); i < last && i < block_end; ++i) {
      cleared[i - block_begin_] = true;
    }
  }
  const bool was_clear = clear_;
  for (long long j = 0; j < steps_y_; ++j) {
    for (long long i = 0; i < steps_x_; ++i) {
      if (i == 0 && j == 0) continue;
      double dx = static_cast<double>(i) * step_x_;
      double dy = static_cast<double>(j) * step_y_;
      // Step distances are not coordinates: only the turns act on them.
      double dx_high = dx;
      double dy_high = dy;
      transform.turn(dx, dx_high, dy, dy_high);
      for (std::size_t r = block_begin_; r < block_end; ++r) {
        const Box& o = rectangles[r];
        set_clear_polarity(cleared[r - block_begin_]);
        append({o.min_x + dx, o.max_x + dx, o.min_y + dy, o.max_y + dy}, false);
        ++counts.step_and_repeat_copies;
      }
    }
  }
  set_clear_polarity(was_clear);
  // The copies' coordinates count among the extremes like the block's own.
  double far_x = static_cast<double>(steps_x_ - 1) * step_x_;
  double far_y = static_cast<double>(steps_y_ - 1) * step_y_;
  double far_x_high = far_x;
  double far_y_high = far_y;
  transform.turn(far_x, far_x_high, far_y, far_y_high);
  if (block_extremes_.min_x <= block_extremes_.max_x) {
    note_coordinate(0, block_extremes_.min_x + std::min(0.0, far_x));
    note_coordinate(0, block_extremes_.max_x + std::max(0.0, far_x));
  }
  if (block_extremes_.min_y <= block_extremes_.max_y) {
    note_coordinate(1, block_extremes_.min_y + std::min(0.0, far_y));
    note_coordinate(1, block_extremes_.max_y + std::max(0.0, far_y));
  }
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
    if (offset <= sweep) {
      box.min_x = std::min(box.min_x, axis_x[q]);
      box.max_x = std::max(box.max_x, axis_x[q]);
      box.min_y = std::min(box.min_y, axis_y[q]);
      box.max_y = std::max(box.max_y, axis_y[q]);
    }
  }
  return box;
}

}  // namespace foilcad
