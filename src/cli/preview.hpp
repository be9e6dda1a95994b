// A picture of a conversion's result seen from above: copper in one colour,
// the rest of the board in another and, in the exact model, holes and what
// lies outside the board's outline in a third; to scale, covering exactly the
// extent of the grid (or of the exact model's board).
#pragma once

#include <algorithm>
#include <cstddef>
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

// What a pixel shows: no board (a hole, or outside the board's outline),
// the board's insulator, or copper.
enum class Cover : std::uint8_t { none, insulator, copper };

// A picture: what each pixel shows, row by row from the top.
struct Picture {
  PreviewSize size;
  std::vector<Cover> pixels;

  Cover at(int x, int y) const { return pixels[index(x, y)]; }
  void set(int x, int y, Cover cover) { pixels[index(x, y)] = cover; }
  // Pixels first to last of row y.
  void fill(int first, int last, int y, Cover cover) {
    std::fill(pixels.begin() + static_cast<std::ptrdiff_t>(index(first, y)),
              pixels.begin() + static_cast<std::ptrdiff_t>(index(last, y)) + 1, cover);
  }

 private:
  std::size_t index(int x, int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
           static_cast<std::size_t>(x);
  }
};

// Pixels per millimetre: dots_per_inch when given, otherwise the largest
// scale at which neither side of the extent exceeds max_side pixels.
double preview_scale(const Box& extent, std::optional<double> dots_per_inch, int max_side = 2000);

// The picture of a grid's copper cells, covering exactly the grid: every
// other pixel is insulator (the grid has no holes). Throws foilcad::Error
// naming file when it would be too large.
Picture picture_of_grid(const std::filesystem::path& file, const Grid& grid, double pixels_per_mm);

// The top faces of the bodies' meshes seen from above, over the extent: a
// pixel is copper when its centre lies in a top triangle of a conductor,
// insulator when in one of another body, and no board otherwise (holes, and
// outside an outline). A pixel at the right or lower edge whose centre lies
// beyond the board's vertices is insulator when the pixel inside it is board.
Picture picture_of_meshes(const std::vector<MeshBody>& bodies, const Box& extent,
                          const PreviewSize& size, double pixels_per_mm);

// The picture of either model's bodies over the extent of the report, at
// dots_per_inch or at most 2000 pixels a side, written as a PNG into fd
// (file names it in messages). Throws foilcad::Error naming file when it
// cannot.
PreviewSize write_preview(int fd, const std::filesystem::path& file, const ModelSolids& solids,
                          const ConversionReport& report, std::optional<double> dots_per_inch);

}  // namespace foilcad
