// A picture of a conversion's result seen from above: copper cells in one
// colour, insulator in another, to scale, covering exactly the grid's extent.
#pragma once

#include <filesystem>
#include <optional>

#include "geometry/geometry.hpp"

namespace foilcad {

struct PreviewSize {
  int width = 0;
  int height = 0;
};

// Pixels per millimetre: dots_per_inch when given, otherwise the largest
// scale at which neither side exceeds max_side pixels.
double preview_scale(const CoordinateLists& lists, std::optional<double> dots_per_inch,
                     int max_side = 2000);

// Writes the PNG; throws foilcad::Error naming the file when it cannot.
PreviewSize write_preview(const std::filesystem::path& file, const CoordinateLists& lists,
                          const CellMap& map, double pixels_per_mm);

}  // namespace foilcad
