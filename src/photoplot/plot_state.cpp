#include "photoplot/plot_state.hpp"

namespace foilcad {

void PlotState::define_aperture(long long code, double size_mm) { apertures_[code] = size_mm; }

void PlotState::select_aperture(long long code) { current_aperture_ = code; }

double PlotState::aperture_size(long long code) const {
  const auto it = apertures_.find(code);
  return it == apertures_.end() ? 0.0 : it->second;
}

// The comparisons are written the way round that decides which value wins a
// tie or a comparison with NaN; they must not be "simplified" to std::min.
void PlotState::set_x(double x_mm) {
  x_ = x_mm;
  if (x_mm < extremes.min_x) extremes.min_x = x_mm;
  if (extremes.max_x < x_mm) extremes.max_x = x_mm;
}

void PlotState::set_y(double y_mm) {
  y_ = y_mm;
  if (y_mm < extremes.min_y) extremes.min_y = y_mm;
  if (extremes.max_y < y_mm) extremes.max_y = y_mm;
}

void PlotState::plot_move() {
  previous_x_ = x_;
  previous_y_ = y_;
}

void PlotState::plot_stroke() {
  const double h = 0.5 * aperture_size(current_aperture_);
  const double low_x = x_ < previous_x_ ? x_ : previous_x_;
  const double high_x = previous_x_ <= x_ ? x_ : previous_x_;
  const double low_y = y_ < previous_y_ ? y_ : previous_y_;
  const double high_y = previous_y_ <= y_ ? y_ : previous_y_;
  rectangles.push_back({low_x - h, high_x + h, low_y - h, high_y + h});
  plot_move();
}

void PlotState::plot_flash() {
  const double h = 0.5 * aperture_size(current_aperture_);
  rectangles.push_back({x_ - h, x_ + h, y_ - h, y_ + h});
  plot_move();
}

}  // namespace foilcad
