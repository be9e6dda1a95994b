// A picture of a conversion's result seen from above: copper in one colour,
// the rest of the board in another, to scale, covering exactly the extent of
// the grid (or of the exact model's board).
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
// scale at which neither side of the extent exceeds max_side pixels.
double preview_scale(const Box& extent, std::optional<double> dots_per_inch, int max_side = 2000);

// The picture of a grid's copper cells, covering exactly the grid. Throws
// foilcad::Error naming file when it would be too large.
Picture picture_of_grid(const std::filesystem::path& file, const Grid& grid, double pixels_per_mm);

// The top faces of the conductors' meshes seen from above, over the extent:
// a pixel is copper when its centre lies in a top triangle.
Picture picture_of_meshes(const std::vector<MeshBody>& bodies, const Box& extent,
                          const PreviewSize& size, double pixels_per_mm);

// The picture of either model's bodies over the extent of the report, at
// dots_per_inch or at most 2000 pixels a side, written as a PNG into fd
// (file names it in messages). Throws foilcad::Error naming file when it
// cannot.
PreviewSize write_preview(int fd, const std::filesystem::path& file, const ModelSolids& solids,
                          const ConversionReport& report, std::optional<double> dots_per_inch);

}  // namespace foilcad
