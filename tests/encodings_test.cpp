// The solids in every encoding, read back: merged boxes cover each solid's
// cells exactly once, the ascii text holds the exact doubles, the binary file
// the same values as floats, and every size counted in advance is the size
// written.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "stl/encoders.hpp"
#include "stl/solid_files.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

struct StringSink : ByteSink {
  std::string text;
  void write(std::string_view bytes) override { text.append(bytes); }
};

// A grid of strictly ascending, unevenly spaced lines whose cells are painted
// with random blocks of copper and clearance, as pads, tracks and pours make
// them, plus scattered single cells.
Grid random_grid(unsigned seed, std::size_t columns, std::size_t rows, int blocks) {
  std::mt19937 rng(seed);
  Grid g;
  double x = -12.5;
  for (std::size_t i = 0; i <= columns; ++i) g.lists.x.push_back(x += 0.01 + 0.37 * (rng() % 9));
  double y = 3.0;
  for (std::size_t k = 0; k <= rows; ++k) g.lists.y.push_back(y += 0.005 + 0.21 * (rng() % 7));
  g.map.columns = columns;
  g.map.rows = rows;
  g.map.flags.assign(columns * rows, 0);
  for (int b = 0; b < blocks; ++b) {
    const std::size_t i1 = rng() % columns;
    const std::size_t k1 = rng() % rows;
    const std::size_t i2 = std::min(columns, i1 + 1 + rng() % (columns / 3 + 1));
    const std::size_t k2 = std::min(rows, k1 + 1 + rng() % (rows / 3 + 1));
    const std::uint8_t flag = b % 4 == 3 ? 0 : 1;
    for (std::size_t k = k1; k < k2; ++k) {
      for (std::size_t i = i1; i < i2; ++i) g.map.flags[k * columns + i] = flag;
    }
  }
  for (std::size_t n = 0; n < columns * rows / 20; ++n) {
    g.map.flags[rng() % g.map.flags.size()] ^= 1;
  }
  return g;
}

// Random grids of several shapes, and the plain cases: one cell, all copper,
// none, a chequerboard.
std::vector<Grid> grids() {
  std::vector<Grid> all;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    all.push_back(random_grid(seed, 5 + seed * 7 % 41, 3 + seed * 11 % 37, 3 + seed % 15));
  }
  Grid one = random_grid(99, 1, 1, 0);
  all.push_back(one);
  one.map.flags = {1};
  all.push_back(one);
  Grid full = random_grid(98, 6, 4, 0);
  full.map.flags.assign(24, 1);
  all.push_back(full);
  Grid chequer = random_grid(97, 5, 5, 0);
  for (std::size_t c = 0; c < 25; ++c) chequer.map.flags[c] = c % 2;
  all.push_back(chequer);
  return all;
}

Grid example_board() {
  ConversionReport report;
  return grid_of(std::filesystem::path(FOILCAD_EXAMPLES) / "board.gbr", report);
}

struct Facet {
  std::array<double, 3> normal{};
  std::array<std::array<double, 3>, 3> vertex{};
};

// Reads a standard ascii STL strictly: the lines as this writer makes them,
// and every number the shortest text of the double it reads back to.
std::vector<Facet> read_ascii(const std::string& text, const std::string& name) {
  std::vector<Facet> facets;
  std::istringstream in(text);
  std::string line;
  auto next = [&](std::string_view want_start) {
    const bool ok = static_cast<bool>(std::getline(in, line));
    EXPECT_TRUE(ok && line.starts_with(want_start)) << "\"" << line << "\" for " << want_start;
    return ok;
  };
  auto numbers = [&](std::string_view rest, double* out) {
    std::istringstream words{std::string(rest)};
    std::string word;
    for (int c = 0; c < 3; ++c) {
      words >> word;
      const auto r = std::from_chars(word.data(), word.data() + word.size(), out[c]);
      EXPECT_TRUE(r.ec == std::errc() && r.ptr == word.data() + word.size()) << word;
      char shortest[64];
      const auto s = std::to_chars(shortest, shortest + sizeof shortest, out[c]);
      EXPECT_EQ(word, std::string(shortest, s.ptr)) << "not the shortest text";
    }
    EXPECT_FALSE(words >> word) << "more than three numbers";
  };
  EXPECT_EQ(text.find('\r'), std::string::npos);
  next("solid " + name);
  EXPECT_EQ(line, "solid " + name);
  while (std::getline(in, line) && line.starts_with("facet normal ")) {
    Facet f;
    numbers(std::string_view(line).substr(13), f.normal.data());
    next("  outer loop");
    for (auto& v : f.vertex) {
      next("    vertex ");
      numbers(std::string_view(line).substr(11), v.data());
    }
    next("  endloop");
    next("endfacet");
    facets.push_back(f);
  }
  EXPECT_EQ(line, "endsolid " + name);
  EXPECT_TRUE(text.ends_with("endsolid " + name + "\n"));
  return facets;
}

std::uint32_t u32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int b = 3; b >= 0; --b) v = v << 8 | static_cast<unsigned char>(bytes[at + b]);
  return v;
}

// Reads a binary STL: the header must not start with "solid", the count must
// match the size, and every attribute is zero.
std::vector<std::array<float, 12>> read_binary(const std::string& bytes) {
  std::vector<std::array<float, 12>> facets;
  EXPECT_GE(bytes.size(), 84u);
  if (bytes.size() < 84) return facets;
  EXPECT_FALSE(bytes.starts_with("solid"));
  const std::uint32_t count = u32(bytes, 80);
  EXPECT_EQ(bytes.size(), 84 + 50 * std::uint64_t{count});
  if (bytes.size() != 84 + 50 * std::uint64_t{count}) return facets;
  for (std::uint32_t f = 0; f < count; ++f) {
    const std::size_t at = 84 + 50 * std::size_t{f};
    std::array<float, 12> values;
    for (int v = 0; v < 12; ++v) values[v] = std::bit_cast<float>(u32(bytes, at + 4 * v));
    EXPECT_EQ(bytes[at + 48], 0);
    EXPECT_EQ(bytes[at + 49], 0);
    facets.push_back(values);
  }
  return facets;
}

// The binary facets are the ascii ones, value for value, as floats.
void expect_same_as_floats(const std::vector<Facet>& text,
                           const std::vector<std::array<float, 12>>& binary) {
  ASSERT_EQ(text.size(), binary.size());
  for (std::size_t f = 0; f < text.size(); ++f) {
    std::array<float, 12> want;
    for (int c = 0; c < 3; ++c) want[c] = static_cast<float>(text[f].normal[c]);
    for (int v = 0; v < 3; ++v) {
      for (int c = 0; c < 3; ++c) want[3 + 3 * v + c] = static_cast<float>(text[f].vertex[v][c]);
    }
    ASSERT_EQ(binary[f], want) << "facet " << f;
  }
}

std::size_t index_of(const std::vector<double>& lines, double value) {
  const auto at = std::lower_bound(lines.begin(), lines.end(), value);
  EXPECT_TRUE(at != lines.end() && *at == value) << value << " is no grid line";
  return static_cast<std::size_t>(at - lines.begin());
}

// Cuts a solid's facets into whole boxes of twelve facets, checks that each
// is written as the default output writes a box with all sides (faces,
// normals, vertex order), and counts how often each cell is covered.
void rasterise(const std::vector<Facet>& facets, const Grid& grid, double z1, double z2,
               std::vector<int>& covered) {
  ASSERT_EQ(facets.size() % 12, 0u);
  for (std::size_t first = 0; first < facets.size(); first += 12) {
    double lo[3] = {1e300, 1e300, 1e300};
    double hi[3] = {-1e300, -1e300, -1e300};
    for (std::size_t f = first; f < first + 12; ++f) {
      for (const auto& v : facets[f].vertex) {
        for (int c = 0; c < 3; ++c) {
          lo[c] = std::min(lo[c], v[c]);
          hi[c] = std::max(hi[c], v[c]);
        }
      }
    }
    ASSERT_EQ(lo[2], z1);
    ASSERT_EQ(hi[2], z2);
    const double bound[6] = {lo[0], hi[0], lo[1], hi[1], z1, z2};
    for (int face = 0; face < 6; ++face) {
      for (int half = 0; half < 2; ++half) {
        const Facet& f = facets[first + 2 * face + half];
        for (int c = 0; c < 3; ++c) ASSERT_EQ(f.normal[c], kBoxFaces[face].normal[c]);
        for (int v = 0; v < 3; ++v) {
          for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(f.vertex[v][c], bound[kBoxFaces[face].facets[half][3 * v + c]]);
          }
        }
      }
    }
    const std::size_t i1 = index_of(grid.lists.x, lo[0]);
    const std::size_t i2 = index_of(grid.lists.x, hi[0]);
    const std::size_t k1 = index_of(grid.lists.y, lo[1]);
    const std::size_t k2 = index_of(grid.lists.y, hi[1]);
    ASSERT_LT(i1, i2);
    ASSERT_LT(k1, k2);
    for (std::size_t k = k1; k < k2; ++k) {
      for (std::size_t i = i1; i < i2; ++i) ++covered[k * grid.map.columns + i];
    }
  }
}

// The merged boxes of both solids, read back from the ascii and binary files,
// cover every cell once, in the solid its flag selects.
void expect_merged_boxes_cover_the_map(const Grid& grid) {
  constexpr double z1 = -0.2;
  constexpr double z2 = 1.4;
  StringSink c, i, bc, bi;
  const SolidSizes ascii = emit_layer(c, i, z1, z2, grid, {StlFormat::ascii, true});
  emit_layer(bc, bi, z1, z2, grid, {StlFormat::binary, true});
  const std::vector<Facet> copper = read_ascii(c.text, "blob");
  const std::vector<Facet> other = read_ascii(i.text, "nblob");
  expect_same_as_floats(copper, read_binary(bc.text));
  expect_same_as_floats(other, read_binary(bi.text));
  EXPECT_EQ(copper.size(), 12 * ascii[0].boxes);
  EXPECT_EQ(other.size(), 12 * ascii[1].boxes);

  std::vector<int> in_copper(grid.map.flags.size(), 0);
  std::vector<int> in_other(grid.map.flags.size(), 0);
  rasterise(copper, grid, z1, z2, in_copper);
  rasterise(other, grid, z1, z2, in_other);
  for (std::size_t cell = 0; cell < grid.map.flags.size(); ++cell) {
    const bool is_copper = grid.map.flags[cell] != 0;
    ASSERT_EQ(in_copper[cell], is_copper ? 1 : 0) << "cell " << cell;
    ASSERT_EQ(in_other[cell], is_copper ? 0 : 1) << "cell " << cell;
  }
}

TEST(MergedBoxes, CoverEachSolidsCellsExactlyOnce) {
  for (const Grid& grid : grids()) {
    SCOPED_TRACE(std::to_string(grid.map.columns) + " x " + std::to_string(grid.map.rows));
    expect_merged_boxes_cover_the_map(grid);
  }
}

TEST(MergedBoxes, ExampleBoard) {
  const Grid grid = example_board();
  expect_merged_boxes_cover_the_map(grid);
  const SolidSizes cells = measure_cells(grid.map);
  const SolidSizes merged =
      measure_grid_solids({StlFormat::classic, true}, Grid{{}, grid.map}, grid_bodies(0, 1));
  EXPECT_LT(4 * (merged[0].boxes + merged[1].boxes), cells[0].boxes + cells[1].boxes);
}

TEST(MergedBoxes, LongRunsBecomeFewBoxes) {
  // A pour with a clearance and a pad in it: three boxes of copper would do,
  // and rows of equal runs stack.
  Grid grid = random_grid(5, 9, 7, 0);
  grid.map.flags.assign(63, 1);
  for (std::size_t k = 2; k < 5; ++k) {
    for (std::size_t i = 3; i < 7; ++i) grid.map.flags[k * 9 + i] = 0;
  }
  grid.map.flags[3 * 9 + 4] = 1;
  std::vector<std::pair<bool, GridBox>> boxes;
  for_each_merged_box(grid.map, [&](bool copper, const GridBox& b) {
    boxes.push_back({copper, b});
  });
  // Copper: below the clearance, its left and right, the pad, above it;
  // insulator: the clearance's rows below, at, and above the pad (the row of
  // the pad is cut in two).
  ASSERT_EQ(boxes.size(), 5u + 4u);
  EXPECT_EQ(std::count_if(boxes.begin(), boxes.end(), [](const auto& b) { return b.first; }), 5);
  for (const auto& [copper, b] : boxes) EXPECT_TRUE(b.sides == kAllSides);
}

TEST(Ascii, ExactNumbersAndTheFacetsOfTheClassicText) {
  const Grid grid = example_board();
  constexpr double z1 = 0.1;
  constexpr double z2 = 0.135;  // a thickness the classic text loses
  StringSink c, i, cc, ci;
  emit_layer(c, i, z1, z2, grid, {StlFormat::ascii, false});
  emit_layer(cc, ci, z1, z2, grid);
  std::set<double> values(grid.lists.x.begin(), grid.lists.x.end());
  values.insert(grid.lists.y.begin(), grid.lists.y.end());
  values.insert(z1);
  values.insert(z2);
  for (const auto& [ascii, classic, name] :
       {std::tuple{&c, &cc, "blob"}, std::tuple{&i, &ci, "nblob"}}) {
    const std::vector<Facet> facets = read_ascii(ascii->text, name);
    // The same facets in the same order: each vertex's classic field is
    // the one-decimal text of the exact value.
    std::istringstream classic_lines(classic->text);
    std::string line;
    std::size_t vertex = 0;
    while (std::getline(classic_lines, line)) {
      if (!line.starts_with("      vertex ")) continue;
      ASSERT_LT(vertex / 3, facets.size());
      const auto& v = facets[vertex / 3].vertex[vertex % 3];
      std::string fields;
      for (const double value : v) {
        ASSERT_TRUE(values.count(value)) << value;
        const NumberField f = format_number_field(value);
        fields.append(" ").append(f.begin(), f.end());
      }
      EXPECT_EQ(line, "      vertex" + fields + "\r");
      ++vertex;
    }
    EXPECT_EQ(vertex, 3 * facets.size());
  }
}

TEST(Binary, HeaderCountAndTheAsciiValuesAsFloats) {
  std::vector<Grid> all = grids();
  all.push_back(example_board());
  for (const Grid& grid : all) {
    StringSink c, i, bc, bi;
    emit_layer(c, i, 1.0 / 3, 1.7, grid, {StlFormat::ascii, false});
    const SolidSizes binary = emit_layer(bc, bi, 1.0 / 3, 1.7, grid, {StlFormat::binary, false});
    expect_same_as_floats(read_ascii(c.text, "blob"), read_binary(bc.text));
    expect_same_as_floats(read_ascii(i.text, "nblob"), read_binary(bi.text));
    EXPECT_EQ(u32(bc.text, 80), binary[0].facets);
    EXPECT_EQ(u32(bi.text, 80), binary[1].facets);
  }
  // More facets than 32 bits count cannot be written.
  const BinaryEncoder encoder(0, 1, {});
  EXPECT_EQ(encoder.header(conductor_body(0, 0), kMaxBinaryFacets).size(), 84u);
  EXPECT_THROW(encoder.header(conductor_body(0, 0), kMaxBinaryFacets + 1), Error);
}

TEST(Sizes, EveryLayoutMeasuresWhatItWrites) {
  std::vector<Grid> all = grids();
  all.push_back(example_board());
  for (const StlFormat format : {StlFormat::classic, StlFormat::ascii, StlFormat::binary}) {
    for (const bool merge : {false, true}) {
      const StlOptions stl{format, merge};
      SCOPED_TRACE(std::string(format_name(format)) + (merge ? " merged" : ""));
      for (const Grid& grid : all) {
        StringSink c, i;
        const SolidSizes written = emit_layer(c, i, -1e-7, 2.5, grid, stl);
        const SolidSizes measured = measure_grid_solids(stl, grid, grid_bodies(-1e-7, 2.5));
        EXPECT_EQ(written, measured);
        EXPECT_EQ(measured[0].bytes, c.text.size());
        EXPECT_EQ(measured[1].bytes, i.text.size());
        EXPECT_LE(least_layer_bytes(grid.map.flags.size(), stl),
                  measured[0].bytes + measured[1].bytes);
      }
      // The bound is reached: one cell, a box with its numbers shortest.
      const Grid one{{{0, 1}, {0, 1}}, {1, 1, {1}}};
      StringSink c, i;
      const SolidSizes s = emit_layer(c, i, 0, 1, one, stl);
      const std::uint64_t sides =
          merge ? 0 : least_box_bytes(format, kAllSides) - least_box_bytes(format, SideFlags{});
      EXPECT_EQ(least_layer_bytes(1, stl) + sides, s[0].bytes + s[1].bytes);
    }
  }
  // Without merging every cell costs at least a box; merged, a whole board
  // may be one box.
  EXPECT_EQ(least_layer_bytes(1'000'000, {StlFormat::binary, false}), 2 * 84 + 200'000'000u);
  EXPECT_EQ(least_layer_bytes(1'000'000, {StlFormat::binary, true}), 2 * 84 + 600u);
}

TEST(Flat, ValuesAnEncodingCannotTellApart) {
  const CoordinateLists lists{{0.0, 1.0, 1.04, 1.04, 2.0, 2.01}, {5.0, 5.0 + 1e-9, 7.0}};
  EXPECT_EQ(find_flat_values(StlFormat::classic, 0.0, 0.035, lists), (FlatValues{true, 2, 1}));
  EXPECT_EQ(find_flat_values(StlFormat::classic, 0.0, 1.6, lists), (FlatValues{false, 2, 1}));
  // Equal values are equal in the grid already: nothing is lost by writing.
  EXPECT_EQ(find_flat_values(StlFormat::classic, 1.0, 1.0, {}), FlatValues{});
  EXPECT_EQ(find_flat_values(StlFormat::binary, 0.0, 0.035, lists), FlatValues{});
  EXPECT_EQ(find_flat_values(StlFormat::binary, 1000.0, 1000.00001, lists),
            (FlatValues{true, 0, 0}));
  EXPECT_EQ(find_flat_values(StlFormat::ascii, 1000.0, 1000.00001, lists), FlatValues{});
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

// A tetrahedron with irrational-looking coordinates and the prism of a
// triangle: the meshes of the exact model go out through the same encoders.
Mesh tetrahedron() {
  return {{{0.1, 0.2, 0.3}, {10.0 / 3, 0.2, 0.3}, {0.1, 7.25, 0.3}, {0.1, 0.2, 1.6}},
          {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {0, 3, 2}}};
}

TEST(MeshSolids, TrianglesInBothEncodingsMeasuredAsWritten) {
  const Mesh conductor = tetrahedron();
  Mesh insulator = tetrahedron();
  for (Vertex& v : insulator.vertices) v.x += 20.0;
  for (const StlFormat format : {StlFormat::ascii, StlFormat::binary}) {
    StringSink c, i;
    const SolidSizes written = emit_layer(c, i, conductor, insulator, format);
    EXPECT_EQ(written, measure_layer(format, conductor, insulator));
    EXPECT_EQ(written[0].bytes, c.text.size());
    EXPECT_EQ(written[1].facets, 4u);
    EXPECT_EQ(written[0].boxes, 0u);
  }
  StringSink c, i, bc, bi;
  emit_layer(c, i, conductor, insulator, StlFormat::ascii);
  emit_layer(bc, bi, conductor, insulator, StlFormat::binary);
  const std::vector<Facet> text = read_ascii(c.text, "blob");
  ASSERT_EQ(text.size(), 4u);
  expect_same_as_floats(text, read_binary(bc.text));
  // Vertices as given, in order; the normal is the outward unit vector.
  EXPECT_EQ(text[0].vertex[1][0], 0.1);
  EXPECT_EQ(text[0].vertex[1][1], 7.25);
  EXPECT_EQ(text[0].normal, (std::array<double, 3>{0.0, 0.0, -1.0}));
  EXPECT_EQ(text[3].normal, (std::array<double, 3>{-1.0, 0.0, 0.0}));
  const Vertex n = triangle_normal({0, 0, 0}, {1, 0, 0}, {0, 1, 1});
  EXPECT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0, 1e-15);
  EXPECT_EQ(triangle_normal({0, 0, 0}, {1, 1, 1}, {2, 2, 2}), (Vertex{0, 0, 0}));
  // The classic fields would fold the vertices of a mesh onto each other.
  EXPECT_THROW(measure_layer(StlFormat::classic, conductor, insulator), Error);
}

TEST(MeshSolids, TopsAndBottomsHaveTheNormalOfTheCrossProduct) {
  // Flat triangles take a short way to their normal: it must agree bit for
  // bit with the cross product divided by its length, down to triangles so
  // small or so large that the length's square is no normal double.
  const auto cross = [](const Vertex& a, const Vertex& b, const Vertex& c) {
    const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const double n[3] = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    std::array<std::uint64_t, 3> bits{};
    for (int i = 0; i < 3 && length != 0.0; ++i) {
      const double unit = n[i] / length;
      bits[i] = unit == 0.0 ? 0 : std::bit_cast<std::uint64_t>(unit);  // no -0
    }
    return bits;
  };
  const auto bits = [](const Vertex& n) {
    return std::array<std::uint64_t, 3>{std::bit_cast<std::uint64_t>(n.x),
                                        std::bit_cast<std::uint64_t>(n.y),
                                        std::bit_cast<std::uint64_t>(n.z)};
  };
  for (double s = 1e-170; s < 1e170; s *= 3.7) {
    for (const double z : {0.0, -0.0, 0.035, -1e300}) {
      const Vertex a{1.25 * s, -2.0 * s, z}, b{3.0 * s, 2.0 * s, z}, c{1.5 * s, 5.0 * s, z};
      EXPECT_EQ(bits(triangle_normal(a, b, c)), cross(a, b, c)) << s;
      EXPECT_EQ(bits(triangle_normal(a, c, b)), cross(a, c, b)) << s;
    }
  }
}

// A facet as each of its numbers formats alone: what the mesh encoder's
// kept lines must add up to.
std::string facet_by_numbers(const Vertex& a, const Vertex& b, const Vertex& c) {
  const auto line = [](const Vertex& v) {
    std::string text;
    for (const double x : {v.x, v.y, v.z}) {
      char buffer[32];
      text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, x).ptr);
      text += ' ';
    }
    text.back() = '\n';
    return text;
  };
  return "facet normal " + line(triangle_normal(a, b, c)) + "  outer loop\n    vertex " + line(a) +
         "    vertex " + line(b) + "    vertex " + line(c) + "  endloop\nendfacet\n";
}

TEST(MeshSolids, AsciiFacetsAreTheirNumbersFormattedOneByOne) {
  // Numbers of every length, heights starting with -0 (written "-0", though
  // equal to 0), and facets whose normals repeat, alternate with the axis
  // normals of tops and bottoms, or are zero (a degenerate triangle).
  Mesh mesh{{{-0.0, 0.0, -0.0},
             {10.0 / 3, 1.5, -0.0},
             {1e-7, -123456.789, 0.0},
             {2.5e21, 0.1, 0.035},
             {-7.0 / 9, 1e300, 0.035},
             {5.0, 5.0, 1.6}},
            {{0, 1, 2},
             {0, 2, 1},
             {0, 1, 3},
             {1, 3, 4},
             {3, 1, 0},
             {0, 0, 5},
             {2, 4, 5},
             {0, 1, 3},
             {0, 1, 3},
             {1, 2, 0}}};
  std::mt19937 rng(11);
  for (int t = 0; t < 200; ++t) {
    mesh.triangles.push_back({static_cast<std::uint32_t>(rng() % 6),
                              static_cast<std::uint32_t>(rng() % 6),
                              static_cast<std::uint32_t>(rng() % 6)});
  }
  std::string expected = "solid nblob\n";
  const std::vector<Vertex>& v = mesh.vertices;
  for (const auto& t : mesh.triangles) expected += facet_by_numbers(v[t[0]], v[t[1]], v[t[2]]);
  expected += "endsolid nblob\n";
  StringSink c, i;
  const SolidSizes written = emit_layer(c, i, Mesh{}, mesh, StlFormat::ascii);
  EXPECT_EQ(i.text, expected);
  EXPECT_EQ(written, measure_layer(StlFormat::ascii, Mesh{}, mesh));
}

}  // namespace
}  // namespace foilcad
