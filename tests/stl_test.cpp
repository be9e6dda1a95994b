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

using testing::crlf_lines;

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
      {0.0, "     0.0"},       {-0.0, "     0.0"},      {0.5, "     0.5"},
      {-0.5, "    -0.5"},      {12.345, "    12.3"},    {1.6, "     1.6"},
      // Exact halves go to the even tenth; 0.05 and 0.35 are not exact halves.
      {0.25, "     0.2"},      {1.25, "     1.2"},     {1.75, "     1.8"},
      {-1.25, "    -1.2"},     {0.05, "     0.1"},     {0.35, "     0.3"},
      // Negative values that round to zero carry no sign.
      {-0.04, "     0.0"},     {-0.05, "    -0.1"},    {-0.06, "    -0.1"},
      {999999.9375, "999999.9"}, {999999.96875, "********"}, {-99999.9, "-99999.9"},
      {-99999.96875, "********"}, {1234567.0, "********"},
      {1.0000000150474662e+30, "********"}, {-1.0000000150474662e+30, "********"},
      {std::numeric_limits<double>::infinity(), "********"},
      {std::numeric_limits<double>::quiet_NaN(), "********"},
  };
  for (const Row& row : rows) EXPECT_EQ(field(row.value), row.text) << row.value;
}

// "136" is the vertex (1, 3, 6).
std::string vertex_line(const char* xyz) {
  std::string line = "      vertex";
  for (int c = 0; c < 3; ++c) line.append("      ").append(1, xyz[c]).append(".0");
  return line;
}

struct Face {
  const char* normal;
  const char* first[3];
  const char* second[3];
};

// The box x 1..2, y 3..4, z 5..6: top, bottom, +y, -y, +x, -x.
const Face kFaces[6] = {
    {"0. 0. 1.", {"136", "236", "246"}, {"136", "246", "146"}},
    {"0. 0. -1.", {"135", "245", "235"}, {"135", "145", "245"}},
    {"0. 1. 0.", {"245", "145", "146"}, {"245", "146", "246"}},
    {"0. -1. 0.", {"135", "235", "236"}, {"135", "236", "136"}},
    {"1. 0. 0.", {"235", "245", "246"}, {"235", "246", "236"}},
    {"-1. 0. 0.", {"145", "135", "136"}, {"145", "136", "146"}},
};

std::string expected_box(const bool sides[4]) {
  std::string text;
  for (int face = 0; face < 6; ++face) {
    if (face >= 2 && !sides[face - 2]) continue;
    for (const auto* vertices : {kFaces[face].first, kFaces[face].second}) {
      text.append("   facet normal ").append(kFaces[face].normal).append("\r\n");
      text.append("     outer loop\r\n");
      for (int v = 0; v < 3; ++v) text.append(vertex_line(vertices[v])).append("\r\n");
      text.append("     endloop\r\n   endfacet\r\n");
    }
  }
  return text;
}

TEST(Cube, FacesVerticesAndNormalsForEverySideSelection) {
  for (int mask = 0; mask < 16; ++mask) {
    const bool sides[4] = {(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0, (mask & 8) != 0};
    const SideFlags flags{sides[0], sides[1], sides[2], sides[3]};
    std::string out = "before\r\n";
    cube(out, 1, 2, 3, 4, 5, 6, flags);
    EXPECT_EQ(out, "before\r\n" + expected_box(sides)) << "sides " << mask;
    EXPECT_EQ(box_bytes(flags), out.size() - 8) << "sides " << mask;
  }
  // Four to twelve facets of 193 or 194 bytes each.
  EXPECT_EQ(box_bytes({}), 774u);
  EXPECT_EQ(box_bytes({true, true, true, true}), 2322u);
  EXPECT_EQ(kMaxBoxBytes, 2322u);
}

TEST(Cube, VertexLine) {
  std::string out;
  cube(out, 12.345, 20, 5, 6, 0, 1.6, {});
  const auto lines = crlf_lines(out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "      vertex     12.3      5.0      1.6");
  EXPECT_EQ(lines.size(), 28u);
}

struct StringSink : ByteSink {
  std::string text;
  void write(std::string_view bytes) override { text.append(bytes); }
};

// Each box of a solid as "x1..x2 y1..y2 sides", its sides named in the order
// they were written; checks the frame of the solid on the way.
std::vector<std::string> boxes(const std::string& solid, const std::string& name) {
  const auto lines = crlf_lines(solid);
  EXPECT_TRUE(solid.ends_with("\r\n"));
  EXPECT_GE(lines.size(), 2u);
  if (lines.size() < 2) return {};
  EXPECT_EQ(lines.front(), " solid " + name);
  EXPECT_EQ(lines.back(), " endsolid " + name);
  EXPECT_EQ((lines.size() - 2) % 7, 0u);
  const auto trimmed = [](const std::string& line, std::size_t column) {
    std::string f = line.substr(column, 8);
    return f.substr(f.find_first_not_of(' '));
  };
  std::vector<std::string> out;
  int facets = 0;
  for (std::size_t at = 1; at + 7 < lines.size(); at += 7) {
    const std::string normal = lines[at].substr(16);
    if (normal == "0. 0. 1." && (out.empty() || facets >= 4)) {
      const std::string& v1 = lines[at + 2];
      const std::string& v3 = lines[at + 4];
      out.push_back(trimmed(v1, 13) + ".." + trimmed(v3, 13) + " " + trimmed(v1, 22) + ".." +
                    trimmed(v3, 22) + " ");
      facets = 0;
    } else if (facets >= 4 && facets % 2 == 0) {
      out.back() += normal == "0. 1. 0."    ? "+y"
                    : normal == "0. -1. 0." ? "-y"
                    : normal == "1. 0. 0."  ? "+x"
                                            : "-x";
    }
    ++facets;
  }
  return out;
}

struct Solids {
  std::vector<std::string> conductor;
  std::vector<std::string> insulator;
  std::string conductor_text;
  std::string insulator_text;
};

Solids emit(const CoordinateLists& lists, const std::vector<std::uint8_t>& flags) {
  const CellMap map{lists.x.size() - 1, lists.y.size() - 1, flags};
  StringSink conductor, insulator;
  const SolidsSummary summary = emit_solids(conductor, insulator, 0, 1, lists, map);
  Solids s{boxes(conductor.text, "blob"), boxes(insulator.text, "nblob"), conductor.text,
           insulator.text};
  EXPECT_EQ(summary.conductor_bytes, conductor.text.size());
  EXPECT_EQ(summary.insulator_bytes, insulator.text.size());
  EXPECT_EQ(summary.conductor_boxes, s.conductor.size());
  EXPECT_EQ(summary.insulator_boxes, s.insulator.size());
  return s;
}

const std::string kEmptyInsulator = " solid nblob\r\n endsolid nblob\r\n";

TEST(Solids, OneCellGrid) {
  const Solids copper = emit({{0, 1}, {0, 1}}, {1});
  EXPECT_EQ(copper.conductor, (std::vector<std::string>{"0.0..1.0 0.0..1.0 +y-y+x-x"}));
  EXPECT_EQ(copper.insulator_text, kEmptyInsulator);
  const Solids other = emit({{0, 1}, {0, 1}}, {0});
  EXPECT_EQ(other.conductor_text, " solid blob\r\n endsolid blob\r\n");
  EXPECT_EQ(other.insulator, (std::vector<std::string>{"0.0..1.0 0.0..1.0 +y-y+x-x"}));
}

TEST(Solids, AllCopperHasSidesOnlyOnTheBorder) {
  // Three columns, two rows; cells go out column by column.
  const Solids s = emit({{0, 1, 2, 3}, {0, 1, 2}}, {1, 1, 1, 1, 1, 1});
  EXPECT_EQ(s.conductor, (std::vector<std::string>{
                             "0.0..1.0 0.0..1.0 -y-x", "0.0..1.0 1.0..2.0 +y-x",
                             "1.0..2.0 0.0..1.0 -y", "1.0..2.0 1.0..2.0 +y",
                             "2.0..3.0 0.0..1.0 -y+x", "2.0..3.0 1.0..2.0 +y+x"}));
  EXPECT_EQ(s.insulator_text, kEmptyInsulator);
}

TEST(Solids, ChequerboardBoxesHaveAllSides) {
  std::vector<std::uint8_t> flags;
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 3; ++i) flags.push_back((i + k) % 2);
  }
  const Solids s = emit({{0, 1, 2, 3}, {0, 1, 2, 3}}, flags);
  EXPECT_EQ(s.conductor.size(), 4u);
  EXPECT_EQ(s.insulator.size(), 5u);
  for (const auto* list : {&s.conductor, &s.insulator}) {
    for (const std::string& box : *list) EXPECT_TRUE(box.ends_with(" +y-y+x-x")) << box;
  }
}

TEST(Solids, ZeroWidthColumnBetweenCopperCells) {
  const Solids s = emit({{0, 1, 1, 2}, {0, 1}}, {1, 0, 1});
  EXPECT_EQ(s.conductor, (std::vector<std::string>{"0.0..1.0 0.0..1.0 +y-y+x-x",
                                                   "1.0..2.0 0.0..1.0 +y-y+x-x"}));
  EXPECT_EQ(s.insulator, (std::vector<std::string>{"1.0..1.0 0.0..1.0 +y-y+x-x"}));
}

TEST(Solids, CellOrderForThreeGridLinesEachWay) {
  const CoordinateLists lists{{0, 1, 2}, {0, 1, 2}};
  const Solids none = emit(lists, {0, 0, 0, 0});
  EXPECT_EQ(none.insulator, (std::vector<std::string>{
                                "0.0..1.0 0.0..1.0 -y-x", "0.0..1.0 1.0..2.0 +y-x",
                                "1.0..2.0 0.0..1.0 -y+x", "1.0..2.0 1.0..2.0 +y+x"}));
  // Cells (1, 1) and (2, 2) copper: each goes to the file its own flag selects.
  const Solids diagonal = emit(lists, {1, 0, 0, 1});
  EXPECT_EQ(diagonal.conductor, (std::vector<std::string>{"0.0..1.0 0.0..1.0 +y-y+x-x",
                                                          "1.0..2.0 1.0..2.0 +y-y+x-x"}));
  EXPECT_EQ(diagonal.insulator, (std::vector<std::string>{"0.0..1.0 1.0..2.0 +y-y+x-x",
                                                          "1.0..2.0 0.0..1.0 +y-y+x-x"}));
}

}  // namespace
}  // namespace foilcad
