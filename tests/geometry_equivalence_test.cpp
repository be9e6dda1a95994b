// The grouped geometry stages against the plain loops of geometry/reference.hpp
// on generated boards, fixed seeds. Set FOILCAD_EQUIVALENCE_SCALE=N to run N
// times as many boards (with other seeds) by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "geometry/geometry.hpp"
#include "geometry/reference.hpp"
#include "photoplot/reader.hpp"
#include "test_support.hpp"

namespace foilcad {
namespace {

using Rng = std::mt19937_64;

// Draws from [lo, hi] the same way on every standard library.
long long pick(Rng& rng, long long lo, long long hi) {
  return lo + static_cast<long long>(rng() % static_cast<unsigned long long>(hi - lo + 1));
}
bool chance(Rng& rng, int percent) { return pick(rng, 0, 99) < percent; }

int scale() {
  const char* text = std::getenv("FOILCAD_EQUIVALENCE_SCALE");
  return text == nullptr ? 1 : std::max(1, std::atoi(text));
}

struct Board {
  std::vector<Box> rectangles;
  Box extremes = kNoExtremes;
};

std::string describe(const Board& board) {
  std::string text = "extremes x " + std::to_string(board.extremes.min_x) + " .. " +
                     std::to_string(board.extremes.max_x) + ", y " +
                     std::to_string(board.extremes.min_y) + " .. " +
                     std::to_string(board.extremes.max_y) + "\n";
  char line[160];
  for (std::size_t r = 0; r < board.rectangles.size() && r < 40; ++r) {
    const Box& q = board.rectangles[r];
    std::snprintf(line, sizeof line, "  %zu: x %.17g .. %.17g, y %.17g .. %.17g\n", r, q.min_x,
                  q.max_x, q.min_y, q.max_y);
    text += line;
  }
  if (board.rectangles.size() > 40) text += "  ...\n";
  return text;
}

enum class Lines { bitwise, within_tolerance };

bool same_line(double a, double b, Lines lines) {
  if (std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b)) return true;
  return lines == Lines::within_tolerance && std::fabs(a - b) < kTolerance;
}

::testing::AssertionResult same_lines(const std::vector<double>& fast,
                                      const std::vector<double>& plain, Lines lines,
                                      const char* axis) {
  if (fast.size() != plain.size()) {
    return ::testing::AssertionFailure() << axis << " list has " << fast.size()
                                         << " lines, the plain loops give " << plain.size();
  }
  for (std::size_t i = 0; i < fast.size(); ++i) {
    if (!same_line(fast[i], plain[i], lines)) {
      return ::testing::AssertionFailure() << axis << " line " << i << " is " << fast[i]
                                           << ", the plain loops give " << plain[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Runs both ways and compares everything the later stages read.
::testing::AssertionResult equivalent(const Board& board, Lines lines) {
  std::vector<Box> pieces = board.rectangles;
  const std::size_t count = reference::split_rectangles(pieces);
  const CoordinateLists plain_lists = reference::build_coordinate_lists(pieces, board.extremes);
  const CellMap plain_map = reference::build_cell_map(pieces, plain_lists);

  const SplitBoard split = split_rectangles(board.rectangles);
  const CoordinateLists lists = build_coordinate_lists(split, board.extremes);
  const CellMap map = build_cell_map(split, lists);

  const std::size_t plain_pieces = count > kFirstActive ? count - kFirstActive : 0;
  if (split.pieces != plain_pieces) {
    return ::testing::AssertionFailure() << split.pieces << " pieces, the plain loops make "
                                         << plain_pieces << "\n" << describe(board);
  }
  for (const auto& result : {same_lines(lists.x, plain_lists.x, lines, "x"),
                             same_lines(lists.y, plain_lists.y, lines, "y")}) {
    if (!result) return ::testing::AssertionFailure() << result.message() << "\n" << describe(board);
  }
  if (map.columns != plain_map.columns || map.rows != plain_map.rows) {
    return ::testing::AssertionFailure() << "map size differs\n" << describe(board);
  }
  for (std::size_t k = 0; k < map.rows; ++k) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      if (map.at(i, k) != plain_map.at(i, k)) {
        return ::testing::AssertionFailure()
               << "cell (" << i << ", " << k << ") is " << int{map.at(i, k)}
               << ", the plain loops give " << int{plain_map.at(i, k)} << "\n"
               << describe(board);
      }
    }
  }
  // The map follows from the groups alone, whichever member of a group a list
  // holds: the plain lists give the same map too.
  if (build_cell_map(split, plain_lists) != plain_map) {
    return ::testing::AssertionFailure() << "map from the plain lists differs\n" << describe(board);
  }
  return ::testing::AssertionSuccess();
}

// How a board's numbers are made.
struct Units {
  // A coordinate step in mm and an aperture step in mm.
  double coordinate;
  double aperture;
};

// Steps that add and subtract exactly, so that edges on paper equal are equal.
constexpr Units kDyadic{0.25, 0.125};
// What the reader makes of a 2.4 format in inches: coordinates scaled by the
// single-precision power and inch factors, aperture sizes read as decimals.
Units photoplot_inches() { return {kInchFactor * power_factor(4), kInchFactor * 1e-4}; }

struct Shape {
  int features;   // strokes and flashes
  int span;       // coordinates 0 .. span steps (a quarter of that below zero too)
  int largest;    // aperture sizes up to this many aperture steps
  int reach = 0;  // how far a track goes in steps; 0: anywhere on the board
};

// Rectangles drawn as the grid model draws a photoplot's pads and tracks
// without an image transform: a flash is the square of the aperture's size on
// its point, a stroke the box of its ends grown by half the size. Infinite
// bounds are kept (the grid model refuses them before the geometry sees them).
class Plotter {
 public:
  void define_aperture(long long code, double size) {
    const double h = 0.5 * size;
    apertures_[code] = {-h, h, -h, h};
  }
  void select_aperture(long long code) { code_ = code; }
  void set_x(double x) {
    x_ = x;
    note(x, extremes.min_x, extremes.max_x);
  }
  void set_y(double y) {
    y_ = y;
    note(y, extremes.min_y, extremes.max_y);
  }
  void plot_move() {
    px_ = x_;
    py_ = y_;
  }
  void plot_flash() {
    const Box e = extent();
    rectangles.push_back({x_ + e.min_x, x_ + e.max_x, y_ + e.min_y, y_ + e.max_y});
    plot_move();
  }
  void plot_stroke() {
    const Box e = extent();
    const double low_x = x_ < px_ ? x_ : px_;
    const double high_x = px_ <= x_ ? x_ : px_;
    const double low_y = y_ < py_ ? y_ : py_;
    const double high_y = py_ <= y_ ? y_ : py_;
    rectangles.push_back({low_x + e.min_x, high_x + e.max_x, low_y + e.min_y, high_y + e.max_y});
    plot_move();
  }

  std::vector<Box> rectangles;
  Box extremes = kNoExtremes;

 private:
  static void note(double v, double& low, double& high) {
    if (v < low) low = v;
    if (high < v) high = v;
  }
  Box extent() const {
    const auto it = apertures_.find(code_);
    return it == apertures_.end() ? Box{0.0, 0.0, 0.0, 0.0} : it->second;
  }

  std::map<long long, Box> apertures_;
  long long code_ = 0;
  double x_ = 0.0, y_ = 0.0, px_ = 0.0, py_ = 0.0;
};

// A board drawn the way a photoplot draws it: apertures, moves, strokes that
// continue a path or share an edge with the last track, flashes, repeats,
// apertures never defined (size zero).
Board draw_board(Rng& rng, const Shape& shape, const Units& units) {
  Plotter plot;
  const int apertures = static_cast<int>(pick(rng, 1, 6));
  for (int a = 0; a < apertures; ++a) {
    const long long size = chance(rng, 10) ? 0 : pick(rng, 1, shape.largest);
    if (units.aperture == kDyadic.aperture) {
      plot.define_aperture(10 + a, static_cast<double>(size) * units.aperture);
    } else {
      // As "%ADD0nnC,0.0sss*%" reads: the decimal, then the inch factor.
      plot.define_aperture(10 + a, (static_cast<double>(size) / 10000.0) * kInchFactor);
    }
  }
  // Coordinates are whole steps, scaled the way the reader scales them.
  const long long low = -shape.span / 4;
  long long x = 0;
  long long y = 0;
  const auto anywhere = [&]() { return pick(rng, low, shape.span); };
  const auto move_to = [&](long long to_x, long long to_y) {
    x = to_x;
    y = to_y;
    plot.set_x(static_cast<double>(x) * units.coordinate);
    plot.set_y(static_cast<double>(y) * units.coordinate);
  };
  for (int f = 0; f < shape.features;) {
    const long long action = pick(rng, 0, 99);
    if (action < 8) {
      // Undefined codes draw with size zero.
      plot.select_aperture(chance(rng, 20) ? 99 : 10 + pick(rng, 0, apertures - 1));
    } else if (action < 16) {
      move_to(chance(rng, 10) ? anywhere() * 3 : anywhere(), anywhere());
      plot.plot_move();
    } else if (action < 40) {
      move_to(anywhere(), anywhere());
      plot.plot_flash();
      ++f;
    } else if (action < 48) {
      plot.plot_flash();  // again where the last one was
      ++f;
    } else {
      // A track from where the last one ended, so that tracks share ends and
      // edges: horizontal, vertical, diagonal or of zero length. Short tracks
      // keep big boards to a few pieces per track.
      const auto next = [&](long long from) {
        return shape.reach == 0 ? anywhere() : from + pick(rng, -shape.reach, shape.reach);
      };
      const long long direction = pick(rng, 0, 9);
      if (direction < 4) {
        move_to(next(x), y);
      } else if (direction < 8) {
        move_to(x, next(y));
      } else if (direction < 9) {
        move_to(next(x), next(y));
      } else {
        move_to(x, y);
      }
      plot.plot_stroke();
      ++f;
    }
  }
  return {plot.rectangles, plot.extremes};
}

// Sometimes moves the extremes onto edge values, into rectangles, onto each
// other, or back to "no coordinate".
void move_extremes(Rng& rng, Board& board, bool between_edges = true) {
  if (board.rectangles.size() <= kFirstActive || !chance(rng, 30)) return;
  const auto some_value = [&](bool x) {
    const Box& r = board.rectangles[static_cast<std::size_t>(
        pick(rng, kFirstActive, static_cast<long long>(board.rectangles.size()) - 1))];
    const double lower = x ? r.min_x : r.min_y;
    const double upper = x ? r.max_x : r.max_y;
    switch (pick(rng, 0, between_edges ? 3 : 1)) {
      case 0: return lower;
      case 1: return upper;
      case 2: return 0.5 * (lower + upper);
      default: return lower + 0.25 * (upper - lower);
    }
  };
  double* const extremes[4] = {&board.extremes.min_x, &board.extremes.max_x,
                               &board.extremes.min_y, &board.extremes.max_y};
  for (int e = 0; e < 4; ++e) {
    if (chance(rng, 50)) *extremes[e] = some_value(e < 2);
  }
  if (chance(rng, 20)) board.extremes.max_x = board.extremes.min_x;
  if (chance(rng, 10)) board.extremes = kNoExtremes;
}

void run_boards(std::uint64_t seed, int boards, const Units& units, Lines lines,
                const std::vector<Shape>& shapes) {
  for (int s = 0; s < scale(); ++s) {
    Rng rng(seed + static_cast<std::uint64_t>(s) * 0x9E3779B97F4A7C15ull);
    for (int b = 0; b < boards; ++b) {
      const Shape& shape = shapes[static_cast<std::size_t>(b) % shapes.size()];
      Board board = draw_board(rng, shape, units);
      move_extremes(rng, board);
      ASSERT_TRUE(equivalent(board, lines)) << "seed " << seed << " round " << s << " board " << b;
    }
  }
}

// Boards of 1 to 60 features in numbers, on grids of a few to 30 steps, with
// tracks anywhere or a few steps long.
const std::vector<Shape> kMixedShapes = {
    {1, 4, 2},   {3, 6, 2},   {5, 8, 3},    {6, 10, 4},    {8, 10, 4},
    {12, 12, 6}, {20, 16, 6}, {30, 20, 8},  {4, 3, 2},     {10, 5, 3},
    {25, 8, 2},  {40, 12, 4, 3}, {40, 20, 6, 2}, {60, 30, 4, 2},
};

TEST(GeometryEquivalence, DyadicBoardsGiveTheSameBits) {
  run_boards(1, 1000, kDyadic, Lines::bitwise, kMixedShapes);
}

TEST(GeometryEquivalence, PhotoplotScaledBoardsGiveTheSameBits) {
  run_boards(2, 700, photoplot_inches(), Lines::bitwise, kMixedShapes);
}

TEST(GeometryEquivalence, BoardsOfThousandsOfFeatures) {
  // Short tracks and small pads on a coarse grid: the plain loops take time
  // with the square of the pieces, some 10,000 here.
  run_boards(3, 1, kDyadic, Lines::bitwise, {{1000, 24, 1, 1}});
  run_boards(4, 2, photoplot_inches(), Lines::bitwise, {{400, 16, 2, 2}, {2000, 40, 1, 1}});
}

// Rectangles straight from numbers: a dyadic grid, with bounds nudged by a few
// steps of the double (what rounding does to edges equal on paper) or moved by
// a fraction of the tolerance, zeros of either sign, and the first four
// rectangles lying across the others.
Board nudged_board(Rng& rng, int rectangles, int span, double spacing, double base, double jitter,
                   bool extremes_between_edges = true) {
  Board board;
  const auto value = [&]() {
    double v = base + static_cast<double>(pick(rng, -span / 4, span)) * spacing;
    if (v == 0.0 && chance(rng, 50)) v = -0.0;
    switch (pick(rng, 0, 5)) {
      case 0: v = std::nextafter(v, 1e300); break;
      case 1: v = std::nextafter(std::nextafter(v, -1e300), -1e300); break;
      case 2: v += static_cast<double>(pick(rng, -4, 4)) * jitter; break;
      default: break;
    }
    return v;
  };
  for (int r = 0; r < rectangles; ++r) {
    double a = value();
    double b = chance(rng, 15) ? a : value();
    double c = value();
    double d = chance(rng, 15) ? c : value();
    board.rectangles.push_back({std::min(a, b), std::max(a, b), std::min(c, d), std::max(c, d)});
  }
  board.extremes = {base, base + span * spacing, base - spacing, base + span * spacing};
  move_extremes(rng, board, extremes_between_edges);
  return board;
}

TEST(GeometryEquivalence, ValuesThatDifferByRoundingGiveTheSameMap) {
  // Groups of several different values: the lists may keep another member of
  // a group than the plain loops, never another number of lines.
  Rng rng(5);
  for (int b = 0; b < 1500 * scale(); ++b) {
    const int count = static_cast<int>(pick(rng, 1, b % 10 == 0 ? 60 : 14));
    const Board board = nudged_board(rng, count, 8, 0.5, chance(rng, 50) ? 0.0 : 1000.0, 1e-12);
    ASSERT_TRUE(equivalent(board, Lines::within_tolerance)) << "board " << b;
  }
}

TEST(GeometryEquivalence, GroupsCloseToTheTolerance) {
  // Values 2.5 tolerances apart, each moved by up to 0.4 of one: every group
  // narrower than the tolerance, neighbours cut each other by a hair. Near 0
  // and near 1000 mm, where a double's step is 1e-13.
  Rng rng(6);
  for (int b = 0; b < 1000 * scale(); ++b) {
    const int count = static_cast<int>(pick(rng, 1, 14));
    const double base = b % 2 == 0 ? 0.0 : 1000.0;
    // Extremes stay on edge values: halfway between two groups an extreme
    // would lie within the tolerance of some values of a group and not others.
    const Board board =
        nudged_board(rng, count, 8, 2.5 * kTolerance, base, 0.1 * kTolerance, false);
    ASSERT_TRUE(equivalent(board, Lines::within_tolerance)) << "board " << b;
  }
}

TEST(GeometryEquivalence, OverflowedBoundsAreLinesOfTheirOwn) {
  // A coordinate near the largest double plus half an aperture overflows to
  // an infinity: it is never within the tolerance of anything, so each piece
  // that carries it adds a grid line, and no cell next to one is copper.
  Rng rng(7);
  for (int b = 0; b < 300 * scale(); ++b) {
    Plotter plot;
    plot.define_aperture(10, 1e308);
    plot.define_aperture(11, 0.5);
    const int features = static_cast<int>(pick(rng, 5, 12));
    for (int f = 0; f < features; ++f) {
      plot.select_aperture(chance(rng, 30) ? 10 : 11);
      const auto coordinate = [&]() {
        return chance(rng, 15) ? (chance(rng, 50) ? 1.7e308 : -1.7e308)
                               : static_cast<double>(pick(rng, 0, 6));
      };
      plot.set_x(coordinate());
      plot.set_y(coordinate());
      if (chance(rng, 50)) {
        plot.plot_flash();
      } else {
        plot.plot_stroke();
      }
    }
    const Board board{plot.rectangles, plot.extremes};
    ASSERT_TRUE(equivalent(board, Lines::bitwise)) << "board " << b;
  }
}

TEST(GeometryEquivalence, BoardsWithoutActiveRectangles) {
  Rng rng(8);
  for (int count = 0; count <= 4; ++count) {
    Board board = nudged_board(rng, count, 8, 0.5, 0.0, 0.0);
    EXPECT_TRUE(equivalent(board, Lines::bitwise));
    board.extremes = kNoExtremes;
    EXPECT_TRUE(equivalent(board, Lines::bitwise));
  }
}

// The choices the grouped stages make where the plain loops depend on the
// order of the pieces (see the note in geometry.cpp).

TEST(GeometryDecisions, AGroupKeepsTheValueOfferedFirstBeforeCutting) {
  const double low = 1.0;
  const double high = std::nextafter(1.0, 2.0);
  const Box outline{0, 0, 0, 0};
  const std::vector<Box> list = {outline, outline, outline, outline,
                                       {-1, high, 0, 1}, {low, 3, 0, 1}};
  const SplitBoard board = split_rectangles(list);
  const CoordinateLists lists = build_coordinate_lists(board, {-1, 3, 0, 1});
  EXPECT_EQ(lists.x, (std::vector<double>{-1, -1, high, 3, 3}));
  // A signed zero is such a group too: the first offer decides the sign.
  const std::vector<Box> zeros = {outline, outline, outline, outline, {-0.0, 0.0, 0, 1}};
  const auto zero_lines = build_coordinate_lists(split_rectangles(zeros), {1, 1, 0, 1}).x;
  ASSERT_EQ(zero_lines.size(), 3u);
  EXPECT_TRUE(std::signbit(zero_lines[0]));
}

TEST(GeometryDecisions, ValuesExactlyTheToleranceApartCutEachOther) {
  // 0 and kTolerance are two lines (not within the tolerance of each other),
  // yet the cut test does not let either cut a rectangle bounded by the other.
  // Grouped, they cut like any two lines, so [0, 2] is copper in both columns.
  const Box outline{0, 0, 0, 0};
  const std::vector<Box> list = {outline, outline, outline, outline,
                                       {0, 2, 0, 1}, {kTolerance, 3, 5, 6}};
  const SplitBoard board = split_rectangles(list);
  const CoordinateLists lists = build_coordinate_lists(board, {0, 3, 0, 6});
  const CellMap map = build_cell_map(board, lists);
  ASSERT_EQ(lists.x, (std::vector<double>{0, 0, kTolerance, 2, 3, 3}));
  EXPECT_EQ(map.at(1, 1), 1);
  EXPECT_EQ(map.at(2, 1), 1);
  EXPECT_EQ(board.pieces, 2u + 2u);
}

}  // namespace
}  // namespace foilcad
