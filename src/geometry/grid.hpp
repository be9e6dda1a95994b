// The grid model from a drawing's rectangles to its bodies: where the grid
// ends (the board's frame, an outline layer's extent, or the outermost
// copper), a negative image's inversion, and which cells make which body.
//
// The stages are the same as for any grid: the rectangles (boxes.hpp), split
// (geometry.hpp), the grid lines, then the cell map. The functions here say
// what the drawing asks of each: a frame rectangle among the rectangles to
// split, the extremes the lines end at, the map inverted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/body.hpp"
#include "common/box.hpp"
#include "geometry/boxes.hpp"
#include "geometry/geometry.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad {

// The grid and its cell map: what the solids (and a picture) are made of.
struct Grid {
  CoordinateLists lists;
  CellMap map;
};

// A body of the grid model: the cells whose flag is `cells` (1 copper, 0 not).
struct GridBody {
  Body body;
  std::uint8_t cells;
};

// The conductor (the copper cells), then the insulator (all others), both
// from z1 to z2.
std::vector<GridBody> grid_bodies(double z1, double z2);

// The rectangles as splitting takes them, and where the grid ends.
struct GridPlan {
  // The drawing's rectangles; where the grid needs a frame rectangle, it
  // stands first among the active ones (see plan_grid).
  std::vector<Box> rectangles;
  std::size_t first_active = 0;
  // Clear runs counted in active rectangles, as the split board counts them.
  PolarityRuns clear_runs;
  // The board's frame: an outline layer's extent, or the frame the drawing
  // begins with.
  std::optional<Box> frame;
  bool outline_layer = false;  // the frame is an outline layer's extent
  bool frame_rectangle = false;
  // From the drawing: the extremes the grid may end at, a negative image,
  // and the file for messages.
  Box extremes = kNoExtremes;
  bool negative = false;
  std::filesystem::path name;
};

// A negative image with a frame, and every image cut to an outline layer,
// gets the frame as its first active rectangle, in clear polarity so that
// it draws nothing: its edges become grid lines, cut every object that
// reaches across the frame (so the cells inside are decided by what covers
// them), and end the grid without a column of zero width where copper
// reaches the edge. The rectangles are taken over from boxes.
GridPlan plan_grid(DrawingBoxes&& boxes, const Drawing& drawing,
                   const std::optional<Box>& outline_extent);

// The pieces splitting made of the drawing's own rectangles (the frame
// rectangle's left out).
std::uint64_t drawn_pieces(const SplitGroups& split, const GridPlan& plan);

// The grid lines. Without a frame the grid ends at the outermost copper;
// an axis with fewer than two edge values (only objects of no size) ends at
// the extremes. A frame the drawing begins with ends the grid at the
// extremes too, unless the frame is a rectangle of its own (a negative
// image), when the extreme lines would cross objects at the frame and keep
// them from clearing the cells they cover. Throws foilcad::Error naming the
// file when the grid would have to end at extremes no coordinate set.
CoordinateLists grid_lines(const SplitGroups& split, const GridPlan& plan);

// The cell map over the lines: copper where the rectangles leave it, in
// file order, and in a negative image copper wherever they leave none
// within the frame (or within the whole grid without one).
CellMap grid_cells(const SplitGroups& split, const CoordinateLists& lists, const GridPlan& plan);

}  // namespace foilcad
