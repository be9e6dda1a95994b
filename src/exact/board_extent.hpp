// The board of the exact model where no outline layer gives one: the frame
// the drawing begins with, or else the extent of its objects.
#pragma once

#include <cstddef>

#include "common/box.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad::exact {

struct BoardExtent {
  Box box;
  // Where the board ends at the outermost copper, with no frame to say
  // otherwise: the line of the first object that draws, for the warning
  // (the last line when none does); 0 with a frame.
  std::size_t unframed_line = 0;
};

// Throws foilcad::Error naming the drawing's file when it holds no
// coordinate on an axis: a board would have no place there.
void check_coordinates(const Drawing& drawing);

// The frame when the drawing begins with one; otherwise the hull of every
// object's box (photoplot/extent.hpp: the same boxes the grid's rectangles
// are, dark and clear, step and repeat copies included), widened to the
// coordinate extremes along an axis that no object spans. Throws
// foilcad::Error naming the drawing's file (and the line of an object that
// reaches beyond the range of numbers) when there is no board to convert.
BoardExtent board_extent(const Drawing& drawing);

}  // namespace foilcad::exact
