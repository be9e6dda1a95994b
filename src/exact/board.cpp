#include "exact/board.hpp"

#include "common/error.hpp"
#include "exact/booleans.hpp"
#include "exact/shapes.hpp"

namespace foilcad::exact {

ClipperLib::Paths trace_board(const Drawing& drawing, const ExactOptions& options) {
  ClipperLib::Paths contours;
  try {
    if (options.outline) {
      for (const std::vector<Point>& contour : options.outline->contours) {
        ClipperLib::Path& path = contours.emplace_back();
        path.reserve(contour.size());
        for (const Point& p : contour) path.push_back(to_units(p));
      }
    } else {
      const Box b = drawing.frame ? *drawing.frame : options.extent;
      if (!(b.max_x > b.min_x && b.max_y > b.min_y)) return {};
      contours.push_back(box_path(
          UnitBox{to_units(b.min_x), to_units(b.max_x), to_units(b.min_y), to_units(b.max_y)}));
    }
  } catch (const OutOfRange&) {
    throw Error(drawing.name.string() +
                ": the board reaches beyond ±65 m, the range the exact model computes in");
  }
  // Cut-outs are contours within the outer one: even-odd makes them holes.
  return unite(contours, ClipperLib::pftEvenOdd, Touching::never);
}

}  // namespace foilcad::exact
