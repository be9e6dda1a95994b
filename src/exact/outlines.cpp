#include "exact/outlines.hpp"

#include <cmath>

#include "common/error.hpp"
#include "exact/board.hpp"
#include "exact/cleaning.hpp"
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
  const Pieces pieces = trace_pieces(drawing, options);
  out.copper = unite_tiles({pieces, out.board, drawing.negative});
  clean_contours(out.copper);
  return out;
}

}  // namespace foilcad::exact
