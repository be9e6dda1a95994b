// The board geometry written as plain loops, kept as the yardstick the fast
// stages in geometry.hpp are tested and measured against. Only tests and
// benchmarks link it: its cost grows with the square of the piece count and
// with cells times rectangles (the polarity map: with cells times runs).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "geometry/geometry.hpp"

namespace foilcad::reference {

// Cuts every active rectangle along the edge lines of every other active
// rectangle that pass through its interior (more than kTolerance inside both
// bounds), in place; the pieces are appended. Returns the new count.
std::size_t split_rectangles(std::vector<Box>& list);

// The grid lines: the distinct edge values of the active rectangles (values
// closer than kTolerance count as one; the one offered first stays) and the
// four extremes, each list ascending. Expects the list as split_rectangles
// left it.
CoordinateLists build_coordinate_lists(std::span<const Box> list, const Box& extremes);

// A cell is copper when some active rectangle coincides with it within the
// tolerance on all four sides; expects split rectangles.
CellMap build_cell_map(std::span<const Box> list, const CoordinateLists& lists);

// The cell map with clear polarity, layer by layer: the rectangles are taken
// in runs of one polarity in list order, each run is mapped on the whole grid
// by the grouped foilcad::build_cell_map, and laid over the runs before it
// (dark makes the cells it covers copper, clear makes them not copper). Runs
// that are empty or begin before the end of the run before them are ignored;
// runs are cut off at the last rectangle. One pass over the cells per run.
CellMap build_cell_map(const SplitGroups& split, const CoordinateLists& lists,
                       const PolarityRuns& clear_runs);

}  // namespace foilcad::reference
