// Solid output: number fields, the facets of one box, and the two solids
// written cell by cell.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "stl/facets.hpp"
#include "stl/solid_files.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

std::string field(double value) {
  const NumberField f = format_number_field(value);
  return std::string(f.begin(), f.end());
}

TEST(NumberField, OneDecimalInEightCharacters) {
  struct Row {
    double value;
    const char* text;
  };
  const Row rows[] = {
      {0.0, "     0.0"},
      {-0.0, "     0.0"},
      {0.5, "     0.5"},
      {-0.5, "    -0.5"},
      {12.345, "    12.3"},
      {1.6, "     1.6"},
      // Exact halves go to the even tenth; 0.05 and 0.35 are not exact halves.
      {0.25, "     0.2"},
      {1.25, "     1.2"},
      {1.75, "     1.8"},
      {-1.25, "    -1.2"},
      {0.05, "     0.1"},
      {0.35, "     0.3"},
      // Negative values that round to zero carry no sign.
      {-0.04, "     0.0"},
      {-0.05, "    -0.1"},
      {-0.06, "    -0.1"},
      {999999.9375, "999999.9"},
      {999999.96875, "********"},
      {-99999.9, "-99999.9"},
      {-99999.96875, "********"},
      {1234567.0, "********"},
      {1.0000000150474662e+30, "********"},
      {-1.0000000150474662e+30, "********"},
      {std::numeric_limits<double>::infinity(), "********"},
      {std::numeric_limits<double>::quiet_NaN(), "********"},
  };
  for (const Row& row : rows) EXPECT_EQ(field(row.value), row.text) << row.value;
}

struct Face {
  const char* normal;
  const char* first[3];
  const char* second[3];
};

// Vertices as digits naming the bound: 1 x1, 2 x2, 3 y1, 4 y2, 5 z1, 6 z2.
// Top, bottom, +y, -y, +x, -x.
const Face kFaces[6] = {
    {"0. 0. 1.", {"136", "236", "246"}, {"136", "246", "146"}},
    {"0. 0. -1.", {"135", "245", "235"}, {"135", "145", "245"}},
    {"0. 1. 0.", {"245", "145", "146"}, {"245", "146", "246"}},
    {"0. -1. 0.", {"135", "235", "236"}, {"135", "236", "136"}},
    {"1. 0. 0.", {"235", "245", "246"}, {"235", "246", "236"}},
    {"-1. 0. 0.", {"145", "135", "136"}, {"145", "136", "146"}},
};

// The text of one box whose six bounds are single digits, given as
// "x1x2y1y2z1z2" and followed by the sides to write: "123456+y-x".
std::string expected_box(std::string_view box) {
  const char* const side_names[4] = {"+y", "-y", "+x", "-x"};
  std::string text;
  for (int face = 0; face < 6; ++face) {
    if (face >= 2 && box.find(side_names[face - 2]) == std::string_view::npos) continue;
    for (const auto* vertices : {kFaces[face].first, kFaces[face].second}) {
      text.append("   facet normal ").append(kFaces[face].normal).append("\r\n");
      text.append("     outer loop\r\n");
      for (int v = 0; v < 3; ++v) {
        text.append("      vertex");
        for (int c = 0; c < 3; ++c)
          text.append("      ").append(1, box[vertices[v][c] - '1']).append(".0");
        text.append("\r\n");
      }
      text.append("     endloop\r\n   endfacet\r\n");
    }
  }
  return text;
}

TEST(Cube, FacesVerticesAndNormalsForEverySideSelection) {
  const char* const names[4] = {"+y", "-y", "+x", "-x"};
  for (int mask = 0; mask < 16; ++mask) {
    std::string box = "123456";
    for (int side = 0; side < 4; ++side) {
      if (mask & (1 << side)) box += names[side];
    }
    const SideFlags flags{(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0, (mask & 8) != 0};
    std::string out = "before\r\n";
    cube(out, 1, 2, 3, 4, 5, 6, flags);
    EXPECT_EQ(out, "before\r\n" + expected_box(box)) << box;
    EXPECT_EQ(box_bytes(flags), out.size() - 8) << box;
  }
  // Four to twelve facets of 193 or 194 bytes each.
  EXPECT_EQ(box_bytes({}), 774u);
  EXPECT_EQ(box_bytes({true, true, true, true}), 2322u);
  EXPECT_EQ(kMaxBoxBytes, 2322u);
}

TEST(Cube, VertexLine) {
  std::string out;
  cube(out, 12.345, 20, 5, 6, 0, 1.6, {});
  EXPECT_EQ(out.substr(43, 41), "      vertex     12.3      5.0      1.6\r\n");
}

struct StringSink : ByteSink {
  std::string text;
  void write(std::string_view bytes) override { text.append(bytes); }
};

// A solid with its boxes, each given as for expected_box with z from 0 to 1.
std::string solid(const std::string& name, std::initializer_list<const char*> boxes) {
  std::string text = " solid " + name + "\r\n";
  for (const char* box : boxes) text += expected_box(box);
  return text + " endsolid " + name + "\r\n";
}

void expect_solids(const CoordinateLists& lists, const std::vector<std::uint8_t>& flags,
                   const std::string& conductor, const std::string& insulator) {
  const CellMap map{lists.x.size() - 1, lists.y.size() - 1, flags};
  StringSink c, i;
  const SolidSizes sizes = emit_layer(c, i, 0, 1, Grid{lists, map});
  EXPECT_EQ(c.text, conductor);
  EXPECT_EQ(i.text, insulator);
  EXPECT_EQ(sizes[0].bytes, c.text.size());
  EXPECT_EQ(sizes[1].bytes, i.text.size());
}

TEST(Solids, OneCellGrid) {
  expect_solids({{0, 1}, {0, 1}}, {1}, solid("blob", {"010101+y-y+x-x"}), solid("nblob", {}));
  expect_solids({{0, 1}, {0, 1}}, {0}, solid("blob", {}), solid("nblob", {"010101+y-y+x-x"}));
}

TEST(Solids, AllCopperHasSidesOnlyOnTheBorder) {
  // Three columns, two rows; cells go out column by column.
  expect_solids({{0, 1, 2, 3}, {0, 1, 2}}, {1, 1, 1, 1, 1, 1},
                solid("blob", {"010101-y-x", "011201+y-x", "120101-y", "121201+y", "230101-y+x",
                               "231201+y+x"}),
                solid("nblob", {}));
}

TEST(Solids, ChequerboardBoxesHaveAllSides) {
  expect_solids(
      {{0, 1, 2, 3}, {0, 1, 2, 3}}, {1, 0, 1, 0, 1, 0, 1, 0, 1},
      solid("blob", {"010101+y-y+x-x", "012301+y-y+x-x", "121201+y-y+x-x", "230101+y-y+x-x",
                     "232301+y-y+x-x"}),
      solid("nblob", {"011201+y-y+x-x", "120101+y-y+x-x", "122301+y-y+x-x", "231201+y-y+x-x"}));
}

TEST(Solids, ZeroWidthColumnBetweenCopperCells) {
  expect_solids({{0, 1, 1, 2}, {0, 1}}, {1, 0, 1},
                solid("blob", {"010101+y-y+x-x", "120101+y-y+x-x"}),
                solid("nblob", {"110101+y-y+x-x"}));
}

TEST(Solids, CellOrderForThreeGridLinesEachWay) {
  const CoordinateLists lists{{0, 1, 2}, {0, 1, 2}};
  expect_solids(lists, {0, 0, 0, 0}, solid("blob", {}),
                solid("nblob", {"010101-y-x", "011201+y-x", "120101-y+x", "121201+y+x"}));
  // Cells (1, 1) and (2, 2) copper: each goes to the file its own flag selects.
  expect_solids(lists, {1, 0, 0, 1}, solid("blob", {"010101+y-y+x-x", "121201+y-y+x-x"}),
                solid("nblob", {"011201+y-y+x-x", "120101+y-y+x-x"}));
}

}  // namespace
}  // namespace foilcad
