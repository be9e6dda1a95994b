#include "photoplot/plot_state.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace foilcad {

void PlotState::define_aperture(long long code, double size_mm) {
  // -(0.5 s) added gives exactly the bits of 0.5 s subtracted, so square and
  // round apertures place their edges as they always did.
  const double h = 0.5 * size_mm;
  apertures_[code] = {-h, h, -h, h};
}

void PlotState::define_aperture(long long code, const ApertureExtent& extent) {
  apertures_[code] = extent;
}

void PlotState::select_aperture(long long code) { current_aperture_ = code; }

const ApertureExtent& PlotState::current_extent() const {
  static const ApertureExtent kNone;
  const auto it = apertures_.find(current_aperture_);
  return it == apertures_.end() ? kNone : it->second;
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

void PlotState::note_coordinate_x(double x) {
  note(x, extremes.min_x, extremes.max_x);
  if (repeating_) note(x, block_extremes_.min_x, block_extremes_.max_x);
}

void PlotState::note_coordinate_y(double y) {
  note(y, extremes.min_y, extremes.max_y);
  if (repeating_) note(y, block_extremes_.min_y, block_extremes_.max_y);
}

void PlotState::set_x(double x_mm) {
  x_ = x_mm;
  note_coordinate_x(x_mm);
}

void PlotState::set_y(double y_mm) {
  y_ = y_mm;
  note_coordinate_y(y_mm);
}

void PlotState::plot_move() {
  previous_x_ = x_;
  previous_y_ = y_;
}

void PlotState::append(const Rectangle& r, bool straight_stroke) {
  if (leading_open_ && leading_strokes.size() < 4) {
    if (straight_stroke) {
      leading_strokes.push_back({previous_x_, previous_y_, x_, y_});
    } else {
      leading_open_ = false;
    }
  }
  rectangles.push_back(r);
  if (clear_) clear_runs.back().second = rectangles.size();
}

void PlotState::plot_stroke() {
  const ApertureExtent& e = current_extent();
  const double low_x = x_ < previous_x_ ? x_ : previous_x_;
  const double high_x = previous_x_ <= x_ ? x_ : previous_x_;
  const double low_y = y_ < previous_y_ ? y_ : previous_y_;
  const double high_y = previous_y_ <= y_ ? y_ : previous_y_;
  append({low_x + e.min_x, high_x + e.max_x, low_y + e.min_y, high_y + e.max_y}, true);
  ++counts.strokes;
  plot_move();
}

void PlotState::plot_flash() {
  const ApertureExtent& e = current_extent();
  append({x_ + e.min_x, x_ + e.max_x, y_ + e.min_y, y_ + e.max_y}, false);
  ++counts.flashes;
  plot_move();
}

void PlotState::plot_arc(double cx, double cy, bool clockwise) {
  const ApertureExtent& e = current_extent();
  const ArcBox box = arc_box(previous_x_, previous_y_, x_, y_, cx, cy, clockwise);
  append({box.min_x + e.min_x, box.max_x + e.max_x, box.min_y + e.min_y, box.max_y + e.max_y},
         false);
  ++counts.arcs;
  plot_move();
}

void PlotState::add_region_rectangle(const Rectangle& r) {
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
  block_extremes_ = {};
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
      const double dx = static_cast<double>(i) * step_x_;
      const double dy = static_cast<double>(j) * step_y_;
      for (std::size_t r = block_begin_; r < block_end; ++r) {
        const Rectangle& o = rectangles[r];
        set_clear_polarity(cleared[r - block_begin_]);
        append({o.lower_x + dx, o.upper_x + dx, o.lower_y + dy, o.upper_y + dy}, false);
        ++counts.step_and_repeat_copies;
      }
    }
  }
  set_clear_polarity(was_clear);
  // The copies' coordinates count among the extremes like the block's own.
  const double far_x = static_cast<double>(steps_x_ - 1) * step_x_;
  const double far_y = static_cast<double>(steps_y_ - 1) * step_y_;
  if (block_extremes_.min_x <= block_extremes_.max_x) {
    note_coordinate_x(block_extremes_.min_x + std::min(0.0, far_x));
    note_coordinate_x(block_extremes_.max_x + std::max(0.0, far_x));
  }
  if (block_extremes_.min_y <= block_extremes_.max_y) {
    note_coordinate_y(block_extremes_.min_y + std::min(0.0, far_y));
    note_coordinate_y(block_extremes_.max_y + std::max(0.0, far_y));
  }
}

ArcBox arc_box(double x0, double y0, double x1, double y1, double cx, double cy, bool clockwise) {
  ArcBox box{std::min(x0, x1), std::max(x0, x1), std::min(y0, y1), std::max(y0, y1)};
  const double r = std::max(std::hypot(x0 - cx, y0 - cy), std::hypot(x1 - cx, y1 - cy));
  if (!(r > 0.0) || !std::isfinite(r)) return box;
  constexpr double kTurn = 2.0 * std::numbers::pi;
  // Sweep counter-clockwise from start to end; a clockwise arc is the same
  // set of points swept from its end. Equal end points make a full circle.
  double start = std::atan2(y0 - cy, x0 - cx);
  double end = std::atan2(y1 - cy, x1 - cx);
  if (clockwise) std::swap(start, end);
  double sweep = end - start;
  if (x0 == x1 && y0 == y1) {
    sweep = kTurn;
  } else {
    while (sweep <= 0.0) sweep += kTurn;
  }
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
