#include "geometry/reference.hpp"

#include <algorithm>
#include <cmath>

namespace foilcad::reference {

namespace {

// True when e lies more than the tolerance inside both bounds. Both tests are
// strict and the sums are formed in double precision.
bool cuts(double lower, double upper, double e) {
  return lower + kTolerance < e && e < upper - kTolerance;
}

bool same(double a, double b) { return std::fabs(a - b) < kTolerance; }

void offer(std::vector<double>& list, double value) {
  if (std::none_of(list.begin(), list.end(), [&](double held) { return same(held, value); })) {
    list.push_back(value);
  }
}

}  // namespace

std::size_t split_rectangles(std::vector<Box>& list) {
  // Pieces appended while the loops run are visited in their turn, both as j
  // and as k, so both bounds are read afresh at every step. j keeps the lower
  // part and the piece is the upper part.
  for (std::size_t j = kFirstActive; j < list.size(); ++j) {
    for (std::size_t k = kFirstActive; k < list.size(); ++k) {
      if (k == j) continue;
      const double edges_x[2] = {list[k].min_x, list[k].max_x};
      for (const double e : edges_x) {
        const Box r = list[j];
        if (cuts(r.min_x, r.max_x, e)) {
          list.push_back({e, r.max_x, r.min_y, r.max_y});
          list[j].max_x = e;
        }
      }
      const double edges_y[2] = {list[k].min_y, list[k].max_y};
      for (const double e : edges_y) {
        const Box r = list[j];
        if (cuts(r.min_y, r.max_y, e)) {
          list.push_back({r.min_x, r.max_x, e, r.max_y});
          list[j].max_y = e;
        }
      }
    }
  }
  return list.size();
}

CoordinateLists build_coordinate_lists(std::span<const Box> list, const Box& extremes) {
  CoordinateLists lists;
  for (std::size_t r = kFirstActive; r < list.size(); ++r) {
    offer(lists.x, list[r].min_x);
    offer(lists.y, list[r].min_y);
    offer(lists.x, list[r].max_x);
    offer(lists.y, list[r].max_y);
  }
  // The extremes go in without the tolerance test: one that equals a gathered
  // value stands twice and leaves a column or row of zero width.
  lists.x.push_back(extremes.min_x);
  lists.x.push_back(extremes.max_x);
  lists.y.push_back(extremes.min_y);
  lists.y.push_back(extremes.max_y);
  // Stable, so that values that compare equal (0.0 and -0.0) keep the order
  // that exchanging neighbours only when strictly smaller would leave.
  std::stable_sort(lists.x.begin(), lists.x.end());
  std::stable_sort(lists.y.begin(), lists.y.end());
  return lists;
}

CellMap build_cell_map(std::span<const Box> list, const CoordinateLists& lists) {
  CellMap map;
  map.columns = lists.x.size() - 1;
  map.rows = lists.y.size() - 1;
  map.flags.assign(map.columns * map.rows, 0);
  for (std::size_t i = 0; i < map.columns; ++i) {
    for (std::size_t k = 0; k < map.rows; ++k) {
      for (std::size_t r = kFirstActive; r < list.size(); ++r) {
        const Box& rect = list[r];
        if (same(lists.x[i], rect.min_x) && same(lists.x[i + 1], rect.max_x) &&
            same(lists.y[k], rect.min_y) && same(lists.y[k + 1], rect.max_y)) {
          map.flags[i + map.columns * k] = 1;
          break;
        }
      }
    }
  }
  return map;
}

CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists,
                       const PolarityRuns& clear_runs) {
  if (clear_runs.empty()) return foilcad::build_cell_map(split, lists);
  // Layers of one polarity in file order, each mapped on the full grid and
  // laid over the ones before: dark adds copper, clear takes it away.
  struct Layer {
    std::size_t begin, end;
    bool clear;
  };
  std::vector<Layer> layers;
  const std::size_t count = split.bounds.size();
  std::size_t at = 0;
  for (const auto& [first, second] : clear_runs) {
    const std::size_t begin = std::min(first, count);
    const std::size_t end = std::min(second, count);
    if (end <= begin || begin < at) continue;
    if (at < begin) layers.push_back({at, begin, false});
    layers.push_back({begin, end, true});
    at = end;
  }
  if (at < count) layers.push_back({at, count, false});

  SplitGroups layer{split.x, split.y, {}, 0};
  CellMap map = foilcad::build_cell_map(layer, lists);
  for (const Layer& l : layers) {
    layer.bounds.assign(split.bounds.begin() + static_cast<std::ptrdiff_t>(l.begin),
                        split.bounds.begin() + static_cast<std::ptrdiff_t>(l.end));
    const CellMap cover = foilcad::build_cell_map(layer, lists);
    const std::uint8_t paint = l.clear ? 0 : 1;
    for (std::size_t c = 0; c < map.flags.size(); ++c) {
      if (cover.flags[c] != 0) map.flags[c] = paint;
    }
  }
  return map;
}

}  // namespace foilcad::reference
