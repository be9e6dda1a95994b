#include "exact/outlines.hpp"

#include <cmath>
#include <string>

#include "common/error.hpp"
#include "exact/board.hpp"
#include "exact/cleaning.hpp"
#include "exact/holes.hpp"
#include "exact/nets.hpp"
#include "exact/pieces.hpp"
#include "exact/tiles.hpp"

namespace foilcad::exact {

CopperShape trace_copper(const Drawing& drawing, const ExactOptions& options) {
  if (!(options.tolerance > 0.0) || !std::isfinite(options.tolerance)) {
    throw Error("the tolerance must be a positive number of millimetres");
  }
  CopperShape out;
  out.board = trace_board(drawing, options);
  if (out.board.empty()) return out;
  Pieces pieces = trace_pieces(drawing, options);
  Pieces walls;  // the holes, a piece each
  if (!options.holes.empty()) {
    // Drilled out of the board, the holes leave every body; the rings go
    // on last, over whatever the artwork did there. The board is drilled
    // tile by tile, as copper is made: one boolean over thousands of holes
    // would cross every hole on a scan line.
    walls = trace_holes(options, pieces.vertices);
    out.board = unite_tiles({walls, out.board, true});
    if (out.board.empty()) {
      // Holes of the wrong units or digits, as often as not.
      std::string files;
      for (const auto& f : options.hole_files) files += (files.empty() ? "" : ", ") + f.string();
      throw Error((files.empty() ? std::string("the drill files") : files) +
                  ": the holes cut the whole board away; are the drill files' units and digits "
                  "right? (--drill-format sets them)");
    }
    add_plated_rings(options, drawing.negative, pieces);
  }
  if (options.nets) out.probes = net_probes(drawing, pieces, walls);
  out.copper = unite_tiles({pieces, out.board, drawing.negative});
  clean_contours(out.copper);
  return out;
}

}  // namespace foilcad::exact
