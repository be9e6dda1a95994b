// One tile's copper: the pieces that meet the tile applied to it in file
// order, cut to the board.
#pragma once

#include <cstddef>
#include <span>

#include "exact/pieces.hpp"

namespace foilcad::exact {

// What every tile reads.
struct TileSource {
  const Pieces& pieces;
  const ClipperLib::Paths& board;
  bool negative;  // the image's polarity: the copper starts as the whole board
};

// The copper within `tile` of the pieces listed (each meets the tile; in file
// order): dark pieces add copper and clear ones remove it, the other way round
// in a negative image. Strictly simple contours, outer ones counterclockwise,
// holes clockwise; cut to the board and to the tile, so that outer contours
// may run along the tile's border.
ClipperLib::Paths tile_copper(const TileSource& source, std::span<const std::size_t> listed,
                              const UnitBox& tile);

}  // namespace foilcad::exact
