// The image as a whole: negative images (plane layers), and the image
// transforms mirror, scale factor, offset, rotation and axis select.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "geometry/geometry.hpp"
#include "photoplot/reader.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

const fs::path kData = FOILCAD_TEST_DATA;
// Millimetres with no decimal digits: coordinates are whole millimetres.
const std::string kMm = "%FSLAX40Y40*%\n%MOMM*%\n";

Plotted read(const std::string& text) { return plot_text(text, "image.gbr"); }

Grid board_of(const std::string& text, ConversionReport* report_out = nullptr) {
  ConversionReport report;
  Grid board = grid_of(read(text), report);
  if (report_out != nullptr) *report_out = report;
  return board;
}

// Bit for bit, so that 0.0 and -0.0 count as different.
bool same_bits(const std::vector<Box>& a, const std::vector<Box>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Box)) == 0);
}

std::string message_of(const std::string& text) {
  try {
    read(text);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

// A 10 x 10 mm frame, a 2 x 2 clearance at its centre with a 1 x 1 island of
// copper in it (clear polarity in a negative image), and a 2 x 2 clearance
// centred on the frame's left edge.
const std::string kPlane =
    "%ADD10C,0*%\n%ADD11R,2X2*%\n%ADD12R,1X1*%\n"
    "D10*\nX0Y0D02*\nX10Y0D01*\nX10Y10D01*\nX0Y10D01*\nX0Y0D01*\n"
    "D11*\nX5Y5D03*\nX0Y5D03*\n%LPC*%\nD12*\nX5Y5D03*\n%LPD*%\n";

TEST(NegativeImage, DeclaredByImagePolarityOrFileAttribute) {
  const std::string pads = kMm + "%ADD10R,2X2*%\nD10*\nX0Y0D03*\nX5Y5D03*\n";
  struct Row {
    std::string header;
    bool negative;
  };
  const Row rows[] = {
      {"", false},
      {"%IPPOS*%\n", false},
      {"%IPNEG*%\n", true},
      {"%TF.FilePolarity,Negative*%\n", true},
      {"G04 #@! TF.FilePolarity,Negative*\n", true},
      {"%TF.FilePolarity,Positive*%\n", false},
      {"%TF.FileFunction,Copper,L2,Inr*%\n%TF.FilePolarity,Negative*%\n", true},
      // In a block with other words, and the last of one kind counts.
      {"%FSLAX40Y40*MOMM*IPNEG*%\n", true},
      {"%IPNEG*%\n%IPPOS*%\n", false},
      // A tool that writes both means a negative plane, whichever is "positive".
      {"%TF.FilePolarity,Negative*%\n%IPPOS*%\n", true},
  };
  const Plotted positive = read(pads);
  for (const Row& row : rows) {
    const Plotted plot = read(row.header + pads);
    EXPECT_EQ(plot.negative, row.negative) << row.header;
    // The drawing itself is read the same.
    EXPECT_TRUE(same_bits(plot.rectangles, positive.rectangles)) << row.header;
  }
}

TEST(NegativeImage, PlaneIsTheFrameLessWhatTheFileDraws) {
  ConversionReport report;
  const Grid board = board_of(kMm + "%IPNEG*%\n" + kPlane, &report);
  // The frame's lines and the objects' edges; the clearance across the left
  // edge widens the grid beyond the frame.
  EXPECT_EQ(board.lists.x, (std::vector<double>{-1, 0, 1, 4, 4.5, 5.5, 6, 10}));
  EXPECT_EQ(board.lists.y, (std::vector<double>{0, 4, 4.5, 5.5, 6, 10}));
  const std::vector<std::uint8_t> expected = {
      0, 1, 1, 1, 1, 1, 1,  // y 0 to 4
      0, 0, 1, 0, 0, 0, 1,  // y 4 to 4.5: both clearances
      0, 0, 1, 0, 1, 0, 1,  // the island
      0, 0, 1, 0, 0, 0, 1,  //
      0, 1, 1, 1, 1, 1, 1,  // y 6 to 10
  };
  EXPECT_EQ(board.map.flags, expected);
  EXPECT_TRUE(report.negative);
  EXPECT_EQ(report.copper_cells, board.map.copper_cells());
  EXPECT_EQ(sizes_of(report), measure_cells(board.map));
  // The objects' pieces, cut along the frame as well (the clearance across
  // the edge: 2 x 3, the other clearance 3 x 3, the island 1); the frame's
  // own 30 are not counted.
  EXPECT_EQ(report.pieces, 16u);
}

TEST(NegativeImage, PlaneWithoutClearancesIsTheWholeFrame) {
  const Grid board = board_of(kMm +
                              "%IPNEG*%\n%ADD10C,0*%\nD10*\n"
                              "X0Y0D02*\nX10Y0D01*\nX10Y10D01*\nX0Y10D01*\nX0Y0D01*\n");
  EXPECT_EQ(board.lists.x, (std::vector<double>{0, 10}));
  EXPECT_EQ(board.map.flags, (std::vector<std::uint8_t>{1}));
}

TEST(NegativeImage, WithoutOutlineTheObjectsExtentLessWhatTheyDraw) {
  // KiCad's way: the polarity in a comment attribute, no outline.
  const std::string kicad = read_file(kData / "image" / "kicad5-negative-plane.gbr");
  const std::string marker = "G04 #@! TF.FilePolarity,Negative*\n";
  const std::size_t at = kicad.find(marker);
  ASSERT_NE(at, std::string::npos);
  std::string positive = kicad;
  positive.erase(at, marker.size());
  std::string image_polarity = positive;
  image_polarity.insert(at, "%IPNEG*%\n");

  const Grid negative = board_of(kicad);
  const Grid drawn = board_of(positive);
  ASSERT_EQ(negative.lists, drawn.lists);
  ASSERT_EQ(negative.map.flags.size(), drawn.map.flags.size());
  for (std::size_t c = 0; c < drawn.map.flags.size(); ++c) {
    EXPECT_EQ(negative.map.flags[c], drawn.map.flags[c] ^ 1) << c;
  }
  EXPECT_GT(negative.map.copper_cells(), drawn.map.copper_cells());
  EXPECT_EQ(board_of(image_polarity).map, negative.map);
}

TEST(NegativeImage, PlaneLayerFileConvertsToThePlane) {
  // Rectangles around the clearances: the round one clears its square.
  const Plotted plot = plot_file(kData / "image" / "plane-ipneg.gbr");
  ASSERT_TRUE(plot.negative);
  ASSERT_TRUE(plot.has_frame);
  ConversionReport report;
  const Grid board = grid_of(plot, report);
  // Every cell outside the frame is insulator, every cell inside that no
  // rectangle of a clearance covers (the island's excepted) is copper.
  std::size_t inside = 0;
  for (std::size_t k = 0; k < board.map.rows; ++k) {
    for (std::size_t i = 0; i < board.map.columns; ++i) {
      const double cx = 0.5 * (board.lists.x[i] + board.lists.x[i + 1]);
      const double cy = 0.5 * (board.lists.y[k] + board.lists.y[k + 1]);
      const bool in_frame = cx > plot.frame.min_x && cx < plot.frame.max_x &&
                            cy > plot.frame.min_y && cy < plot.frame.max_y;
      bool cleared = false;
      for (std::size_t r = plot.first_active(); r < plot.rectangles.size(); ++r) {
        const Box& e = plot.rectangles[r];
        if (cx > e.min_x && cx < e.max_x && cy > e.min_y && cy < e.max_y) {
          bool clear = false;
          for (const auto& [first, second] : plot.clear_runs) clear |= r >= first && r < second;
          cleared = !clear;
        }
      }
      inside += in_frame;
      EXPECT_EQ(board.map.at(i, k), in_frame && !cleared ? 1 : 0) << i << ", " << k;
    }
  }
  EXPECT_GT(inside, 0u);

  // The input form's way, convert(), writes the same plane.
  ScratchDir dir;
  fs::copy_file(kData / "image" / "plane-ipneg.gbr", dir / "plane.gbr");
  const ConversionReport written = convert(make_conversion_parameters(dir / "plane.gbr", 0, 1));
  EXPECT_EQ(written.copper_cells, board.map.copper_cells());
  EXPECT_EQ(sizes_of(written), measure_cells(board.map));
  EXPECT_EQ(fs::file_size(dir / "plane_CND.stl"), written.bodies[0].size.bytes);
}

// A flash of a 2 x 1 mm rectangle at (10, 5).
Box flash_under(const std::string& header) {
  const Plotted plot = read(kMm + header + "%ADD10R,2X1*%\nD10*\nX10Y5D03*\n");
  EXPECT_EQ(plot.rectangles.size(), 1u) << header;
  return plot.rectangles.empty() ? Box{} : plot.rectangles[0];
}

TEST(ImageTransform, EachStepOnAFlashAndItsAperture) {
  struct Row {
    std::string header;
    Box expected;
  };
  const Row rows[] = {
      {"", {9, 11, 4.5, 5.5}},
      // Counterclockwise about the origin; the aperture turns with the image.
      {"%IR90*%\n", {-5.5, -4.5, 9, 11}},
      {"%IR180*%\n", {-11, -9, -5.5, -4.5}},
      {"%IR270*%\n", {4.5, 5.5, -11, -9}},
      // Mirror, scale and offset act on the coordinates, not on the aperture.
      {"%MIA1B0*%\n", {-11, -9, 4.5, 5.5}},
      {"%MIB1*%\n", {9, 11, -5.5, -4.5}},
      {"%SFA2B3*%\n", {19, 21, 14.5, 15.5}},
      {"%OFA1B-2*%\n", {10, 12, 2.5, 3.5}},
      // The first device axis takes the data's y, the aperture swaps sides.
      {"%ASAYBX*%\n", {4.5, 5.5, 9, 11}},
      // Always mirror, scale, offset, rotation, axis select, whatever the
      // order of the statements: (10, 5) -> (-10, 5) -> (-20, 5) -> (-19, 5)
      // -> (-5, -19) -> (-19, -5); the aperture turns twice.
      {"%ASAYBX*IR90*OFA1B0*SFA2B1*MIA1B0*%\n", {-20, -18, -5.5, -4.5}},
      {"%IR-90*%\n", {4.5, 5.5, -11, -9}},
  };
  for (const Row& row : rows) EXPECT_EQ(flash_under(row.header), row.expected) << row.header;
  // The offset is in the file's units.
  const Plotted inches = read("%FSLAX24Y24*%\n%MOIN*%\n%OFA0.5B0*%\n%ADD10C,0*%\nX0Y0D03*\n");
  EXPECT_EQ(inches.rectangles.at(0).min_x, 0.5 * kInchFactor);
}

TEST(ImageTransform, AsymmetricApertureTurnsButIsNotMirrored) {
  // A centre line 2 wide and 1 high, centred at (3, 0): it reaches from 2 to 4.
  const std::string macro = "%AMOFF*21,1,2,1,3,0,0*%\n%ADD10OFF*%\nD10*\nX0Y0D03*\n";
  EXPECT_EQ(read(kMm + macro).rectangles.at(0), (Box{2, 4, -0.5, 0.5}));
  EXPECT_EQ(read(kMm + "%MIA1B1*%\n" + macro).rectangles.at(0), (Box{2, 4, -0.5, 0.5}));
  EXPECT_EQ(read(kMm + "%IR90*%\n" + macro).rectangles.at(0), (Box{-0.5, 0.5, 2, 4}));
  EXPECT_EQ(read(kMm + "%ASAYBX*%\n" + macro).rectangles.at(0), (Box{-0.5, 0.5, 2, 4}));
}

TEST(ImageTransform, StrokesArcsAndRegionsAreTheImageOfWhatTheFileWrote) {
  // A mirrored counterclockwise arc is the clockwise arc between the mirrored
  // points: the quarter from (10, 0) to (0, 10) becomes the one from (-10, 0).
  const std::string arc = "%ADD10C,1*%\nD10*\nG75*\nX10Y0D02*\nG03X0Y10I-10J0D01*\n";
  const std::string mirrored_arc = "%ADD10C,1*%\nD10*\nG75*\nX-10Y0D02*\nG02X0Y10I10J0D01*\n";
  EXPECT_EQ(read(kMm + "%MIA1*%\n" + arc).rectangles, read(kMm + mirrored_arc).rectangles);
  EXPECT_EQ(read(kMm + "%MIA1*%\n" + arc).rectangles.at(0), (Box{-10.5, 0.5, -0.5, 10.5}));
  // A stroke and a region turned a quarter.
  const std::string shapes =
      "%ADD10R,2X1*%\nD10*\nX0Y0D02*\nX10Y0D01*\n"
      "G36*\nX20Y0D02*\nX30Y0D01*\nX30Y5D01*\nX20Y5D01*\nX20Y0D01*\nG37*\n";
  const std::string turned_by_hand =
      "%ADD10R,1X2*%\nD10*\nX0Y0D02*\nX0Y10D01*\n"
      "G36*\nX0Y20D02*\nX0Y30D01*\nX-5Y30D01*\nX-5Y20D01*\nX0Y20D01*\nG37*\n";
  const Plotted turned = read(kMm + "%IR90*%\n" + shapes);
  EXPECT_EQ(turned.rectangles, read(kMm + turned_by_hand).rectangles);
  EXPECT_EQ(turned.rectangles.at(0), (Box{-0.5, 0.5, -1, 11}));
  // ("X0Y0D02*" is skipped: the origin is not among the extremes.)
  EXPECT_EQ(turned.extremes, (Box{-5, -0.0, 10, 30}));
}

TEST(ImageTransform, StepAndRepeatDistancesTurnButAreNotMirroredOrScaled) {
  const std::string block = "%SRX2Y1I5J0*%\n%ADD10R,1X1*%\nD10*\nX1Y0D03*\n%SR*%\n";
  const Plotted mirrored = read(kMm + "%MIA1*%\n%SFA2*%\n" + block);
  ASSERT_EQ(mirrored.rectangles.size(), 2u);
  EXPECT_EQ(mirrored.rectangles[0], (Box{-2.5, -1.5, -0.5, 0.5}));
  EXPECT_EQ(mirrored.rectangles[1], (Box{2.5, 3.5, -0.5, 0.5}));
  EXPECT_EQ(mirrored.extremes, (Box{-2, 3, 0, 0}));
  const Plotted turned = read(kMm + "%IR90*%\n" + block);
  ASSERT_EQ(turned.rectangles.size(), 2u);
  EXPECT_EQ(turned.rectangles[1], (Box{-0.5, 0.5, 5.5, 6.5}));
  EXPECT_EQ(turned.extremes, (Box{-0.0, -0.0, 1, 6}));
}

TEST(ImageTransform, OutlineStaysAnOutlineAndANegativeFrameTurnsWithIt) {
  const Plotted plot = read(kMm + "%IPNEG*%\n%IR90*%\n%OFA0B1*%\n" + kPlane);
  ASSERT_TRUE(plot.has_frame);
  EXPECT_EQ(plot.frame, (Box{-11, -1, 0, 10}));
  ConversionReport report;
  const Grid board = grid_of(plot, report);
  // The plane turned: a quarter turn of the map above.
  const Grid upright = board_of(kMm + "%IPNEG*%\n" + kPlane);
  EXPECT_EQ(board.map.copper_cells(), upright.map.copper_cells());
  EXPECT_EQ(board.lists.y, (std::vector<double>{-1, 0, 1, 4, 4.5, 5.5, 6, 10}));
}

TEST(ImageTransform, PhotoplotterHeaderGivesTheBoardPlacedByHand) {
  // The same board: once with mirror, offset and rotation in the header, once
  // with every coordinate and aperture placed by hand. The two differ only by
  // how the offset's inches were rounded.
  const Plotted transformed = plot_file(kData / "image" / "bottom-transformed.gbr");
  const Plotted placed = plot_file(kData / "image" / "bottom-placed.gbr");
  EXPECT_TRUE(transformed.has_frame);
  EXPECT_TRUE(placed.has_frame);
  ASSERT_EQ(transformed.rectangles.size(), placed.rectangles.size());
  const auto near = [](double a, double b) { return std::fabs(a - b) < 1e-6; };
  for (std::size_t r = 0; r < placed.rectangles.size(); ++r) {
    const Box& a = transformed.rectangles[r];
    const Box& b = placed.rectangles[r];
    EXPECT_TRUE(near(a.min_x, b.min_x) && near(a.max_x, b.max_x) && near(a.min_y, b.min_y) &&
                near(a.max_y, b.max_y))
        << "rectangle " << r;
  }
  ConversionReport a;
  ConversionReport b;
  const Grid board_a = grid_of(transformed, a);
  const Grid board_b = grid_of(placed, b);
  EXPECT_EQ(board_a.map, board_b.map);
}

TEST(ImageTransform, IdentityValuesChangeNoBit) {
  const std::string identities[] = {
      "%IPPOS*%\n%ASAXBY*%\n%MIA0B0*%\n%OFA0B0*%\n%SFA1.0B1.0*%\n%IR0*%\n",
      "%ASAXBY*MIA0B0*OFA-0.0B0*SFA1B1*IR0*IR360*%\n%TF.FilePolarity,Positive*%\n",
      "G04 #@! TF.FilePolarity,Positive*\n%MI*%\n%OF*%\n%SF*%\n",
  };
  std::vector<fs::path> files = {kData / "pad.gbr", kData / "track_pad.gbr",
                                 fs::path(FOILCAD_EXAMPLES) / "board.gbr"};
  for (const auto& entry : fs::directory_iterator(kData / "excerpts"))
    files.push_back(entry.path());
  for (const fs::path& file : files) {
    const std::string text = read_file(file);
    const Plotted plain = plot_text(text, file);
    for (const std::string& header : identities) {
      const Plotted with = plot_text(header + text, file);
      EXPECT_TRUE(same_bits(with.rectangles, plain.rectangles)) << file << "\n" << header;
      EXPECT_EQ(std::memcmp(&with.extremes, &plain.extremes, sizeof plain.extremes), 0) << file;
      EXPECT_FALSE(with.negative);
    }
  }
  // And whole solids, byte for byte, with the identities after the units.
  for (const std::string board : {"pad", "track_pad"}) {
    ScratchDir dir;
    std::string text = read_file(kData / (board + ".gbr"));
    const std::size_t units = text.find("%MO");
    const std::size_t line_end = text.find('\n', units) + 1;
    const std::string eol = text[line_end - 2] == '\r' ? "\r\n" : "\n";
    text.insert(line_end, "%IPPOS*%" + eol + "%ASAXBY*MIA0B0*OFA0B0*SFA1B1*IR0*%" + eol);
    write_file(dir / (board + ".gbr"), text);
    convert(make_conversion_parameters(dir / (board + ".gbr"), board == "pad" ? 0.0 : -0.2, 1.6));
    for (const char* suffix : {"_CND.stl", "_INS.stl"}) {
      EXPECT_TRUE(read_file(dir / (board + suffix)) ==
                  read_file(kData / "expected" / (board + suffix)))
          << board << suffix << " differs";
    }
  }
}

TEST(ImageTransform, UnreadableOrUnplaceableParametersStopAtTheirLine) {
  struct Row {
    std::string text;
    std::string said;
  };
  const Row rows[] = {
      {"%IR45*%\n", "image.gbr:3: the image rotation is not 0, 90, 180 or 270 degrees"},
      {"%IR*%\n", "image.gbr:3: cannot read the image rotation"},
      {"%MIA2*%\n", "image.gbr:3: cannot read the mirror image statement"},
      {"%MIC1*%\n", "image.gbr:3: cannot read the image parameter"},
      {"%SFA0*%\n", "image.gbr:3: the scale factor is out of range"},
      {"%SFB-1*%\n", "image.gbr:3: the scale factor is out of range"},
      {"%SFAx*%\n", "image.gbr:3: cannot read the scale factor as a number"},
      {"%OFA1e999*%\n", "image.gbr:3: the image offset is out of range"},
      {"%ASAXAY*%\n", "image.gbr:3: cannot read the axis select statement"},
      // Coordinates the transform carries beyond the range of numbers.
      {"%SFA1e300*%\nX1e10Y0D02*\n", "image.gbr:4: the X coordinate is out of range"},
      {"%OFB1e308*%\n%IR90*%\nX0Y1e308D02*\n", "image.gbr:5: the Y coordinate is out of range"},
      {"%SFA1e300*%\n%ADD10C,1*%\nG75*\nG36*\nX0Y0D02*\nG03X0Y0I1e300J0D01*\nG37*\n",
       "the region reaches beyond the range of numbers"},
  };
  for (const Row& row : rows) {
    const std::string said = message_of(kMm + row.text);
    EXPECT_TRUE(test_support::contains(said, row.said)) << row.text << said;
  }
}

}  // namespace
}  // namespace foilcad
