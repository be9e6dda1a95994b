// The copper's contours cleaned for the triangulation.
#pragma once

#include "exact/clipper_units.hpp"

namespace foilcad::exact {

// Without vertices closer than a fraction of the unit's length to each other
// or to their neighbours' line, and without contours left without area: no
// sliver without area is left.
void clean_contours(ClipperLib::Paths& contours);

}  // namespace foilcad::exact
