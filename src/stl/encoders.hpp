// The encodings of a solid: each turns the boxes a walk finds (geometry/box_walk.hpp)
// into the bytes of one STL file, and counts those bytes without making them.
//
// - classic: the text layout stored files and scripts rely on: a blank before
//   "solid", CR LF line ends, numbers with one decimal in 8-character fields.
// - ascii: standard STL text: "solid NAME" from the first byte, LF line ends,
//   each number the shortest text that reads back to the same double.
// - binary: the standard binary layout: an 80-byte header that does not begin
//   with "solid", the facet count (32-bit little-endian), then per facet the
//   normal and three vertices as 32-bit floats and a 16-bit zero.
//
// All three write the faces, facets and vertices of a box in the same order.
// Every encoder has the same members, so that the walks and the writers are
// written once for all of them (see visit_encoder).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/body.hpp"
#include "common/mesh.hpp"
#include "geometry/box_walk.hpp"
#include "geometry/geometry.hpp"
#include "stl/facets.hpp"

namespace foilcad {

enum class StlFormat { classic, ascii, binary };

// How the solids are written: the encoding, and whether each cell is a box
// of its own or the cells are merged into fewer, whole boxes.
struct StlOptions {
  StlFormat format = StlFormat::classic;
  bool merge = false;

  friend bool operator==(const StlOptions&, const StlOptions&) = default;
};

std::string_view format_name(StlFormat format);

// Binary STL counts facets in 32 bits.
inline constexpr std::uint64_t kMaxBinaryFacets = 0xFFFFFFFFu;

template <class E>
concept BoxEncoder = requires(const E& e, char* out, const GridBox& box, const Body& body) {
  // The bytes before the first box of a body's solid; the binary header
  // needs the facet count.
  { e.header(body, std::uint64_t{0}) } -> std::same_as<std::string>;
  { e.trailer(body) } -> std::same_as<std::string>;
  // Writes one box at out, which has room for max_box_bytes(), and returns
  // the end of what it wrote.
  { e.box(out, box) } -> std::same_as<char*>;
  // What box() would write, counted.
  { e.box_bytes(box) } -> std::same_as<std::uint64_t>;
  { e.max_box_bytes() } -> std::same_as<std::size_t>;
};

// Each encoder takes the heights of every box and the grid lines the boxes'
// indices refer to, and formats every value once.
class ClassicEncoder {
 public:
  ClassicEncoder(double z1, double z2, const CoordinateLists& lists);
  std::string header(const Body& body, std::uint64_t facets) const;
  std::string trailer(const Body& body) const;
  char* box(char* out, const GridBox& box) const;
  std::uint64_t box_bytes(const GridBox& box) const {
    const SideFlags s = box.sides;
    return bytes_[(s.plus_y ? 1u : 0u) | (s.minus_y ? 2u : 0u) | (s.plus_x ? 4u : 0u) |
                  (s.minus_x ? 8u : 0u)];
  }
  std::size_t max_box_bytes() const { return kMaxBoxBytes; }

 private:
  std::vector<NumberField> xs_;
  std::vector<NumberField> ys_;
  NumberField z1_;
  NumberField z2_;
  std::array<std::uint64_t, 16> bytes_{};  // by side selection
};

class AsciiEncoder {
 public:
  AsciiEncoder(double z1, double z2, const CoordinateLists& lists);
  std::string header(const Body& body, std::uint64_t facets) const;
  std::string trailer(const Body& body) const;
  char* box(char* out, const GridBox& box) const;
  std::uint64_t box_bytes(const GridBox& box) const;
  std::size_t max_box_bytes() const { return kMaxBytes; }

  // The shortest text of a double that reads back to it, as written here.
  struct Number {
    std::array<char, 31> text;
    std::uint8_t size;
  };
  static Number format(double value);

 private:
  // The line "x y z\n" of a vertex at out. A mesh's vertices lie on a few
  // heights, one after another for long runs: the last height's text is kept.
  class VertexLine {
   public:
    char* operator()(char* out, const Vertex& v);

   private:
    std::uint64_t z_bits_ = 0;  // of the kept height, 0.0 at first
    Number z_ = format(0.0);
  };
  // The line "x y z\n" of a facet's normal. Tops and bottoms have unit normals
  // along z, whose lines are fixed; both facets of a wall's rectangle have the
  // same normal, so the last one's line is kept for the next.
  class NormalLine {
   public:
    std::string_view operator()(const Vertex& n);

   private:
    std::array<std::uint64_t, 3> bits_{};  // of the kept normal, (0, 0, 0) at first
    std::array<char, 3 * 24 + 3> text_{'0', ' ', '0', ' ', '0', '\n'};
    std::size_t size_ = 6;
  };

 public:
  // The facets of one mesh, a facet per triangle, its normal found from the
  // order of the triangle's vertices. A vertex serves some six triangles, so
  // the line of every vertex is formatted once, into one buffer, and each
  // facet copies its three lines from there.
  class MeshFacets {
   public:
    explicit MeshFacets(const Mesh& mesh);
    // Writes the facet of triangle t at out, which has room for
    // kMaxTriangleBytes, and returns the end of what it wrote.
    char* triangle(char* out, std::size_t t);

   private:
    const Mesh& mesh_;
    std::unique_ptr<char[]> lines_;
    std::vector<std::uint64_t> starts_;  // of each vertex's line, and the end
    NormalLine normal_;
  };
  static MeshFacets mesh_facets(const Mesh& mesh) { return MeshFacets(mesh); }
  // What MeshFacets writes for every triangle of a mesh, counted.
  static std::uint64_t triangles_bytes(const Mesh& mesh);
  static constexpr std::size_t kMaxTriangleBytes = 40 + 12 * 31 + 3 * 11 + 19;
  // The longest box: twelve facets with the longest numbers.
  static constexpr std::size_t kMaxBytes = 12 * (40 + 13 + 3 * (11 + 2 * 31 + 31 + 3) + 19);

 private:
  std::vector<Number> xs_;
  std::vector<Number> ys_;
  Number z1_;
  Number z2_;
};

class BinaryEncoder {
 public:
  BinaryEncoder(double z1, double z2, const CoordinateLists& lists);
  // Throws foilcad::Error when facets do not fit into the 32-bit count.
  std::string header(const Body& body, std::uint64_t facets) const;
  std::string trailer(const Body& body) const;
  char* box(char* out, const GridBox& box) const;
  std::uint64_t box_bytes(const GridBox& box) const { return kFacetBytes * box_facets(box.sides); }
  std::size_t max_box_bytes() const { return 12 * kFacetBytes; }

  // The facets of one mesh, a facet per triangle.
  class MeshFacets {
   public:
    explicit MeshFacets(const Mesh& mesh) : mesh_(mesh) {}
    char* triangle(char* out, std::size_t t) const;

   private:
    const Mesh& mesh_;
  };
  static MeshFacets mesh_facets(const Mesh& mesh) { return MeshFacets(mesh); }
  static std::uint64_t triangles_bytes(const Mesh& mesh) {
    return kFacetBytes * static_cast<std::uint64_t>(mesh.triangles.size());
  }
  static constexpr std::size_t kHeaderBytes = 84;
  static constexpr std::size_t kFacetBytes = 50;

 private:
  std::vector<float> xs_;
  std::vector<float> ys_;
  float z1_;
  float z2_;
};

static_assert(BoxEncoder<ClassicEncoder> && BoxEncoder<AsciiEncoder> && BoxEncoder<BinaryEncoder>);

// The unit normal of a triangle whose vertices run counterclockwise seen
// from the side it points to; zero for a degenerate triangle.
Vertex triangle_normal(const Vertex& a, const Vertex& b, const Vertex& c);

// The largest box any encoder writes.
inline constexpr std::size_t kMaxEncodedBoxBytes =
    kMaxBoxBytes > AsciiEncoder::kMaxBytes ? kMaxBoxBytes : AsciiEncoder::kMaxBytes;

// Calls f with the encoder of format, made for these heights and grid lines.
template <class F>
decltype(auto) visit_encoder(StlFormat format, double z1, double z2, const CoordinateLists& lists,
                             F&& f) {
  switch (format) {
    case StlFormat::ascii: {
      const AsciiEncoder encoder(z1, z2, lists);
      return std::forward<F>(f)(encoder);
    }
    case StlFormat::binary: {
      const BinaryEncoder encoder(z1, z2, lists);
      return std::forward<F>(f)(encoder);
    }
    case StlFormat::classic:
      break;
  }
  const ClassicEncoder encoder(z1, z2, lists);
  return std::forward<F>(f)(encoder);
}

// The largest triangle of a mesh any encoder writes.
inline constexpr std::size_t kMaxTriangleBytes = AsciiEncoder::kMaxTriangleBytes;

// Throws foilcad::Error for an encoding that cannot hold a mesh: the classic
// text keeps one decimal, which would fold a mesh's vertices onto each other.
void check_mesh_format(StlFormat format);

// Calls f with the encoder of format for the triangles of a mesh.
template <class F>
decltype(auto) visit_mesh_encoder(StlFormat format, F&& f) {
  check_mesh_format(format);
  if (format == StlFormat::binary) {
    const BinaryEncoder encoder(0.0, 0.0, CoordinateLists{});
    return std::forward<F>(f)(encoder);
  }
  const AsciiEncoder encoder(0.0, 0.0, CoordinateLists{});
  return std::forward<F>(f)(encoder);
}

// The boxes of both solids in the order they are written: each cell on its
// own, or merged. Counting may take the cells in another order.
enum class BoxOrder { file, any };
template <class Emit>
void for_each_box(const CellMap& map, bool merge, BoxOrder order, Emit&& emit) {
  if (merge) {
    for_each_merged_box(map, emit);
  } else if (order == BoxOrder::file) {
    for_each_cell_box(map, emit);
  } else {
    for_each_cell_box_by_rows(map, emit);
  }
}

// Distinct values an encoding writes as the same number, so that boxes come
// out flat: the bottom and the top of every box, or neighbouring grid lines
// (counted as pairs per axis). The classic text (one decimal) loses
// differences below 0.05 mm; binary floats lose only differences far below
// that, so only the heights are checked there; the ascii text loses none.
struct FlatValues {
  bool top_and_bottom = false;
  std::size_t x_lines = 0;
  std::size_t y_lines = 0;

  bool any() const { return top_and_bottom || x_lines != 0 || y_lines != 0; }
  friend bool operator==(const FlatValues&, const FlatValues&) = default;
};
FlatValues find_flat_values(StlFormat format, double z1, double z2, const CoordinateLists& lists);

// The bytes of one box as small as the encoding allows (the shortest numbers),
// with the sides given: what every box of a solid costs at the least.
std::uint64_t least_box_bytes(StlFormat format, SideFlags sides);

// The header and trailer bytes of the bodies' solids together.
std::uint64_t frame_bytes(StlFormat format, std::span<const Body> bodies);

}  // namespace foilcad
