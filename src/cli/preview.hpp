// A picture of a conversion's result seen from above: copper cells in one
// colour, insulator in another, to scale, covering exactly the grid's extent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "convert/convert.hpp"
#include "geometry/geometry.hpp"

namespace foilcad {

struct PreviewSize {
  int width = 0;
  int height = 0;
};

// A picture: whether each pixel is copper, row by row from the top.
struct Picture {
  PreviewSize size;
  std::vector<std::uint8_t> copper;

  bool at(int x, int y) const {
    return copper[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
                  static_cast<std::size_t>(x)] != 0;
  }
  void set(int x, int y) {
    copper[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
           static_cast<std::size_t>(x)] = 1;
  }
};

// Pixels per millimetre: dots_per_inch when given, otherwise the largest
// scale at which neither side exceeds max_side pixels.
double preview_scale(const CoordinateLists& lists, std::optional<double> dots_per_inch,
                     int max_side = 2000);

// Writes the PNG; throws foilcad::Error naming the file when it cannot.
PreviewSize write_preview(const std::filesystem::path& file, const CoordinateLists& lists,
                          const CellMap& map, double pixels_per_mm);

// The top faces of a conductor mesh seen from above, over the extent: a
// pixel is copper when its centre lies in a top triangle.
Picture picture_of_mesh(const Mesh& conductor, const Box& extent, const PreviewSize& size,
                        double pixels_per_mm);

// The picture of either model's solids over the extent of the report, at
// dots_per_inch or at most 2000 pixels a side.
PreviewSize write_preview(const std::filesystem::path& file, const ModelSolids& solids,
                          const ConversionReport& report, std::optional<double> dots_per_inch);

}  // namespace foilcad
