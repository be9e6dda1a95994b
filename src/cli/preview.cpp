#include "cli/preview.hpp"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

#include "common/error.hpp"
#include "common/replacing.hpp"

namespace foilcad {

namespace {

constexpr unsigned char kCopper[3] = {0xd8, 0x8a, 0x2c};
constexpr unsigned char kInsulator[3] = {0x1d, 0x4d, 0x2b};
// Holes and what lies outside the board: dark and neutral, so that neither
// reads as copper or board (and dark in red, which tells copper apart when
// pictures are compared by their red channel).
constexpr unsigned char kNoBoard[3] = {0x26, 0x26, 0x26};
constexpr double kMmPerInch = 25.4;
// A picture is refused beyond this many pixels a side rather than exhausting
// memory on a dots-per-inch value that does not suit the board.
constexpr double kMaxSide = 30000;

// For each pixel centre along one axis, the cell index it falls in; -1 where
// it falls outside the grid. Cells of zero width are never hit.
std::vector<long> cell_indices(const std::vector<double>& lines, int pixels, double origin,
                               double pixels_per_mm, bool downwards) {
  std::vector<long> cells(static_cast<std::size_t>(pixels), -1);
  for (int p = 0; p < pixels; ++p) {
    const double offset = (p + 0.5) / pixels_per_mm;
    const double v = downwards ? origin - offset : origin + offset;
    const auto above = std::upper_bound(lines.begin(), lines.end(), v);
    if (above == lines.begin() || above == lines.end()) continue;
    cells[static_cast<std::size_t>(p)] = (above - lines.begin()) - 1;
  }
  return cells;
}

}  // namespace

double preview_scale(const Box& e, std::optional<double> dots_per_inch, int max_side) {
  if (dots_per_inch) return *dots_per_inch / kMmPerInch;
  const double longest = std::max(e.max_x - e.min_x, e.max_y - e.min_y);
  if (!(longest > 0.0) || !std::isfinite(longest)) return 1.0;
  return max_side / longest;
}

namespace {

// Encodes the picture into out.
void encode(const std::filesystem::path& file, std::FILE* out, const Picture& picture,
            double pixels_per_mm) {
  const PreviewSize& size = picture.size;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw Error(file.string() + ": cannot start the PNG encoder");
  }
  std::vector<unsigned char> row(static_cast<std::size_t>(size.width) * 3);
  // libpng reports errors by longjmp: nothing with a destructor may be
  // created between here and the end of the encoding.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw Error(file.string() + ": cannot write the preview");
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(size.width),
               static_cast<png_uint_32>(size.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const auto dots_per_metre = static_cast<png_uint_32>(std::lround(pixels_per_mm * 1000.0));
  png_set_pHYs(png, info, dots_per_metre, dots_per_metre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const Cover cover = picture.at(x, y);
      const unsigned char* colour = cover == Cover::copper      ? kCopper
                                    : cover == Cover::insulator ? kInsulator
                                                                : kNoBoard;
      std::copy_n(colour, 3, row.data() + static_cast<std::size_t>(x) * 3);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
}

}  // namespace

namespace {

// The size of a picture of the extent e at this scale.
PreviewSize picture_size(const std::filesystem::path& file, const Box& e, double pixels_per_mm) {
  // A side that comes out a hair over a whole number of pixels (the scale
  // factors of a photoplot are not exact) does not get a pixel column of its own.
  constexpr double kSlack = 1e-3;
  const double w = std::ceil((e.max_x - e.min_x) * pixels_per_mm - kSlack);
  const double h = std::ceil((e.max_y - e.min_y) * pixels_per_mm - kSlack);
  if (!std::isfinite(w) || !std::isfinite(h) || w > kMaxSide || h > kMaxSide) {
    throw Error(file.string() + ": the preview would be larger than 30000 pixels a side");
  }
  return {std::max(1, static_cast<int>(w)), std::max(1, static_cast<int>(h))};
}

void write_picture(int fd, const std::filesystem::path& file, const Picture& picture,
                   double pixels_per_mm) {
  const int own = ::dup(fd);
  std::FILE* out = own < 0 ? nullptr : ::fdopen(own, "wb");
  if (out == nullptr) {
    const int error = errno;
    if (own >= 0) ::close(own);
    throw file_error(file, "cannot create the preview", error);
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(out, std::fclose);
  encode(file, out, picture, pixels_per_mm);
  if (std::fflush(out) != 0) throw file_error(file, "cannot write the preview", errno);
}

}  // namespace

Picture picture_of_grid(const std::filesystem::path& file, const Grid& grid, double pixels_per_mm) {
  const CoordinateLists& lists = grid.lists;
  const Box e{lists.x.front(), lists.x.back(), lists.y.front(), lists.y.back()};
  Picture picture;
  picture.size = picture_size(file, e, pixels_per_mm);
  const PreviewSize& size = picture.size;
  const std::vector<long> columns =
      cell_indices(lists.x, size.width, e.min_x, pixels_per_mm, false);
  const std::vector<long> rows = cell_indices(lists.y, size.height, e.max_y, pixels_per_mm, true);
  picture.pixels.assign(static_cast<std::size_t>(size.width) * size.height, Cover::insulator);
  for (int y = 0; y < size.height; ++y) {
    const long k = rows[static_cast<std::size_t>(y)];
    if (k < 0) continue;
    for (int x = 0; x < size.width; ++x) {
      const long i = columns[static_cast<std::size_t>(x)];
      if (i >= 0 && grid.map.at(static_cast<std::size_t>(i), static_cast<std::size_t>(k)) != 0) {
        picture.set(x, y, Cover::copper);
      }
    }
  }
  return picture;
}

namespace {

// One edge of a triangle as its inner side is tested: the pixel centre s is
// inside, or on the edge, when sign * ((qx - px) * (sy - py) - (qy - py) *
// (sx - px)) >= 0. The endpoints are taken in one order whichever way the
// edge runs, so that the two triangles sharing an edge compute the same
// product and test it with opposite signs: a pixel centre on the edge, or
// at a rounding's distance from it, is in at least one of them, never in a
// crack between.
struct Edge {
  double px, py, dx, dy;
  double sign;

  Edge(double ax, double ay, double bx, double by, double orientation) {
    const bool swap = bx < ax || (bx == ax && by < ay);
    px = swap ? bx : ax;
    py = swap ? by : ay;
    dx = swap ? ax - bx : bx - ax;
    dy = swap ? ay - by : by - ay;
    sign = swap ? -orientation : orientation;
  }
  bool inside(double sx, double sy) const { return sign * (dx * (sy - py) - dy * (sx - px)) >= 0; }
  // Narrows [first, last] to the pixels of row sy whose centres can be on
  // the inner side, with a pixel to spare against the rounding of the
  // division; inside() decides each of them.
  void narrow(double sy, int& first, int& last) const {
    const double across = sign * dy;  // how the product falls as sx grows
    if (across == 0) {
      if (!inside(px, sy)) last = first - 1;
      return;
    }
    const double cross = px + dx * (sy - py) / dy - 0.5;  // the edge at sy, as a pixel index
    if (!std::isfinite(cross)) return;
    // Kept within [first - 1, last + 1] before it is made an int: an edge
    // that runs almost along the row crosses it far outside the picture.
    const double low = first - 1.0;
    const double high = last + 1.0;
    if (across > 0) {
      last = static_cast<int>(std::clamp(std::floor(cross) + 1, low, static_cast<double>(last)));
    } else {
      first = static_cast<int>(std::clamp(std::ceil(cross) - 1, static_cast<double>(first), high));
    }
  }
};

// A row of a triangle's bounding box wider than this many pixels is narrowed
// to the triangle's span before its pixels are tested; a narrower one costs
// less to test whole.
constexpr int kNarrowFrom = 4;

// Sets the pixels whose centres lie in the top faces of one mesh to cover.
void draw_tops(const Mesh& mesh, const Box& extent, double pixels_per_mm, Cover cover,
               Picture& picture) {
  const PreviewSize& size = picture.size;
  const auto& v = mesh.vertices;
  double top = -std::numeric_limits<double>::infinity();
  for (const Vertex& p : v) top = std::max(top, p.z);
  // Which vertices are on the top, a byte each: walls and the bottom are
  // passed over without reading their vertices, most of the mesh's.
  std::vector<std::uint8_t> on_top(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) on_top[i] = v[i].z == top ? 1 : 0;
  for (const auto& t : mesh.triangles) {
    if ((on_top[t[0]] & on_top[t[1]] & on_top[t[2]]) == 0) continue;  // walls and the bottom
    const Vertex& a = v[t[0]];
    const Vertex& b = v[t[1]];
    const Vertex& c = v[t[2]];
    // Pixel coordinates: x to the right from the extent's left, y down from its top.
    const auto px = [&](const Vertex& p) { return (p.x - extent.min_x) * pixels_per_mm; };
    const auto py = [&](const Vertex& p) { return (extent.max_y - p.y) * pixels_per_mm; };
    const double ax = px(a), ay = py(a), bx = px(b), by = py(b), cx = px(c), cy = py(c);
    const double area = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
    if (area == 0.0) continue;
    const double orientation = area > 0 ? 1.0 : -1.0;
    const Edge edges[3] = {Edge(ax, ay, bx, by, orientation), Edge(bx, by, cx, cy, orientation),
                           Edge(cx, cy, ax, ay, orientation)};
    const int x0 = std::max(0, static_cast<int>(std::floor(std::min({ax, bx, cx}))));
    const int x1 = std::min(size.width - 1, static_cast<int>(std::floor(std::max({ax, bx, cx}))));
    const int y0 = std::max(0, static_cast<int>(std::floor(std::min({ay, by, cy}))));
    const int y1 = std::min(size.height - 1, static_cast<int>(std::floor(std::max({ay, by, cy}))));
    for (int y = y0; y <= y1; ++y) {
      const double sy = y + 0.5;
      // Only the row's span of the triangle is tested, not its bounding
      // box: the board's long thin triangles would cost many times their area.
      const auto test = [&](int from, int to) {
        for (int x = from; x <= to; ++x) {
          const double sx = x + 0.5;
          if (edges[0].inside(sx, sy) && edges[1].inside(sx, sy) && edges[2].inside(sx, sy)) {
            picture.set(x, y, cover);
          }
        }
      };
      int first = x0;
      int last = x1;
      if (last - first <= kNarrowFrom) {
        test(first, last);
        continue;
      }
      // The row's span of the triangle: the pixels within a pixel of its
      // ends are tested, those between are a pixel or more inside every
      // edge, far beyond what rounding can move a test, and are set.
      for (const Edge& e : edges) e.narrow(sy, first, last);
      if (last - first < 6) {
        test(first, last);
        continue;
      }
      test(first, first + 2);
      picture.fill(first + 3, last - 3, y, cover);
      test(last - 2, last);
    }
  }
}

// The pixels of the last column and row whose centres lie beyond the
// board's farthest vertices (the picture has whole pixels, the board ends
// within them; the meshes' coordinates are rounded, so the board may end a
// hair short of the extent): no triangle reaches their centres, yet most of
// such a pixel may be board. Each is drawn as insulator where the pixel
// inside it is board, so that a board that ends there has no seam of the
// no-board colour along two sides.
void cover_beyond_vertices(const std::vector<MeshBody>& bodies, const Box& extent,
                           double pixels_per_mm, Picture& picture) {
  double right = -std::numeric_limits<double>::infinity();
  double bottom = std::numeric_limits<double>::infinity();
  for (const MeshBody& b : bodies) {
    for (const Vertex& p : b.mesh.vertices) {
      right = std::max(right, p.x);
      bottom = std::min(bottom, p.y);
    }
  }
  const int w = picture.size.width;
  const int h = picture.size.height;
  const auto board = [&](int x, int y) { return picture.at(x, y) != Cover::none; };
  // In the pixel coordinates draw_tops uses.
  if (w > 1 && w - 0.5 > (right - extent.min_x) * pixels_per_mm) {
    for (int y = 0; y < h; ++y) {
      if (board(w - 2, y)) picture.set(w - 1, y, Cover::insulator);
    }
  }
  if (h > 1 && h - 0.5 > (extent.max_y - bottom) * pixels_per_mm) {
    for (int x = 0; x < w; ++x) {
      if (board(x, h - 2)) picture.set(x, h - 1, Cover::insulator);
    }
  }
}

}  // namespace

Picture picture_of_meshes(const std::vector<MeshBody>& bodies, const Box& extent,
                          const PreviewSize& size, double pixels_per_mm) {
  Picture picture;
  picture.size = size;
  picture.pixels.assign(static_cast<std::size_t>(size.width) * size.height, Cover::none);
  // The board first, then the copper over it: a pixel centre on a wall
  // between the two is copper.
  for (const MeshBody& b : bodies) {
    if (b.body.kind != BodyKind::conductor) {
      draw_tops(b.mesh, extent, pixels_per_mm, Cover::insulator, picture);
    }
  }
  for (const MeshBody& b : bodies) {
    if (b.body.kind == BodyKind::conductor) {
      draw_tops(b.mesh, extent, pixels_per_mm, Cover::copper, picture);
    }
  }
  cover_beyond_vertices(bodies, extent, pixels_per_mm, picture);
  return picture;
}

PreviewSize write_preview(int fd, const std::filesystem::path& file, const ModelSolids& solids,
                          const ConversionReport& report, std::optional<double> dots_per_inch) {
  const Box& e = report.extent;
  const double scale = preview_scale(e, dots_per_inch);
  Picture picture;
  if (const GridSolids* grid = std::get_if<GridSolids>(&solids)) {
    picture = picture_of_grid(file, grid->grid, scale);
  } else {
    const PreviewSize size = picture_size(file, e, scale);
    picture = picture_of_meshes(std::get<MeshSolids>(solids).bodies, e, size, scale);
  }
  write_picture(fd, file, picture, scale);
  return picture.size;
}

}  // namespace foilcad
