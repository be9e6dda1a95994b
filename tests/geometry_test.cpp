// Board geometry: cutting rectangles along each other's edges, the grid lines
// and the copper cells, as the plain algorithms do it piece by piece. The
// grouped stages are held to these results by the equivalence test.
#include <gtest/gtest.h>

#include <vector>

#include "geometry/reference.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

using reference::build_cell_map;
using reference::build_coordinate_lists;
using reference::split_rectangles;

constexpr double kTol = 1.000000013351432e-10;     // 1e-10 in single precision
constexpr double kStart = 1.0000000150474662e+30;  // 1e30 in single precision

// The first four rectangles of a list are the board outline. These would cut
// the active rectangles below at x = 0.5 and y = 2.5, and the last coincides
// with a grid cell, if they took part.
const std::vector<Box> kOutline = {
    {-1, 4, -1, 4}, {0.5, 0.5, -1, 4}, {-1, 4, 2.5, 2.5}, {1, 2, 0, 1}};

std::vector<Box> board(const std::vector<Box>& active) {
  std::vector<Box> list = kOutline;
  list.insert(list.end(), active.begin(), active.end());
  return list;
}

// A 3 x 3 pad with a 1 x 1 pad inside, after splitting: the outer one in
// nine pieces, in the order the cuts make them, the inner one whole.
const std::vector<Box> kNinePieces = {
    {0, 1, 0, 1}, {1, 2, 1, 2}, {1, 2, 0, 1}, {0, 1, 1, 2}, {1, 2, 1, 2},
    {2, 3, 0, 1}, {0, 1, 2, 3}, {2, 3, 1, 2}, {1, 2, 2, 3}, {2, 3, 2, 3},
};

TEST(Split, PadInsideAPadBecomesNinePieces) {
  std::vector<Box> list = board({{0, 3, 0, 3}, {1, 2, 1, 2}});
  EXPECT_EQ(split_rectangles(list), 14u);
  EXPECT_EQ(list, board(kNinePieces));
}

TEST(Split, TrackIsCutByTheEdgesOfAPadItDoesNotTouch) {
  std::vector<Box> list = board({{1, 2, 5, 6}, {0, 10, 0, 0.2}});
  EXPECT_EQ(split_rectangles(list), 8u);
  EXPECT_EQ(list, board({{1, 2, 5, 6}, {0, 1, 0, 0.2}, {1, 2, 0, 0.2}, {2, 10, 0, 0.2}}));
}

TEST(Split, ListsThatStayAsTheyAre) {
  const std::vector<std::vector<Box>> cases = {
      {},
      {{0, 3, 0, 3}},
      {{0, 1, 0, 1}, {0, 1, 0, 1}},  // equal rectangles
      {{0, 1, 0, 1}, {1, 2, 5, 6}},  // touching in x
      {{0, 1, 0, 1}, {5, 6, 1, 2}},  // touching in y
      {{0, 0, 0, 0}, {0, 1, 0, 1}},  // zero size at a corner
  };
  for (const auto& active : cases) {
    std::vector<Box> list = board(active);
    EXPECT_EQ(split_rectangles(list), list.size());
    EXPECT_EQ(list, board(active)) << active.size() << " active";
  }
}

TEST(Split, AnEdgeCutsOnlyMoreThanTheToleranceInside) {
  struct Row {
    double edge;
    bool cuts;
  };
  const Row rows[] = {
      {1e-10, false},     {kTol, false},     {2e-10, true},     {0.5, true},
      {1 - 1e-10, false}, {1 - kTol, false}, {1 - 2e-10, true}, {0, false},
      {1, false},         {-0.5, false},     {1.5, false},
  };
  for (const Row& row : rows) {
    // The edge value is lower x and lower y of the second rectangle.
    std::vector<Box> list = board({{0, 1, 0, 1}, {row.edge, 5, row.edge, 5}});
    split_rectangles(list);
    const double kept = row.cuts ? row.edge : 1;
    EXPECT_EQ(list[4], (Box{0, kept, 0, kept})) << "edge " << row.edge;
  }
}

TEST(CoordinateLists, ExtremesThatEqualEdgesStandTwice) {
  const std::vector<Box> nine = board(kNinePieces);
  const CoordinateLists lists = build_coordinate_lists(nine, {0, 3, 0, 3});
  const std::vector<double> expected = {0, 0, 1, 2, 3, 3};
  EXPECT_EQ(lists.x, expected);
  EXPECT_EQ(lists.y, expected);

  // Cells of zero width are never copper; the nine others all are.
  const CellMap map = build_cell_map(nine, lists);
  ASSERT_EQ(map.columns, 5u);
  ASSERT_EQ(map.rows, 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t k = 0; k < 5; ++k) {
      const bool inside = i >= 1 && i <= 3 && k >= 1 && k <= 3;
      EXPECT_EQ(map.at(i, k), inside ? 1 : 0) << "cell " << i << ", " << k;
    }
  }
  EXPECT_EQ(map.copper_cells(), 9u);
}

TEST(CoordinateLists, OnlyTheExtremesWithoutActiveRectangles) {
  const std::vector<Box> list = kOutline;
  const CoordinateLists lists = build_coordinate_lists(list, {2, 7, -1, 4});
  EXPECT_EQ(lists.x, (std::vector<double>{2, 7}));
  EXPECT_EQ(lists.y, (std::vector<double>{-1, 4}));
  const CellMap map = build_cell_map(list, lists);
  EXPECT_EQ(map.flags, (std::vector<std::uint8_t>{0}));
}

TEST(CoordinateLists, AnAxisWithoutCoordinates) {
  const CoordinateLists lists =
      build_coordinate_lists(board({{0, 1, 0, 1}}), {kStart, -kStart, 0, 1});
  EXPECT_EQ(lists.x, (std::vector<double>{-1.0000000150474662e+30, 0, 1, 1.0000000150474662e+30}));
  EXPECT_EQ(lists.y, (std::vector<double>{0, 0, 1, 1}));
}

TEST(CoordinateLists, TheValueOfferedFirstStays) {
  // x values are offered lower, upper, rectangle by rectangle. 1 + 6e-11 is
  // dropped for 1; 1 + 1.2e-10 is further than the tolerance from 1 and stays
  // although it is close to the dropped value. 2 + 5e-11 comes before 2.
  const std::vector<Box> list =
      board({{1, 2 + 5e-11, 0, 1}, {1 + 6e-11, 3, 0, 1}, {2, 4, 0, 1}, {1 + 1.2e-10, 4, 0, 1}});
  const CoordinateLists lists = build_coordinate_lists(list, {0, 5, 0, 1});
  EXPECT_EQ(lists.x, (std::vector<double>{0, 1, 1 + 1.2e-10, 2 + 5e-11, 3, 4, 5}));
  EXPECT_EQ(lists.y, (std::vector<double>{0, 0, 1, 1}));
}

TEST(CellMap, CopperWhereARectangleCoincidesWithinTheTolerance) {
  struct Row {
    double lower_x;
    bool copper;
  };
  const Row rows[] = {{0, true}, {5e-11, true}, {-5e-11, true}, {kTol, false}, {2e-10, false}};
  const CoordinateLists lists{{0, 1}, {0, 1}};
  for (const Row& row : rows) {
    const CellMap map = build_cell_map(board({{row.lower_x, 1, 0, 1}}), lists);
    EXPECT_EQ(map.at(0, 0), row.copper ? 1 : 0) << "lower x " << row.lower_x;
  }
}

TEST(CellMap, CoincidingRectanglesCountOnce) {
  const CellMap map = build_cell_map(board({{0, 1, 0, 1}, {0, 1, 0, 1}}), {{0, 1}, {0, 1}});
  EXPECT_EQ(map.flags, (std::vector<std::uint8_t>{1}));
}

TEST(CellMap, CoveringIsNotCoinciding) {
  // An unsplit rectangle over two cells, and a flash that an extreme line
  // crosses, make no copper; nor does the outline rectangle on cell (1, 0).
  EXPECT_EQ(build_cell_map(board({{0, 2, 0, 1}}), {{0, 1, 2}, {0, 1}}).copper_cells(), 0u);
  const std::vector<Box> flash = board({{-0.5, 0.5, 0, 1}});
  const CellMap map = build_cell_map(flash, build_coordinate_lists(flash, {0, 0.5, 0, 1}));
  EXPECT_EQ(map.columns, 3u);
  EXPECT_EQ(map.copper_cells(), 0u);
}

TEST(CellMap, ColumnIndexVariesFastest) {
  const CoordinateLists lists{{0, 1, 2, 3}, {0, 1, 2}};
  const CellMap map = build_cell_map(board({{2, 3, 0, 1}, {0, 1, 1, 2}}), lists);
  EXPECT_EQ(map.columns, 3u);
  EXPECT_EQ(map.rows, 2u);
  EXPECT_EQ(map.flags, (std::vector<std::uint8_t>{0, 0, 1, 1, 0, 0}));
}

}  // namespace
}  // namespace foilcad
