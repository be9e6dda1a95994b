#include "exact/board_extent.hpp"

#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "photoplot/extent.hpp"

namespace foilcad::exact {

namespace {

bool has_area(const Box& b) { return b.min_x < b.max_x && b.min_y < b.max_y; }

}  // namespace

void check_coordinates(const Drawing& d) {
  const Box& e = d.extremes;
  const bool x = e.min_x <= e.max_x;
  const bool y = e.min_y <= e.max_y;
  if (x && y) return;
  const std::string prefix = d.name.string() + ": ";
  if (!x && !y) throw Error(prefix + "the photoplot holds no coordinates: nothing to convert");
  throw Error(prefix + "the photoplot holds no " + (x ? "Y" : "X") +
              " coordinate: the board would have no extent along " + (x ? "y" : "x"));
}

BoardExtent board_extent(const Drawing& d) {
  if (d.frame) {
    check_coordinates(d);
    return {*d.frame, 0};
  }
  std::vector<std::optional<Box>> apertures(d.apertures.size());
  std::size_t first_line = 0;
  // The box of each object, its copies' boxes found from the block's.
  std::vector<Box> boxes;
  if (!d.placements.empty()) boxes.reserve(d.objects.size());
  Box extent = Box::nothing();
  for (const DrawingObject& o : d.objects) {
    Box aperture{0.0, 0.0, 0.0, 0.0};
    if (o.aperture != kNoAperture) {
      std::optional<Box>& known = apertures[o.aperture];
      if (!known) known = aperture_extent(d, d.apertures[o.aperture]);
      aperture = *known;
    }
    Box box = object_box(d, o, aperture);
    const bool region = o.kind == DrawingObject::Kind::region;
    // A region without area fills nothing.
    if (region && !has_area(box)) box = Box::nothing();
    if (!box.empty() && !finite(box)) {
      throw input_error(d.name, o.line, "the object reaches beyond the range of numbers",
                        d.record(o.line));
    }
    if (first_line == 0 && !box.empty()) {
      first_line = region ? d.regions[o.detail].report_line : o.line;
    }
    extent.add(box);
    if (!d.placements.empty()) boxes.push_back(box);
  }
  for (const Placement& p : d.placements) {
    Box block = Box::nothing();
    for (std::size_t i = p.first_object; i < p.end_object; ++i) block.add(boxes[i]);
    if (block.empty()) continue;
    const ImageTransform& t = d.transforms[p.transform];
    for (long long j = 0; j < p.steps_y; ++j) {
      for (long long i = 0; i < p.steps_x; ++i) {
        const Point step = p.offset(i, j, t);
        const Box copy{block.min_x + step.x, block.max_x + step.x, block.min_y + step.y,
                       block.max_y + step.y};
        if (!finite(copy)) {
          throw input_error(d.name, p.close_line, "the object reaches beyond the range of numbers",
                            d.record(p.close_line));
        }
        extent.add(copy);
      }
    }
  }
  if (!(extent.min_x < extent.max_x) || !(extent.min_y < extent.max_y)) {
    check_coordinates(d);
    if (!(extent.min_x < extent.max_x)) {
      extent.min_x = std::min(extent.min_x, d.extremes.min_x);
      extent.max_x = std::max(extent.max_x, d.extremes.max_x);
    }
    if (!(extent.min_y < extent.max_y)) {
      extent.min_y = std::min(extent.min_y, d.extremes.min_y);
      extent.max_y = std::max(extent.max_y, d.extremes.max_y);
    }
  }
  if (!has_area(extent))
    throw Error(d.name.string() + ": the board has no area: nothing to convert");
  return {extent, first_line != 0 ? first_line : d.records};
}

}  // namespace foilcad::exact
