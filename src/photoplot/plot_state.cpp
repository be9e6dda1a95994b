#include "photoplot/plot_state.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/huge_pages.hpp"

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

Point ImageTransform::turned(Point p) const {
  for (int q = 0; q < rotation / 90; ++q) p = {-p.y, p.x};
  if (swap_axes) std::swap(p.x, p.y);
  return p;
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

PlotState::PlotState() { drawing.transforms.emplace_back(); }

void PlotState::define_aperture(long long code, Aperture aperture) {
  aperture.line = line;
  aperture.record_line = record_line;
  apertures_[code] = static_cast<std::uint32_t>(drawing.apertures.size());
  drawing.apertures.push_back(std::move(aperture));
  // Objects drawn from here with the current code use the new definition.
  if (code == current_aperture_) select_aperture(code);
}

void PlotState::select_aperture(long long code) {
  current_aperture_ = code;
  const auto it = apertures_.find(code);
  current_index_ = it == apertures_.end() ? kNoAperture : it->second;
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
    note(v, drawing.extremes.min_x, drawing.extremes.max_x);
    if (repeating_) note(v, block_extremes_.min_x, block_extremes_.max_x);
  } else {
    note(v, drawing.extremes.min_y, drawing.extremes.max_y);
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

// The transform in force, added to the drawing's list when it changed.
std::uint32_t PlotState::transform_index() {
  if (!transform_changed_) return transform_index_;
  transform_changed_ = false;
  // A statement that sets a value the transform already has changes nothing.
  if (!(drawing.transforms[transform_index_] == transform)) {
    transform_index_ = static_cast<std::uint32_t>(drawing.transforms.size());
    drawing.transforms.push_back(transform);
  }
  return transform_index_;
}

DrawingObject& PlotState::append(DrawingObject::Kind kind, bool straight_stroke) {
  if (leading_open_ && leading_strokes_.size() < 4) {
    if (straight_stroke) {
      StrokePath path{previous_x_, previous_y_, x_, y_};
      transform.place(path.x0, path.y0);
      transform.place(path.x1, path.y1);
      leading_strokes_.push_back(path);
    } else {
      leading_open_ = false;
    }
  }
  // A file larger than the room the reader reserved grows the list in huge
  // pages too.
  if (drawing.objects.size() == drawing.objects.capacity()) {
    grow_in_huge_pages(drawing.objects, 1);
  }
  if (nets_changed_) start_net_run();
  DrawingObject& o = drawing.objects.emplace_back();
  o.kind = kind;
  o.clear = clear_;
  o.transform = transform_index();
  o.aperture = current_index_;
  o.line = line;
  o.from = {previous_x_, previous_y_};
  o.to = {x_, y_};
  return o;
}

void PlotState::plot_stroke() {
  append(DrawingObject::Kind::stroke, true);
  ++drawing.counts.strokes;
  plot_move();
}

void PlotState::plot_flash() {
  DrawingObject& o = append(DrawingObject::Kind::flash, false);
  o.from = o.to;
  ++drawing.counts.flashes;
  plot_move();
}

void PlotState::plot_arc(double cx, double cy, bool clockwise) {
  DrawingObject& o = append(DrawingObject::Kind::arc, false);
  o.detail = static_cast<std::uint32_t>(drawing.arcs.size());
  drawing.arcs.push_back({{cx, cy}, clockwise});
  ++drawing.counts.arcs;
  plot_move();
}

void PlotState::add_region(const std::vector<Point>& points) {
  DrawingObject& o = append(DrawingObject::Kind::region, false);
  o.detail = static_cast<std::uint32_t>(drawing.regions.size());
  drawing.regions.push_back({drawing.points.size(), points.size(), line});
  drawing.points.insert(drawing.points.end(), points.begin(), points.end());
  ++drawing.counts.regions;
}

void PlotState::set_clear_polarity(bool clear) { clear_ = clear; }

void PlotState::set_nets(std::vector<std::string> names) {
  net_names_ = std::move(names);
  nets_changed_ = true;
}

void PlotState::start_net_run() {
  nets_changed_ = false;
  run_scratch_.clear();
  for (std::string& name : net_names_) {
    // The reader bounds the number of names far below 32 bits.
    const auto [it, added] =
        net_index_.try_emplace(std::move(name), static_cast<std::uint32_t>(net_index_.size()));
    run_scratch_.push_back(it->second);
  }
  net_names_.clear();
  std::sort(run_scratch_.begin(), run_scratch_.end());
  run_scratch_.erase(std::unique(run_scratch_.begin(), run_scratch_.end()), run_scratch_.end());
  std::span<const std::uint32_t> last;
  if (!drawing.net_runs.empty()) {
    const Drawing::NetRun& run = drawing.net_runs.back();
    last = {drawing.run_nets.data() + run.first_net, run.net_count};
  }
  if (std::equal(last.begin(), last.end(), run_scratch_.begin(), run_scratch_.end())) return;
  // Runs are indexed with 32 bits: a file would need gigabytes of net
  // attributes to pass them, and is refused before they wrap.
  if (drawing.run_nets.size() + run_scratch_.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("the net attributes are too many to keep");
  }
  drawing.net_runs.push_back({drawing.objects.size(),
                              static_cast<std::uint32_t>(drawing.run_nets.size()),
                              static_cast<std::uint32_t>(run_scratch_.size())});
  drawing.run_nets.insert(drawing.run_nets.end(), run_scratch_.begin(), run_scratch_.end());
}

void PlotState::open_step_and_repeat(long long steps_x, long long steps_y, double step_x,
                                     double step_y) {
  close_step_and_repeat();
  repeating_ = true;
  block_ = Placement{
      drawing.objects.size(), 0, steps_x, steps_y, step_x, step_y, 0, line, record_line, 0};
  block_extremes_ = kNoExtremes;
}

void PlotState::close_step_and_repeat() {
  if (!repeating_) return;
  repeating_ = false;
  block_.end_object = drawing.objects.size();
  block_.transform = transform_index();
  block_.close_line = line;
  if (block_.end_object > block_.first_object) {
    drawing.placements.push_back(block_);
    // The copies are drawn after the objects so far: they end the leading
    // strokes that could be a frame.
    if (leading_strokes_.size() < 4) leading_open_ = false;
  }
  // The copies' coordinates count among the extremes like the block's own.
  const Point far = block_.offset(block_.steps_x - 1, block_.steps_y - 1, transform);
  const double far_x = far.x;
  const double far_y = far.y;
  if (block_extremes_.min_x <= block_extremes_.max_x) {
    note_coordinate(0, block_extremes_.min_x + std::min(0.0, far_x));
    note_coordinate(0, block_extremes_.max_x + std::max(0.0, far_x));
  }
  if (block_extremes_.min_y <= block_extremes_.max_y) {
    note_coordinate(1, block_extremes_.min_y + std::min(0.0, far_y));
    note_coordinate(1, block_extremes_.max_y + std::max(0.0, far_y));
  }
}

namespace {

// The frame rule, kept here alone: the first four objects are
// straight strokes that join end to end into a closed axis-parallel frame.
template <class Path>
bool is_closed_frame(const std::vector<Path>& strokes) {
  if (strokes.size() != 4) return false;
  for (std::size_t k = 0; k < 4; ++k) {
    const Path& a = strokes[k];
    const Path& b = strokes[(k + 1) % 4];
    const bool horizontal = a.y0 == a.y1 && a.x0 != a.x1;
    const bool vertical = a.x0 == a.x1 && a.y0 != a.y1;
    if (!horizontal && !vertical) return false;
    if (a.x1 != b.x0 || a.y1 != b.y0) return false;
    const bool next_horizontal = b.y0 == b.y1 && b.x0 != b.x1;
    if (horizontal == next_horizontal) return false;
  }
  return true;
}

}  // namespace

Drawing PlotState::finish() {
  close_step_and_repeat();
  drawing.nets.resize(net_index_.size());
  while (!net_index_.empty()) {
    auto node = net_index_.extract(net_index_.begin());
    drawing.nets[node.mapped()] = std::move(node.key());
  }
  if (leading_open_ && is_closed_frame(leading_strokes_)) {
    Box frame = kNoExtremes;
    for (const StrokePath& p : leading_strokes_) {
      frame.add(p.x0, p.y0);
      frame.add(p.x1, p.y1);
    }
    drawing.frame = frame;
  }
  return std::move(drawing);
}

}  // namespace foilcad
