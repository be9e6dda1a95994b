// Photoplots as today's layout tools write them: several statements on a
// record, extended commands over several records, any number of aperture code
// digits, format statements in all their spellings, the old unit codes, and
// the warnings for what the converter does not draw as the file means.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "photoplot/reader.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

Plotted read(const std::string& text) { return plot_text(text, "test.gbr"); }

void expect_same_plot(const std::string& a, const std::string& b) {
  const Plotted pa = read(a);
  const Plotted pb = read(b);
  EXPECT_EQ(pa.rectangles, pb.rectangles);
  EXPECT_EQ(pa.extremes, pb.extremes);
}

const Warning* find_warning(const Plotted& plot, WarningKind kind) {
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
  const Plotted plot = read("X0001Y0001D02*" + padding + "X0002Y0002D03*\n");
  EXPECT_EQ(plot.rectangles.size(), 1u);
}

TEST(Statements, ExtendedCommandsHoldWordsAndSpanRecords) {
  expect_same_plot("%FSLAX24Y24*MOMM*%\nX1000Y1000D03*\n",
                   "%FSLAX24Y24*%\n%MOMM*%\nX1000Y1000D03*\n");
  // A macro over several records, then a definition that uses it: no error,
  // and what follows the closing "%" on its record is read.
  const Plotted plot = read(
      "%FSLAX24Y24*%\n%AMRoundRect*\n0 Rectangle with rounded corners*\n"
      "21,1,$1,$2,0,0,0*%D10*\n%ADD12RoundRect,0.25X0.5X0.5*%\nX1000Y1000D03*\n");
  ASSERT_EQ(plot.rectangles.size(), 1u);
  EXPECT_EQ(find_warning(plot, WarningKind::unsized_apertures), nullptr);
  // The centre line 0.25 wide and 0.5 high gives the flash its size.
  EXPECT_DOUBLE_EQ(plot.rectangles[0].max_x - plot.rectangles[0].min_x, 0.25 * kInchFactor);
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
  const Plotted mm = read("%FSLAX46Y46*%\n%MOMM*%\n%ADD10R,1.016000X4.572000*%\nX0Y0D03*\n");
  ASSERT_EQ(mm.rectangles.size(), 1u);
  EXPECT_EQ(mm.rectangles[0].max_x - mm.rectangles[0].min_x, 1.016);
}

TEST(Statements, FormatStatementSpellings) {
  const std::string pads = "%ADD10C,0.0100*%\nX12345Y-2500D03*\n";
  expect_same_plot("%FSAX24Y24*%\n" + pads, "%FSLAX24Y24*%\n" + pads);
  expect_same_plot("%FSLAX24Y24*%\n" + pads, "%FSLAX24Y24*%\n" + pads);
  // Trailing zeros omitted: digits are padded to the full count of six.
  expect_same_plot("%FSTAX24Y24*%\n%ADD10C,0.0100*%\nX12345Y-25D03*\n",
                   "%FSLAX24Y24*%\n%ADD10C,0.0100*%\nX123450Y-250000D03*\n");
  // Incremental notation is read as absolute, with one warning.
  const Plotted incremental = read("%FSLIX24Y24*%\n" + pads + "%FSLIX24Y24*%\n");
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

TEST(Statements, ShortOperationCodes) {
  const std::string head = "%FSLAX24Y24*%\n%ADD10C,0.0100*%\n%ADD11R,0.0600X0.0300*%\nD10*\n";
  const std::string full =
      head + "X1000Y1000D02*\nX5000Y1000D01*\nD11*\nX5000Y5000D03*\nX1000Y5000D02*\nD03*\n";
  // Leading zeros may be left out or added, after coordinates and alone.
  expect_same_plot(head + "X1000Y1000D2*\nX5000Y1000D1*\nD11*\nX5000Y5000D3*\nX1000Y5000D2*\nD3*\n",
                   full);
  expect_same_plot(
      head + "X1000Y1000D002*\nX5000Y1000D001*\nD11*\nX5000Y5000D3*\nX1000Y5000D2*\nD003*\n", full);
  // Alone they never select an aperture: the flash keeps aperture 11.
  expect_same_plot(head + "D11*\nX1000Y1000D2*\nD1*\nD2*\nD3*\n",
                   head + "D11*\nX1000Y1000D02*\nD01*\nD02*\nD03*\n");
  EXPECT_EQ(read(head + "D11*\nX1000Y1000D2*\nD3*\n").rectangles.size(), 1u);
  // A further digit makes a selection ("D012" is aperture 12), as before.
  EXPECT_TRUE(read(head + "X1000Y1000D012*\n").rectangles.empty());
}

TEST(Statements, OperationFollowedByTheEnd) {
  const std::string head = "%FSLAX24Y24*%\n%ADD10C,0.0100*%\nX1000Y1000D03*\n";
  for (const char* end : {"D02M02*", "D2M02*", "X2000Y2000D02M02*", "N9D02M02*"}) {
    const Plotted plot = read(head + end + "\nX3000Y3000D03*\n");
    EXPECT_EQ(plot.rectangles.size(), 1u) << end;
    EXPECT_EQ(plot.records, 4u) << end;
  }
  // Only an operation code may stand before the end; anything else after
  // "D" is still a selection that cannot be read.
  EXPECT_THROW(read(head + "D10M02*\n"), Error);
}

// Coordinates without an operation code repeat the last one given.
TEST(Statements, ModalOperationCodes) {
  const std::string head = "%FSLAX24Y24*%\n%ADD10C,0.0100*%\n";
  expect_same_plot(head +
                       "X1000Y1000D02*\nX2000Y1000*\nX2000Y3000D01*\nX4000Y3000*\n"
                       "X5000Y5000D03*\nX6000Y5000*\nX7000Y5000*\n",
                   head +
                       "X1000Y1000D02*\nX2000Y1000D02*\nX2000Y3000D01*\nX4000Y3000D01*\n"
                       "X5000Y5000D03*\nX6000Y5000D03*\nX7000Y5000D03*\n");
  // Arcs likewise, and behind G01.
  expect_same_plot(head +
                       "G75*\nX1000Y0D02*\nG03X0Y1000I-1000J0D01*\nX-1000Y0I0J-1000*\n"
                       "X1000Y0D02*\nG01X0Y1000*\n",
                   head +
                       "G75*\nX1000Y0D02*\nG03X0Y1000I-1000J0D01*\nX-1000Y0I0J-1000D01*\n"
                       "X1000Y0D02*\nG01X0Y1000D02*\n");
  // A move in a region ends its contour: two squares, not one shape through both.
  expect_same_plot(head +
                       "G36*\nX0Y0D02*\nX100Y0D01*\nX100Y100*\nX0Y100*\nX0Y0*\n"
                       "X500Y0D02*\nX500Y100*\nX600Y100D01*\nX600Y0*\nX500Y0*\nG37*\n",
                   head +
                       "G36*\nX0Y0D02*\nX100Y0D01*\nX100Y100D01*\nX0Y100D01*\nX0Y0D01*\n"
                       "X500Y0D02*\nX500Y100D02*\nX600Y100D01*\nX600Y0D01*\nX500Y0D01*\nG37*\n");
  // Only before the first operation code do they stroke, with a warning.
  const Plotted first = read(head + "X1000Y1000*\nX2000Y1000*\nX3000Y1000D02*\nX4000Y1000*\n");
  expect_same_plot(head + "X1000Y1000*\nX2000Y1000*\nX3000Y1000D02*\nX4000Y1000*\n",
                   head + "X1000Y1000D01*\nX2000Y1000D01*\nX3000Y1000D02*\nX4000Y1000D02*\n");
  const Warning* w = find_warning(first, WarningKind::coordinates_without_operation);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->count, 2u);
  EXPECT_EQ(w->first_line, 3u);
  EXPECT_EQ(find_warning(read(head + "X1000Y1000D02*\nX2000Y1000*\nX3000Y1000D03*\nX4000Y1000*\n"),
                         WarningKind::coordinates_without_operation),
            nullptr);
}

TEST(Statements, OlderFormatStatements) {
  const std::string pads = "%ADD10C,0.0100*%\nX12345Y-2500D03*\nX1Y2D03*\n";
  // Digit counts of sequence numbers and G, D and M codes are not needed.
  for (const char* format :
       {"%FSLAN2X34Y34*%", "%FSLAN2G2X34Y34*%", "%FSLAN2G2D2M2X34Y34*%", "%FSN2X34Y34*%",
        "%FSD2M2X34Y34*%", "%FSLAX34Y34D2M2*%", "%FSTAN2X34Y34*%"}) {
    const std::string spelled(format);
    const std::string plain = spelled.starts_with("%FST") ? "%FSTAX34Y34*%" : "%FSLAX34Y34*%";
    expect_same_plot(spelled + "\n" + pads, plain + "\n" + pads);
  }
  for (const char* bad : {"%FSLAN2*%", "%FSLANX34Y34*%", "%FSLAN2Q2X34Y34*%"}) {
    EXPECT_THROW(read(std::string(bad) + "\n" + pads), Error) << bad;
  }
}

TEST(Statements, SequenceNumbersAreSkipped) {
  expect_same_plot(
      "%FSLAN2X24Y24*%\n%ADD10C,0.0100*%\n%ADD11C,0.0200*%\nN01G54D11*\nN2X1000Y1000D02*\n"
      "N03X3000Y1000D01*\nN4G01X3000Y2000D01*\nN05D10*\nN123X0500Y0500D03*\nN07X0Y0D02*\n"
      "N08M02*\nX2Y2D03*\n",
      "%FSLAX24Y24*%\n%ADD10C,0.0100*%\n%ADD11C,0.0200*%\nG54D11*\nX1000Y1000D02*\n"
      "X3000Y1000D01*\nG01X3000Y2000D01*\nD10*\nX0500Y0500D03*\nX0Y0D02*\nM02*\n");
  // A statement that is nothing but its number is empty.
  EXPECT_TRUE(read("N1*\nN22\n").rectangles.empty());
}

// Aperture definitions: the fixed three-digit layout only for a standard
// shape letter and a comma; anything else names a macro.
TEST(Statements, ThreeDigitCodesWithMacroNames) {
  const std::string macros =
      "%FSLAX24Y24*%\n%AMTHD121*\n7,0,0,0.080,0.060,0.012,45*%\n"
      "%AMROUNDEDRECTD161*\n21,1,0.070,0.050,0,0,0*\n21,1,0.050,0.070,0,0,0*%\n";
  const Plotted plot = read(macros +
                            "%ADD121THD121*%\n%ADD161ROUNDEDRECTD161*%\n%ADD010C,0.0100*%\n"
                            "D121*\nX10000Y10000D03*\nD161*\nX20000Y10000D03*\n"
                            "D010*\nX30000Y10000D03*\n");
  EXPECT_EQ(find_warning(plot, WarningKind::unsized_apertures), nullptr);
  ASSERT_EQ(plot.rectangles.size(), 3u);
  const auto width = [&](std::size_t i) {
    return plot.rectangles[i].max_x - plot.rectangles[i].min_x;
  };
  EXPECT_NEAR(width(0), 0.080 * kInchFactor, 1e-12);  // the thermal's outer diameter
  EXPECT_NEAR(width(1), 0.070 * kInchFactor, 1e-12);
  EXPECT_NEAR(width(2), 0.2539999961853027, 1e-12);  // "%ADD010C,0.0100*%" as it always read
  // Codes of other lengths with a macro name alike.
  expect_same_plot(macros + "%ADD1210THD121*%\nX10000Y10000D03*\n",
                   macros + "%ADD12THD121*%\nX10000Y10000D03*\n");
  // A name that begins with a shape letter without a comma behind it.
  const Plotted rect = read("%AMRECT*\n21,1,0.070,0.050,0,0,0*%\n%ADD121RECT*%\nX0Y0D03*\n");
  ASSERT_EQ(rect.rectangles.size(), 1u);
  EXPECT_NEAR(rect.rectangles[0].max_y, 0.025 * kInchFactor, 1e-12);
  // A name the file never defined is drawn with size 0 and warned about.
  const Plotted unknown = read("%ADD121THD121*%\nX10000Y10000D03*\n");
  EXPECT_NE(find_warning(unknown, WarningKind::unsized_apertures), nullptr);
}

TEST(Statements, MacroNamesAsWrittenAndNumbersEndingInAPoint) {
  const std::string text =
      "%FSLAX35Y35*%\n%MOMM*%\n"
      "%AMVB_Custom_Obstruct Trace/Via Round 5.0 Both*\n1,1,$1,0.,0.*%\n"
      "%AMRect-W1650000-H1650000-RO1.500*\n21,1,1.65,1.65,0.,0.,0.*%\n"
      "%ADD20VB_Custom_Obstruct Trace/Via Round 5.0 Both,2.*%\n"
      "%ADD21Rect-W1650000-H1650000-RO1.500*%\n%ADD22R,1.X2.*%\n"
      "D20*\nX100000Y100000D03*\nD21*\nX500000Y100000D03*\nD22*\nX900000Y100000D03*\n";
  const Plotted plot = read(text);
  EXPECT_TRUE(plot.warnings.size() == 1 && plot.warnings[0].kind == WarningKind::no_outline);
  const std::vector<Box> expected = {{0, 2, 0, 2}, {4.175, 5.825, 0.175, 1.825}, {8.5, 9.5, 0, 2}};
  ASSERT_EQ(plot.rectangles.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    // The scale factor of five decimals is a single-precision power of 0.1.
    EXPECT_NEAR(plot.rectangles[i].min_x, expected[i].min_x, 1e-5) << i;
    EXPECT_NEAR(plot.rectangles[i].max_x, expected[i].max_x, 1e-5) << i;
    EXPECT_NEAR(plot.rectangles[i].min_y, expected[i].min_y, 1e-5) << i;
    EXPECT_NEAR(plot.rectangles[i].max_y, expected[i].max_y, 1e-5) << i;
  }
  // Matched as written: a name that differs by a blank is another macro.
  EXPECT_NE(find_warning(read("%AMA B*\n1,1,1,0,0*%\n%ADD10AB*%\nX1Y1D03*\n"),
                         WarningKind::unsized_apertures),
            nullptr);
}

TEST(Statements, WarningsCountEachKindOnce) {
  const Plotted plot = read(
      "G04 #@! TF.FileFunction,Soldermask,Top*\n"  // 1
      "%FSLIX24Y24*%\n"                            // 2
      "%ADD10C,0.0100*%\n%ADD11NOSUCHMACRO,1*%\n"  // 3, 4
      "X1Y1*\nX2Y2*\nX3Y3D02*\n"                   // 5, 6, 7
      "X4Y4D03*\nX5Y5*\n"                          // 8, 9: flashes
      "G91*\n");                                   // 10
  struct Expected {
    WarningKind kind;
    std::size_t count;
    std::size_t first_line;
  };
  const Expected expected[] = {
      {WarningKind::not_copper, 1, 1},        {WarningKind::incremental_coordinates, 2, 2},
      {WarningKind::unsized_apertures, 1, 4}, {WarningKind::coordinates_without_operation, 2, 5},
      {WarningKind::no_outline, 1, 5},
  };
  ASSERT_EQ(plot.warnings.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(plot.warnings[i].kind, expected[i].kind) << i;
    EXPECT_EQ(plot.warnings[i].count, expected[i].count) << i;
    EXPECT_EQ(plot.warnings[i].first_line, expected[i].first_line) << i;
  }
  // Copper made only when the file ends (a region never closed) is warned
  // about at the last line.
  const Plotted open_region = read("%FSLAX24Y24*%\nG36*\nX0Y0D02*\nX100Y0D01*\nX0Y100D01*\n");
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
      // Made for these tests in the patterns of other tools.
      {"diptrace-short-codes.gbr", {K::no_outline}},
      {"pcad-short-codes-end.gbr", {K::no_outline}},
      {"plane-modal-operation-codes.gbr", {}},
      {"old-format-sequence-numbers.gbr", {K::no_outline}},
      {"macro-names-as-written.gbr", {K::no_outline}},
      {"plane-thermals-3digit-codes.gbr", {K::no_outline}},
  };
  for (const Case& c : cases) {
    const std::filesystem::path path =
        std::filesystem::path(FOILCAD_TEST_DATA) / "excerpts" / c.file;
    Plotted plot;
    ASSERT_NO_THROW(plot = plot_file(path)) << c.file;
    EXPECT_FALSE(plot.rectangles.empty()) << c.file;
    std::vector<WarningKind> kinds;
    for (const Warning& w : plot.warnings) kinds.push_back(w.kind);
    std::sort(kinds.begin(), kinds.end());
    std::vector<WarningKind> expected = c.warnings;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kinds, expected) << c.file;
  }
}

// The excerpts made in the patterns of other tools draw what their forms mean:
// short and modal operation codes, older format statements, macro names.
TEST(Statements, ExcerptsOfOtherFormsDrawWhatTheyMean) {
  struct Case {
    const char* file;
    std::size_t strokes;
    std::size_t flashes;
    std::size_t regions;
  };
  const Case cases[] = {
      {"diptrace-short-codes.gbr", 4, 4, 0},
      {"pcad-short-codes-end.gbr", 4, 2, 0},
      // Four strokes of the frame and eight of the plane: none across the
      // second move or from pad to pad.
      {"plane-modal-operation-codes.gbr", 12, 4, 0},
      {"old-format-sequence-numbers.gbr", 3, 3, 0},
      {"macro-names-as-written.gbr", 2, 4, 0},
      {"plane-thermals-3digit-codes.gbr", 2, 10, 1},
  };
  for (const Case& c : cases) {
    const Plotted plot = plot_file(std::filesystem::path(FOILCAD_TEST_DATA) / "excerpts" / c.file);
    EXPECT_EQ(plot.counts.strokes, c.strokes) << c.file;
    EXPECT_EQ(plot.counts.flashes, c.flashes) << c.file;
    EXPECT_EQ(plot.counts.regions, c.regions) << c.file;
  }
}

}  // namespace
}  // namespace foilcad

namespace foilcad {
namespace {

// The net names of each object, in the order of the drawing's list.
std::vector<std::vector<std::string>> nets_by_object(const Drawing& d) {
  std::vector<std::vector<std::string>> names(d.objects.size());
  for (std::size_t k = 0; k < d.objects.size(); ++k) {
    for (const std::uint32_t n : d.nets_of(k)) names[k].push_back(d.nets.at(n));
  }
  return names;
}

// Net attributes in both spellings name the nets of every object drawn after
// them, until changed or deleted; a new run only where the set changes.
TEST(Statements, NetAttributesNameTheObjectsAfterThem) {
  using Names = std::vector<std::vector<std::string>>;
  struct Case {
    const char* text;
    Names nets;  // of each object
    std::size_t runs;
  };
  const std::string head = "%FSLAX24Y24*%\n%MOMM*%\n%ADD10C,0.5*%\nD10*\n";
  const Case cases[] = {
      {"%TO.N,GND*%\nX0Y0D03*\n", {{"GND"}}, 1},
      {"G04 #@! TO.N,GND*\nX0Y0D03*\n", {{"GND"}}, 1},
      {"%TO.N,GND*%X0Y0D03*\n", {{"GND"}}, 1},
      // Flashes, strokes, arcs and regions alike; KiCad repeats the
      // attribute before each object and deletes it between: one run.
      {"%TO.N,A*%\nX0Y0D03*\nX100Y0D01*\n%TD*%\n%TO.N,A*%\nG75*G03X0Y100I-100J0D01*\n"
       "G36*\nX0Y0D02*\nX100Y0D01*\nX0Y100D01*\nG37*\n",
       {{"A"}, {"A"}, {"A"}, {"A"}},
       1},
      // Several fields: an object in several nets, each name listed once.
      {"%TO.N,B,A,B*%\nX0Y0D03*\n%TO.N,A*%\nX0Y0D03*\n", {{"B", "A"}, {"A"}}, 2},
      // TD deletes every attribute, TD.N the net, TD of another leaves it;
      // the other object attributes mean nothing to the nets.
      {"%TO.N,A*%\n%TO.P,R1,1*%\nX0Y0D03*\n%TD.P*%\n%TO.C,R1*%\nX0Y0D03*\n%TD.N*%\nX0Y0D03*\n"
       "G04 #@! TO.N,B*\nX0Y0D03*\nG04 #@! TD*\nX0Y0D03*\n%TO.N,C*%\nX0Y0D03*\n%TD*%\nX0Y0D03*\n",
       {{"A"}, {"A"}, {}, {"B"}, {}, {"C"}, {}},
       6},
      // The empty name and N/C are no net.
      {"%TO.N,*%\nX0Y0D03*\n%TO.N,N/C*%\nX0Y0D03*\n%TO.N,,A*%\nX0Y0D03*\n", {{}, {}, {"A"}}, 1},
      // Escapes written out as UTF-8; what is no escape stays as written.
      {"%TO.N,\\u00B5A\\u002C1\\u005C*%\nX0Y0D03*\n%TO.N,\\uD83D\\uDE00\\U0001F600*%\nX0Y0D03*\n"
       "%TO.N,\\u12G4\\uD800x\\u0009\\U00110000\\u00b*%\nX0Y0D03*\n",
       {{"\xC2\xB5"
         "A,1\\"},
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"\\u12G4\\uD800x\\u0009\\U00110000\\u00b"}},
       3},
      // Step and repeat copies are their objects placed again.
      {"%TO.N,A*%\n%SRX3Y2I1.0J1.0*%\nX0Y0D03*\n%TO.N,B*%\nX0Y0D03*\n%SR*%\nX0Y0D03*\n",
       {{"A"}, {"B"}, {"B"}},
       2},
  };
  for (const Case& c : cases) {
    const Drawing d = read_photoplot_text(head + c.text, "nets.gbr");
    EXPECT_EQ(nets_by_object(d), c.nets) << c.text;
    EXPECT_EQ(d.net_runs.size(), c.runs) << c.text;
    EXPECT_TRUE(d.warnings.empty()) << c.text;
  }
  // Listed in order of first use; a name no object takes is not listed.
  const Drawing d =
      read_photoplot_text(head + "%TO.N,X*%\n%TO.N,B,A*%\nX0Y0D03*\n%TO.N,C*%\n", "nets.gbr");
  EXPECT_EQ(d.nets, (std::vector<std::string>{"B", "A"}));
}

// A net attribute without a value ends the net; an object attribute without
// a name is skipped. Both are warned about, and the copper reads on.
TEST(Statements, UnreadableObjectAttributesAreWarnedAbout) {
  const Drawing d = read_photoplot_text(
      "%FSLAX24Y24*%\n%ADD10C,0.5*%\nD10*\n%TO.N,A*%\n%TO,B*%\nX0Y0D03*\n"
      "G04 #@! TO.N*\nX0Y0D03*\n%TO*%\n",
      "nets.gbr");
  EXPECT_EQ(nets_by_object(d), (std::vector<std::vector<std::string>>{{"A"}, {}}));
  ASSERT_EQ(d.warnings.size(), 1u);
  EXPECT_EQ(d.warnings[0].kind, WarningKind::unreadable_object_attributes);
  EXPECT_EQ(d.warnings[0].count, 3u);
  EXPECT_EQ(d.warnings[0].first_line, 5u);
  // More names than any board has are refused with the line.
  std::string many = "%TO.N";
  for (int i = 0; i <= 1'000'000; ++i) many.append(",").append(std::to_string(i));
  try {
    read_photoplot_text("%ADD10C,0.5*%\nD10*\n" + many + "*%\nX0Y0D03*\n", "many.gbr");
    ADD_FAILURE() << "a million and one nets read";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("many.gbr:3: the file names more than 1000000 nets"),
              std::string::npos)
        << e.what();
  }
}

// KiCad's front copper of two demo boards (scripts/make-net-samples), with
// X2 on and off: both spellings give every object the same nets, and the
// names are the nets pcbnew gives the layer's items. The hand-made short
// names what its comment says.
TEST(Statements, KiCadNetAttributesInBothSpellings) {
  const std::filesystem::path folder = std::filesystem::path(FOILCAD_TEST_DATA) / "nets";
  const Drawing short_board = read_photoplot(folder / "short.gbr");
  EXPECT_EQ(nets_by_object(short_board),
            (std::vector<std::vector<std::string>>{{}, {}, {}, {}, {"A"}, {"B"}, {"A"}, {}, {}}));
  EXPECT_TRUE(short_board.frame.has_value());
  for (const std::string board : {"pic_programmer", "ecc83-pp_v2"}) {
    const Drawing x2 = read_photoplot(folder / (board + "-x2.gbr"));
    const Drawing g04 = read_photoplot(folder / (board + "-g04.gbr"));
    ASSERT_EQ(x2.objects.size(), g04.objects.size()) << board;
    EXPECT_EQ(nets_by_object(x2), nets_by_object(g04)) << board;
    std::ifstream listed(folder / (board + ".nets"));
    std::vector<std::string> expected;
    for (std::string line; std::getline(listed, line);) expected.push_back(line);
    std::vector<std::string> names = x2.nets;
    std::sort(names.begin(), names.end());
    EXPECT_FALSE(expected.empty()) << board;
    EXPECT_EQ(names, expected) << board;
  }
}

}  // namespace
}  // namespace foilcad
