// Outline layers: their strokes and arcs joined into closed contours, and the
// grid model ending at their extent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "convert/convert.hpp"
#include "photoplot/board_outline.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

using test_support::ScratchDir;
using test_support::write_file;
namespace fs = std::filesystem;

const fs::path kOutlines = fs::path(FOILCAD_TEST_DATA) / "outline";
constexpr double kPi = std::numbers::pi;
// The reader's millimetres for a millimetre of a file with six decimals and
// for an inch of one with five: its scale factors are single-precision values
// widened, a few parts in ten million off.
const double kMm = 1e6 * power_factor(6);
const double kInch = 1e5 * power_factor(5) * kInchFactor;

double area(const std::vector<Point>& contour) {
  double twice = 0.0;
  for (std::size_t k = 0; k < contour.size(); ++k) {
    const Point& a = contour[k];
    const Point& b = contour[(k + 1) % contour.size()];
    twice += a.x * b.y - b.x * a.y;
  }
  return std::abs(twice) / 2.0;
}

// The contours' areas, smallest first.
std::vector<double> areas(const BoardOutline& outline) {
  std::vector<double> out;
  for (const auto& contour : outline.contours) out.push_back(area(contour));
  std::sort(out.begin(), out.end());
  return out;
}

// The extent in units of scale (kMm or kInch).
void expect_extent(const Box& e, double scale, double min_x, double max_x, double min_y,
                   double max_y, double within = 1e-9) {
  EXPECT_NEAR(e.min_x, min_x * scale, within);
  EXPECT_NEAR(e.max_x, max_x * scale, within);
  EXPECT_NEAR(e.min_y, min_y * scale, within);
  EXPECT_NEAR(e.max_y, max_y * scale, within);
}

std::string error_of(std::string_view text) {
  try {
    read_board_outline_text(text, "edge.gbr", 0.001);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

// Chords lie inside the arcs they follow, by at most the tolerance: a
// contour's area falls short of the true one by at most tolerance times its
// length, and never exceeds it. Lengths in units of scale.
void expect_area(double actual, double scale, double exact, double perimeter, double tolerance) {
  EXPECT_LE(actual, exact * scale * scale + 1e-9);
  EXPECT_GE(actual, exact * scale * scale - tolerance * perimeter * scale);
}

TEST(BoardOutline, KicadEdgeCutsWithArcsACircleAndASlot) {
  for (const double tolerance : {0.001, 0.05}) {
    const BoardOutline o = read_board_outline(kOutlines / "kicad-edge-cuts.gbr", tolerance);
    ASSERT_EQ(o.contours.size(), 3u);
    // The rounded corners' chords stop at the straight edges: the extent is
    // the board's, whatever the tolerance.
    expect_extent(o.extent, kMm, 100, 150, -110, -80);
    const std::vector<double> a = areas(o);
    expect_area(a[0], kMm, kPi * 1.6 * 1.6, 2 * kPi * 1.6, tolerance);  // the mounting hole
    expect_area(a[1], kMm, 20 + kPi, 20 + 2 * kPi, tolerance);          // the slot
    expect_area(a[2], kMm, 1500 - (4 - kPi) * 9, 2 * 44 + 2 * 24 + 6 * kPi, tolerance);
    // Every point of the hole lies on its circle, every chord within the
    // tolerance of it.
    const auto hole =
        std::min_element(o.contours.begin(), o.contours.end(),
                         [](const auto& p, const auto& q) { return area(p) < area(q); });
    for (std::size_t k = 0; k < hole->size(); ++k) {
      const Point a0 = (*hole)[k];
      const Point a1 = (*hole)[(k + 1) % hole->size()];
      EXPECT_NEAR(std::hypot(a0.x - 110 * kMm, a0.y + 95 * kMm), 1.6 * kMm, 1e-9);
      EXPECT_GE(std::hypot((a0.x + a1.x) / 2 - 110 * kMm, (a0.y + a1.y) / 2 + 95 * kMm),
                1.6 * kMm - tolerance);
    }
  }
}

TEST(BoardOutline, LayoutToolPatterns) {
  // Altium: inches, short segments one by one, two cut-outs.
  const BoardOutline altium = read_board_outline(kOutlines / "altium-board.gko", 0.001);
  ASSERT_EQ(altium.contours.size(), 3u);
  expect_extent(altium.extent, kInch, 0, 2, 0, 1.5);
  // The 64 segments of the round cut-out cut off about 0.16 % of its area.
  EXPECT_NEAR(areas(altium)[0], kPi * std::pow(0.125 * kInch, 2), 0.1);
  EXPECT_NEAR(areas(altium)[1], 0.4 * 0.2 * kInch * kInch, 1e-9);
  // Eagle: a rounded rectangle as one path of four lines and four arcs.
  const BoardOutline eagle = read_board_outline(kOutlines / "eagle-rounded.gbr", 0.001);
  ASSERT_EQ(eagle.contours.size(), 1u);
  expect_extent(eagle.extent, kInch, 0, 3, 0, 2);
  expect_area(areas(eagle)[0], kInch, 6 - (4 - kPi) * 0.25 * 0.25, 10, 0.001);
  // Pieces in no order, half of them reversed, their starts a few nanometres
  // off; the arc bulges out to x = 65, and the extent holds its extreme.
  const BoardOutline shuffled = read_board_outline(kOutlines / "shuffled-pieces.gbr", 0.001);
  ASSERT_EQ(shuffled.contours.size(), 1u);
  expect_extent(shuffled.extent, kMm, 10, 65, 10, 45, 1e-5);
  expect_area(areas(shuffled)[0], kMm, 1600 + 12.5 * kPi, 200, 0.001);
  // Ends one unit of an inch format apart (2.54 um) are one point.
  const BoardOutline rounded = read_board_outline(kOutlines / "rounding-gap.gbr", 0.001);
  ASSERT_EQ(rounded.contours.size(), 1u);
  EXPECT_NEAR(areas(rounded)[0], 1.5 * kInch * kInch, 1e-3);
}

TEST(BoardOutline, GapIsReportedWithItsLineSizeAndPlace) {
  const fs::path path = kOutlines / "gap.gbr";
  try {
    read_board_outline(path, 0.001);
    FAIL() << "a gap of 0.25 mm was closed";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()),
              path.string() +
                  ":17: the outline does not close: a gap of 0.250 mm at (12.500, 30.000): "
                  "\"X12500000Y30000000D01*\"");
  }
  // A branch leaves ends open too (reported at the first stroke there), and
  // so do several gaps: here a square in two halves that do not meet.
  const std::string head = "%FSLAX46Y46*%%MOMM*%%ADD10C,0.1*%D10*\n";
  const std::string triangle = "X0Y0D02*\nX10000000Y0D01*\nX0Y10000000D01*\nX0Y0D01*\n";
  EXPECT_EQ(error_of(head + triangle + "X0Y0D02*\nX-5000000Y-5000000D01*\n"),
            "edge.gbr:3: the outline does not close: a gap of 7.071 mm at (0.000, 0.000): "
            "\"X10000000Y0D01*\"");
  EXPECT_NE(error_of(head + "X0Y0D02*\nX10000000Y0D01*\nX10000000Y9000000D01*\n"
                            "X10000000Y10000000D02*\nX0Y10000000D01*\nX0Y1000000D01*\n")
                .find(":3: the outline does not close: a gap of 1.000 mm at (0.000, 0.000), one "
                      "of 4 open ends"),
            std::string::npos);
}

TEST(BoardOutline, WhatIsNoOutline) {
  const std::string head = "%FSLAX46Y46*%%MOMM*%%ADD10C,0.1*%D10*\n";
  EXPECT_EQ(error_of(head + "X1000000Y1000000D03*\n"),
            "edge.gbr: the outline layer holds no strokes, arcs or regions: it draws no board");
  EXPECT_EQ(error_of(head), error_of(head + "X1000000Y1000000D03*\n"));
  // Dots and a line drawn there and back enclose nothing.
  EXPECT_EQ(error_of(head + "X0Y0D02*\nX0Y0D01*\nX5000000Y0D01*\nX0Y0D01*\n"),
            "edge.gbr: the outline layer draws no closed contour");
}

TEST(BoardOutline, AContourMayBeginAtTheOrigin) {
  // "X0Y0D02*" is a move here, not a plotter parking where it stands.
  const BoardOutline o = read_board_outline_text(
      "%FSLAX46Y46*%%MOMM*%%ADD10C,0.1*%D10*\n"
      "X20000000Y20000000D02*X30000000Y20000000D01*X30000000Y30000000D01*X20000000Y20000000D01*\n"
      "X0Y0D02*\nX10000000Y0D01*\nX10000000Y10000000D01*\nX0Y0D01*\n",
      "origin.gbr", 0.001);
  ASSERT_EQ(o.contours.size(), 2u);
  EXPECT_EQ(o.extent.min_x, 0.0);
}

TEST(BoardOutline, RegionsStepAndRepeatAndImageTransformsArePlaced) {
  // A panel of two boards: a region and a circle, placed twice 30 mm apart,
  // all mirrored in x; flashes take no part.
  const BoardOutline o = read_board_outline_text(
      "%FSLAX46Y46*%%MOMM*%%MIA1B0*%%ADD10C,0.1*%D10*\n"
      "X50000000Y50000000D03*\n"
      "%SRX2Y1I30.0J0*%\n"
      "G36*X0Y0D02*X20000000Y0D01*X20000000Y10000000D01*X0Y10000000D01*X0Y0D01*G37*\n"
      "G75*X7000000Y5000000D02*G03X7000000Y5000000I-2000000J0D01*\n"
      "%SR*%\n",
      "panel.gbr", 0.001);
  ASSERT_EQ(o.contours.size(), 4u);
  // Mirrored in x; the step distance (read as written) is not.
  EXPECT_EQ(o.extent, (Box{-20 * kMm, -0.0 * kMm + 30.0, 0, 10 * kMm}));
  const std::vector<double> a = areas(o);
  EXPECT_NEAR(a[0], 4 * kPi, 0.02);
  EXPECT_NEAR(a[1], 4 * kPi, 0.02);
  EXPECT_NEAR(a[3], 200.0 * kMm * kMm, 1e-9);
}

TEST(BoardOutline, ManySegmentsInAnyOrderAreJoinedQuickly) {
  // A polygon of 100,000 vertices, its edges shuffled and every other one
  // reversed: a quadratic join would take minutes.
  constexpr int kEdges = 100'000;
  std::vector<std::pair<long long, long long>> points;
  for (int k = 0; k < kEdges; ++k) {
    const double a = 2 * kPi * k / kEdges;
    // 12.6 um apart, a little more than the gap.
    points.emplace_back(std::llround(200e6 * std::cos(a)), std::llround(200e6 * std::sin(a)));
  }
  std::vector<int> order(kEdges);
  for (int k = 0; k < kEdges; ++k) order[k] = k;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  std::string text = "%FSLAX46Y46*%%MOMM*%%ADD10C,0.1*%D10*\n";
  for (int n = 0; n < kEdges; ++n) {
    auto a = points[order[n]];
    auto b = points[(order[n] + 1) % kEdges];
    if (n % 2 == 1) std::swap(a, b);
    text.append("X").append(std::to_string(a.first)).append("Y");
    text.append(std::to_string(a.second)).append("D02*X").append(std::to_string(b.first));
    text.append("Y").append(std::to_string(b.second)).append("D01*\n");
  }
  const BoardOutline o = read_board_outline_text(text, "round.gbr", 0.001);
  ASSERT_EQ(o.contours.size(), 1u);
  EXPECT_EQ(o.contours[0].size(), static_cast<std::size_t>(kEdges));
  EXPECT_NEAR(area(o.contours[0]), kPi * 200 * 200, 0.1);
}

// The copper area of a board's cell map, mm².
double copper_area(const Grid& board) {
  double total = 0.0;
  for (std::size_t k = 0; k < board.map.rows; ++k) {
    for (std::size_t i = 0; i < board.map.columns; ++i) {
      if (board.map.at(i, k) == 0) continue;
      total +=
          (board.lists.x[i + 1] - board.lists.x[i]) * (board.lists.y[k + 1] - board.lists.y[k]);
    }
  }
  return total;
}

void expect_lines(const std::vector<double>& lines, const std::vector<double>& nominal) {
  ASSERT_EQ(lines.size(), nominal.size());
  for (std::size_t k = 0; k < lines.size(); ++k) EXPECT_NEAR(lines[k], nominal[k], 1e-5);
}

Grid board_with_outline(const fs::path& copper, const fs::path& outline, ConversionReport& report) {
  conversion_parameters p = make_conversion_parameters(copper, 0.0, 1.0);
  p.outline_path = outline;
  return std::get<GridSolids>(build_solids(p, report)).grid;
}

TEST(OutlineGrid, CopperIsCutAtTheOutlineAndTheGridEndsThere) {
  ScratchDir dir;
  const std::string head = "%FSLAX46Y46*%%MOMM*%%ADD10R,2X2*%%ADD11R,1X1*%\n";
  write_file(dir / "edge.gbr", head +
                                   "D11*X0Y0D02*X10000000Y0D01*X10000000Y10000000D01*"
                                   "X0Y10000000D01*X0Y0D01*\n");
  // A pad inside, one across the right edge, one outside; a clear pad
  // outside (dropped) before a clear pad inside, which must still clear.
  write_file(dir / "copper.gbr", head +
                                     "D10*X5000000Y5000000D03*X10000000Y5000000D03*"
                                     "X20000000Y20000000D03*\n"
                                     "%LPC*%X20000000Y5000000D03*D11*X5000000Y5000000D03*\n");
  ConversionReport report;
  const Grid board = board_with_outline(dir / "copper.gbr", dir / "edge.gbr", report);
  expect_lines(board.lists.x, {0, 4, 4.5, 5.5, 6, 9, 10});
  expect_lines(board.lists.y, {0, 4, 4.5, 5.5, 6, 10});
  EXPECT_NEAR(copper_area(board), 4 - 1 + 2, 1e-4);
  EXPECT_EQ(board.map.at(2, 2), 0);  // cleared again
  EXPECT_TRUE(report.outline_layer);
  EXPECT_EQ(report.outline_contours, 1u);
  EXPECT_EQ(report.extent, read_board_outline(dir / "edge.gbr", 0.001).extent);
  for (const Warning& w : report.warnings) EXPECT_NE(w.kind, WarningKind::no_outline);

  // The photoplot's own outline frame still takes no part; the layer's extent
  // takes its place.
  write_file(dir / "framed.gbr", head +
                                     "D11*X-10000000Y-10000000D02*X30000000Y-10000000D01*"
                                     "X30000000Y30000000D01*X-10000000Y30000000D01*"
                                     "X-10000000Y-10000000D01*D10*X5000000Y5000000D03*\n");
  ConversionReport framed;
  const Grid inside = board_with_outline(dir / "framed.gbr", dir / "edge.gbr", framed);
  EXPECT_TRUE(framed.frame);
  EXPECT_EQ(framed.extent, report.extent);
  EXPECT_NEAR(copper_area(inside), 4, 1e-4);
}

TEST(OutlineGrid, LayoutFilesPositiveAndNegative) {
  const fs::path edge = kOutlines / "kicad-edge-cuts.gbr";
  ConversionReport report;
  const Grid copper = board_with_outline(kOutlines / "copper.gbr", edge, report);
  EXPECT_EQ(report.extent, read_board_outline(edge, 0.001).extent);
  // The pad, the track from the left edge on, half the pad across the edge
  // and the pour's part on the board.
  EXPECT_NEAR(copper_area(copper), 4 + 25.25 * 0.5 + 2 + 50, 1e-3);

  // The plane is the board less its clearances; the one beyond the board
  // neither clears nor widens the grid.
  ConversionReport plane_report;
  const Grid plane = board_with_outline(kOutlines / "plane.gbr", edge, plane_report);
  EXPECT_TRUE(plane_report.negative);
  EXPECT_EQ(plane_report.extent, report.extent);
  EXPECT_NEAR(copper_area(plane), 1500 - 16 - 8, 1e-2);

  // A broken outline stops the conversion before any grid is built.
  EXPECT_THROW(board_with_outline(kOutlines / "copper.gbr", kOutlines / "gap.gbr", report), Error);
}

}  // namespace
}  // namespace foilcad
