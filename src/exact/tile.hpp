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
  // The box of each of board's contours (unite_tiles fills them in): a tile
  // cuts only the contours that reach it, of a board drilled with thousands
  // of holes as of a plain one.
  std::span<const UnitBox> board_boxes = {};
};

// Pieces of more vertices than this that reach beyond a tile are cut to the
// tile before they take part in its booleans (pours, large regions), and so
// are pieces larger than the tile: whatever else the tile's booleans cut into
// them beyond it would only be cut away at the end.
inline constexpr std::size_t kCutToTile = 64;

// A piece as a tile reads it: its contours, or, for a piece the tile cuts,
// contours that give the same cut (reduced to what lies near the tile).
struct TilePiece {
  std::size_t index;  // into Pieces::pieces
  PathSpan contours;
};

// The copper within `tile` of the pieces listed (each meets the tile; in file
// order): dark pieces add copper and clear ones remove it, the other way round
// in a negative image. Strictly simple contours, outer ones counterclockwise,
// holes clockwise; cut to the board and to the tile, so that outer contours
// may run along the tile's border.
ClipperLib::Paths tile_copper(const TileSource& source, std::span<const TilePiece> listed,
                              const UnitBox& tile);

}  // namespace foilcad::exact
