#include "exact/exact.hpp"

#include "exact/outlines.hpp"
#include "exact/solids.hpp"

namespace foilcad::exact {

ExactSolids build_exact_solids(const Drawing& drawing, const ExactOptions& options,
                               const std::function<void()>& traced) {
  const CopperShape shape = trace_copper(drawing, options);
  if (traced) traced();
  if (!options.nets) return extrude_solids(shape.copper, shape.board, options.z1, options.z2);
  const NetParts parts{shape.probes, drawing.nets};
  return extrude_solids(shape.copper, shape.board, options.z1, options.z2, kHalvesFrom, &parts);
}

}  // namespace foilcad::exact
