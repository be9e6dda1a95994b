// The board's real shape, read from an outline layer of its own (an edge-cuts
// or mechanical layer): the centre lines of its strokes and arcs joined end to
// end into closed contours, the outer edge and any cut-outs inside it.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "common/box.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad {

struct BoardOutline {
  // Each contour closed (the last point joins the first; the first point is
  // not repeated), arcs followed by chords within the tolerance it was read
  // with, in millimetres, placed on the device.
  std::vector<std::vector<Point>> contours;
  Box extent;  // of all contours
};

// End points closer than this (mm) are one point of a contour. Layout tools
// write the end of one segment and the start of the next from the same
// number, but where a contour is written in pieces (a move to a point
// rounded from another computation) the two can differ by a unit of the
// file's format: 2.54 um in the coarsest one in use (inches with 4 decimals),
// nanometres in millimetre files. Twice that unit still lies far below any
// gap a board edge can mean (a milling tool is a few tenths of a millimetre
// wide), so a contour that does not close within it is reported, not closed.
inline constexpr double kOutlineJoinGap = 0.005;

// Reads an outline layer with the photoplot reader and joins the centre lines
// of its strokes and arcs into closed contours; the contours of regions stand
// as they are, flashes are ignored, the image transforms and step and repeat
// are placed. Arcs are followed by chords that stand off them by at most
// tolerance_mm; where an arc crosses an axis through its centre the chord
// points include the crossing, so the extent holds the arc's true extremes.
// Throws foilcad::Error naming the file: for a contour that does not close
// (with the line of the stroke at the open end, the gap and where it is), and
// for a file that draws no contour.
BoardOutline read_board_outline(const std::filesystem::path& path, double tolerance_mm);

// The same over text already in memory; name is used in messages only.
BoardOutline read_board_outline_text(std::string_view text, const std::filesystem::path& name,
                                     double tolerance_mm);

// The same over a photoplot already read.
BoardOutline board_outline(const Drawing& drawing, double tolerance_mm);

}  // namespace foilcad
