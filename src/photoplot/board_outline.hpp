// The board's real shape, read from an outline layer of its own (an edge-cuts
// or mechanical layer): the centre lines of its strokes and arcs joined end to
// end into closed contours, the outer edge and any cut-outs inside it.
#pragma once

#include <filesystem>
#include <vector>

#include "common/box.hpp"

namespace foilcad {

struct BoardOutline {
  // Each contour closed (the last point joins the first; the first point is
  // not repeated), arcs followed by chords within the tolerance it was read
  // with, in millimetres, placed on the device.
  std::vector<std::vector<Point>> contours;
  Box extent;  // of all contours
};

}  // namespace foilcad
