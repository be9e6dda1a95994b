// The copper's contours cleaned for the triangulation: no sliver without
// area is left, and no two vertices lie so close that the triangulation
// would get near-duplicates.
#pragma once

#include "exact/clipper_units.hpp"

namespace foilcad::exact {

// Removes vertices within the diagonal of a unit of another vertex or of the
// line of their neighbours, spikes that go out and come back the same way,
// and contours left without area. Every removed vertex (but a spike's) lies
// within the diagonal of a unit of the edge that replaces it, however many
// are removed one after another: the cleaned contour stays that close to the
// contour as traced.
void clean_contours(ClipperLib::Paths& contours);

}  // namespace foilcad::exact
