#include "geometry/region.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace foilcad {

void PrintTo(const Box& r, std::ostream* os) {
  *os << "[" << r.min_x << ", " << r.max_x << "] x [" << r.min_y << ", " << r.max_y << "]";
}

namespace {

using Contour = std::vector<Point>;
using Rects = std::vector<Box>;

Rects fill(const Contour& c, double slab = 0.1) {
  Rects out;
  fill_region(c, slab, out);
  return out;
}

double area(const Rects& rs) {
  double a = 0;
  for (const Box& r : rs) a += (r.max_x - r.min_x) * (r.max_y - r.min_y);
  return a;
}

bool covered(const Rects& rs, double x, double y) {
  return std::any_of(rs.begin(), rs.end(), [&](const Box& r) {
    return r.min_x <= x && x <= r.max_x && r.min_y <= y && y <= r.max_y;
  });
}

// Even-odd point in polygon, written independently of the sweep.
bool inside(const Contour& c, double x, double y) {
  bool in = false;
  for (std::size_t i = 0, j = c.size() - 1; i < c.size(); j = i++) {
    const Point& a = c[i];
    const Point& b = c[j];
    if ((a.y > y) != (b.y > y) && x < a.x + (b.x - a.x) * (y - a.y) / (b.y - a.y)) in = !in;
  }
  return in;
}

// The area (for a simple contour) and the perimeter.
std::pair<double, double> measure(const Contour& c) {
  double twice_area = 0, perimeter = 0;
  for (std::size_t i = 0, j = c.size() - 1; i < c.size(); j = i++) {
    twice_area += c[j].x * c[i].y - c[i].x * c[j].y;
    perimeter += std::hypot(c[i].x - c[j].x, c[i].y - c[j].y);
  }
  return {std::fabs(twice_area) / 2, perimeter};
}

// Every rectangle has area, no two overlap, none is taller than max_height.
void expect_proper(const Rects& rs, double max_height = std::numeric_limits<double>::infinity()) {
  for (std::size_t i = 0; i < rs.size(); ++i) {
    const Box& a = rs[i];
    ASSERT_LT(a.min_x, a.max_x);
    ASSERT_LT(a.min_y, a.max_y);
    ASSERT_LE(a.max_y - a.min_y, max_height * (1 + 1e-12));
    for (std::size_t k = i + 1; k < rs.size(); ++k) {
      const Box& b = rs[k];
      const double w = std::min(a.max_x, b.max_x) - std::max(a.min_x, b.min_x);
      const double h = std::min(a.max_y, b.max_y) - std::max(a.min_y, b.min_y);
      ASSERT_FALSE(w > 1e-12 && h > 1e-12) << "rectangles " << i << " and " << k << " overlap";
    }
  }
}

// Every sampled point of the region (all test shapes lie in 0..10) is covered.
void expect_conservative(const Contour& c, const Rects& rs, double step = 0.05) {
  for (double y = step * 0.371; y < 10; y += step)
    for (double x = step * 0.613; x < 10; x += step)
      if (inside(c, x, y)) {
        ASSERT_TRUE(covered(rs, x, y)) << "(" << x << ", " << y << ") lost";
      }
}

Contour reversed(Contour c) { return {c.rbegin(), c.rend()}; }

const Contour kTriangle{{0, 0}, {10, 0}, {5, 8}};
const Contour kDiamond{{5, 0}, {10, 5}, {5, 10}, {0, 5}};
const Contour kChevron{{0, 0}, {4, 3}, {8, 0}, {8, 2}, {4, 6.5}, {0, 2}};
// A pour with a clearance, cut in along y = 5 and back out the same way.
const Contour kPourCutAcross{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 5}, {3, 5},
                             {3, 7}, {7, 7},  {7, 3},   {3, 3},  {3, 5}, {0, 5}};
// The same clearance reached by a vertical cut from the bottom edge.
const Contour kPourCutUp{{0, 0}, {5, 0}, {5, 3}, {3, 3},  {3, 7},   {7, 7},
                         {7, 3}, {5, 3}, {5, 0}, {10, 0}, {10, 10}, {0, 10}};

TEST(RegionExact, AxisParallelContoursGiveTheirExactCover) {
  EXPECT_EQ(fill({{0, 0}, {2, 0}, {2, 1}, {0, 1}}), (Rects{{0, 2, 0, 1}}));
  // Collinear points on every side and a doubled point change nothing.
  EXPECT_EQ(fill({{0, 0}, {1, 0}, {2, 0}, {2, 0.4}, {2, 1}, {2, 1}, {1, 1}, {0, 1}, {0, 0.3}}),
            (Rects{{0, 2, 0, 1}}));
  EXPECT_EQ(fill({{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}),
            (Rects{{0, 2, 0, 1}, {0, 1, 1, 2}}));
  for (const Contour& pour : {kPourCutAcross, kPourCutUp}) {
    const Rects rs = fill(pour);
    expect_proper(rs);
    EXPECT_EQ(rs.size(), 4u);
    EXPECT_DOUBLE_EQ(area(rs), 84.0);
    EXPECT_FALSE(covered(rs, 5, 5));
    EXPECT_FALSE(covered(rs, 5, 3.5));  // above the vertical cut line
    EXPECT_TRUE(covered(rs, 1, 5));
  }
}

TEST(RegionSlanted, CoverIsConservativeThinAndNoTallerThanAsked) {
  for (const Contour& c : {kTriangle, kDiamond, kChevron}) {
    for (const double slab : {0.1, 0.37}) {
      const Rects rs = fill(c, slab);
      expect_proper(rs, slab);
      expect_conservative(c, rs);
      const auto [exact, perimeter] = measure(c);
      EXPECT_GE(area(rs), exact - 1e-9);
      EXPECT_LE(area(rs), exact + perimeter * slab);
    }
  }
  EXPECT_FALSE(covered(fill(kChevron), 4, 2));  // the notch stays open
  // Beside a chamfered arm the straight arm stays one rectangle from y = 4 up.
  const Contour u{{0, 0}, {10, 0}, {10, 6}, {8, 10}, {6, 10}, {6, 4}, {4, 4}, {4, 10}, {0, 10}};
  const Rects rs = fill(u);
  expect_proper(rs);
  expect_conservative(u, rs);
  EXPECT_EQ(rs.size(), 3u + 40u);
  EXPECT_EQ(std::count(rs.begin(), rs.end(), Box{0, 4, 4, 10}), 1);
}

TEST(RegionSlanted, OrientationAndClosingPointDoNotChangeTheCover) {
  for (Contour c : {kTriangle, kDiamond, kChevron, kPourCutAcross}) {
    const Rects rs = fill(c);
    EXPECT_EQ(fill(reversed(c)), rs);
    c.push_back(c.front());
    EXPECT_EQ(fill(c), rs);
  }
}

TEST(RegionSlanted, WithoutAUsableHeightEachSlabIsOneRow) {
  for (const double slab : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(fill(kTriangle, slab), (Rects{{0, 10, 0, 8}}));
    EXPECT_EQ(fill(kDiamond, slab), (Rects{{0, 10, 0, 5}, {0, 10, 5, 10}}));
  }
}

TEST(RegionDegenerate, NoAreaOrUnusableInputGivesNothing) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Contour> nothing{{},
                                     {{1, 1}},
                                     {{0, 0}, {5, 5}},
                                     {{0, 0}, {3, 0}, {9, 0}},
                                     {{2, 0}, {2, 4}, {2, 9}},
                                     {{0, 0}, {3, 1}, {9, 3}, {1.5, 0.5}},
                                     {{0, 0}, {5, 5}, {10, 10}},
                                     {{1, 1}, {1, 1}, {1, 1}, {1, 1}},
                                     {{0, 0}, {4, 0}, {4, std::nan("")}, {0, 4}},
                                     {{0, 0}, {inf, 0}, {0, 4}},
                                     {{-1e308, 0}, {1e308, 0}, {0, 4}},
                                     {{0, -1e308}, {4, 0}, {0, 1e308}}};
  for (const Contour& c : nothing) {
    Rects out{{1, 2, 3, 4}};
    fill_region(c, 0.1, out);
    EXPECT_EQ(out, (Rects{{1, 2, 3, 4}})) << "contour of " << c.size() << " points";
  }
  // A zero-area spike walked out and back adds nothing to a square.
  EXPECT_EQ(fill({{0, 0}, {4, 0}, {4, 4}, {6, 7}, {4, 4}, {0, 4}}), (Rects{{0, 4, 0, 4}}));
}

TEST(RegionDegenerate, SelfCrossingContoursAreFilledEvenOdd) {
  const Contour bow_tie{{0, 0}, {10, 10}, {10, 0}, {0, 10}};
  const Contour pentagram{{5, 0}, {8, 9.5}, {0, 3.6}, {10, 3.6}, {2, 9.5}};
  ASSERT_FALSE(inside(bow_tie, 5, 2) || inside(pentagram, 5, 5));
  EXPECT_FALSE(covered(fill(bow_tie), 5, 2));    // between the lobes
  EXPECT_FALSE(covered(fill(pentagram), 5, 5));  // the even centre
  expect_conservative(pentagram, fill(pentagram));
}

TEST(RegionLimits, HostileSizesStayBounded) {
  RegionLimits few;
  few.subdivision_rows = 100;
  const Rects coarse = [&] {
    Rects out;
    fill_region(kTriangle, 1e-6, out, few);
    return out;
  }();
  ASSERT_LE(coarse.size(), 101u);
  expect_conservative(kTriangle, coarse);

  RegionLimits tight;
  tight.rectangles = 50;
  Rects out{{1, 2, 3, 4}};
  EXPECT_THROW(fill_region(kTriangle, 0.1, out, tight), std::length_error);
  EXPECT_EQ(out, (Rects{{1, 2, 3, 4}}));
  tight = RegionLimits{};
  tight.edge_visits = 100;
  EXPECT_THROW(fill_region(kTriangle, 0.1, out, tight), std::length_error);
  EXPECT_EQ(out, (Rects{{1, 2, 3, 4}}));
}

// Found by fuzzing: a slanted contour hundreds of metres tall, a few lines of
// a file, made two million rows under the default limits.
TEST(RegionLimits, GiantSlantedContourIsCutIntoBoundedRows) {
  const Contour giant{{0, 0}, {1000, 0}, {500, 300'000}};  // 300 m tall
  Rects out;
  fill_region(giant, 0.1, out);
  EXPECT_LE(out.size(), RegionLimits{}.subdivision_rows + 1);
  EXPECT_LE(RegionLimits{}.subdivision_rows, 100'000u);
  expect_conservative(giant, out);
}

TEST(RegionRandom, CellUnionsAreCoveredExactly) {
  std::mt19937 rng(20240611);
  std::bernoulli_distribution coin;
  for (int round = 0; round < 150; ++round) {
    // Cells of an 8 x 8 grid, each its own square reached from the origin by a
    // slanted cut and left along the same cut: cuts cancel, shared sides too.
    Contour cells{{0, 0}};
    std::vector<bool> filled(64);
    for (int k = 0; k < 64; ++k) {
      filled[k] = coin(rng);
      const double x = k % 8, y = k / 8;
      if (filled[k])
        for (Point p : {Point{x, y}, {x + 1, y}, {x + 1, y + 1}, {x, y + 1}, {x, y}, {0, 0}})
          cells.push_back(p);
    }
    const Rects rc = fill(cells, 0.3);
    expect_proper(rc);
    EXPECT_DOUBLE_EQ(area(rc), double(std::count(filled.begin(), filled.end(), true)));
    for (int k = 0; k < 64; ++k) ASSERT_EQ(covered(rc, k % 8 + 0.5, k / 8 + 0.5), filled[k]);
  }
}

TEST(RegionRandom, ArbitraryPolygonsAreCoveredConservatively) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(0, 10);
  for (int round = 0; round < 60; ++round) {
    Contour c(std::uniform_int_distribution<int>(3, 12)(rng));
    for (Point& p : c) p = {coord(rng), coord(rng)};
    const Rects rs = fill(c, 0.25);
    expect_proper(rs, 0.25);
    expect_conservative(c, rs, 0.1);
  }
}

}  // namespace
}  // namespace foilcad
