// Photoplots as today's layout tools write them: several statements on a
// record, extended commands over several records, any number of aperture code
// digits, format statements in all their spellings, the old unit codes, and
// the warnings for what the converter does not draw as the file means.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "photoplot/reader.hpp"

namespace foilcad {
namespace {

Photoplot read(const std::string& text) { return read_photoplot_text(text, "test.gbr"); }

void expect_same_plot(const std::string& a, const std::string& b) {
  const Photoplot pa = read(a);
  const Photoplot pb = read(b);
  EXPECT_EQ(pa.rectangles, pb.rectangles);
  EXPECT_EQ(pa.extremes, pb.extremes);
}

const Warning* find_warning(const Photoplot& plot, WarningKind kind) {
  for (const Warning& w : plot.warnings) {
    if (w.kind == kind) return &w;
  }
  return nullptr;
}

TEST(Statements, SeveralOnOneRecordReadAsSeparateLines) {
  expect_same_plot(
      "%FSLAX24Y24*%\n%ADD010C,0.0100*%\nG54D10*X1000Y2000D02*X3000D01*Y4000D01*X5000Y5000D03*\n",
      "%FSLAX24Y24*%\n%ADD010C,0.0100*%\nG54D10*\nX1000Y2000D02*\nX3000D01*\nY4000D01*\n"
      "X5000Y5000D03*\n");
  // Long records are read whole: the operation code at column 90 counts.
  const std::string padding(80, ' ');
  const Photoplot plot = read("X0001Y0001D02*" + padding + "X0002Y0002D03*\n");
  EXPECT_EQ(plot.rectangles.size(), 1u);
}

TEST(Statements, ExtendedCommandsHoldWordsAndSpanRecords) {
  expect_same_plot("%FSLAX24Y24*MOMM*%\nX1000Y1000D03*\n", "%FSLAX24Y24*%\n%MOMM*%\nX1000Y1000D03*\n");
  // A macro over several records, then a definition that uses it: no error,
  // and what follows the closing "%" on its record is read.
  const Photoplot plot = read(
      "%FSLAX24Y24*%\n%AMRoundRect*\n0 Rectangle with rounded corners*\n"
      "21,1,$1,$2,0,0,0*%D10*\n%ADD12RoundRect,0.25X0.5X0.5*%\nX1000Y1000D03*\n");
  ASSERT_EQ(plot.rectangles.size(), 1u);
  EXPECT_EQ(find_warning(plot, WarningKind::unsized_apertures), nullptr);
  // The centre line 0.25 wide and 0.5 high gives the flash its size.
  EXPECT_DOUBLE_EQ(plot.rectangles[0].upper_x - plot.rectangles[0].lower_x, 0.25 * kInchFactor);
  // An old-style single statement without its closing "%" stays on its record.
  expect_same_plot("%FSLAX24Y24*\nX1000Y1000D03*\n", "%FSLAX24Y24*%\nX1000Y1000D03*\n");
}

TEST(Statements, ApertureCodesOfAnyLength) {
  // Two-digit codes, circle and rectangle: the x size is used for both sides.
  expect_same_plot("%FSLAX24Y24*%\n%ADD10C,0.0100*%\nD10*\nX1000Y1000D03*\n",
                   "%FSLAX24Y24*%\n%ADD010C,0.0100*%\nD10*\nX1000Y1000D03*\n");
  expect_same_plot("%FSLAX24Y24*%\n%ADD1234R,0.0600X0.0300*%\nD1234*\nX1000Y1000D03*\n",
                   "%FSLAX24Y24*%\n%ADD011R,0.0600X0.0300*%\nD11*\nX1000Y1000D03*\n");
  // A circle with a hole keeps its outer diameter.
  expect_same_plot("%FSLAX24Y24*%\n%ADD10C,0.0100X0.0050*%\nX1000Y1000D03*\n",
                   "%FSLAX24Y24*%\n%ADD10C,0.0100*%\nX1000Y1000D03*\n");
  // Millimetre sizes are not scaled.
  const Photoplot mm = read("%FSLAX46Y46*%\n%MOMM*%\n%ADD10R,1.016000X4.572000*%\nX0Y0D03*\n");
  ASSERT_EQ(mm.rectangles.size(), 1u);
  EXPECT_EQ(mm.rectangles[0].upper_x - mm.rectangles[0].lower_x, 1.016);
}

TEST(Statements, FormatStatementSpellings) {
  const std::string pads = "%ADD10C,0.0100*%\nX12345Y-2500D03*\n";
  expect_same_plot("%FSAX24Y24*%\n" + pads, "%FSLAX24Y24*%\n" + pads);
  expect_same_plot("%FSLAX24Y24*%\n" + pads, "%FSLAX24Y24*%\n" + pads);
  // Trailing zeros omitted: digits are padded to the full count of six.
  expect_same_plot("%FSTAX24Y24*%\n%ADD10C,0.0100*%\nX12345Y-25D03*\n",
                   "%FSLAX24Y24*%\n%ADD10C,0.0100*%\nX123450Y-250000D03*\n");
  // Incremental notation is read as absolute, with one warning.
  const Photoplot incremental = read("%FSLIX24Y24*%\n" + pads + "%FSLIX24Y24*%\n");
  const Warning* w = find_warning(incremental, WarningKind::incremental_coordinates);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->count, 2u);
  EXPECT_EQ(w->first_line, 1u);
}

TEST(Statements, OldUnitCodes) {
  const std::string body = "%FSLAX33Y33*%\n%ADD10C,0.5*%\nX1000Y2000D03*\n";
  expect_same_plot("G71*\n" + body, "%MOMM*%\n" + body);
  expect_same_plot("%MOMM*%\nG70*\n" + body, body);
  // In front of other words.
  expect_same_plot("%FSLAX33Y33*%\nG71D10*\n%ADD10C,0.5*%\nX1000Y2000D03*\n",
                   "%FSLAX33Y33*%\n%MOMM*%\n%ADD10C,0.5*%\nD10*\nX1000Y2000D03*\n");
}

TEST(Statements, OperationCodeAloneAfterAMove) {
  expect_same_plot("%ADD10C,0.0100*%\nX1Y2D02*\nD03*\n", "%ADD10C,0.0100*%\nX1Y2D03*\n");
}

TEST(Statements, WarningsCountEachKindOnce) {
  const Photoplot plot = read(
      "G04 #@! TF.FileFunction,Soldermask,Top*\n"   // 1
      "%FSLIX24Y24*%\n"                              // 2
      "%ADD10C,0.0100*%\n%ADD11NOSUCHMACRO,1*%\n"   // 3, 4
      "X1Y1D02*\nX2Y2*\nX3Y3*\n"                     // 5, 6, 7
      "X4Y4D03*\nX5Y5*\n"                            // 8, 9
      "G91*\n");                                     // 10
  struct Expected {
    WarningKind kind;
    std::size_t count;
    std::size_t first_line;
  };
  const Expected expected[] = {
      {WarningKind::not_copper, 1, 1},
      {WarningKind::incremental_coordinates, 2, 2},
      {WarningKind::unsized_apertures, 1, 4},
      {WarningKind::coordinates_without_operation, 2, 6},
      {WarningKind::no_outline, 1, 6},
  };
  ASSERT_EQ(plot.warnings.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(plot.warnings[i].kind, expected[i].kind) << i;
    EXPECT_EQ(plot.warnings[i].count, expected[i].count) << i;
    EXPECT_EQ(plot.warnings[i].first_line, expected[i].first_line) << i;
  }
  // Copper made only when the file ends (a region never closed) is warned
  // about at the last line.
  const Photoplot open_region = read("%FSLAX24Y24*%\nG36*\nX0Y0D02*\nX100Y0D01*\nX0Y100D01*\n");
  ASSERT_EQ(open_region.warnings.size(), 1u);
  EXPECT_EQ(open_region.warnings[0].kind, WarningKind::no_outline);
  EXPECT_EQ(open_region.warnings[0].first_line, 5u);
  // A copper layer says so and gets no warning.
  EXPECT_TRUE(read("%TF.FileFunction,Copper,L1,Top*%\n").warnings.empty());
  EXPECT_EQ(read("%TF.FileFunction,Legend,Top*%\n").warnings.size(), 1u);
}

TEST(Statements, UnreadableStatementsStillStop) {
  for (const char* text : {"%ADDxxC,1*%\n", "%FSLAX2*%\n", "%ADD10C*%\n", "X1Y2I3K4D01*\n",
                           // Half an aperture beyond the largest double.
                           "%MOMM*%\n%ADD10C,1e308*%\nX17e307Y0D03*\n"}) {
    EXPECT_THROW(read(text), Error) << text;
  }
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

// Excerpts of copper layers written by today's layout tools (each names its
// tool in its first line): every one reads without an error, draws copper,
// and warns about exactly what it holds that is not drawn as meant.
TEST(Statements, LayoutToolExcerptsRead) {
  struct Case {
    const char* file;
    std::vector<WarningKind> warnings;
  };
  using K = WarningKind;
  const Case cases[] = {
      {"kicad6-arcs-regions.gbr", {K::no_outline}},
      {"kicad6-custom-pad-macros.gbr", {K::no_outline}},
      {"kicad6-freepoly-large-macro.gbr", {K::no_outline}},
      {"kicad6-freepoly-large-macro.regions.gbr", {K::no_outline}},
      {"kicad6-nomacros-regions-with-arcs.gbr", {K::no_outline}},
      {"kicad6-roundrect-pads.gbr", {K::no_outline}},
      {"pcb-rnd-arcs-octagons.gbr", {K::no_outline}},
      {"pcb-rnd-fractured-pour-mm.gbr", {K::no_outline}},
      {"pcb-rnd-polygon-pads.gbr", {K::no_outline}},
  };
  for (const Case& c : cases) {
    const std::filesystem::path path = std::filesystem::path(FOILCAD_TEST_DATA) / "excerpts" / c.file;
    Photoplot plot;
    ASSERT_NO_THROW(plot = read_photoplot(path)) << c.file;
    EXPECT_FALSE(plot.rectangles.empty()) << c.file;
    std::vector<WarningKind> kinds;
    for (const Warning& w : plot.warnings) kinds.push_back(w.kind);
    std::sort(kinds.begin(), kinds.end());
    std::vector<WarningKind> expected = c.warnings;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kinds, expected) << c.file;
  }
}

}  // namespace
}  // namespace foilcad
