// The grid model's first step: the boxes a drawing makes.
//
// Every object becomes axis-aligned rectangles: a flash the aperture's extent
// placed on its point, a stroke the box of its end points grown by the
// extent, an arc the box of the arc and the axis points it passes grown by
// the extent, a region the slabs that cover it (see region.hpp). An aperture's
// extent is a circle's or polygon's outer diameter on both sides, a rectangle's
// or obround's two sizes, a macro's the box of its exposed primitives. A step
// and repeat block places the rectangles of its objects again at every step,
// right behind the block. The frame, when the drawing begins with one, is the
// first four rectangles: they take no part in the copper.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "common/box.hpp"
#include "geometry/geometry.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad {

// Bounds on what one drawing may make the grid model do. A few hundred bytes
// of step and repeat around a region can ask for billions of rectangles; the
// largest boards met so far make about 150,000, and their grids already reach
// terabytes of solids. A drawing past a bound is refused at the line of the
// object that crossed it.
struct BoxLimits {
  // Rectangles of the whole file: objects, step and repeat copies, region rows.
  std::size_t rectangles = 2'000'000;
  // Rows one region's slanted edges may be cut into (see RegionLimits).
  std::size_t region_rows = 100'000;
  // The sweep work of all regions together (see RegionLimits::edge_visits):
  // well under a second; real pours need a few hundred thousand.
  std::size_t region_edge_visits = 10'000'000;
  // The board's extent, from an outline layer of its own: every rectangle is
  // cut to it (copper outside the board is cut off, a rectangle wholly
  // outside is dropped) and no "no outline" warning is given. The drawing's
  // own frame, which takes no part in the copper, stays as it is.
  std::optional<Box> board;
};

// The rectangles of a drawing, in the order of its objects.
struct DrawingBoxes {
  std::vector<Box> rectangles;
  // Index ranges [first, second) of rectangles drawn in clear polarity: they
  // remove copper that earlier rectangles made. Never empty, in order.
  PolarityRuns clear_runs;
  // Where the first rectangle that counts as copper stands: 4 behind a
  // frame, else 0.
  std::size_t first_active = 0;
  // Rectangles made by filling regions, and placed again by step and repeat.
  std::size_t region_rectangles = 0;
  std::size_t step_and_repeat_copies = 0;
  // The drawing's warnings and "no outline" when there is neither a frame
  // nor an outline layer, by the line each kind first occurred on.
  std::vector<Warning> warnings;
};

// Throws foilcad::Error naming the drawing's file and the line of the object
// (or aperture definition) that cannot be placed or crosses a limit.
DrawingBoxes make_boxes(const Drawing& drawing, const BoxLimits& limits = {});

}  // namespace foilcad
