#include "geometry/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace foilcad {

namespace {

bool same(double a, double b) { return std::fabs(a - b) < kTolerance; }

// Ascending order with NaN last, so that sorting stays well defined should a
// NaN ever arrive; for all other values it is plain <.
bool before(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

struct Offer {
  double value;
  std::uint32_t order;  // 2 * active index, + 1 for the upper bound
};

// Sorts the bounds of one axis into tolerance groups and writes the group of
// every bound to groups (indexed by offer order).
template <class Bound>
EdgeGroups group_axis(std::size_t active, Bound bound, std::vector<std::int32_t>& groups) {
  EdgeGroups result;
  const auto offers_count = static_cast<std::uint32_t>(2 * active);
  std::vector<Offer> offers;
  offers.reserve(offers_count);
  groups.assign(offers_count, kNoGroup);
  std::vector<std::uint32_t> infinite_above;
  for (std::uint32_t order = 0; order < offers_count; ++order) {
    const double value = bound(order);
    if (std::isfinite(value)) {
      offers.push_back({value, order});
    } else if (value < 0) {
      groups[order] = kBelow;
    } else if (value > 0) {
      infinite_above.push_back(order);
    }
  }
  // Equal values (0.0 and -0.0 among them) in offer order, so that the first
  // offer of a group is found without a second pass.
  std::sort(offers.begin(), offers.end(), [](const Offer& a, const Offer& b) {
    return a.value < b.value || (a.value == b.value && a.order < b.order);
  });
  std::uint32_t first_offer = 0;
  for (std::size_t i = 0; i < offers.size(); ++i) {
    const Offer& offer = offers[i];
    if (i == 0 || !same(offers[i - 1].value, offer.value)) {
      result.kept.push_back(offer.value);
      first_offer = offer.order;
    } else if (offer.order < first_offer) {
      result.kept.back() = offer.value;
      first_offer = offer.order;
    }
    groups[offer.order] = static_cast<std::int32_t>(result.kept.size() - 1);
  }
  const auto above = static_cast<std::int32_t>(result.kept.size());
  for (const std::uint32_t order : infinite_above) groups[order] = above;
  return result;
}

// How many intervals a rectangle falls into on one axis: every group strictly
// between the groups of its bounds cuts it once. A bound in no group, bounds in
// one group, or bounds the wrong way round leave it whole.
std::uint64_t intervals(std::int32_t lower, std::int32_t upper) {
  if (lower == kNoGroup || upper == kNoGroup || lower >= upper) return 1;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(upper) - lower);
}

void count_infinite(EdgeGroups& axis, std::int32_t group, std::uint64_t pieces) {
  if (group == kBelow) axis.below += pieces;
  if (group == static_cast<std::int32_t>(axis.kept.size())) axis.above += pieces;
}

}  // namespace

SplitGroups split_rectangles(std::span<const Box> list, std::size_t first_active) {
  SplitGroups board;
  const auto active = list.subspan(std::min(list.size(), first_active));
  std::vector<std::int32_t> x_groups;
  std::vector<std::int32_t> y_groups;
  board.x = group_axis(
      active.size(),
      [&](std::uint32_t order) {
        const Box& r = active[order / 2];
        return order % 2 == 0 ? r.min_x : r.max_x;
      },
      x_groups);
  board.y = group_axis(
      active.size(),
      [&](std::uint32_t order) {
        const Box& r = active[order / 2];
        return order % 2 == 0 ? r.min_y : r.max_y;
      },
      y_groups);
  board.bounds.resize(active.size());
  for (std::size_t a = 0; a < active.size(); ++a) {
    const BoundGroups b{x_groups[2 * a], x_groups[2 * a + 1], y_groups[2 * a], y_groups[2 * a + 1]};
    board.bounds[a] = b;
    const std::uint64_t columns = intervals(b.lower_x, b.upper_x);
    const std::uint64_t rows = intervals(b.lower_y, b.upper_y);
    board.pieces += columns * rows;
    // The pieces in a rectangle's first column carry its lower x, those in its
    // last column its upper x; likewise for rows.
    count_infinite(board.x, b.lower_x, rows);
    count_infinite(board.x, b.upper_x, rows);
    count_infinite(board.y, b.lower_y, columns);
    count_infinite(board.y, b.upper_y, columns);
  }
  return board;
}

namespace {

std::vector<double> edge_lines(const EdgeGroups& groups) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::vector<double> lines;
  lines.reserve(groups.below + groups.kept.size() + groups.above + 2);
  lines.insert(lines.end(), groups.below, -kInfinity);
  lines.insert(lines.end(), groups.kept.begin(), groups.kept.end());
  lines.insert(lines.end(), groups.above, kInfinity);
  return lines;
}

std::vector<double> axis_lines(const EdgeGroups& groups, double smallest, double largest) {
  std::vector<double> lines = edge_lines(groups);
  // An extreme goes behind every line that does not sort after it, so an
  // extreme equal to a kept value (or to the other extreme) follows it.
  for (const double extreme : {smallest, largest}) {
    lines.insert(std::upper_bound(lines.begin(), lines.end(), extreme, before), extreme);
  }
  return lines;
}

}  // namespace

CoordinateLists build_coordinate_lists(const SplitGroups& split) {
  return {edge_lines(split.x), edge_lines(split.y)};
}

CoordinateLists build_coordinate_lists(const SplitGroups& split, const Box& extremes) {
  return {axis_lines(split.x, extremes.min_x, extremes.max_x),
          axis_lines(split.y, extremes.min_y, extremes.max_y)};
}

std::size_t CellMap::copper_cells() const {
  return static_cast<std::size_t>(std::count(flags.begin(), flags.end(), std::uint8_t{1}));
}

namespace {

// The group whose kept value lies within the tolerance of a grid line, or
// kNoGroup. Kept values of different groups are never within the tolerance of
// each other, so at most the two neighbours of the line's place can match;
// the lower one is taken first, which keeps the answer ascending with the line.
std::int32_t group_of(const std::vector<double>& kept, double line) {
  if (!std::isfinite(line)) return kNoGroup;
  const auto place =
      static_cast<std::size_t>(std::lower_bound(kept.begin(), kept.end(), line) - kept.begin());
  if (place > 0 && same(kept[place - 1], line)) return static_cast<std::int32_t>(place - 1);
  if (place < kept.size() && same(kept[place], line)) return static_cast<std::int32_t>(place);
  return kNoGroup;
}

// What a column (or row) of the grid can match, in group terms: the interval
// between neighbouring groups j and j + 1, the zero width of group j, or
// nothing (a line of it is an extreme away from every edge value, or infinite).
struct Label {
  enum Kind : std::uint8_t { none, interval, point } kind = none;
  std::int32_t index = 0;
};

std::vector<Label> label_axis(const std::vector<double>& lines, const EdgeGroups& groups) {
  std::vector<Label> labels;
  if (lines.size() < 2) return labels;
  std::vector<std::int32_t> line_groups(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) line_groups[i] = group_of(groups.kept, lines[i]);
  labels.resize(lines.size() - 1);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::int32_t a = line_groups[i];
    const std::int32_t b = line_groups[i + 1];
    if (a == kNoGroup || b == kNoGroup) continue;
    if (b == a + 1) labels[i] = {Label::interval, a};
    if (b == a) labels[i] = {Label::point, a};
  }
  return labels;
}

// The labels a rectangle's pieces match on one axis: intervals begin to end
// (exclusive), or the one point begin. Pieces that reach an infinite bound
// match nothing.
struct Reach {
  Label::Kind kind = Label::none;
  std::int32_t begin = 0;
  std::int32_t end = 0;
};

Reach reach(std::int32_t lower, std::int32_t upper, std::size_t group_count) {
  const auto groups = static_cast<std::int32_t>(group_count);
  if (lower == kNoGroup || upper == kNoGroup) return {};
  if (lower < upper) {
    const std::int32_t begin = std::max(lower, 0);
    const std::int32_t end = std::min(upper, groups - 1);
    if (begin < end) return {Label::interval, begin, end};
    return {};
  }
  if (lower == upper && lower >= 0 && lower < groups) return {Label::point, lower, lower + 1};
  return {};
}

// Which column labels the current set of rectangles covers. Intervals are
// counted in a difference array, points directly.
class ColumnCover {
 public:
  explicit ColumnCover(std::size_t groups)
      : groups_(groups),
        point_base_(groups > 0 ? groups - 1 : 0),
        none_slot_(point_base_ + groups),
        interval_diff_(groups + 1, 0),
        point_count_(groups, 0),
        covered_(none_slot_ + 1, 0) {}

  void add(const Reach& x, int delta) {
    if (x.kind == Label::interval) {
      interval_diff_[static_cast<std::size_t>(x.begin)] += delta;
      interval_diff_[static_cast<std::size_t>(x.end)] -= delta;
    } else if (x.kind == Label::point) {
      point_count_[static_cast<std::size_t>(x.begin)] += delta;
    }
  }

  // Coverage per slot; the none slot is never covered.
  const std::vector<std::uint8_t>& covered() {
    std::int64_t running = 0;
    for (std::size_t j = 0; j < point_base_; ++j) {
      running += interval_diff_[j];
      covered_[j] = running > 0;
    }
    for (std::size_t p = 0; p < groups_; ++p) covered_[point_base_ + p] = point_count_[p] > 0;
    return covered_;
  }

  std::uint32_t slot(const Label& label) const {
    switch (label.kind) {
      case Label::interval:
        return static_cast<std::uint32_t>(label.index);
      case Label::point:
        return static_cast<std::uint32_t>(point_base_ + static_cast<std::size_t>(label.index));
      case Label::none:
        break;
    }
    return static_cast<std::uint32_t>(none_slot_);
  }

 private:
  std::size_t groups_;
  std::size_t point_base_;
  std::size_t none_slot_;
  std::vector<std::int64_t> interval_diff_;
  std::vector<std::int64_t> point_count_;
  std::vector<std::uint8_t> covered_;
};

struct RowSpan {
  std::int32_t begin;
  std::int32_t end;
  Reach x;
};

// A map of the grid's cells, none of them copper yet.
CellMap empty_map(const CoordinateLists& lists) {
  CellMap map;
  map.columns = lists.x.empty() ? 0 : lists.x.size() - 1;
  map.rows = lists.y.empty() ? 0 : lists.y.size() - 1;
  map.flags.assign(map.columns * map.rows, 0);
  return map;
}

}  // namespace

CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists) {
  CellMap map = empty_map(lists);
  if (map.flags.empty()) return map;

  const std::vector<Label> column_labels = label_axis(lists.x, split.x);
  const std::vector<Label> row_labels = label_axis(lists.y, split.y);

  // Each rectangle covers a block of labels: a range of columns times a range
  // of rows, or a point on either axis. Rectangles with a range of rows are
  // swept row by row (added at their first row, removed behind their last);
  // those with a point row are applied only to rows of that zero height.
  std::vector<RowSpan> ranged;
  std::vector<RowSpan> pointed;
  for (const BoundGroups& b : split.bounds) {
    const Reach x = reach(b.lower_x, b.upper_x, split.x.kept.size());
    const Reach y = reach(b.lower_y, b.upper_y, split.y.kept.size());
    if (x.kind == Label::none || y.kind == Label::none) continue;
    (y.kind == Label::interval ? ranged : pointed).push_back({y.begin, y.end, x});
  }
  std::vector<const RowSpan*> by_begin(ranged.size());
  std::vector<const RowSpan*> by_end(ranged.size());
  for (std::size_t r = 0; r < ranged.size(); ++r) by_begin[r] = by_end[r] = &ranged[r];
  std::sort(by_begin.begin(), by_begin.end(),
            [](const RowSpan* a, const RowSpan* b) { return a->begin < b->begin; });
  std::sort(by_end.begin(), by_end.end(),
            [](const RowSpan* a, const RowSpan* b) { return a->end < b->end; });
  std::sort(pointed.begin(), pointed.end(),
            [](const RowSpan& a, const RowSpan& b) { return a.begin < b.begin; });

  ColumnCover sweep(split.x.kept.size());
  ColumnCover at_point(split.x.kept.size());
  std::vector<std::uint32_t> column_slots(map.columns);
  for (std::size_t i = 0; i < map.columns; ++i) column_slots[i] = sweep.slot(column_labels[i]);

  const auto fill_row = [&](std::size_t k, const std::vector<std::uint8_t>& covered) {
    std::uint8_t* row = map.flags.data() + k * map.columns;
    const std::uint8_t* cover = covered.data();
    const std::uint32_t* slots = column_slots.data();
    for (std::size_t i = 0; i < map.columns; ++i) row[i] = cover[slots[i]];
  };

  // Interval rows come in ascending order of their label, so each rectangle
  // is added and removed once.
  std::size_t next_begin = 0;
  std::size_t next_end = 0;
  for (std::size_t k = 0; k < map.rows; ++k) {
    const Label label = row_labels[k];
    if (label.kind == Label::interval) {
      while (next_begin < by_begin.size() && by_begin[next_begin]->begin <= label.index) {
        sweep.add(by_begin[next_begin++]->x, +1);
      }
      while (next_end < by_end.size() && by_end[next_end]->end <= label.index) {
        sweep.add(by_end[next_end++]->x, -1);
      }
      fill_row(k, sweep.covered());
    } else if (label.kind == Label::point) {
      const auto [first, last] = std::equal_range(
          pointed.begin(), pointed.end(), RowSpan{label.index, label.index + 1, {}},
          [](const RowSpan& a, const RowSpan& b) { return a.begin < b.begin; });
      for (auto r = first; r != last; ++r) at_point.add(r->x, +1);
      fill_row(k, at_point.covered());
      for (auto r = first; r != last; ++r) at_point.add(r->x, -1);
    }
  }
  return map;
}

namespace {

// Which active rectangles are clear: those of the runs, in order; a run that
// is empty or begins before the end of the run before it is ignored, and runs
// are cut off at the last rectangle.
std::vector<std::uint8_t> clear_flags(std::size_t count, const PolarityRuns& runs) {
  std::vector<std::uint8_t> clear(count, 0);
  std::size_t at = 0;
  for (const auto& [first, second] : runs) {
    const std::size_t begin = std::min(first, count);
    const std::size_t end = std::min(second, count);
    if (end <= begin || begin < at) continue;
    std::fill(clear.begin() + static_cast<std::ptrdiff_t>(begin),
              clear.begin() + static_cast<std::ptrdiff_t>(end), std::uint8_t{1});
    at = end;
  }
  return clear;
}

// Rows of one kind (interval or point labels) by label: the distinct labels
// ascending, and the rows that carry each. Rows with the same label match the
// same rectangles and come out alike.
struct RowFamily {
  std::vector<std::int32_t> labels;
  std::vector<std::uint32_t> first;  // rows of labels[p]: rows[first[p]] to rows[first[p + 1]]
  std::vector<std::uint32_t> rows;

  RowFamily(const std::vector<Label>& row_labels, Label::Kind kind) {
    std::vector<std::pair<std::int32_t, std::uint32_t>> by_label;
    for (std::size_t k = 0; k < row_labels.size(); ++k) {
      if (row_labels[k].kind == kind) {
        by_label.emplace_back(row_labels[k].index, static_cast<std::uint32_t>(k));
      }
    }
    std::sort(by_label.begin(), by_label.end());
    for (std::size_t r = 0; r < by_label.size(); ++r) {
      if (r == 0 || by_label[r].first != by_label[r - 1].first) {
        labels.push_back(by_label[r].first);
        first.push_back(static_cast<std::uint32_t>(r));
      }
      rows.push_back(by_label[r].second);
    }
    first.push_back(static_cast<std::uint32_t>(rows.size()));
  }

  // Positions of the labels in [begin, end).
  std::pair<std::uint32_t, std::uint32_t> positions(std::int32_t begin, std::int32_t end) const {
    const auto at = [&](std::int32_t label) {
      return static_cast<std::uint32_t>(std::lower_bound(labels.begin(), labels.end(), label) -
                                        labels.begin());
    };
    return {at(begin), at(end)};
  }
};

// A rectangle as a block of the label grid: column slots [x0, x1) as
// ColumnCover numbers them, row positions [y0, y1) of one family. Its code
// orders rectangles and carries the flag: 2 (a + 1) + 1 for dark rectangle a,
// 2 (a + 1) for a clear one, so the later rectangle has the larger code and
// the lowest bit is the cell's flag. 2 (a + 1) + 1 fits in 32 bits because
// split_rectangles numbers the bounds of the active rectangles in 32 bits.
struct Block {
  std::uint32_t x0, x1;
  std::uint32_t y0, y1;
  std::uint32_t code;
};

// Paints the rows of one family: every cell takes the flag of the block with
// the largest code that covers it, 0 where none does.
//
// The row positions are split in halves recursively, as in a segment tree. A
// block is applied at the nodes whose range it covers while it does not cover
// the parent's (at most two per level); a node needs its halves only while
// some block begins or ends strictly inside it. Each node keeps, per column
// slot, the largest code of the blocks applied on the path from the root, in
// an array it changes on the way down and restores on the way back. So every
// block is looked at O(log rows) times, a node costs the slots its blocks
// cover, and a row is written once from the array; rows after the first of a
// node that needs no halves are copies. Memory: O(blocks + slots + rows).
class LastCover {
 public:
  // y0 and y1 of the blocks lie in [0, positions].
  LastCover(std::vector<Block> blocks, std::uint32_t positions, std::size_t slots)
      : by_begin_(sorted(blocks, &Block::y0, positions)),
        by_end_(sorted(blocks, &Block::y1, positions)),
        code_(slots, 0),
        flag_(slots, 0) {}

  void paint(const RowFamily& family, const std::vector<std::uint32_t>& column_slots,
             CellMap& map) {
    family_ = &family;
    column_slots_ = &column_slots;
    map_ = &map;
    const auto positions = static_cast<std::uint32_t>(family.labels.size());
    if (positions > 0) descend(0, positions, 0, positions);
  }

 private:
  // The blocks in order of a row position (a counting sort: positions are
  // few).
  static std::vector<Block> sorted(const std::vector<Block>& blocks, std::uint32_t Block::*field,
                                   std::uint32_t positions) {
    std::vector<std::size_t> first(std::size_t{positions} + 2, 0);
    for (const Block& b : blocks) ++first[std::size_t{b.*field} + 1];
    for (std::size_t p = 1; p < first.size(); ++p) first[p] += first[p - 1];
    std::vector<Block> order(blocks.size());
    for (const Block& b : blocks) order[first[b.*field]++] = b;
    return order;
  }

  // The blocks of order (sorted by field) whose field lies in [low, high).
  static std::pair<const Block*, const Block*> range(const std::vector<Block>& order,
                                                     std::uint32_t Block::*field, std::uint32_t low,
                                                     std::uint32_t high) {
    const auto below = [&](const Block& b, std::uint32_t value) { return b.*field < value; };
    const Block* first = std::lower_bound(order.data(), order.data() + order.size(), low, below);
    const Block* last = std::lower_bound(first, order.data() + order.size(), high, below);
    return {first, last};
  }
  std::pair<const Block*, const Block*> beginning(std::uint32_t low, std::uint32_t high) const {
    return range(by_begin_, &Block::y0, low, high);
  }
  std::pair<const Block*, const Block*> ending(std::uint32_t low, std::uint32_t high) const {
    return range(by_end_, &Block::y1, low, high);
  }

  // Node [low, high) of parent [parent_low, parent_high) (the root is its own
  // parent).
  void descend(std::uint32_t low, std::uint32_t high, std::uint32_t parent_low,
               std::uint32_t parent_high) {
    // The blocks that cover this node and not its parent. For the root: those
    // that cover everything. For a lower half: those that begin at or before
    // it and end within the upper half; for an upper half: those that begin
    // within the lower half and end at or after it.
    applied_.clear();
    if (low == parent_low && high == parent_high) {
      const auto [first, last] = beginning(0, 1);
      for (const Block* b = first; b != last; ++b) {
        if (b->y1 >= high) applied_.push_back(*b);
      }
    } else if (low == parent_low) {
      const auto [first, last] = ending(high, parent_high);
      for (const Block* b = first; b != last; ++b) {
        if (b->y0 <= low) applied_.push_back(*b);
      }
    } else {
      const auto [first, last] = beginning(parent_low + 1, low + 1);
      for (const Block* b = first; b != last; ++b) {
        if (b->y1 >= high) applied_.push_back(*b);
      }
    }
    const std::size_t undo_mark = undo_.size();
    apply_to_slots();

    const auto [begins_first, begins_last] = beginning(low + 1, high);
    const auto [ends_first, ends_last] = ending(low + 1, high);
    if (high - low == 1 || (begins_first == begins_last && ends_first == ends_last)) {
      write_rows(low, high);
    } else {
      const std::uint32_t middle = low + (high - low) / 2;
      descend(low, middle, low, high);
      descend(middle, high, low, high);
    }
    while (undo_.size() > undo_mark) {
      const auto [slot, code] = undo_.back();
      code_[slot] = code;
      flag_[slot] = static_cast<std::uint8_t>(code & 1);
      undo_.pop_back();
    }
  }

  // Raises each slot's code to the largest code of the applied blocks that
  // cover it: a sweep over the slots in order of the blocks' x0, with the
  // covering blocks in a heap by code (those that ended are dropped when they
  // come to the top).
  void apply_to_slots() {
    if (applied_.empty()) return;
    std::sort(applied_.begin(), applied_.end(),
              [](const Block& a, const Block& b) { return a.x0 < b.x0; });
    heap_.clear();
    std::size_t next = 0;
    std::uint32_t at = 0;
    while (next < applied_.size() || !heap_.empty()) {
      if (heap_.empty()) at = applied_[next].x0;
      while (next < applied_.size() && applied_[next].x0 <= at) {
        heap_.emplace_back(applied_[next].code, applied_[next].x1);
        std::push_heap(heap_.begin(), heap_.end());
        ++next;
      }
      while (!heap_.empty() && heap_.front().second <= at) {
        std::pop_heap(heap_.begin(), heap_.end());
        heap_.pop_back();
      }
      if (heap_.empty()) continue;
      std::uint32_t until = heap_.front().second;
      if (next < applied_.size()) until = std::min(until, applied_[next].x0);
      const std::uint32_t code = heap_.front().first;
      for (std::uint32_t slot = at; slot < until; ++slot) {
        if (code_[slot] < code) {
          undo_.emplace_back(slot, code_[slot]);
          code_[slot] = code;
          flag_[slot] = static_cast<std::uint8_t>(code & 1);
        }
      }
      at = until;
    }
  }

  // The rows of positions [low, high), which all match the same blocks.
  void write_rows(std::uint32_t low, std::uint32_t high) {
    const std::size_t columns = map_->columns;
    const std::uint32_t* slots = column_slots_->data();
    const std::uint8_t* flag = flag_.data();
    const std::uint8_t* source = nullptr;
    for (std::uint32_t r = family_->first[low]; r < family_->first[high]; ++r) {
      std::uint8_t* row = map_->flags.data() + std::size_t{family_->rows[r]} * columns;
      if (source == nullptr) {
        for (std::size_t i = 0; i < columns; ++i) row[i] = flag[slots[i]];
        source = row;
      } else {
        std::copy(source, source + columns, row);
      }
    }
  }

  std::vector<Block> by_begin_;      // the blocks in order of y0
  std::vector<Block> by_end_;        // and of y1
  std::vector<std::uint32_t> code_;  // per slot: the largest code applied
  std::vector<std::uint8_t> flag_;   // per slot: its lowest bit
  // Slot and its code before a node raised it.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> undo_;
  std::vector<Block> applied_;
  // Code and x1 of the blocks that cover the slot being swept.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> heap_;
  const RowFamily* family_ = nullptr;
  const std::vector<std::uint32_t>* column_slots_ = nullptr;
  CellMap* map_ = nullptr;
};

}  // namespace

CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists,
                       const PolarityRuns& clear_runs) {
  const std::vector<std::uint8_t> clear = clear_flags(split.bounds.size(), clear_runs);
  if (std::find(clear.begin(), clear.end(), std::uint8_t{1}) == clear.end()) {
    return build_cell_map(split, lists);
  }
  CellMap map = empty_map(lists);
  if (map.flags.empty()) return map;

  // The same labels and slots as the map without clear runs: a rectangle
  // covers a cell when it covers the cell's column and row label. Each cell
  // then takes the polarity of the last rectangle that covers it, which is
  // what laying the runs one over the other in file order gives.
  const std::vector<Label> column_labels = label_axis(lists.x, split.x);
  const std::vector<Label> row_labels = label_axis(lists.y, split.y);
  const ColumnCover slots(split.x.kept.size());
  std::vector<std::uint32_t> column_slots(map.columns);
  for (std::size_t i = 0; i < map.columns; ++i) column_slots[i] = slots.slot(column_labels[i]);
  const std::size_t slot_count = slots.slot(Label{}) + std::size_t{1};

  const RowFamily interval_rows(row_labels, Label::interval);
  const RowFamily point_rows(row_labels, Label::point);
  std::vector<Block> ranged;
  std::vector<Block> pointed;
  for (std::size_t a = 0; a < split.bounds.size(); ++a) {
    const BoundGroups& b = split.bounds[a];
    const Reach x = reach(b.lower_x, b.upper_x, split.x.kept.size());
    const Reach y = reach(b.lower_y, b.upper_y, split.y.kept.size());
    if (x.kind == Label::none || y.kind == Label::none) continue;
    const std::uint32_t x0 = slots.slot({x.kind, x.begin});
    const std::uint32_t x1 = x.kind == Label::interval ? slots.slot({x.kind, x.end}) : x0 + 1;
    const RowFamily& family = y.kind == Label::interval ? interval_rows : point_rows;
    const auto [y0, y1] = family.positions(y.begin, y.end);
    if (y0 == y1) continue;
    const auto code = static_cast<std::uint32_t>(2 * (a + 1) + (clear[a] != 0 ? 0 : 1));
    (y.kind == Label::interval ? ranged : pointed).push_back({x0, x1, y0, y1, code});
  }
  const auto positions = [](const RowFamily& family) {
    return static_cast<std::uint32_t>(family.labels.size());
  };
  LastCover(std::move(ranged), positions(interval_rows), slot_count)
      .paint(interval_rows, column_slots, map);
  LastCover(std::move(pointed), positions(point_rows), slot_count)
      .paint(point_rows, column_slots, map);
  return map;
}

// DESIGN NOTE: what the grouped stages give where values sit on the tolerance.
//
// Cutting piece by piece, a value e cuts a rectangle when lower + tol < e and
// e < upper - tol, and two values are one grid line when |a - b| < tol, each
// formed in double precision. The stages above decide both per group: a group
// cuts a rectangle when it lies strictly between the groups of the
// rectangle's bounds, and a grid line matches a piece bound when it lies
// within the tolerance of its group's kept value. The two agree exactly when
// (a) every group is narrower than the tolerance (each value of it, and each
// extreme within the tolerance of one of them, within the tolerance of every
// other) and (b) the values of neighbouring groups pass the cut test against
// each other. Where they do not, piece-by-piece cutting depends on the order
// in which it meets the values, and the stages here give:
//  - a chain of values each within the tolerance of the next but spanning
//    more than it: one grid line (the chain's first offered value), where the
//    loops keep one or more of them depending on the order of the pieces;
//  - two values neither within the tolerance of each other nor more than it
//    apart in the cut test (exactly the tolerance apart, or around 1e6 mm
//    where a double's step exceeds the tolerance): two grid lines that cut each
//    other, where the loops let neither cut a rectangle bounded by the other,
//    and that rectangle then matches no cell;
//  - in a group of several different values, the value offered first in list
//    order before cutting, where the loops keep the one their pieces offer
//    first. Such values differ by rounding only and print alike in the output
//    unless they straddle a multiple of 0.05 mm within 1e-13 mm; the cell map
//    is the same either way. 0.0 and -0.0 are such a group.
// No board written in a photoplot's decimal steps meets (a) or (b) wrongly:
// its values are multiples of at least 1e-6 inch, rounded to within 1e-12 mm.

}  // namespace foilcad
