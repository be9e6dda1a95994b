#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "exact/booleans.hpp"
#include "exact/orientation.hpp"
#include "exact/outlines.hpp"
#include "exact/shapes.hpp"
#include "geometry/boxes.hpp"
#include "photoplot/reader.hpp"

namespace foilcad::exact {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTolerance = 0.001;

const std::string kHeader = "%FSLAX46Y46*%\n%MOMM*%\n";

ExactOptions options(Box extent = {0.0, 20.0, 0.0, 20.0}) {
  ExactOptions o;
  o.tolerance = kTolerance;
  o.extent = extent;
  return o;
}

CopperShape trace(const std::string& body, const ExactOptions& o = options()) {
  const Drawing d = read_photoplot_text(kHeader + body + "M02*\n", "test.gbr");
  return trace_copper(d, o);
}

double area(const ClipperLib::Paths& paths) {
  double a = 0.0;
  for (const ClipperLib::Path& p : paths) a += ClipperLib::Area(p);
  return a / (kUnitsPerMm * kUnitsPerMm);
}

// Whether a point (mm) lies in the copper: inside an outer contour and not in
// one of its holes.
bool copper_at(const ClipperLib::Paths& paths, double x, double y) {
  const ClipperLib::IntPoint p{std::llround(x * kUnitsPerMm), std::llround(y * kUnitsPerMm)};
  int winding = 0;
  for (const ClipperLib::Path& path : paths) {
    if (ClipperLib::PointInPolygon(p, path) != 0) winding += ClipperLib::Orientation(path) ? 1 : -1;
  }
  return winding > 0;
}

// Every path of a result is a proper contour: outer ones counterclockwise,
// none without area, and the union of the paths is what they are already.
void expect_clean(const ClipperLib::Paths& paths) {
  for (const ClipperLib::Path& p : paths) {
    EXPECT_GE(p.size(), 3u);
    EXPECT_GT(std::abs(ClipperLib::Area(p)), 1.0);
  }
  ClipperLib::Paths simple;
  ClipperLib::SimplifyPolygons(paths, simple, ClipperLib::pftNonZero);
  EXPECT_NEAR(area(simple), area(paths), 1e-9);
}

// The copper's area within the band the tolerance allows around an outline
// of this length.
void expect_area(const ClipperLib::Paths& paths, double expected, double perimeter) {
  EXPECT_NEAR(area(paths), expected, perimeter * kTolerance) << "expected " << expected;
  expect_clean(paths);
}

// "X...Y..." in the format of kHeader.
std::string at(double x, double y) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "X" + string.
  std::string text = "X";
  text += std::to_string(std::llround(x * 1e6));
  text += 'Y';
  text += std::to_string(std::llround(y * 1e6));
  return text;
}

TEST(ExactOutlines, RoundPadAndTrackAreas) {
  // A round pad: the circle's area, not its square's.
  CopperShape s = trace("%ADD10C,1.0*%\nD10*\n" + at(5, 5) + "D03*\n");
  expect_area(s.copper, kPi * 0.25, kPi);
  EXPECT_TRUE(copper_at(s.copper, 5.49, 5.0));
  EXPECT_FALSE(copper_at(s.copper, 5.4, 5.4));  // inside the square, outside the circle
  // The area also stays put with a coarser tolerance: the polygon keeps the
  // circle's area.
  ExactOptions coarse = options();
  coarse.tolerance = 0.05;
  EXPECT_NEAR(area(trace("%ADD10C,1.0*%\nD10*\n" + at(5, 5) + "D03*\n", coarse).copper), kPi * 0.25,
              1e-3);

  // A diagonal track with round ends covers its length times its width and
  // one circle, not the box between its ends.
  s = trace("%ADD11C,0.2*%\nD11*\n" + at(1, 1) + "D02*\n" + at(4, 5) + "D01*\n");
  expect_area(s.copper, 5.0 * 0.2 + kPi * 0.01, 10.0 + 2 * kPi * 0.1);
  EXPECT_TRUE(copper_at(s.copper, 2.5, 3.0));
  EXPECT_FALSE(copper_at(s.copper, 3.9, 1.1));

  // A rectangle swept diagonally: the rectangle plus the parallelograms its
  // sides sweep, exactly.
  s = trace("%ADD12R,0.4X0.2*%\nD12*\n" + at(1, 1) + "D02*\n" + at(4, 5) + "D01*\n");
  // (Within the rounding of the corners to units.)
  EXPECT_NEAR(area(s.copper), 0.4 * 0.2 + 3 * 0.2 + 4 * 0.4, 1e-4);
  expect_clean(s.copper);
  ASSERT_EQ(s.copper.size(), 1u);
  EXPECT_EQ(s.copper[0].size(), 6u);  // a hexagon
}

TEST(ExactOutlines, StandardFlashesWithHoles) {
  // Obround 2 x 1: a rectangle and a circle; polygon of 6 vertices on a
  // circle of 2; a circle with a hole; a rectangle with a hole.
  CopperShape s = trace("%ADD10O,2X1*%\nD10*\n" + at(3, 3) + "D03*\n");
  expect_area(s.copper, 1.0 + kPi * 0.25, 2 + kPi);
  s = trace("%ADD10P,2X6X0*%\nD10*\n" + at(3, 3) + "D03*\n");
  EXPECT_NEAR(area(s.copper), 1.5 * std::sqrt(3.0), 1e-4);
  EXPECT_TRUE(copper_at(s.copper, 3.99, 3.0));  // a vertex on the x axis
  s = trace("%ADD10C,2X1*%\nD10*\n" + at(3, 3) + "D03*\n");
  expect_area(s.copper, kPi * (1 - 0.25), 3 * kPi);
  EXPECT_FALSE(copper_at(s.copper, 3, 3));
  s = trace("%ADD10R,3X2X1*%\nD10*\n" + at(3, 3) + "D03*\n");
  expect_area(s.copper, 6 - kPi * 0.25, kPi);
  // A stroke ignores the hole; an aperture of size zero draws nothing.
  s = trace("%ADD10C,1X0.5*%\nD10*\n" + at(3, 3) + "D02*\n" + at(6, 3) + "D01*\n");
  expect_area(s.copper, 3 + kPi * 0.25, 6 + kPi);
  s = trace("%ADD10C,0*%\nD10*\n" + at(3, 3) + "D03*\n");
  EXPECT_TRUE(s.copper.empty());
}

TEST(ExactOutlines, ArcsAreBands) {
  // A quarter circle of radius 5 drawn 0.2 wide (G75, counterclockwise): the
  // sector of the annulus and the round ends.
  CopperShape s = trace("%ADD10C,0.2*%\nD10*\nG75*\n" + at(15, 10) + "D02*\nG03*\n" + at(10, 15) +
                        "I-5000000J0D01*\n");
  expect_area(s.copper, kPi / 2 * 5 * 0.2 + kPi * 0.01, 2 * kPi / 2 * 5 + 2 * kPi * 0.1);
  EXPECT_TRUE(copper_at(s.copper, 10 + 5 * std::cos(0.7), 10 + 5 * std::sin(0.7)));
  EXPECT_FALSE(copper_at(s.copper, 10 + 5 * std::cos(-0.3), 10 + 5 * std::sin(-0.3)));
  // The same arc clockwise is the other three quarters.
  s = trace("%ADD10C,0.2*%\nD10*\nG75*\n" + at(15, 10) + "D02*\nG02*\n" + at(10, 15) +
            "I-5000000J0D01*\n");
  expect_area(s.copper, 3 * kPi / 2 * 5 * 0.2 + kPi * 0.01, 6 * kPi / 2 * 5 + 2 * kPi * 0.1);
  // A square along a half circle, not turning with it: on average 4 / pi
  // times its side wide, and half a square beyond each end.
  s = trace("%ADD10R,0.2X0.2*%\nD10*\nG75*\n" + at(15, 10) + "D02*\nG03*\n" + at(5, 10) +
            "I-5000000J0D01*\n");
  EXPECT_NEAR(area(s.copper), kPi * 5 * 0.2 * 4 / kPi + 0.04, 0.005);
  expect_clean(s.copper);
}

TEST(ExactOutlines, ThermalMacroAndExposureOff) {
  // A thermal turned by 45 degrees: a ring less four gaps, now on the
  // diagonals.
  CopperShape s = trace("%AMTH*7,0,0,2.0,1.2,0.3,45*%\n%ADD10TH*%\nD10*\n" + at(5, 5) + "D03*\n");
  const double g = 0.15;
  auto strip = [&](double r) { return g * std::sqrt(r * r - g * g) + r * r * std::asin(g / r); };
  const double ring = kPi * (1.0 - 0.36);
  expect_area(s.copper, ring - 4 * (strip(1.0) - strip(0.6)), 20.0);
  EXPECT_EQ(s.copper.size(), 4u);
  EXPECT_TRUE(copper_at(s.copper, 5.8, 5.0));
  EXPECT_FALSE(copper_at(s.copper, 5 + 0.8 * std::sqrt(0.5), 5 + 0.8 * std::sqrt(0.5)));

  // Exposure off removes what the macro drew before it, not what came after.
  s = trace("%AMRING*1,1,2,0,0*1,0,1,0,0*21,1,0.2,0.2,0,0*%\n%ADD10RING*%\nD10*\n" + at(5, 5) +
            "D03*\n");
  expect_area(s.copper, kPi * 0.75 + 0.04, 3 * kPi + 1);
  EXPECT_TRUE(copper_at(s.copper, 5.0, 5.0));
  EXPECT_FALSE(copper_at(s.copper, 5.3, 5.0));
  // An exposure-off primitive of a macro leaves the copper under the flash.
  s = trace("%AMHOLE*1,1,2,0,0*1,0,1,0,0*%\n%ADD10HOLE*%\n%ADD11R,4X4*%\nD11*\n" + at(5, 5) +
            "D03*\nD10*\n" + at(5, 5) + "D03*\n");
  expect_area(s.copper, 16.0, 0.0);
}

TEST(ExactOutlines, LongOutlineMacroIsDrawnWhole) {
  // A comb of 60 teeth as one outline primitive of 246 points, wrapped over
  // lines as layout tools write it (far more modifiers than some viewers
  // keep), and the same comb as a region: the same copper, every tooth.
  std::vector<std::pair<double, double>> comb{{0, 0}, {15, 0}, {15, 1}};
  for (int k = 59; k >= 0; --k) {
    const double x = 0.25 * k;
    comb.insert(comb.end(), {{x + 0.25, 1}, {x + 0.25, 3}, {x + 0.125, 3}, {x + 0.125, 1}});
  }
  comb.insert(comb.end(), {{0, 1}, {0, 0}});
  std::string macro = "%AMCOMB*\n4,1," + std::to_string(comb.size() - 1) + ",";
  std::string region = "G36*\n";
  for (std::size_t i = 0; i < comb.size(); ++i) {
    macro += std::to_string(comb[i].first) + "," + std::to_string(comb[i].second) + ",\n";
    region += at(2 + comb[i].first, 2 + comb[i].second) + (i == 0 ? "D02*\n" : "D01*\n");
  }
  const double expected = 15.0 + 60 * 0.125 * 2;
  CopperShape s = trace(macro + "0*%\n%ADD10COMB*%\nD10*\n" + at(2, 2) + "D03*\n");
  EXPECT_NEAR(area(s.copper), expected, 1e-9);
  expect_clean(s.copper);
  EXPECT_TRUE(copper_at(s.copper, 2.2, 4.9));   // the first tooth
  EXPECT_TRUE(copper_at(s.copper, 16.9, 4.9));  // the last
  EXPECT_FALSE(copper_at(s.copper, 2.05, 4.0));
  const CopperShape r = trace(region + "G37*\n");
  EXPECT_NEAR(area(r.copper), expected, 1e-9);

  // Turned a quarter by the macro's rotation: the teeth point to -x.
  s = trace(macro + "90*%\n%ADD10COMB*%\nD10*\n" + at(5, 2) + "D03*\n");
  EXPECT_NEAR(area(s.copper), expected, 1e-9);
  EXPECT_TRUE(copper_at(s.copper, 2.1, 2.2));
  EXPECT_TRUE(copper_at(s.copper, 2.1, 16.9));
  EXPECT_FALSE(copper_at(s.copper, 2.1, 2.3));
}

TEST(ExactOutlines, PolarityInOrder) {
  // A pour, a slot cleared across it, a dark pad in the slot.
  CopperShape s =
      trace("%ADD10C,1*%\n%ADD11C,0.5*%\nG36*\n" + at(0, 0) + "D02*\n" + at(10, 0) + "D01*\n" +
            at(10, 10) + "D01*\n" + at(0, 10) + "D01*\n" + at(0, 0) + "D01*\nG37*\n%LPC*%\nD10*\n" +
            at(2, 5) + "D02*\n" + at(8, 5) + "D01*\n%LPD*%\nD11*\n" + at(5, 5) + "D03*\n");
  expect_area(s.copper, 100 - (6 + kPi * 0.25) + kPi / 16, 40 + 12 + 2 * kPi);
  EXPECT_TRUE(copper_at(s.copper, 5.0, 5.0));
  EXPECT_FALSE(copper_at(s.copper, 4.0, 5.0));
  EXPECT_TRUE(copper_at(s.copper, 4.0, 6.0));
  EXPECT_EQ(s.copper.size(), 3u);  // the pour, its hole, the pad

  // Runs that reach only some of the copper: three pads, a pour; the third
  // pad cleared away and a hole cleared in the pour; then a second hole far
  // from the first, which the pour's outer contour takes part in alone.
  s = trace("%ADD10C,1*%\n%ADD11C,0.5*%\n%ADD12C,1.5*%\nD10*\n" + at(1, 1) + "D03*\n" + at(3, 1) +
            "D03*\n" + at(5, 1) + "D03*\nG36*\n" + at(10, 10) + "D02*\n" + at(18, 10) + "D01*\n" +
            at(18, 18) + "D01*\n" + at(10, 18) + "D01*\n" + at(10, 10) +
            "D01*\nG37*\n%LPC*%\nD12*\n" + at(5, 1) + "D03*\nD10*\n" + at(12, 12) +
            "D03*\n%LPD*%\nD11*\n" + at(1, 8) + "D03*\n%LPC*%\n" + at(16, 16) + "D03*\n");
  expect_area(s.copper, 2 * kPi / 4 + 64 - kPi / 4 + kPi / 16 - kPi / 16, 32 + 4 * kPi);
  for (const auto& [x, y, copper] :
       {std::tuple{1.0, 1.0, true}, std::tuple{3.0, 1.0, true}, std::tuple{5.0, 1.0, false},
        std::tuple{12.0, 12.0, false}, std::tuple{16.0, 16.0, false}, std::tuple{14.0, 14.0, true},
        std::tuple{1.0, 8.0, true}}) {
    EXPECT_EQ(copper_at(s.copper, x, y), copper) << x << ", " << y;
  }

  // Step and repeat: three by two pads, each placed at its step.
  s = trace("%SRX3Y2I5J4*%\n" + std::string("%ADD10C,1*%\nD10*\n") + at(1, 1) + "D03*\n%SR*%\n");
  expect_area(s.copper, 6 * kPi * 0.25, 6 * kPi);
  EXPECT_TRUE(copper_at(s.copper, 11, 5));
  EXPECT_FALSE(copper_at(s.copper, 16, 5));
  EXPECT_EQ(s.copper.size(), 6u);
}

TEST(ExactOutlines, NegativeImage) {
  // A plane: the board less what the file draws; a clear pad inside a
  // clearance puts copper back.
  CopperShape s = trace("%IPNEG*%\n%ADD10C,2*%\n%ADD11C,1*%\nD10*\n" + at(5, 5) +
                            "D03*\n%LPC*%\nD11*\n" + at(5, 5) + "D03*\n",
                        options({0, 10, 0, 10}));
  expect_area(s.copper, 100 - kPi + kPi * 0.25, 40 + 3 * kPi);
  EXPECT_TRUE(copper_at(s.copper, 5, 5));
  EXPECT_FALSE(copper_at(s.copper, 5.7, 5));
  EXPECT_TRUE(copper_at(s.copper, 1, 1));
  EXPECT_NEAR(area(s.board), 100.0, 1e-9);
}

TEST(ExactOutlines, RegionWithCutIn) {
  // The contour goes in along a line to the hole, around it and back out
  // the same way: a square with a square hole, no sliver along the cut.
  const std::string region = "G36*\n" + at(0, 0) + "D02*\n" + at(10, 0) + "D01*\n" + at(10, 10) +
                             "D01*\n" + at(0, 10) + "D01*\n" + at(0, 5) + "D01*\n" + at(3, 5) +
                             "D01*\n" + at(3, 7) + "D01*\n" + at(7, 7) + "D01*\n" + at(7, 3) +
                             "D01*\n" + at(3, 3) + "D01*\n" + at(3, 5) + "D01*\n" + at(0, 5) +
                             "D01*\n" + at(0, 0) + "D01*\nG37*\n";
  CopperShape s = trace(region);
  EXPECT_NEAR(area(s.copper), 100 - 16, 1e-9);
  expect_clean(s.copper);
  ASSERT_EQ(s.copper.size(), 2u);
  EXPECT_EQ(s.copper[0].size(), 4u);
  EXPECT_EQ(s.copper[1].size(), 4u);
}

TEST(ExactOutlines, ImageTransformsPlaceAsTheGridDoes) {
  // A rectangle flashed under rotation, mirror, offset and axis select: the
  // copper's bounds are the grid model's rectangle.
  for (const std::string transform :
       {"%IR90*%", "%IR270*%\n%MIA1B0*%", "%OFA1B2*%\n%IR180*%", "%ASAYBX*%\n%SFA2B1*%"}) {
    const std::string body = transform + "\n%ADD10R,2X1*%\nD10*\n" + at(3, 1) + "D03*\n";
    const Drawing d = read_photoplot_text(kHeader + body + "M02*\n", "test.gbr");
    const CopperShape s = trace_copper(d, options({-20, 20, -20, 20}));
    const DrawingBoxes boxes = make_boxes(d, {});
    ASSERT_EQ(boxes.rectangles.size(), 1u);
    const Box& b = boxes.rectangles[0];
    ClipperLib::Clipper c;
    c.AddPaths(s.copper, ClipperLib::ptSubject, true);
    const ClipperLib::IntRect r = c.GetBounds();
    EXPECT_NEAR(r.left / kUnitsPerMm, b.min_x, 1e-4) << transform;
    EXPECT_NEAR(r.right / kUnitsPerMm, b.max_x, 1e-4) << transform;
    EXPECT_NEAR(r.top / kUnitsPerMm, b.min_y, 1e-4) << transform;
    EXPECT_NEAR(r.bottom / kUnitsPerMm, b.max_y, 1e-4) << transform;
    EXPECT_NEAR(area(s.copper), 2.0, 1e-6) << transform;
  }
  // A mirrored arc turns the other way: still the short quarter.
  const CopperShape s = trace("%MIA1B0*%\n%ADD10C,0.2*%\nD10*\nG75*\n" + at(5, 0) + "D02*\nG03*\n" +
                                  at(0, 5) + "I-5000000J0D01*\n",
                              options({-20, 20, -20, 20}));
  expect_area(s.copper, kPi / 2 * 5 * 0.2 + kPi * 0.01, 2 * kPi / 2 * 5 + 2 * kPi * 0.1);
  EXPECT_TRUE(copper_at(s.copper, -5 * std::cos(0.7), 5 * std::sin(0.7)));
}

TEST(ExactOutlines, BoardOutlineCutsTheCopper) {
  // The board from an outline layer: a square with a square cut-out; copper
  // outside it and in the cut-out is cut off.
  ExactOptions o = options();
  BoardOutline outline;
  outline.contours = {{{0, 0}, {10, 0}, {10, 10}, {0, 10}}, {{4, 4}, {6, 4}, {6, 6}, {4, 6}}};
  outline.extent = {0, 10, 0, 10};
  o.outline = outline;
  const CopperShape s =
      trace("%ADD10R,4X4*%\nD10*\n" + at(5, 5) + "D03*\n" + at(10, 5) + "D03*\n", o);
  EXPECT_NEAR(area(s.board), 96.0, 1e-9);
  EXPECT_NEAR(area(s.copper), 16 - 4 + 8, 1e-9);
  expect_clean(s.copper);
  // Without any board, nothing is copper.
  EXPECT_TRUE(
      trace("%ADD10R,4X4*%\nD10*\n" + at(5, 5) + "D03*\n", options({0, 0, 0, 0})).copper.empty());
}

TEST(ExactOutlines, DenseRegionsKeepTheirShape) {
  // A circle of radius 40 mm as one region of n vertices on it, as tools
  // that flatten arcs finely write it. The copper keeps the polygon's area,
  // and every edge stays within the tolerance of the circle, on which every
  // traced vertex lies (within the rounding to units and the polygon's own
  // chords, a fraction of a unit here). The cleaning once removed vertices
  // one after another against neighbours removed before: 400,000 vertices
  // lost 5 mm², 2.1 million came out a 136-gon whose edges stood 0.011 mm
  // off. 300,000 vertices also take many tiles, each cutting the region.
  constexpr double kRadius = 40.0;
  for (const int n : {2'000, 50'000, 300'000}) {
    std::string body = "G36*\n";
    body.reserve(static_cast<std::size_t>(n) * 24);
    for (int k = 0; k <= n; ++k) {
      const double a = 2 * kPi * (k % n) / n;
      body += at(50 + kRadius * std::cos(a), 50 + kRadius * std::sin(a)) +
              (k == 0 ? "D02*\n" : "D01*\n");
    }
    const CopperShape s = trace(body + "G37*\n", options({0, 100, 0, 100}));
    ASSERT_EQ(s.copper.size(), 1u) << n;
    const double polygon = n / 2.0 * kRadius * kRadius * std::sin(2 * kPi / n);
    expect_area(s.copper, polygon, 2 * kPi * kRadius);
    double farthest = 0.0;
    const ClipperLib::Path& p = s.copper[0];
    for (std::size_t i = 0; i < p.size(); ++i) {
      const double ax = p[i].X / kUnitsPerMm - 50, ay = p[i].Y / kUnitsPerMm - 50;
      const ClipperLib::IntPoint& q = p[(i + 1) % p.size()];
      const double bx = q.X / kUnitsPerMm - 50, by = q.Y / kUnitsPerMm - 50;
      // The middle of an edge stands farthest inside, its ends farthest out.
      const double middle = std::hypot((ax + bx) / 2, (ay + by) / 2);
      farthest = std::max({farthest, kRadius - middle, std::hypot(ax, ay) - kRadius});
    }
    EXPECT_LT(farthest, kTolerance) << n << " vertices, " << p.size() << " kept";
  }
}

TEST(ExactOutlines, ManyObjectsAcrossTiles) {
  // Enough short tracks that the board is cut into tiles (8 x 8 here), many
  // of them across a tile border; long tracks across all tiles; a pour with
  // long clearances across them too. Every track comes out as one polygon,
  // the pour as one polygon with one hole a clearance.
  std::string body = "%ADD10C,0.2*%\n%ADD11C,0.6*%\nD10*\n";
  int tracks = 0;
  for (int i = 0; i < 200; ++i) {
    for (int j = 0; j < 60; ++j, ++tracks) {
      const double x = 1.0 + j * 1.62;
      body += at(x, 1.0 + i * 0.45) + "D02*\n" + at(x + 1.4, 1.0 + i * 0.45) + "D01*\n";
    }
  }
  for (int i = 0; i < 5; ++i, ++tracks)
    body += at(1, 92 + i) + "D02*\n" + at(99, 92 + i) + "D01*\n";
  body += "G36*\n" + at(0, 101) + "D02*\n" + at(100, 101) + "D01*\n" + at(100, 200) + "D01*\n" +
          at(0, 200) + "D01*\n" + at(0, 101) + "D01*\nG37*\n%LPC*%\nD11*\n";
  for (int i = 0; i < 40; ++i)
    body += at(5, 110 + 2 * i) + "D02*\n" + at(95, 110 + 2 * i) + "D01*\n";
  ExactOptions o = options({0, 100, 0, 200});
  o.tolerance = 0.0005;
  const CopperShape s = trace(body, o);
  expect_clean(s.copper);
  EXPECT_EQ(s.copper.size(), static_cast<std::size_t>(tracks) + 1 + 40);
  const double copper = 12000 * (1.4 * 0.2 + kPi * 0.01) + 5 * (98 * 0.2 + kPi * 0.01) + 100 * 99 -
                        40 * (90 * 0.6 + kPi * 0.09);
  const double perimeter = 12000 * (2.8 + kPi * 0.2) + 5 * 196 + 400 + 40 * 182;
  EXPECT_NEAR(area(s.copper), copper, perimeter * o.tolerance);
}

// Each contour of `paths` that is more than a sliver: thicker (area over
// half the perimeter) than `units`.
int thick_contours(const ClipperLib::Paths& paths, double units) {
  int count = 0;
  for (const ClipperLib::Path& p : paths) {
    double perimeter = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const auto& a = p[i];
      const auto& b = p[(i + 1) % p.size()];
      perimeter += std::hypot(static_cast<double>(b.X - a.X), static_cast<double>(b.Y - a.Y));
    }
    count += std::abs(ClipperLib::Area(p)) > units * perimeter / 2;
  }
  return count;
}

// The copper of `objects` (each with its polarity and aperture, after
// `head`) made object by object: each run of one polarity united and added
// or removed at once, then cut to `board`. The tracer's copper may differ
// from it only where intersections are rounded to units: slivers no thicker
// than a unit or two.
void expect_object_by_object(const CopperShape& traced, const std::string& head,
                             const std::vector<std::string>& objects, const ExactOptions& o,
                             const std::string& label) {
  ClipperLib::Paths copper;
  for (std::size_t k = 0; k < objects.size();) {
    const bool removes = objects[k].starts_with("%LPC");
    ClipperLib::Clipper clipper;
    clipper.AddPaths(copper, ClipperLib::ptSubject, true);
    for (; k < objects.size() && objects[k].starts_with("%LPC") == removes; ++k) {
      ExactOptions alone = o;
      alone.extent = {-100, 200, -100, 200};  // the whole object
      const Drawing d = read_photoplot_text(head + objects[k].substr(7) + "M02*\n", "object.gbr");
      clipper.AddPaths(trace_copper(d, alone).copper, ClipperLib::ptClip, true);
    }
    clipper.Execute(removes ? ClipperLib::ctDifference : ClipperLib::ctUnion, copper,
                    ClipperLib::pftNonZero, ClipperLib::pftNonZero);
  }
  ClipperLib::Clipper clipper;
  clipper.AddPaths(copper, ClipperLib::ptSubject, true);
  clipper.AddPaths(traced.board, ClipperLib::ptClip, true);
  clipper.Execute(ClipperLib::ctIntersection, copper, ClipperLib::pftNonZero,
                  ClipperLib::pftNonZero);

  ClipperLib::Clipper xor_clipper;
  xor_clipper.AddPaths(traced.copper, ClipperLib::ptSubject, true);
  xor_clipper.AddPaths(copper, ClipperLib::ptClip, true);
  ClipperLib::Paths difference;
  xor_clipper.Execute(ClipperLib::ctXor, difference, ClipperLib::pftNonZero,
                      ClipperLib::pftNonZero);
  EXPECT_EQ(thick_contours(difference, 2.0), 0) << label;
  EXPECT_NEAR(area(traced.copper), area(copper), 1e-3) << label;
  EXPECT_GT(area(copper), 1.0) << label;
}

std::string joined(const std::string& head, const std::vector<std::string>& objects) {
  std::string all = head;
  for (const std::string& object : objects) all += object;
  return all + "M02*\n";
}

TEST(ExactOutlines, TilesAgreeWithObjectByObject) {
  // Random boards of pads, rings, tracks and pours in both polarities: large
  // enough to be cut into tiles, or piled so high onto a few millimetres
  // that a tile's copper is united in groups of neighbours first, or turning
  // polarity at nearly every object over copper that every clear run meets,
  // so that a tile applies the rest of its runs by halves.
  const std::string head = kHeader +
                           "%ADD10C,1.2*%\n%ADD11C,2X1*%\n%ADD12R,1.5X0.8*%\n%ADD13C,0.25*%\n"
                           "%ADD14C,0.6*%\n";
  struct Board {
    unsigned seed;
    int objects;
    double side;          // mm
    double clear_switch;  // the chance that an object turns polarity
    // Rectangular pads only (many runs for few vertices), over a comb of
    // this many teeth poured first, whose spine no pad reaches: every clear
    // run meets the comb's one contour.
    int comb = 0;
  };
  for (const Board& board :
       {Board{1, 1200, 40, 0.1}, Board{2, 1200, 40, 0.1}, Board{3, 1500, 8, 0.0},
        Board{4, 1500, 8, 0.02}, Board{5, 400, 10, 0.9, 500}}) {
    std::mt19937 rng(board.seed);
    const auto uniform = [&](double lo, double hi) {
      return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    std::vector<std::string> objects;
    if (board.comb > 0) {
      const double pitch = (board.side - 0.1) / board.comb;
      const double top = board.side - 0.05;
      std::string comb = "%LPD*%\nG36*\n" + at(0.05, 0.05) + "D02*\n";
      for (int t = 0; t < board.comb; ++t) {
        const double x = 0.05 + t * pitch;
        comb += at(x, top) + "D01*\n" + at(x + pitch / 2, top) + "D01*\n" + at(x + pitch / 2, 0.2) +
                "D01*\n" + at(x + pitch, 0.2) + "D01*\n";
      }
      objects.push_back(comb + at(board.side - 0.05, 0.05) + "D01*\n" + at(0.05, 0.05) +
                        "D01*\nG37*\n");
    }
    bool clear = false;
    for (int k = 0; k < board.objects; ++k) {
      if (k > 10 && uniform(0, 1) < board.clear_switch) clear = !clear;
      std::string o = clear ? "%LPC*%\n" : "%LPD*%\n";
      const double x = uniform(1, board.side - 1), y = uniform(1, board.side - 1);
      const double kind = uniform(0, board.comb > 0 ? 0.45 : 1);
      if (kind < 0.45) {
        const int aperture = board.comb > 0 ? 2 : static_cast<int>(uniform(0, 3));
        o += "D1" + std::to_string(aperture) + "*\n" + at(x, y) + "D03*\n";
      } else if (kind < 0.9) {
        o += std::string(kind < 0.7 ? "D13" : "D14") + "*\n" + at(x, y) + "D02*\n" +
             at(x + uniform(-4, 4), y + uniform(-4, 4)) + "D01*\n";
      } else {
        const double w = uniform(2, 9), h = uniform(2, 9);
        o += "G36*\n" + at(x, y) + "D02*\n" + at(x + w, y) + "D01*\n" + at(x + w, y + h) +
             "D01*\n" + at(x + uniform(-3, 3), y + h) + "D01*\n" + at(x, y) + "D01*\nG37*\n";
      }
      objects.push_back(std::move(o));
    }
    ExactOptions o = options({0, board.side, 0, board.side});
    o.tolerance = 0.0005;
    const CopperShape traced =
        trace_copper(read_photoplot_text(joined(head, objects), "test.gbr"), o);
    expect_object_by_object(traced, head, objects, o, "seed " + std::to_string(board.seed));
  }
}

TEST(ExactOutlines, PadsInRowsOfAlternatingPolarity) {
  // Pads of three sizes on a 0.25 mil grid, dark and clear in turn; the
  // rectangles' sides meet on lines. Clipper 6 turned the outer contour of a
  // difference among them clockwise, and the nonzero rule then filled its
  // hole: 1.8 mm2 of copper too much.
  const std::string head =
      "%FSLAX24Y24*%\n%MOIN*%\n%ADD14C,0.0600*%\n%ADD15R,0.0700X0.0700*%\n"
      "%ADD16R,0.0500X0.0300*%\n";
  const std::vector<std::string> objects = {
      "%LPD*%\nD15*\nX7750Y16000D03*\n", "%LPD*%\nD14*\nX8250Y16500D03*\n",
      "%LPD*%\nD15*\nX8000Y15500D03*\n", "%LPD*%\nD15*\nX9250Y15500D03*\n",
      "%LPC*%\nD16*\nX8000Y16000D03*\n", "%LPC*%\nD14*\nX7750Y15750D03*\n",
      "%LPD*%\nD14*\nX9000Y16000D03*\n", "%LPD*%\nD15*\nX8750Y15250D03*\n",
      "%LPD*%\nD15*\nX8250Y15250D03*\n", "%LPC*%\nD14*\nX7750Y16750D03*\n",
      "%LPC*%\nD16*\nX9250Y14750D03*\n", "%LPD*%\nD16*\nX8250Y16000D03*\n",
      "%LPD*%\nD15*\nX8500Y16500D03*\n", "%LPC*%\nD15*\nX9000Y17000D03*\n",
      "%LPC*%\nD16*\nX8750Y16000D03*\n"};
  const ExactOptions o = options({0, 64.135, 0, 64.135});
  const CopperShape traced =
      trace_copper(read_photoplot_text(joined(head, objects), "pads.gbr"), o);
  expect_object_by_object(traced, head, objects, o, "pads");
}

TEST(ExactOutlines, ContoursTurnedByHowManyEncloseThem) {
  const auto square = [](ClipperLib::cInt x0, ClipperLib::cInt y0, ClipperLib::cInt side,
                         bool counterclockwise) {
    ClipperLib::Path p{{x0, y0}, {x0 + side, y0}, {x0 + side, y0 + side}, {x0, y0 + side}};
    if (!counterclockwise) std::reverse(p.begin(), p.end());
    return p;
  };
  ClipperLib::Paths paths{
      square(0, 0, 100, false),     // outer, turned the wrong way
      square(20, 20, 60, false),    // its hole
      square(40, 40, 20, false),    // an island in the hole, the wrong way
      square(45, 45, 10, true),     // the island's hole, the wrong way
      square(200, 0, 100, true),    // apart
      square(300, 100, 50, false),  // touching the one before at a corner
  };
  EXPECT_EQ(orient_by_nesting(paths), 4u);
  const std::vector<bool> outer{true, false, true, false, true, true};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(ClipperLib::Area(paths[i]) > 0.0, outer[i]) << i;
  }
  EXPECT_EQ(orient_by_nesting(paths), 0u);

  // Rings within rings: every edge is long, so the edges are kept in fewer
  // bands of y, and every second ring is a hole.
  ClipperLib::Paths rings;
  for (int k = 0; k < 500; ++k) rings.push_back(square(k * 10, k * 10, 10000 - k * 20, true));
  EXPECT_EQ(orient_by_nesting(rings), 250u);
  for (std::size_t k = 0; k < rings.size(); ++k) {
    EXPECT_EQ(ClipperLib::Area(rings[k]) > 0.0, k % 2 == 0) << k;
  }

  // A track and copper beside it along one slanted line, as a union left
  // them: the rounding to units puts the track's edge 0.2 units across the
  // middle of the other contour's edge. Both stay outer contours (counting
  // the track's edge beyond that middle turned the other into a hole, and
  // the copper of a tile lost it).
  ClipperLib::Paths beside{
      {{85516, 83682}, {85667, 84006}, {85759, 84352}, {85791, 84708}, {85759, 85065},
       {85667, 85411}, {85516, 85735}, {85310, 86028}, {85057, 86281}, {84764, 86486},
       {84440, 86638}, {84094, 86730}, {83737, 86762}, {83381, 86730}, {83035, 86638},
       {82711, 86486}, {82418, 86281}, {82165, 86028}, {81959, 85735}, {72574, 70579},
       {70558, 67323}, {75385, 67323}},
      {{89480, 74365},
       {79746, 74365},
       {77419, 70608},
       {77419, 67323},
       {79226, 67323},
       {79226, 65536},
       {90988, 65536}}};
  EXPECT_EQ(orient_by_nesting(beside), 0u);

  ClipperLib::Paths one{square(0, 0, 10, false)};
  EXPECT_EQ(orient_by_nesting(one), 1u);
  EXPECT_GT(ClipperLib::Area(one[0]), 0.0);
}

TEST(ExactOutlines, TouchingContoursAreSeparated) {
  // Two discs that touch at a point, and a disc with a hole that touches its
  // rim inside, each drawn as one path: their union passes one place twice.
  // Separated, no contour touches itself and the area stays; short contours
  // Clipper separates, long ones (where that would take the square of their
  // length) are split here.
  const auto arc = [](ClipperLib::Path& p, double cx, double r, int n, bool reversed) {
    ClipperLib::Path loop;  // from the origin round the circle
    for (int k = 0; k < n; ++k) {
      const double a = (cx > 0 ? kPi : 0.0) + 2 * kPi * k / n;
      loop.push_back({std::llround(cx + r * std::cos(a)), std::llround(r * std::sin(a))});
    }
    if (reversed) std::reverse(loop.begin() + 1, loop.end());
    p.insert(p.end(), loop.begin(), loop.end());
  };
  for (const int n : {100, 6000}) {
    ClipperLib::Path discs, pinched;
    arc(discs, 1e6, 1e6, n, false);
    arc(discs, -1e6, 1e6, n, false);
    arc(pinched, 1e6, 1e6, n, false);
    arc(pinched, 5e5, 5e5, n, true);
    for (const ClipperLib::Path& path : {discs, pinched}) {
      const ClipperLib::Paths plain = unite(ClipperLib::Paths{path});
      const ClipperLib::Paths separated =
          unite(ClipperLib::Paths{path}, ClipperLib::pftNonZero, Touching::separated);
      EXPECT_NEAR(area(separated), area(plain), 1e-6) << n;
      for (const ClipperLib::Path& p : separated) {
        EXPECT_FALSE(shares_vertices(ClipperLib::Paths{p})) << n << ", " << p.size();
      }
    }
  }
}

TEST(ExactOutlines, LimitsBoundTheWork) {
  // Drawings past the exact model's own limits are refused at the line that
  // crossed them: step and repeat copies before any is made (a block of 1,000
  // pads placed a million times at the line that opened it, not after
  // minutes of copying), a drawing past a lower vertex limit at the pad that
  // crossed it, a region whose filling needs more memory than there is at
  // the line that closed it.
  std::string block = "%ADD10C,1*%\n%SRX1000Y1000I60J60*%\nD10*\n";
  for (int k = 0; k < 1000; ++k) block += at(1 + k % 40, 1 + k / 40) + "D03*\n";
  block += "%SR*%\n";
  std::string pads = "%ADD10C,1*%\nD10*\n";
  for (int k = 0; k < 400; ++k) pads += at(0.5 + 1.1 * (k % 18), 0.5 + 1.1 * (k / 18)) + "D03*\n";
  const auto per_pad = static_cast<std::size_t>(circle_vertices(0.5, kTolerance));
  std::string region = "G36*\n";
  for (int k = 0; k <= 200'000; ++k) {
    const double a = 2 * kPi * (k % 200'000) / 200'000;
    region += at(10 + 9 * std::cos(a), 10 + 9 * std::sin(a)) + (k == 0 ? "D02*\n" : "D01*\n");
  }
  region += "G37*\n";
  struct Refused {
    std::string what;
    std::string body;
    ExactLimits limits;
    std::size_t line;
  };
  for (const Refused& r : {Refused{"block", block, {}, 4},
                           Refused{"pads", pads, {10'000, std::nullopt}, 4 + 10'000 / per_pad + 1},
                           Refused{"region", region, {60'000'000, 16u << 20}, 200'005}}) {
    ExactOptions o = options();
    o.limits = r.limits;
    try {
      trace(r.body, o);
      ADD_FAILURE() << r.what << ": traced";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("test.gbr:" + std::to_string(r.line) + ":"),
                std::string::npos)
          << r.what << ": " << e.what();
    }
  }
  // The same region with memory enough.
  ExactOptions o = options();
  o.limits.memory = std::uint64_t{1} << 30;
  EXPECT_NEAR(area(trace(region, o).copper), kPi * 81, 2 * kPi * 9 * kTolerance);

  // A panel: a board of 30 slanted pours placed 13 x 13 times. The grid
  // would cut the pours into more than 2,000,000 rectangles and refuses it;
  // the exact model traces its 20,280 vertices.
  std::string panel = "%SRX13Y13I50J50*%\n";
  for (int k = 0; k < 30; ++k) {
    const double x = 1 + 1.6 * k;
    panel += "G36*\n" + at(x, 5) + "D02*\n" + at(x + 1, 5) + "D01*\n" + at(x + 1.5, 45) + "D01*\n" +
             at(x + 0.5, 45) + "D01*\n" + at(x, 5) + "D01*\nG37*\n";
  }
  panel += "%SR*%\n";
  const Drawing d = read_photoplot_text(kHeader + panel + "M02*\n", "panel.gbr");
  EXPECT_THROW(make_boxes(d, {}), Error);
  const CopperShape s = trace_copper(d, options({0, 650, 0, 650}));
  EXPECT_NEAR(area(s.copper), 169 * 30 * 40.0, 1e-6);
}

TEST(ExactOutlines, FailuresNameTheLine) {
  try {
    trace("%ADD10C,1*%\nD10*\nX100000000000Y0D03*\n", options({0, 20, -1, 1}));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("test.gbr:5"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace foilcad::exact
