// Board geometry: overlap splitting, the coordinate grid and the cell map.
//
// Lengths are millimetres. Rectangles before the first active one are the
// drawing's frame: they take no part in the geometry (only their coordinates
// count among the extremes the reader gathered). Every coordinate comparison
// uses kTolerance strictly.
//
// The stages never make the pieces themselves. Cutting every rectangle along
// the edge lines of all others leaves, on each axis, pieces that reach from
// one edge value to the next one: which pieces exist follows from where each
// rectangle's bounds stand among the sorted edge values. So overlap splitting
// sorts the edge values of each axis into groups (values closer than the
// tolerance are one value) and records the group of every bound; the grid and
// the cell map are built from that in O(n log n + cells) time, with memory of
// one byte per cell plus O(n + grid lines).
//
// Tolerance groups. Sorted edge values form one group as long as each lies
// within the tolerance of the one before. On real boards a group holds values
// that are equal on paper and differ by rounding (a few 1e-13 mm), and groups
// lie at least a coordinate step (1e-5 mm and more) apart, far beyond the
// tolerance. There every value of a group is within the tolerance of every
// other and the cut test tells groups apart, and the results are exactly those
// of cutting piece by piece (geometry/reference.hpp). Only inputs built to sit
// on the tolerance differ: see DESIGN NOTE at the end of geometry.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "common/box.hpp"

namespace foilcad {

// 1e-10 rounded to single precision and widened: grids of existing files were
// built with this exact value, not with 1e-10.
inline constexpr double kTolerance = static_cast<double>(1e-10f);  // 1.000000013351432e-10

// Rectangles before this index are the frame, when the file begins with one.
inline constexpr std::size_t kFirstActive = 4;

// The grid lines: the distinct edge values of the active rectangles (values
// closer than kTolerance count as one) and the four extremes, each list
// ascending. Equal neighbours are possible, so columns and rows of zero width
// are possible.
struct CoordinateLists {
  std::vector<double> x;
  std::vector<double> y;

  friend bool operator==(const CoordinateLists&, const CoordinateLists&) = default;
};

// One byte per cell: 1 copper, 0 not. Cell (i, k) spans x[i] to x[i + 1] and
// y[k] to y[k + 1]; the column index varies fastest.
struct CellMap {
  std::size_t columns = 0;  // nx - 1
  std::size_t rows = 0;     // ny - 1
  std::vector<std::uint8_t> flags;

  std::uint8_t at(std::size_t i, std::size_t k) const { return flags[i + columns * k]; }
  std::size_t copper_cells() const;
  friend bool operator==(const CellMap&, const CellMap&) = default;
};

// The edge values of one axis in tolerance groups, ascending.
struct EdgeGroups {
  // One value per group: of the group's values the one the active rectangles
  // offer first (lower bound before upper bound, rectangles in list order).
  std::vector<double> kept;
  // How many pieces have an infinite bound (an overflowed coordinate plus
  // half an aperture) below and above on this axis. An infinity is never
  // within the tolerance of anything, itself included, so each such bound of
  // each piece becomes a grid line of its own.
  std::uint64_t below = 0;  // -infinity
  std::uint64_t above = 0;  // +infinity
};

// Group of a bound: 0 to kept.size() - 1 for a finite value, kBelow for
// -infinity, kept.size() for +infinity, kNoGroup for NaN (which the reader
// never makes: it neither cuts nor is cut nor matches a cell).
inline constexpr std::int32_t kBelow = -1;
inline constexpr std::int32_t kNoGroup = std::numeric_limits<std::int32_t>::min();

struct BoundGroups {
  std::int32_t lower_x;
  std::int32_t upper_x;
  std::int32_t lower_y;
  std::int32_t upper_y;
};

// What overlap splitting leaves for the grid.
struct SplitGroups {
  EdgeGroups x;
  EdgeGroups y;
  std::vector<BoundGroups> bounds;  // one per active rectangle, in list order
  std::uint64_t pieces = 0;         // the active pieces the cuts leave
};

// Cuts every active rectangle along the edge lines of every other active
// rectangle that pass through its interior (more than kTolerance inside both
// bounds), without making the pieces.
SplitGroups split_rectangles(std::span<const Box> list, std::size_t first_active);

// The grid lines of each axis: the kept value of each group, one line per
// infinite piece bound, and the two extremes (whether or not they equal a
// value already there), sorted ascending; equal values keep that order.
CoordinateLists build_coordinate_lists(const SplitGroups& split, const Box& extremes);

// The grid lines of a board without a frame: the edge values alone, so the
// grid ends exactly at the outermost copper and no extreme line adds a column
// or row of zero width beside it.
CoordinateLists build_coordinate_lists(const SplitGroups& split);

// A cell is copper when a piece coincides with it within the tolerance on all
// four sides: a piece spanning two neighbouring groups matches a cell whose
// lines lie in those groups, a piece of zero width (both bounds in one group)
// only a cell of zero width in that group. A piece that an extreme line
// crosses matches no cell, so the cells on either side of that line within
// it are not copper.
CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists);

// Ranges [first, second) of active rectangles, in list order, that were drawn
// in clear polarity.
using PolarityRuns = std::vector<std::pair<std::size_t, std::size_t>>;

// The same when some rectangles were drawn in clear polarity: in file order,
// each dark rectangle makes the cells it covers copper and each clear one
// makes them not copper, so a cell is what the last rectangle covering it
// says ("covering" as above: a piece of it matches the cell). Runs that are
// empty or begin before the end of the run before them are ignored; runs are
// cut off at the last rectangle. O(n log² n + cells) time however many runs,
// memory of one byte per cell plus O(n + grid lines).
CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists,
                       const PolarityRuns& clear_runs);

}  // namespace foilcad
