#include "exact/cleaning.hpp"

#include <utility>

namespace foilcad::exact {

void clean_contours(ClipperLib::Paths& contours) {
  ClipperLib::CleanPolygons(contours);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < contours.size(); ++i) {
    ClipperLib::Path& p = contours[i];
    if (p.size() < 3 || ClipperLib::Area(p) == 0.0) continue;
    if (kept != i) contours[kept] = std::move(p);
    ++kept;
  }
  contours.resize(kept);
}

}  // namespace foilcad::exact
