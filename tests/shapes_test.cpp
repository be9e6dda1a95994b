// Shapes as the file means them, within the rectangle model: both sides of
// rectangular apertures, macro apertures, filled regions, arcs, step and
// repeat, clear polarity, and where the grid ends without a board outline.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error.hpp"
#include "geometry/geometry.hpp"
#include "photoplot/reader.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

// Millimetres with no decimal digits: coordinates are whole millimetres.
const std::string kMm = "%FSLAX40Y40*%\n%MOMM*%\n";

Plotted read(const std::string& text) { return plot_text(text, "shapes.gbr"); }

Box only_rectangle(const std::string& text) {
  const Plotted plot = read(text);
  EXPECT_EQ(plot.rectangles.size(), 1u) << text;
  return plot.rectangles.empty() ? Box{} : plot.rectangles[0];
}

TEST(Shapes, RectangularAperturesKeepBothSides) {
  EXPECT_EQ(only_rectangle(kMm + "%ADD10R,1.5X0.5*%\nD10*\nX10Y20D03*\n"),
            (Box{9.25, 10.75, 19.75, 20.25}));
  EXPECT_EQ(only_rectangle(kMm + "%ADD10O,1.5X0.5*%\nD10*\nX0Y0D02*\nX10Y0D01*\n"),
            (Box{-0.75, 10.75, -0.25, 0.25}));
  // A polygon takes its outer diameter on both sides.
  EXPECT_EQ(only_rectangle(kMm + "%ADD10P,2X6X30*%\nD10*\nX5Y5D03*\n"), (Box{4, 6, 4, 6}));
  // Square and round apertures place their edges exactly as one size does.
  const std::string inch = "%FSLAX24Y24*%\n";
  EXPECT_EQ(read(inch + "%ADD011R,0.0600X0.0600*%\nX12345Y2345D03*\nX0Y0D01*\n").rectangles,
            read(inch + "%ADD011C,0.0600*%\nX12345Y2345D03*\nX0Y0D01*\n").rectangles);
}

TEST(Shapes, MacroAperturesUseTheBoxOfTheirPrimitives) {
  // A 2 x 1 centre line whose centre sits 0.5 right of the origin.
  const std::string macro = "%AMBOX*21,1,$1,$2,$3,$4,0*%\n%ADD12BOX,2X1X0.5X0*%\n";
  EXPECT_EQ(only_rectangle(kMm + macro + "D12*\nX10Y10D03*\n"), (Box{9.5, 11.5, 9.5, 10.5}));
  EXPECT_EQ(only_rectangle(kMm + macro + "D12*\nX0Y0D02*\nX0Y10D01*\n"),
            (Box{-0.5, 1.5, -0.5, 10.5}));
}

double area(const std::vector<Box>& rs) {
  double sum = 0;
  for (const Box& r : rs) sum += (r.max_x - r.min_x) * (r.max_y - r.min_y);
  return sum;
}

bool covered(const std::vector<Box>& rs, double x, double y) {
  for (const Box& r : rs) {
    if (r.min_x <= x && x <= r.max_x && r.min_y <= y && y <= r.max_y) return true;
  }
  return false;
}

TEST(Shapes, RegionsAreFilled) {
  // An axis-parallel contour is one exact rectangle, whatever the aperture.
  EXPECT_EQ(
      only_rectangle(kMm + "%ADD10C,1*%\nD10*\nG36*X0Y0D02*X4Y0D01*X4Y2D01*X0Y2D01*X0Y0D01*G37*\n"),
      (Box{0, 4, 0, 2}));
  // A pour with a clearance cut in the way layout tools write it keeps the hole.
  const Plotted pour = read(kMm +
                            "G36*X0Y0D02*X10Y0D01*X10Y10D01*X0Y10D01*X0Y5D01*X4Y5D01*"
                            "X4Y6D01*X6Y6D01*X6Y4D01*X4Y4D01*X4Y5D01*X0Y5D01*X0Y0D01*G37*\n");
  EXPECT_DOUBLE_EQ(area(pour.rectangles), 96.0);
  EXPECT_FALSE(covered(pour.rectangles, 5, 5));
  EXPECT_TRUE(covered(pour.rectangles, 2, 5));
  // A slanted edge is covered by slabs no taller than 0.1 mm: nothing of the
  // triangle is lost.
  const Plotted triangle = read(kMm + "G36*X0Y0D02*X10Y0D01*X0Y10D01*X0Y0D01*G37*\n");
  EXPECT_GE(area(triangle.rectangles), 50.0);
  EXPECT_LE(area(triangle.rectangles), 50.0 + 10 * 0.1 + 1e-9);
  for (const double y : {0.05, 3.33, 9.9}) EXPECT_TRUE(covered(triangle.rectangles, 9.99 - y, y));
}

TEST(Shapes, ArcsCoverTheBoxOfTheArc) {
  const std::string zero = kMm + "%ADD10C,0*%\nD10*\nG75*\nX10Y0D02*\n";
  struct Case {
    const char* arc;
    Box box;
  };
  const Case cases[] = {
      {"G03X0Y10I-10J0D01*", {0, 10, 0, 10}},      // a quarter, counter-clockwise
      {"G02X0Y10I-10J0D01*", {-10, 10, -10, 10}},  // the other three quarters
      {"G03X-10Y0I-10J0D01*", {-10, 10, 0, 10}},   // a half through the top
      {"G03X10Y0I-10J0D01*", {-10, 10, -10, 10}},  // a full circle
  };
  for (const Case& c : cases) EXPECT_EQ(only_rectangle(zero + c.arc + "\n"), c.box) << c.arc;
  // Single quadrant: the offsets carry no sign; the arc turns at most 90 degrees.
  EXPECT_EQ(only_rectangle(kMm + "%ADD10C,0*%\nD10*\nG74*\nX0Y10D02*\nG02X10Y0I0J10D01*\n"),
            (Box{0, 10, 0, 10}));
  // The aperture grows the box as it grows a straight stroke.
  EXPECT_EQ(only_rectangle(kMm + "%ADD10C,2*%\nD10*\nG75*\nX10Y0D02*\nG03X0Y10I-10J0D01*\n"),
            (Box{-1, 11, -1, 11}));
}

TEST(Shapes, StepAndRepeatPlacesTheBlockAtEveryStep) {
  const Plotted plot =
      read(kMm + "%ADD10C,1*%\nD10*\n%SRX3Y2I5J4*%\nX0Y0D03*\n%SR*%\nX20Y20D03*\n");
  ASSERT_EQ(plot.rectangles.size(), 7u);
  const double centres[][2] = {{0, 0}, {5, 0}, {10, 0}, {0, 4}, {5, 4}, {10, 4}, {20, 20}};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(plot.rectangles[i].min_x, centres[i][0] - 0.5) << i;
    EXPECT_EQ(plot.rectangles[i].min_y, centres[i][1] - 0.5) << i;
  }
  EXPECT_EQ(plot.extremes, (Box{0, 20, 0, 20}));
  // A block left open at the end of the file is placed all the same.
  EXPECT_EQ(read(kMm + "%ADD10C,1*%\n%SRX2Y1I5J0*%\nX0Y0D03*\n").rectangles.size(), 2u);
}

// The message of the foilcad::Error reading text throws, or "" when it reads.
std::string refusal(const std::string& text, const BoxLimits& limits) {
  try {
    plot_text(text, "shapes.gbr", limits);
  } catch (const Error& e) {
    return e.what();
  }
  return {};
}

TEST(ReadLimits, RectanglesOfTheWholeFileAreCounted) {
  BoxLimits limits;
  limits.rectangles = 6;
  const std::string flashes = "X0Y0D03*X1Y0D03*X2Y0D03*X3Y0D03*X4Y0D03*X5Y0D03*";
  EXPECT_EQ(refusal(kMm + "%ADD10C,1*%\n" + flashes + "\n", limits), "");
  const std::string too_many =
      "shapes.gbr:4: the photoplot makes more than 6 rectangles (step and repeat copies and "
      "region rows included): too many for any grid: ";
  EXPECT_EQ(refusal(kMm + "%ADD10C,1*%\n" + flashes + "X6Y0D03*\n", limits),
            too_many + "\"" + flashes + "X6Y0D03*\"");
  // Step and repeat copies are counted before they are made, and the refusal
  // names the line that opened the block, also when the file ends it.
  for (const std::string close : {"%SR*%\n", ""}) {
    EXPECT_EQ(refusal(kMm + "%ADD10C,1*%\n%SRX7Y1I5J0*%\nX0Y0D03*\n" + close, limits),
              too_many + "\"%SRX7Y1I5J0*%\"");
  }
  EXPECT_EQ(refusal(kMm + "%ADD10C,1*%\n%SRX3Y2I5J0*%\nX0Y0D03*\n%SR*%\n", limits), "");
  // Region rows: a triangle 100 mm tall is cut into 1,000 rows of 0.1 mm.
  const std::string triangle = "G36*\nX0Y0D02*\nX100Y0D01*\nX0Y100D01*\nX0Y0D01*\nG37*\n";
  limits.rectangles = 1000;
  EXPECT_EQ(refusal(kMm + triangle, limits), "");
  EXPECT_EQ(refusal(kMm + "%ADD10C,1*%\nX0Y0D03*\n" + triangle, limits),
            "shapes.gbr:10: the photoplot makes more than 1000 rectangles (step and repeat copies "
            "and region rows included): too many for any grid: \"G37*\"");
}

TEST(ReadLimits, RegionWorkIsBudgetedOverTheWholeFile) {
  // Two edges cross each of the triangle's 1,000 rows.
  const std::string triangle = "G36*\nX0Y0D02*\nX100Y0D01*\nX0Y100D01*\nX0Y0D01*\nG37*\n";
  BoxLimits limits;
  limits.region_edge_visits = 3000;
  EXPECT_EQ(refusal(kMm + triangle, limits), "");
  EXPECT_EQ(refusal(kMm + triangle + triangle, limits),
            "shapes.gbr:14: the regions of the photoplot are too complex to cover: their sweep "
            "would visit more than 3000 edges: \"G37*\"");
  // Fewer rows allowed make coarser rows, not a refusal.
  limits.region_rows = 100;
  const Plotted coarse = plot_text(kMm + triangle + triangle, "shapes.gbr", limits);
  EXPECT_EQ(coarse.rectangles.size(), 200u);
}

TEST(Shapes, ClearPolarityMarksWhatItRemoves) {
  const Plotted plot =
      read(kMm + "%ADD10C,1*%\nX1Y1D03*\n%LPC*%\nX2Y2D03*\nX3Y3D03*\n%LPD*%\nX4Y4D03*\n%LPC*%\n");
  EXPECT_EQ(plot.clear_runs, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}}));
  EXPECT_TRUE(read(kMm + "%ADD10C,1*%\nX1Y1D03*\n").clear_runs.empty());
}

TEST(Shapes, BoardOutlineOnlyWhenTheFirstStrokesCloseAFrame) {
  const std::string frame = "%ADD10C,0.01*%\nX0Y0D02*\nX10Y0D01*\nX10Y5D01*\nX0Y5D01*\nX0Y0D01*\n";
  const Plotted framed = read(kMm + frame + "X3Y3D03*\n");
  EXPECT_TRUE(framed.has_frame);
  EXPECT_EQ(framed.first_active(), 4u);
  // Pads first: every rectangle is copper and the grid ends at their edges.
  const Plotted pads = read(kMm + "%ADD10C,2*%\nX0Y0D03*\nX10Y4D03*\n");
  EXPECT_FALSE(pads.has_frame);
  EXPECT_EQ(pads.first_active(), 0u);
  const CoordinateLists lists = build_coordinate_lists(split_rectangles(pads.rectangles, 0));
  EXPECT_EQ(lists.x, (std::vector<double>{-1, 1, 9, 11}));
  EXPECT_EQ(lists.y, (std::vector<double>{-1, 1, 3, 5}));
  // Four strokes that do not close, or that are not axis-parallel, are copper.
  EXPECT_FALSE(
      read(kMm + "%ADD10C,0.01*%\nX0Y0D02*\nX10Y0D01*\nX10Y5D01*\nX0Y5D01*\nX0Y1D01*\n").has_frame);
  EXPECT_FALSE(
      read(kMm + "%ADD10C,0.01*%\nX0Y0D02*\nX10Y1D01*\nX10Y5D01*\nX0Y5D01*\nX0Y0D01*\n").has_frame);
}

TEST(Shapes, ClearPolarityRemovesCopperAndLaterDarkAddsItAgain) {
  // A dark 10 x 10 square, a clear 2 x 2 window in it, a dark 1 x 1 pad in
  // the window: lines at 0, 4, 4.5, 5.5, 6, 10 on both axes.
  const Plotted plot = read(kMm +
                            "%ADD10R,10X10*%\n%ADD11R,2X2*%\n%ADD12R,1X1*%\n"
                            "D10*\nX5Y5D03*\n%LPC*%\nD11*\nX5Y5D03*\n%LPD*%\nD12*\nX5Y5D03*\n");
  const SplitGroups board = split_rectangles(plot.rectangles, plot.first_active());
  PolarityRuns runs(plot.clear_runs.begin(), plot.clear_runs.end());
  const CoordinateLists lists = build_coordinate_lists(board);
  ASSERT_EQ(lists.x, (std::vector<double>{0, 4, 4.5, 5.5, 6, 10}));
  const CellMap map = build_cell_map(board, lists, runs);
  const std::vector<std::uint8_t> expected = {
      1, 1, 1, 1, 1,  //
      1, 0, 0, 0, 1,  //
      1, 0, 1, 0, 1,  //
      1, 0, 0, 0, 1,  //
      1, 1, 1, 1, 1,
  };
  EXPECT_EQ(map.flags, expected);
  // Without the clear runs every cell is copper.
  EXPECT_EQ(build_cell_map(board, lists).copper_cells(), 25u);
}

}  // namespace
}  // namespace foilcad
