// The photoplot reader and the plot state it drives: which lines count, how
// coordinates and aperture sizes are scaled, what the drawing holds, and which
// rectangles the grid model makes of it.
#include <gtest/gtest.h>

#include <string>

#include "common/error.hpp"
#include "photoplot/reader.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

using test_support::ScratchDir;
using test_support::write_file;

constexpr double kStart = 1.0000000150474662e+30;  // 1e30 in single precision
const Box kNoExtremes{kStart, -kStart, kStart, -kStart};

Plotted read(std::string_view text) { return plot_text(text, "board.gbr"); }

std::string message_of(std::string_view text) {
  try {
    plot_text(text, "bad.gbr");
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PowerFactor, MatchesTheTableBitForBit) {
  struct Row {
    int d;
    double p;
    double factor;  // mm per coordinate unit after one format statement
  };
  const Row rows[] = {
      {0, 1.0, 25.399999618530273},
      {1, 0.10000000149011612, 2.539999999701976},
      {2, 0.010000000298023226, 0.2540000037550926},
      {3, 0.001000000085681678, 0.02540000179484486},
      {4, 0.00010000001202570274, 0.0025400002673058725},
      {5, 1.0000001351581904e-05, 0.0002540000305154826},
      {6, 1.0000001910375516e-06, 2.540000447088401e-05},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(power_factor(row.d), row.p) << "d = " << row.d;
    EXPECT_EQ(25.399999618530273 * power_factor(row.d), row.factor) << "d = " << row.d;
  }
}

TEST(Reader, FormatStatementsScaleEachAxis) {
  // Four decimals: the factor is 0.0025400002673058725, not 0.00254.
  EXPECT_EQ(read("%FSLAX24Y23*%\nX12345Y200D02*\n").extremes,
            (Box{31.356303299890996, 31.356303299890996, 5.080000358968972, 5.080000358968972}));
  // A second statement multiplies again.
  EXPECT_EQ(read("%FSLAX24Y24*%\n%FSLAX24Y24*%\nX12345D02*\n").extremes.min_x,
            0.003135630707070682);
  // Another letter where X or Y should stand leaves that axis alone.
  EXPECT_EQ(read("%FSLAX24N24*%\nX12345Y1D02*\n").extremes,
            (Box{31.356303299890996, 31.356303299890996, 25.399999618530273, 25.399999618530273}));
  // Without one, coordinates are whole inches.
  EXPECT_EQ(read("X1Y2D02*\n").extremes,
            (Box{25.399999618530273, 25.399999618530273, 50.79999923706055, 50.79999923706055}));
}

TEST(Reader, StrokeAndFlashRectangles) {
  const Plotted plot = read(
      "%ADD010C,0.0100*%\n"         // 0.2539999961853027 mm
      "%ADD011R,0.0600X0.0300*%\n"  // 1.5239999771118165 by 0.7619999885559082 mm
      "%MOMM*%\n"
      "D10*\n"
      "X10Y0D01*\n"  // from the starting point (0, 0)
      "X10Y10D02*\n"
      "X0Y0D01*\n"  // a diagonal covers the whole box
      "D11*\n"
      "X5Y5D03*\n"
      "%ADD012C,0.5*%\n"  // a definition makes its code current
      "X1Y1D03*\n");
  const double h = 0.12699999809265136;
  const std::vector<Box> expected = {
      {-h, 10.126999998092652, -h, h},
      {-h, 10.126999998092652, -h, 10.126999998092652},
      {4.238000011444091, 5.761999988555909, 4.619000005722046, 5.380999994277954},
      {0.75, 1.25, 0.75, 1.25},
  };
  EXPECT_EQ(plot.rectangles, expected);
  EXPECT_EQ(plot.extremes, (Box{0, 10, 0, 10}));
}

TEST(Reader, OperationsOnCoordinateLines) {
  const Plotted plot = read(
      "%MOMM*%\n%ADD010C,1*%\n"
      "X1Y1D02*\n"
      "X3Y1*\n"   // no operation code: the move is repeated
      "Y4D01*\n"  // from (3, 1); x stays 3
      "X7Y7D03*\n"
      "X8Y8D02*\n"
      "X20Y8D1*\n"  // a one-digit code is the same operation: a stroke from (8, 8)
      "X10Y8D01*\n"
      "G01X12Y8D01*\n");
  const std::vector<Box> expected = {
      {2.5, 3.5, 0.5, 4.5},  {6.5, 7.5, 6.5, 7.5},  {7.5, 20.5, 7.5, 8.5},
      {9.5, 20.5, 7.5, 8.5}, {9.5, 12.5, 7.5, 8.5},
  };
  EXPECT_EQ(plot.rectangles, expected);
  EXPECT_EQ(plot.extremes, (Box{1, 20, 1, 8}));
}

TEST(Reader, LinesThatAreIgnoredOrRead) {
  struct Row {
    const char* line;
    std::size_t rectangles;
    bool moves_extremes;
  };
  const Row rows[] = {
      {"X1", 0, false},  // shorter than three characters
      {"G01*", 0, false},        {"G01X1", 0, false},        {"G01*X1Y1D03*", 1, true},
      {"*X1Y1D03*", 1, true},    {"G04 X1Y1D03*", 0, false}, {"%INX1Y1D03*", 0, false},
      {"%LPX1Y1D03*", 0, false}, {" X1Y1D03*", 0, false},    {"G02X1Y1D01*", 1, true},
      {"X0Y0D02*", 0, false},    {"X00Y00D02*", 0, true},    {"X1Y1D03*   ", 1, true},
      {"G01X1Y1D03*", 1, true},
  };
  for (const Row& row : rows) {
    const Plotted plot = read(std::string("%MOMM*%\n%ADD010C,1*%\n") + row.line + "\n");
    EXPECT_EQ(plot.rectangles.size(), row.rectangles) << row.line;
    EXPECT_EQ(plot.extremes != kNoExtremes, row.moves_extremes) << row.line;
  }
}

TEST(Reader, EmptyFilesMovesAndTheEndStatement) {
  EXPECT_TRUE(read("").rectangles.empty());
  EXPECT_EQ(read("").extremes, kNoExtremes);
  EXPECT_EQ(read("G04 nothing here*\n").extremes, kNoExtremes);

  const Plotted moves = read("%MOMM*%\nX-3Y7D02*\nX4Y-2D02*\n");
  EXPECT_TRUE(moves.rectangles.empty());
  EXPECT_EQ(moves.extremes, (Box{-3, 4, -2, 7}));

  const Plotted ended = read("%MOMM*%\nX1Y1D03*\nM02*\nX2Y2D03*\nX*Y\n");
  EXPECT_EQ(ended.rectangles.size(), 1u);
  EXPECT_EQ(ended.extremes.max_x, 1.0);
  EXPECT_EQ(ended.records, 3u);
}

TEST(Reader, UndefinedAperturesHaveSizeZero) {
  // The starting code 0, then a code that was selected but never defined.
  const Plotted plot = read("%MOMM*%\nX5Y5D03*\nD77*\nX6Y5D01*\nX6Y6D03*\n");
  const std::vector<Box> expected = {{5, 5, 5, 5}, {5, 6, 5, 5}, {6, 6, 6, 6}};
  EXPECT_EQ(plot.rectangles, expected);
}

TEST(Reader, OperationCodesAreNeverApertures) {
  const Plotted plot = read(
      "%MOMM*%\n%ADD010C,1*%\n%ADD012C,2*%\n%ADD020C,4*%\n"
      "D10*\n"
      "G54D03*\n"  // selects nothing
      "X5Y5D02*\n"
      "D03*\n"   // flashes with aperture 10, not with an aperture 3
      "D012*\n"  // selects 12; not a stroke
      "X9Y5D03*\n"
      "D030*\n"  // selects 30; not a flash
      "D20*\n"
      "X9Y7D01*\n");
  const std::vector<Box> expected = {{4.5, 5.5, 4.5, 5.5}, {8, 10, 4, 6}, {7, 11, 3, 9}};
  EXPECT_EQ(plot.rectangles, expected);
}

TEST(Reader, MillimetreAndInchStatements) {
  // A format statement read in millimetres scales the inch factors as well.
  const Plotted plot = read(
      "%MOMM*%\n%FSLAX24Y24*%\n%ADD010C,0.5*%\nX12345Y12345D03*\n"
      "%MOIN*%\n%ADD011C,0.0100*%\nX12345Y12345D03*\n");
  const double mm = 1.2345001484573004;  // 12345 x p(4)
  const double in = 31.356303299890996;
  const double h = 0.12699999809265136;
  const std::vector<Box> expected = {{mm - 0.25, mm + 0.25, mm - 0.25, mm + 0.25},
                                     {in - h, in + h, in - h, in + h}};
  EXPECT_EQ(plot.rectangles, expected);
  EXPECT_EQ(plot.extremes, (Box{mm, in, mm, in}));
}

TEST(Reader, CarriageReturnsBelongToTheLineEnding) {
  const std::string lf = "%MOMM*%\n%ADD010C,1*%\nX1\nG01*  \nX2Y3D03*\nM02\n";
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const Plotted a = read(lf);
  const Plotted b = read(crlf);
  EXPECT_EQ(b.rectangles, a.rectangles);
  EXPECT_EQ(b.rectangles, (std::vector<Box>{{1.5, 2.5, 2.5, 3.5}}));
  EXPECT_EQ(b.records, a.records);
  const std::string message = message_of("%MOMM*%\r\nX1Y\r\n");
  EXPECT_EQ(message.rfind("bad.gbr:2: ", 0), 0u) << message;
  EXPECT_TRUE(message.ends_with("\"X1Y\"")) << message;
}

TEST(Reader, LongRecordsAreReadWhole) {
  const Plotted plot = read("%MOMM*%\n%ADD010C,1*%\nG04 " + std::string(200, 'c') + "*\nX" +
                            std::string(100, '0') + "5Y5D03*\n");
  EXPECT_EQ(plot.rectangles, (std::vector<Box>{{4.5, 5.5, 4.5, 5.5}}));
}

TEST(Reader, UnreadableFieldsNameFileLineAndText) {
  const char* bad_lines[] = {
      "X12",           "XABY1D03*",    "X1Y1.2.3D03*",  "X1Y*",           "%FSLAX2aY24*%",
      "%FSLAX24Y2?*%", "%ADDC,0.01*%", "%ADD010C,0.01", "%ADD010C,abc*%", "%ADD010R,*%",
      "D1X*",          "G54D*",        "D10",
  };
  for (const char* line : bad_lines) {
    const std::string message =
        message_of(std::string("G04 two good lines*\n%MOMM*%\n") + line + "\nX1Y1D03*\n");
    EXPECT_EQ(message.rfind("bad.gbr:3: ", 0), 0u) << line << ": " << message;
    EXPECT_NE(message.find(std::string("\"") + line + "\""), std::string::npos) << message;
  }
}

TEST(Reader, ApertureCodesMustFitAnInt) {
  // Beyond the int range a code would alias another aperture once kept.
  for (const char* line : {"%ADD2147483648C,0.01*%", "%ADD99999999999R,1X1*%", "D2147483648*",
                           "G54D4294967306*", "D-2147483649*"}) {
    const std::string message =
        message_of(std::string("G04 two good lines*\n%MOMM*%\n") + line + "\nX1Y1D03*\n");
    EXPECT_EQ(message.rfind("bad.gbr:3: the aperture code is out of range", 0), 0u)
        << line << ": " << message;
  }
  // The largest code still is one.
  const Plotted plot = read("%MOMM*%\n%ADD2147483647C,2*%\nD2147483647*\nX1Y1D03*\n");
  EXPECT_EQ(plot.rectangles, (std::vector<Box>{{0, 2, 0, 2}}));
}

TEST(ReaderFile, FilesThatCannotBeRead) {
  ScratchDir dir;
  for (const auto& path : {dir / "missing.gbr", dir.path()}) {
    try {
      plot_file(path);
      ADD_FAILURE() << "no error for " << path;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(path.string() + ": ", 0), 0u) << e.what();
    }
  }
}

// Large files are read in blocks: records that span blocks, or are longer
// than one, must come out exactly as in a small file.
TEST(ReaderFile, RecordsAcrossReadBlocks) {
  std::string text = "%MOMM*%\r\n%ADD010C,1*%\r\n";
  std::size_t lines = 2;
  for (int i = 0; i < 20; ++i) {
    text += "G04 " + std::string(i % 5 == 4 ? 1'500'000 : 123'457 * i, 'c') + "*\r\n";
    const std::string n = std::to_string(i);
    text.append("X").append(n).append("Y").append(n).append("D03*\r\n");
    lines += 2;
  }
  ScratchDir dir;
  write_file(dir / "big.gbr", text + "M02*\r\nX99Y99D03*\r\n");
  const Plotted plot = plot_file(dir / "big.gbr");
  ASSERT_EQ(plot.rectangles.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(plot.rectangles[i], (Box{i - 0.5, i + 0.5, i - 0.5, i + 0.5})) << i;
  }
  EXPECT_EQ(plot.records, lines + 1);

  // A fault far into the file is reported at its own line.
  write_file(dir / "bad.gbr", text + "X1Y1D03*\r\nXQ*\r\n");
  try {
    plot_file(dir / "bad.gbr");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    const std::string at = std::string(":").append(std::to_string(lines + 2)).append(": ");
    EXPECT_NE(std::string(e.what()).find(at), std::string::npos) << e.what();
  }
}

// The drawing the reader hands over: objects in file order with their
// apertures as defined, polarity, lines and placements, and nothing made of
// them yet.
TEST(Drawing, ObjectsKeepTheirAperturesPolarityAndLines) {
  const Drawing d = read_photoplot_text(
      "%MOMM*%\n"
      "%ADD10C,1.5X0.5*%\n"                    // 2: diameter and hole
      "%ADD11R,2X1*%\n"                        // 3: both sides
      "%ADD12P,3X6X30*%\n"                     // 4: diameter, vertices, rotation
      "%AMTWO*1,1,$1,0,0*21,0,2,1,0,0,45*%\n"  // 5: one exposed, one clear primitive
      "%ADD13TWO,0.8*%\n"                      // 6
      "%ADD14NOSUCH*%\n"                       // 7: never defined: drawn with size 0
      "D10*X1Y1D03*\n"                         // 8
      "D11*X5Y1D01*\n"                         // 9: a stroke from (1, 1)
      "%LPC*%\nD13*G75*G03X5Y3I0J1D01*\n"      // 10, 11: a clear arc around (5, 2)
      "%LPD*%\nG36*X0Y0D02*X2Y0D01*X2Y2D01*G37*\n",
      "d.gbr");
  ASSERT_EQ(d.apertures.size(), 5u);
  EXPECT_EQ(d.apertures[0].shape, Aperture::Shape::circle);
  EXPECT_EQ(d.apertures[0].sizes, (std::vector<double>{1.5, 0.5}));
  EXPECT_EQ(d.apertures[1].sizes, (std::vector<double>{2, 1}));
  EXPECT_EQ(d.apertures[2].shape, Aperture::Shape::polygon);
  EXPECT_EQ(d.apertures[2].sizes, (std::vector<double>{3, 6, 30}));
  const Aperture& macro = d.apertures[3];
  EXPECT_EQ(macro.macro_name, "TWO");
  EXPECT_EQ(macro.line, 6u);
  ASSERT_EQ(macro.primitives.size(), 2u);
  EXPECT_TRUE(macro.primitives[0].exposed);
  EXPECT_EQ(macro.primitives[0].modifiers, (std::vector<double>{1, 0.8, 0, 0}));
  EXPECT_FALSE(macro.primitives[1].exposed);
  EXPECT_EQ(macro.primitives[1].rotation, 45);
  EXPECT_FALSE(d.apertures[4].macro_defined);

  ASSERT_EQ(d.objects.size(), 4u);
  using Kind = DrawingObject::Kind;
  EXPECT_EQ(d.objects[0].kind, Kind::flash);
  EXPECT_EQ(d.objects[0].aperture, 0u);
  EXPECT_EQ(d.objects[0].line, 8u);
  EXPECT_EQ(d.objects[1].kind, Kind::stroke);
  EXPECT_EQ(d.objects[1].from, (Point{1, 1}));
  EXPECT_EQ(d.objects[1].to, (Point{5, 1}));
  EXPECT_EQ(d.objects[2].kind, Kind::arc);
  EXPECT_TRUE(d.objects[2].clear);
  EXPECT_EQ(d.objects[2].aperture, 3u);
  EXPECT_EQ(d.arcs[d.objects[2].detail].centre, (Point{5, 2}));
  EXPECT_FALSE(d.arcs[d.objects[2].detail].clockwise);
  EXPECT_EQ(d.objects[3].kind, Kind::region);
  EXPECT_FALSE(d.objects[3].clear);
  EXPECT_EQ(d.regions[d.objects[3].detail].point_count, 3u);
  EXPECT_EQ(d.counts.flashes + d.counts.strokes + d.counts.arcs + d.counts.regions, 4u);
  EXPECT_FALSE(d.frame.has_value());
  // "X0Y0D02*" parks the plotter: it neither moves nor counts.
  EXPECT_EQ(d.extremes, (Box{1, 5, 0, 3}));
}

TEST(Drawing, StepAndRepeatIsAPlacementAndTheOutlineABox) {
  const Drawing d = read_photoplot_text(
      "%MOMM*%\n%ADD10C,0.1*%\nD10*\n"
      "X0Y0D02*X10Y0D01*X10Y8D01*X0Y8D01*X0Y0D01*\n"  // 4: the frame
      "%SRX3Y2I2.5J3*%\n"                             // 5
      "X1Y1D03*X2Y1D03*\n"
      "%SR*%\n"  // 7
      "X5Y5D03*\n",
      "d.gbr");
  ASSERT_TRUE(d.frame.has_value());
  EXPECT_EQ(*d.frame, (Box{0, 10, 0, 8}));
  ASSERT_EQ(d.placements.size(), 1u);
  const Placement& p = d.placements[0];
  EXPECT_EQ(p.first_object, 4u);
  EXPECT_EQ(p.end_object, 6u);
  EXPECT_EQ(p.steps_x, 3);
  EXPECT_EQ(p.steps_y, 2);
  EXPECT_EQ(p.step_x, 2.5);
  EXPECT_EQ(p.step_y, 3);
  EXPECT_EQ(p.line, 5u);
  EXPECT_EQ(p.close_line, 7u);
  EXPECT_EQ(d.objects.size(), 7u);
  // The copies count among the extremes; the drawing makes no rectangles.
  EXPECT_EQ(d.extremes, (Box{0, 10, 0, 8}));
  const DrawingBoxes boxes = make_boxes(d);
  EXPECT_EQ(boxes.first_active, 4u);
  EXPECT_EQ(boxes.rectangles.size(), 4u + 2u * 6u + 1u);
  EXPECT_EQ(boxes.step_and_repeat_copies, 10u);
}

}  // namespace
}  // namespace foilcad
