// The copper of a whole board, tile by tile: Clipper's sweep slows down with
// the number of edges a scan line crosses, so many small booleans are far
// faster than one over the board.
#pragma once

#include "exact/tile.hpp"

namespace foilcad::exact {

// Every piece that meets the board applied in file order (tile_copper), then
// the contours that reach a tile's border united with their neighbours', four
// tiles at a time, so that no union ever spans more than the contours that
// cross a border. The contours as the booleans left them, not yet cleaned
// (clean_contours).
ClipperLib::Paths unite_tiles(const TileSource& source);

}  // namespace foilcad::exact
