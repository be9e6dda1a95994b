// The drill reader: the files of each layout tool's dialect read to the same
// board of holes (data/drill, one folder a tool); the number formats and
// statements in a table of small files; the format found, assumed, guessed
// or refused; the faults of hostile files with their file and line; every
// variant of KiCad's Excellon writer on real boards (data/drill/kicad); and
// gerbv's reading of the same files, where gerbv reads them right.
#include "drill/drill.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using test_support::contains;
using test_support::ScratchDir;
using test_support::write_file;

const fs::path kDrill = fs::path(FOILCAD_TEST_DATA) / "drill";

DrillFile read_text(const std::string& text, const DrillOptions& options = {}) {
  return read_drill_text(text, "test.drl", options);
}

std::string error_of(const std::string& text, const DrillOptions& options = {}) {
  try {
    read_text(text, options);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

const DrillWarning* find_warning(const DrillFile& file, DrillWarningKind kind) {
  for (const DrillWarning& w : file.warnings) {
    if (w.kind == kind) return &w;
  }
  return nullptr;
}

bool near(Point a, Point b, double tolerance) {
  return std::fabs(a.x - b.x) <= tolerance && std::fabs(a.y - b.y) <= tolerance;
}

// Whether the two lists hold the same holes in any order (a slot either way
// round): positions and diameters within the tolerance, the same plating.
// Returns what is wrong, or "".
std::string compare_holes(std::vector<Hole> a, std::vector<Hole> b, double tolerance,
                          bool plating = true) {
  if (a.size() != b.size()) {
    return std::to_string(a.size()) + " holes against " + std::to_string(b.size());
  }
  std::vector<bool> used(b.size(), false);
  for (const Hole& h : a) {
    bool found = false;
    for (std::size_t j = 0; j < b.size() && !found; ++j) {
      if (used[j]) continue;
      const Hole& g = b[j];
      const bool ends = (near(h.from, g.from, tolerance) && near(h.to, g.to, tolerance)) ||
                        (near(h.from, g.to, tolerance) && near(h.to, g.from, tolerance));
      if (ends && std::fabs(h.diameter - g.diameter) <= tolerance &&
          (!plating || h.plating == g.plating)) {
        used[j] = true;
        found = true;
      }
    }
    if (!found) {
      char text[200];
      std::snprintf(text, sizeof text, "no match for the hole of line %zu at %.4f %.4f, %.4f wide",
                    h.line, h.from.x, h.from.y, h.diameter);
      return text;
    }
  }
  return "";
}

// ------------------------------------------------------- the dialects

// Every file of data/drill/<tool> holds (a part of) one board, written in its
// tool's dialect: vias, component holes, mechanical holes and a slot, at whole
// hundredths of an inch; sizes 0.3, 1.0, 3.2, 0.8 mm, or 12, 40, 125 and 31.5
// mils where the file is in inches.
enum Group : unsigned { kVias = 1, kComponents = 2, kMechanical = 4, kSlot = 8 };

std::vector<Hole> reference_holes(unsigned groups, bool inch_sizes, Plating vias,
                                  Plating components, Plating mechanical, Plating slot) {
  const auto mm = [](double inch) { return inch * 25.4; };
  const double sizes_mm[] = {0.3, 1.0, 3.2, 0.8};
  const double sizes_in[] = {0.012, 0.040, 0.125, 0.0315};
  const auto size = [&](int i) { return inch_sizes ? mm(sizes_in[i]) : sizes_mm[i]; };
  std::vector<Hole> holes;
  const auto add_group = [&](std::initializer_list<std::pair<double, double>> points, int tool,
                             Plating plating) {
    for (const auto& [x, y] : points) {
      Hole h;
      h.from = h.to = {mm(x), mm(y)};
      h.diameter = size(tool);
      h.plating = plating;
      holes.push_back(h);
    }
  };
  if (groups & kVias) add_group({{0.4, 0.2}, {0.5, 0.2}, {0.6, 0.3}}, 0, vias);
  if (groups & kComponents) {
    add_group({{0.8, 0.4}, {0.9, 0.4}, {1.0, 0.4}, {-0.2, 0.6}}, 1, components);
  }
  if (groups & kMechanical) add_group({{0.1, 0.1}, {1.9, 1.3}}, 2, mechanical);
  if (groups & kSlot) {
    Hole h;
    h.from = {mm(1.2), mm(0.8)};
    h.to = {mm(1.3), mm(0.8)};
    h.diameter = size(3);
    h.plating = slot;
    holes.push_back(h);
  }
  return holes;
}

// The photoplot's extent the board's holes lie in.
constexpr Box kBoard{-7.62, 50.8, 0.0, 35.56};

struct DialectCase {
  const char* file;
  unsigned groups;
  bool inch_sizes;
  Plating vias, components, mechanical, slot;
  bool board;  // the file's format is guessed against the board
  FormatSource units, zeros, digits;
};

constexpr Plating kP = Plating::plated;
constexpr Plating kN = Plating::non_plated;
constexpr Plating kU = Plating::unknown;
using S = FormatSource;

const DialectCase kDialects[] = {
    {"kicad4/board-PTH.drl", kVias | kComponents | kSlot, false, kP, kP, kU, kP, false, S::file,
     S::file, S::not_needed},
    {"kicad4/board-NPTH.drl", kMechanical, false, kU, kU, kN, kU, false, S::file, S::file,
     S::not_needed},
    {"kicad6/board.drl", kVias | kComponents | kMechanical | kSlot, false, kP, kP, kN, kP, false,
     S::file, S::file, S::not_needed},
    {"kicad8/board-PTH.drl", kVias | kComponents | kSlot, true, kP, kP, kU, kP, false, S::file,
     S::file, S::file},
    {"eagle/board.drd", kVias | kComponents | kMechanical, false, kU, kU, kU, kU, false, S::file,
     S::file, S::file},
    // Units by M72, zeros nowhere: the board tells them.
    {"eagle-old/board.drd", kVias | kComponents | kMechanical, true, kU, kU, kU, kU, true, S::file,
     S::guessed, S::customary},
    {"altium/board-RoundHoles.TXT", kVias | kComponents | kMechanical, true, kP, kP, kN, kU, false,
     S::file, S::file, S::file},
    {"altium/board-SlotHoles.TXT", kSlot, true, kU, kU, kU, kP, false, S::file, S::file, S::file},
    {"easyeda/Drill_PTH_Through.DRL", kVias | kComponents, true, kP, kP, kU, kU, false, S::file,
     S::file, S::file},
    {"easyeda/Drill_NPTH_Through.DRL", kMechanical, true, kU, kU, kN, kU, false, S::file, S::file,
     S::file},
    {"allegro/board-1-4.drl", kVias | kComponents | kMechanical, true, kP, kP, kN, kU, false,
     S::parameter_file, S::parameter_file, S::parameter_file},
    {"allegro/board_1-4.rou", kSlot, true, kU, kU, kU, kP, false, S::parameter_file,
     S::parameter_file, S::parameter_file},
    {"pads/board.drl", kVias | kComponents | kMechanical | kSlot, true, kU, kU, kU, kU, false,
     S::file, S::file, S::customary},
    {"diptrace/board.drl", kVias | kComponents | kMechanical, false, kU, kU, kU, kU, false, S::file,
     S::not_needed, S::file},
    {"geda/board.plated-drill.cnc", kVias | kComponents, true, kP, kP, kU, kU, false, S::file,
     S::not_needed, S::customary},
    {"geda/board.unplated-drill.cnc", kMechanical, true, kU, kU, kN, kU, false, S::file,
     S::not_needed, S::customary},
    {"pcad/board.drl", kVias | kComponents | kMechanical, true, kU, kU, kU, kU, false, S::file,
     S::file, S::file},
    {"fritzing/board_drill.txt", kVias | kComponents | kMechanical, false, kP, kP, kN, kU, false,
     S::file, S::file, S::file},
    {"upverter/board.drl", kVias | kComponents | kMechanical | kSlot, false, kU, kU, kU, kU, false,
     S::file, S::not_needed, S::not_needed},
    {"xpedition/board.drl", kVias | kComponents | kMechanical | kSlot, true, kU, kU, kU, kU, false,
     S::file, S::file, S::customary},
    // No header, no units, sizes in the body: the board tells units and zeros.
    {"orcad/thruhole.tap", kVias | kComponents | kMechanical, true, kU, kU, kU, kU, true,
     S::guessed, S::guessed, S::customary},
};

TEST(DrillDialects, EveryToolsFileReadsToTheBoardsHoles) {
  for (const DialectCase& c : kDialects) {
    SCOPED_TRACE(c.file);
    DrillOptions options;
    if (c.board) options.board = kBoard;
    const DrillFile file = read_drill(kDrill / c.file, options);
    EXPECT_EQ(compare_holes(file.holes,
                            reference_holes(c.groups, c.inch_sizes, c.vias, c.components,
                                            c.mechanical, c.slot),
                            1e-9),
              "");
    EXPECT_EQ(file.format.units, c.units);
    EXPECT_EQ(file.format.zeros, c.zeros);
    EXPECT_EQ(file.format.digits, c.digits);
    EXPECT_EQ(find_warning(file, DrillWarningKind::format_guessed) != nullptr, c.board);
    const bool unknown = std::any_of(file.holes.begin(), file.holes.end(),
                                     [](const Hole& h) { return h.plating == Plating::unknown; });
    EXPECT_EQ(find_warning(file, DrillWarningKind::plating_unknown) != nullptr, unknown);
    EXPECT_EQ(file.parameter_file.has_value(), contains(c.file, "allegro"));
  }
}

TEST(DrillDialects, WhatTheFileSaysOfUseAndLayers) {
  const DrillFile kicad = read_drill(kDrill / "kicad6/board.drl", {});
  std::map<std::uint32_t, HoleUse> uses;
  for (const Hole& h : kicad.holes) {
    uses[h.tool] = h.use;
    EXPECT_EQ(h.first_layer, 1);
    EXPECT_EQ(h.last_layer, 4);
  }
  EXPECT_EQ(uses, (std::map<std::uint32_t, HoleUse>{{1, HoleUse::via},
                                                    {2, HoleUse::component},
                                                    {3, HoleUse::component},
                                                    {4, HoleUse::component}}));
  // The user says what holes of unknown plating are.
  DrillOptions plated;
  plated.plating = Plating::plated;
  const DrillFile eagle = read_drill(kDrill / "eagle/board.drd", plated);
  for (const Hole& h : eagle.holes) EXPECT_EQ(h.plating, Plating::plated);
  ASSERT_NE(find_warning(eagle, DrillWarningKind::plating_from_user), nullptr);
  EXPECT_EQ(find_warning(eagle, DrillWarningKind::plating_from_user)->count, 9u);
}

// ------------------------------------------------------- numbers and statements

struct TextCase {
  const char* what;
  const char* text;
  std::vector<std::pair<Point, Point>> holes;  // mm
};

const TextCase kTexts[] = {
    {"leading zeros kept: the integer digits come first",
     "M48\nINCH,LZ\nT1C0.01\n%\nT1\nX00125Y-001\n",
     {{{3.175, -2.54}, {3.175, -2.54}}}},
    {"trailing zeros kept: the last digits are decimals",
     "M48\nINCH,TZ\nT1C0.01\n%\nT1\nX1250Y-1000\n",
     {{{3.175, -2.54}, {3.175, -2.54}}}},
    {"signs, and an axis left out keeps its value",
     "M48\nMETRIC,TZ,000.000\nT1C0.3\n%\nT1\nX+1500Y2500\nY-500\nX-12\n",
     {{{1.5, 2.5}, {1.5, 2.5}}, {{1.5, -0.5}, {1.5, -0.5}}, {{-0.012, -0.5}, {-0.012, -0.5}}}},
    {"decimal points, and whole units without one",
     "M48\n;FORMAT={-:-/ absolute / metric / decimal}\nMETRIC\nT1C0.3\n%\nT1\nX1.5Y-2.25\nX10Y20\n",
     {{{1.5, -2.25}, {1.5, -2.25}}, {{10, 20}, {10, 20}}}},
    {"FILE_FORMAT gives the digits",
     "M48\n;FILE_FORMAT=4:4\nMETRIC,LZ\nT1C0.3\n%\nT1\nX00125Y001\n",
     {{{12.5, 10}, {12.5, 10}}}},
    {"units change in the body: M71 and M72",
     "M48\nINCH,LZ,00.0000\nT1C0.01\n%\nT1\nX01\nM71\nX1.5\nM72\nX02\n",
     {{{25.4, 0}, {25.4, 0}}, {{1.5, 0}, {1.5, 0}}, {{50.8, 0}, {50.8, 0}}}},
    {"incremental coordinates (G91, ICI) add to the last point",
     "M48\nMETRIC,TZ,000.000\nICI,ON\nT1C0.3\n%\nT1\nX1000Y1000\nX1000\nG90\nX5000Y0\nG91\nY-"
     "2000\n",
     {{{1, 1}, {1, 1}}, {{2, 1}, {2, 1}}, {{5, 0}, {5, 0}}, {{5, -2}, {5, -2}}}},
    {"the zero set G93 moves the origin",
     "M48\nMETRIC,TZ,000.000\nT1C0.3\n%\nG93X10000Y5000\nT1\nX1000Y1000\n",
     {{{11, 6}, {11, 6}}}},
    {"repeat codes make the last hole again, moved each time",
     "M48\nMETRIC,TZ,000.000\nT1C0.3\n%\nT1\nX1000Y1000\nR03X2000\nR02Y-500\n",
     {{{1, 1}, {1, 1}},
      {{3, 1}, {3, 1}},
      {{5, 1}, {5, 1}},
      {{7, 1}, {7, 1}},
      {{7, 0.5}, {7, 0.5}},
      {{7, 0}, {7, 0}}}},
    {"G85 slots, with an axis left out",
     "M48\nMETRIC\nT1C0.8\n%\nT1\nX1.0Y2.0G85X3.0\nX5.0Y5.0G85Y7.0\n",
     {{{1, 2}, {3, 2}}, {{5, 5}, {5, 7}}}},
    {"a routed path: rapid moves cut nothing, a plunge that moves nowhere drills",
     "M48\nMETRIC\nT1C0.8\n%\nT1\nG00X1.0Y1.0\nM15\nG01X2.0Y1.0\nY2.0\nM16\nG00X5.0Y5."
     "0\nM15\nM16\nG05\nX9.0Y9.0\n",
     {{{1, 1}, {2, 1}}, {{2, 1}, {2, 2}}, {{5, 5}, {5, 5}}, {{9, 9}, {9, 9}}}},
    {"tools in the body, comments after statements, block numbers",
     "%\nINCH,TZ\nT1C.015F095S3 ; small\nN10X1000Y1000\nT2C.04\nN20X2000Y1000\n",
     {{{2.54, 2.54}, {2.54, 2.54}}, {{5.08, 2.54}, {5.08, 2.54}}}},
};

TEST(DrillFormats, NumbersAndStatements) {
  for (const TextCase& c : kTexts) {
    SCOPED_TRACE(c.what);
    const DrillFile file = read_text(c.text);
    ASSERT_EQ(file.holes.size(), c.holes.size());
    for (std::size_t i = 0; i < c.holes.size(); ++i) {
      EXPECT_TRUE(near(file.holes[i].from, c.holes[i].first, 1e-9) &&
                  near(file.holes[i].to, c.holes[i].second, 1e-9))
          << "hole " << i << " at " << file.holes[i].from.x << " " << file.holes[i].from.y << " to "
          << file.holes[i].to.x << " " << file.holes[i].to.y;
    }
  }
  // The second tool's size comes from the body, in inches.
  EXPECT_DOUBLE_EQ(read_text(kTexts[11].text).holes[1].diameter, 0.04 * 25.4);
}

TEST(DrillFormats, RoutedArcsAreChainsOfSlotsWithinTheTolerance) {
  // A half circle of radius 5 around (10, 0), by its radius (A) and by its
  // centre (I, J), clockwise and counterclockwise.
  const char* texts[] = {
      "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X5.0Y0.0\nM15\nG02X15.0Y0.0A5.0\nM16\n",
      "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X5.0Y0.0\nM15\nG02X15.0Y0.0I5.0J0.0\nM16\n",
      "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X5.0Y0.0\nM15\nG03X15.0Y0.0A5.0\nM16\n",
  };
  for (int t = 0; t < 3; ++t) {
    SCOPED_TRACE(texts[t]);
    DrillOptions options;
    options.arc_tolerance = 0.001;
    const DrillFile file = read_text(texts[t], options);
    ASSERT_GT(file.holes.size(), 20u);
    EXPECT_EQ(file.holes.front().from, (Point{5, 0}));
    EXPECT_EQ(file.holes.back().to, (Point{15, 0}));
    const double side = t == 2 ? -1.0 : 1.0;  // clockwise from the left passes above
    for (std::size_t i = 0; i < file.holes.size(); ++i) {
      const Hole& h = file.holes[i];
      if (i > 0) {
        EXPECT_EQ(h.from, file.holes[i - 1].to);
      }
      // Each chord's ends on the circle, its middle within the tolerance.
      EXPECT_NEAR(std::hypot(h.to.x - 10, h.to.y), 5.0, 1e-9);
      const Point middle{(h.from.x + h.to.x) / 2, (h.from.y + h.to.y) / 2};
      EXPECT_LE(5.0 - std::hypot(middle.x - 10, middle.y), 0.001);
      EXPECT_GE(side * (h.to.y + h.from.y), 0.0);
    }
  }
}

TEST(DrillFormats, TheUsersFormat) {
  struct Case {
    const char* text;
    std::optional<DrillFormat> format;
  };
  const Case cases[] = {
      {"INCH,LZ,2:4", DrillFormat{DrillUnits::inch, Zeros::leading, 2, 4}},
      {"metric,tz,3:3", DrillFormat{DrillUnits::millimetre, Zeros::trailing, 3, 3}},
      {"METRIC,DECIMAL", DrillFormat{DrillUnits::millimetre, Zeros::decimal, 3, 3}},
      {" MM , TZ , 4.4 ", DrillFormat{DrillUnits::millimetre, Zeros::trailing, 4, 4}},
      {"INCH,TZ", DrillFormat{DrillUnits::inch, Zeros::trailing, 2, 4}},
      {"INCH", std::nullopt},
      {"FEET,LZ", std::nullopt},
      {"INCH,LZ,24", std::nullopt},
      {"INCH,LZ,2:4,X", std::nullopt},
      {"INCH,LZ,", std::nullopt},
      {"INCH,LZ,0:0", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_drill_format(c.text), c.format) << c.text;

  // It overrides what the file says, and says so.
  DrillOptions options;
  options.format = parse_drill_format("INCH,LZ,2:4");
  const DrillFile file = read_text("M48\nMETRIC,TZ\nT1C0.01\n%\nT1\nX01Y02\n", options);
  ASSERT_EQ(file.holes.size(), 1u);
  EXPECT_EQ(file.holes[0].from, (Point{25.4, 50.8}));
  EXPECT_EQ(file.format.units, FormatSource::option);
  ASSERT_NE(find_warning(file, DrillWarningKind::format_overridden), nullptr);
  EXPECT_EQ(find_warning(file, DrillWarningKind::format_overridden)->first_line, 2u);
}

// The file that does not say its format: refused without a board, guessed
// when exactly one reading fits the board, refused when none or several do.
TEST(DrillFormats, WhatCannotBeKnownIsRefusedOrGuessedAgainstTheBoard) {
  const fs::path orcad = kDrill / "orcad/thruhole.tap";
  try {
    read_drill(orcad, {});
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_TRUE(contains(e.what(), "thruhole.tap:2: the drill file does not say its units"))
        << e.what();
    EXPECT_TRUE(contains(e.what(), "--drill-format")) << e.what();
  }
  // A board 2.54 times smaller fits the millimetre reading of the same
  // digits (3:3 against 2:4) only.
  DrillOptions small;
  small.board = Box{-3, 20, 0, 14};
  const DrillFile guessed = read_drill(orcad, small);
  EXPECT_EQ(guessed.holes[0].from, (Point{4.0, 2.0}));
  EXPECT_EQ(guessed.format.format, (DrillFormat{DrillUnits::millimetre, Zeros::trailing, 3, 3}));
  // A board no reading fits tells nothing.
  DrillOptions huge;
  huge.board = Box{-1000, 1000, -1000, 1000};
  try {
    read_drill(kDrill / "eagle-old/board.drd", huge);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_TRUE(contains(e.what(), "board.drd:9: the drill file does not say which zeros"))
        << e.what();
    EXPECT_TRUE(contains(e.what(), "no reading fits the board")) << e.what();
  }
}

TEST(DrillFormats, SizesFromAToolTableOrTheirComments) {
  ScratchDir dir;
  write_file(dir / "board.Tool",
             "T1 0.800000mm  1x [1.0 | 2.0]\nT2   40mil (1.016mm)  Round\n\n; 2 tools\n");
  DrillOptions options;
  options.tool_table = dir / "board.Tool";
  const DrillFile file = read_text(
      "M48\nMETRIC\n%\nT1\nG00X1.0Y1.0\nM15\nG01X2.0Y1.0\nM16\nG05\nT2\nX3.0Y3.0\n", options);
  ASSERT_EQ(file.holes.size(), 2u);
  EXPECT_DOUBLE_EQ(file.holes[0].diameter, 0.8);
  EXPECT_DOUBLE_EQ(file.holes[1].diameter, 40 * 0.0254);
}

// ------------------------------------------------------- faults

struct FaultCase {
  const char* what;
  std::string text;
  const char* message;  // "test.drl:LINE: ..."
};

TEST(DrillFaults, EachNamesTheFileAndLine) {
  const std::string head = "M48\nMETRIC,TZ,000.000\nT1C0.3\n%\nT1\n";
  const FaultCase cases[] = {
      {"a tool without a size", "M48\nMETRIC\n%\nT7\nX1.0Y1.0\n", "test.drl:5: tool 7 has no size"},
      {"a hole before any tool", "M48\nMETRIC\n%\nX1.0Y1.0\n",
       "test.drl:4: a hole before any tool is selected"},
      {"units nobody says", "T1C0.3\nX1000Y1000\n",
       "test.drl:1: the drill file does not say its units"},
      {"a repeat of a billion", head + "X1Y1\nR999999999X1\n",
       "test.drl:7: the repeat count makes more holes than the reader takes (2000000)"},
      {"a repeat before any hole", head + "R02X1\n", "test.drl:6: a repeat code before any hole"},
      {"a tool number beyond the last", "M48\nMETRIC\nT10000C0.3\n%\n",
       "test.drl:3: the tool number is out of range"},
      {"a tool a kilometre wide", "M48\nMETRIC\nT1C1000000.0\n%\n",
       "test.drl:3: the tool size is out of range"},
      {"a coordinate of thousands of digits", head + "X" + std::string(3000, '9') + "\n",
       "test.drl:6: a coordinate has too many digits"},
      {"a coordinate 100 km away", head + "X100000000.0Y0\n",
       "test.drl:6: a coordinate is out of range"},
      {"a repeat that walks out of range", head + "X1Y1\nR999X9999999\n",
       "test.drl:7: the repeat code carries holes out of range"},
      {"an arc of a huge radius",
       "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X0Y0\nM15\nG02X1.0Y0A99999999.0\n",
       "test.drl:8: a coordinate is out of range"},
      {"an arc whose circle leaves the range (fuzzing)",
       "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X0.4Y0.0\nM15\nG02X0.0Y0.0I5000.0J0\n",
       "test.drl:8: the arc reaches out of range"},
      {"an arc without its radius or centre",
       "M48\nMETRIC\nT1C1.0\n%\nT1\nG00X0Y0\nM15\nG03X1.0Y1.0\n",
       "test.drl:8: an arc without its radius (A) or centre (I, J)"},
      {"a G85 slot without its end", head + "X1Y1G85\n",
       "test.drl:6: a G85 slot without its end point"},
      {"digits of an impossible format", "M48\n;FILE_FORMAT=12:12\n",
       "test.drl:2: the digit counts"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string message = error_of(c.text);
    EXPECT_TRUE(message.starts_with(c.message)) << message;
  }
}

// Hostile files cost bounded work: each is refused or read in a fraction of
// a second (a release build; the bound leaves room for the sanitizers),
// whatever it asks for.
TEST(DrillFaults, HostileFilesAreBoundedWork) {
  const std::string head = "M48\nMETRIC\nT1C1.0\n%\nT1\n";
  std::string tools = "M48\nMETRIC\n";
  // A million tool definitions, over every number a tool may have.
  for (int i = 0; i < 1'000'000; ++i) {
    tools.append("T").append(std::to_string(i % 9999 + 1)).append("C0.1\n");
  }
  tools += "%\n";
  const std::string all_digits(20'000'000, '7');
  std::string arcs = head + "G00X0.0Y0.0\nM15\n";
  for (int i = 0; i < 1000; ++i) arcs += "G02X0.0Y0.0I5000.0J0.0\n";
  const std::string inputs[] = {tools, all_digits, arcs};
  for (const std::string& text : inputs) {
    const auto start = std::chrono::steady_clock::now();
    try {
      const DrillFile file = read_text(text);
      EXPECT_LE(file.holes.size(), kMaxDrillHoles);
    } catch (const Error& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with("test.drl:")) << e.what();
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              10.0);
  }
  // Full circles 10 m across, some 5,000 chords each: the chain stops at the
  // limit of holes.
  EXPECT_TRUE(contains(error_of(arcs), "more holes than the reader takes")) << error_of(arcs);
}

// ------------------------------------------------------- KiCad's writer

// data/drill/kicad/<board>/<variant>/ holds a demo board's drill files in
// each variant of KiCad 6's Excellon writer (scripts/make-drill-samples).
// Every variant of a board reads to the same holes, within what the
// coarsest format resolves (0.0001 inch) and the plating each file says.
TEST(DrillKicad, EveryVariantOfABoardReadsToTheSameHoles) {
  const fs::path root = kDrill / "kicad";
  ASSERT_TRUE(fs::is_directory(root));
  int boards = 0;
  for (const auto& board : fs::directory_iterator(root)) {
    if (!board.is_directory()) continue;
    ++boards;
    std::vector<std::pair<std::string, std::vector<Hole>>> variants;
    for (const auto& variant : fs::directory_iterator(board.path())) {
      if (!variant.is_directory()) continue;
      std::vector<Hole> holes;
      for (const auto& file : fs::directory_iterator(variant.path())) {
        const DrillFile read = read_drill(file.path(), {});
        EXPECT_EQ(find_warning(read, DrillWarningKind::plating_unknown), nullptr) << file.path();
        holes.insert(holes.end(), read.holes.begin(), read.holes.end());
      }
      variants.emplace_back(variant.path().filename().string(), std::move(holes));
    }
    std::sort(variants.begin(), variants.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    ASSERT_GE(variants.size(), 8u) << board.path();
    ASSERT_FALSE(variants[0].second.empty());
    for (std::size_t v = 1; v < variants.size(); ++v) {
      EXPECT_EQ(compare_holes(variants[v].second, variants[0].second, 0.002), "")
          << board.path().filename() << ": " << variants[v].first << " against "
          << variants[0].first;
    }
  }
  EXPECT_GE(boards, 3);
}

// ------------------------------------------------------- gerbv

// gerbv's reading of a drill file: it writes the holes as flashes (round
// holes) and strokes (G85 slots) of a photoplot in inches, 3:6.
std::vector<Hole> read_by_gerbv(const fs::path& drill, const fs::path& out) {
  const std::string command =
      "gerbv -x rs274x -o '" + out.string() + "' '" + drill.string() + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  const std::string text = test_support::read_file(out);
  std::map<int, double> apertures;
  std::vector<Hole> holes;
  int aperture = 0;
  Point at{0, 0};
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    int code = 0;
    double size = 0;
    if (std::sscanf(line.c_str(), "%%ADD%dC,%lf", &code, &size) == 2) {
      apertures[code] = size * 25.4;
    } else if (std::sscanf(line.c_str(), "G54D%d", &code) == 1) {
      aperture = code;
    } else if (line.starts_with("G01X")) {
      long long x = 0;
      long long y = 0;
      int op = 0;
      if (std::sscanf(line.c_str(), "G01X%lldY%lldD%d", &x, &y, &op) != 3) continue;
      const Point p{x * 25.4e-6, y * 25.4e-6};
      if (op == 3 || op == 1) {
        Hole h;
        h.from = op == 1 ? at : p;
        h.to = p;
        h.diameter = apertures[aperture];
        holes.push_back(h);
      }
      at = p;
    }
  }
  return holes;
}

TEST(DrillGerbv, HolesAgreeWhereGerbvReadsTheFile) {
  if (std::system("command -v gerbv > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "gerbv is not installed";
  // Files gerbv reads otherwise, left out of the comparison:
  const std::map<std::string, std::string> gerbv_differs = {
      // It takes Altium's ";FILE_FORMAT=2:5" for 2:4 and reads the leading-zero
      // numbers 10,000 times too small.
      {"altium/board-RoundHoles.TXT", "FILE_FORMAT"},
      {"altium/board-SlotHoles.TXT", "FILE_FORMAT"},
      // It reads EasyEDA's full-width "INCH,LZ" numbers 100 times too large.
      {"easyeda/Drill_PTH_Through.DRL", "INCH,LZ"},
      {"easyeda/Drill_NPTH_Through.DRL", "INCH,LZ"},
      // It routes nothing: G00/M15/G01/M16 slots are left out.
      {"kicad6/board.drl", "routed slot"},
      {"allegro/board_1-4.rou", "routed slot"},
      // It reads no tool sizes from Allegro's comments (";T01 Holesize ...")
      // and makes up sizes of its own.
      {"allegro/board-1-4.drl", "tool comments"},
      // It knows no zero set (G93): the holes stay 0.1 inch off.
      {"xpedition/board.drl", "G93"},
  };
  ScratchDir dir;
  int compared = 0;
  for (const DialectCase& c : kDialects) {
    if (gerbv_differs.contains(c.file)) continue;
    SCOPED_TRACE(c.file);
    DrillOptions options;
    if (c.board) options.board = kBoard;
    const DrillFile ours = read_drill(kDrill / c.file, options);
    // gerbv writes sizes with four decimals of an inch.
    EXPECT_EQ(
        compare_holes(ours.holes, read_by_gerbv(kDrill / c.file, dir / "out.gbr"), 0.005, false),
        "");
    ++compared;
  }
  EXPECT_GE(compared, 10);
  // KiCad's variants, but for the routed ones: gerbv routes nothing.
  for (const auto& entry : fs::recursive_directory_iterator(kDrill / "kicad")) {
    const fs::path& path = entry.path();
    if (path.extension() != ".drl" || contains(path.string(), "-routed-")) continue;
    SCOPED_TRACE(path.string());
    EXPECT_EQ(compare_holes(read_drill(path, {}).holes, read_by_gerbv(path, dir / "out.gbr"), 0.005,
                            false),
              "");
    ++compared;
  }
  EXPECT_GE(compared, 50);
}

}  // namespace
}  // namespace foilcad
