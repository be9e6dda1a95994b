#include "geometry/grid.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "common/error.hpp"

namespace foilcad {

std::vector<GridBody> grid_bodies(double z1, double z2) {
  return {{conductor_body(z1, z2), 1}, {insulator_body(z1, z2), 0}};
}

namespace {

// A grid that would have to end at extremes no coordinate ever set would
// reach to +-1e30 and print as "********" in the solids: refused instead.
void check_extremes(const Box& e, const std::filesystem::path& name) {
  const bool x = e.min_x <= e.max_x;
  const bool y = e.min_y <= e.max_y;
  if (x && y) return;
  const std::string prefix = name.empty() ? std::string() : name.string() + ": ";
  if (!x && !y) throw Error(prefix + "the photoplot holds no coordinates: nothing to convert");
  throw Error(prefix + "the photoplot holds no " + (x ? "Y" : "X") +
              " coordinate: the grid would have no extent along " + (x ? "y" : "x"));
}

}  // namespace

GridPlan plan_grid(DrawingBoxes&& boxes, const Drawing& drawing,
                   const std::optional<Box>& outline_extent) {
  GridPlan plan;
  plan.extremes = drawing.extremes;
  plan.negative = drawing.negative;
  plan.name = drawing.name;
  plan.frame = outline_extent ? outline_extent : drawing.frame;
  plan.outline_layer = outline_extent.has_value();
  // A photoplot without coordinates has nothing to convert, board or not.
  if (plan.outline_layer) check_extremes(plan.extremes, plan.name);
  plan.frame_rectangle = plan.frame && (plan.negative || plan.outline_layer);
  const std::size_t first_active = boxes.first_active;
  plan.first_active = first_active;
  if (plan.frame_rectangle) {
    std::vector<Box>& list = boxes.rectangles;
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(first_active), *plan.frame);
  }
  plan.rectangles = std::move(boxes.rectangles);
  // The frame rectangle is clear: it draws nothing.
  const std::size_t shift = plan.frame_rectangle ? 1 : 0;
  if (plan.frame_rectangle) plan.clear_runs.emplace_back(0, 1);
  for (const auto& [first, second] : boxes.clear_runs) {
    if (second <= first_active) continue;
    const std::size_t begin = std::max(first, first_active) - first_active + shift;
    const std::size_t end = second - first_active + shift;
    if (!plan.clear_runs.empty() && plan.clear_runs.back().second == begin) {
      plan.clear_runs.back().second = end;
    } else {
      plan.clear_runs.emplace_back(begin, end);
    }
  }
  return plan;
}

std::uint64_t drawn_pieces(const SplitGroups& split, const GridPlan& plan) {
  if (!plan.frame_rectangle || split.bounds.empty()) return split.pieces;
  // The frame rectangle is cut along every group strictly inside it.
  const BoundGroups& b = split.bounds.front();
  const auto intervals = [](std::int32_t lower, std::int32_t upper) -> std::uint64_t {
    if (lower == kNoGroup || upper == kNoGroup || lower >= upper) return 1;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(upper) - lower);
  };
  return split.pieces - intervals(b.lower_x, b.upper_x) * intervals(b.lower_y, b.upper_y);
}

CoordinateLists grid_lines(const SplitGroups& split, const GridPlan& plan) {
  CoordinateLists lists;
  if (plan.frame && !plan.frame_rectangle) {
    check_extremes(plan.extremes, plan.name);
    lists = build_coordinate_lists(split, plan.extremes);
  } else {
    if (plan.frame) check_extremes(plan.extremes, plan.name);
    lists = build_coordinate_lists(split);
  }
  if (lists.x.size() < 2 || lists.y.size() < 2) {
    check_extremes(plan.extremes, plan.name);
    lists = build_coordinate_lists(split, plan.outline_layer ? *plan.frame : plan.extremes);
  }
  return lists;
}

namespace {

// A negative image: copper is every cell of the image's extent that the
// objects, dark and clear in file order, leave undrawn. The extent is the
// frame when there is a frame rectangle (cells outside it are not copper),
// else the whole grid, which then ends at the outermost object.
void invert_cells(CellMap& map, const CoordinateLists& lists, const Box* frame) {
  std::vector<std::uint8_t> inside_x(map.columns, 1);
  std::vector<std::uint8_t> inside_y(map.rows, 1);
  if (frame != nullptr) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      inside_x[i] =
          lists.x[i] > frame->min_x - kTolerance && lists.x[i + 1] < frame->max_x + kTolerance;
    }
    for (std::size_t k = 0; k < map.rows; ++k) {
      inside_y[k] =
          lists.y[k] > frame->min_y - kTolerance && lists.y[k + 1] < frame->max_y + kTolerance;
    }
  }
  for (std::size_t k = 0; k < map.rows; ++k) {
    std::uint8_t* row = map.flags.data() + k * map.columns;
    for (std::size_t i = 0; i < map.columns; ++i) {
      row[i] = static_cast<std::uint8_t>(inside_x[i] & inside_y[k] & (row[i] ^ 1));
    }
  }
}

}  // namespace

CellMap grid_cells(const SplitGroups& split, const CoordinateLists& lists, const GridPlan& plan) {
  CellMap map = build_cell_map(split, lists, plan.clear_runs);
  if (plan.negative) invert_cells(map, lists, plan.frame_rectangle ? &*plan.frame : nullptr);
  return map;
}

}  // namespace foilcad
