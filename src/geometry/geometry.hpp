// Board geometry: overlap splitting, the coordinate grid and the cell map.
//
// Lengths are millimetres. The first four rectangles of the list are the
// board outline: they take no part in the geometry (only their coordinates
// count among the extremes the reader gathered). Every coordinate comparison
// uses kTolerance strictly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "photoplot/plot_state.hpp"

namespace foilcad {

// 1e-10 rounded to single precision and widened: grids of existing files were
// built with this exact value, not with 1e-10.
inline constexpr double kTolerance = static_cast<double>(1e-10f);  // 1.000000013351432e-10

// Rectangles before this index are the board outline.
inline constexpr std::size_t kFirstActive = 4;

// Cuts every active rectangle along the edge lines of every other active
// rectangle that pass through its interior (more than kTolerance inside both
// bounds), in place; the pieces are appended. Returns the new count.
std::size_t split_rectangles(std::vector<Rectangle>& list);

// The grid lines: the distinct edge values of the active rectangles (values
// closer than kTolerance count as one; the one offered first stays) and the
// four extremes, each list ascending. Equal neighbours are possible, so
// columns and rows of zero width are possible.
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

// Expects the list as split_rectangles left it.
CoordinateLists build_coordinate_lists(std::span<const Rectangle> list,
                                       const CoordinateExtremes& extremes);

// A cell is copper when some active rectangle coincides with it within the
// tolerance on all four sides; expects split rectangles.
CellMap build_cell_map(std::span<const Rectangle> list, const CoordinateLists& lists);

}  // namespace foilcad
