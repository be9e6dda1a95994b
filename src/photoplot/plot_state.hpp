// The plot state: what the reader has drawn so far, and where it stands.
//
// Lengths are millimetres. The state keeps the current point, the current
// aperture, polarity and image transform, and appends every object to the
// drawing in file order with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/box.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad {

class PlotState {
 public:
  PlotState();

  // Defines an aperture (without selecting it); a redefinition replaces it,
  // and objects already drawn keep the aperture they were drawn with.
  void define_aperture(long long code, Aperture aperture);
  void select_aperture(long long code);
  // Return the coordinate as placed on the device: the reader refuses one
  // that the image transform carried beyond the range of numbers.
  double set_x(double x_mm);
  double set_y(double y_mm);
  void plot_move();
  void plot_stroke();
  void plot_flash();
  // The arc from the previous to the current point around (cx, cy).
  void plot_arc(double cx, double cy, bool clockwise);
  // A filled region whose contour (as the file wrote it) is points.
  void add_region(const std::vector<Point>& points);

  // Objects after a clear polarity switch remove copper instead of adding it.
  void set_clear_polarity(bool clear);
  // The nets objects from here on belong to, by name (none: no net). A name
  // enters the drawing's list when an object names it.
  void set_nets(std::vector<std::string> names);
  // How many distinct names objects have named so far.
  std::size_t net_count() const { return net_index_.size(); }
  // Objects from here to the close are placed again at every step.
  void open_step_and_repeat(long long steps_x, long long steps_y, double step_x, double step_y);
  void close_step_and_repeat();

  long long current_aperture() const { return current_aperture_; }
  double x() const { return x_; }
  double y() const { return y_; }
  double previous_x() const { return previous_x_; }
  double previous_y() const { return previous_y_; }

  // Applied to every object from where it is set. The extremes and the
  // leading strokes are placed on the device; the points of objects stay as
  // the file wrote them.
  ImageTransform transform;
  // The transform, to be changed: objects from here on are drawn with it.
  ImageTransform& changing_transform() {
    transform_changed_ = true;
    return transform;
  }
  // The line objects are drawn at, set by the reader, and the record being
  // read (an extended command may begin on an earlier line).
  std::size_t line = 0;
  std::size_t record_line = 0;

  // Hands over the drawing, its frame decided.
  Drawing finish();

  Drawing drawing;

 private:
  // A straight stroke as drawn, placed on the device.
  struct StrokePath {
    double x0, y0, x1, y1;
  };

  DrawingObject& append(DrawingObject::Kind kind, bool straight_stroke);
  // The object about to be appended names the nets last set: a new run when
  // they differ from the last run's.
  void start_net_run();
  std::uint32_t transform_index();
  // Notes a device coordinate on device axis 0 (x) or 1 (y).
  void note_coordinate(int axis, double v);
  double set_coordinate(int axis, double v);

  std::unordered_map<long long, std::uint32_t> apertures_;
  long long current_aperture_ = 0;
  std::uint32_t current_index_ = kNoAperture;
  std::uint32_t transform_index_ = 0;
  bool transform_changed_ = false;
  double x_ = 0.0;
  double y_ = 0.0;
  double previous_x_ = 0.0;
  double previous_y_ = 0.0;
  bool clear_ = false;
  // Net names set since the last object, and each name's index in the
  // drawing's list (the list itself is made from this map at the end).
  std::vector<std::string> net_names_;
  bool nets_changed_ = false;
  std::unordered_map<std::string, std::uint32_t> net_index_;
  std::vector<std::uint32_t> run_scratch_;
  // The paths of the first four objects when they were straight strokes; an
  // object that was not one ends the list.
  std::vector<StrokePath> leading_strokes_;
  bool leading_open_ = true;
  // The open step and repeat block.
  bool repeating_ = false;
  Placement block_{};
  Box block_extremes_ = kNoExtremes;
};

}  // namespace foilcad
