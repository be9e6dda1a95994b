#include "exact/solids.hpp"

namespace foilcad::exact {

ExactSolids extrude_solids(const ClipperLib::Paths&, const ClipperLib::Paths&, double, double) {
  return {};
}

}  // namespace foilcad::exact
