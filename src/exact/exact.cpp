#include "exact/exact.hpp"

#include "exact/outlines.hpp"
#include "exact/solids.hpp"

namespace foilcad::exact {

ExactSolids build_exact_solids(const Drawing& drawing, const ExactOptions& options) {
  const CopperShape shape = trace_copper(drawing, options);
  return extrude_solids(shape.copper, shape.board, options.z1, options.z2);
}

}  // namespace foilcad::exact
