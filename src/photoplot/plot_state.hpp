// The plot state: where tracks and pads become rectangles.
//
// Lengths are millimetres. Every stroke becomes the bounding box of its two end
// points grown on every side by half the aperture size; every flash becomes the
// square of the aperture size centred on the point. Nothing else is drawn.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace foilcad {

// Several constants are single-precision values widened to double, and the
// output depends on them bit for bit: the converter this one replaces kept
// them in single precision, and files must come out the same.
inline constexpr double kInchFactor = static_cast<double>(25.4f);  // 25.399999618530273
inline constexpr double kNoCoordinate = static_cast<double>(1e30f);  // 1.0000000150474662e+30

// An axis-aligned rectangle in millimetres, stored in this order. Rectangles
// made by the reader have lower <= upper on both axes.
struct Rectangle {
  double lower_x;
  double upper_x;
  double lower_y;
  double upper_y;

  friend bool operator==(const Rectangle&, const Rectangle&) = default;
};

// The smallest and largest coordinate received on each axis: coordinates as
// written in the file and scaled, moves included, aperture sizes not. While
// none has been received the smallest stands above the largest.
struct CoordinateExtremes {
  double min_x = kNoCoordinate;
  double max_x = -kNoCoordinate;
  double min_y = kNoCoordinate;
  double max_y = -kNoCoordinate;

  friend bool operator==(const CoordinateExtremes&, const CoordinateExtremes&) = default;
};

// The state a photoplot reader drives. Operations take constant time; the
// rectangle list only ever grows at its end, in file order.
class PlotState {
 public:
  // Stores the size (mm) of an aperture code; a redefinition replaces it, and
  // rectangles already made keep the size they were made with.
  void define_aperture(long long code, double size_mm);
  void select_aperture(long long code);
  void set_x(double x_mm);
  void set_y(double y_mm);
  void plot_move();
  void plot_stroke();
  void plot_flash();

  // Size of a code; 0 for a code never defined (the starting code 0 too).
  double aperture_size(long long code) const;
  long long current_aperture() const { return current_aperture_; }

  std::vector<Rectangle> rectangles;
  CoordinateExtremes extremes;

 private:
  std::unordered_map<long long, double> apertures_;
  long long current_aperture_ = 0;
  double x_ = 0.0;
  double y_ = 0.0;
  double previous_x_ = 0.0;
  double previous_y_ = 0.0;
};

}  // namespace foilcad
