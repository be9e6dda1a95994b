#include "exact/outlines.hpp"

namespace foilcad::exact {

CopperShape trace_copper(const Drawing&, const ExactOptions&) { return {}; }

}  // namespace foilcad::exact
