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
      return ::testing::AssertionFailure()
             << axis << " line " << i << " is " << fast[i] << ", the plain loops give " << plain[i];
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

  const SplitGroups split = split_rectangles(board.rectangles, kFirstActive);
  const CoordinateLists lists = build_coordinate_lists(split, board.extremes);
  const CellMap map = build_cell_map(split, lists);

  const std::size_t plain_pieces = count > kFirstActive ? count - kFirstActive : 0;
  if (split.pieces != plain_pieces) {
    return ::testing::AssertionFailure()
           << split.pieces << " pieces, the plain loops make " << plain_pieces << "\n"
           << describe(board);
  }
  for (const auto& result : {same_lines(lists.x, plain_lists.x, lines, "x"),
                             same_lines(lists.y, plain_lists.y, lines, "y")}) {
    if (!result)
      return ::testing::AssertionFailure() << result.message() << "\n" << describe(board);
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
      case 0:
        return lower;
      case 1:
        return upper;
      case 2:
        return 0.5 * (lower + upper);
      default:
        return lower + 0.25 * (upper - lower);
    }
  };
  double* const extremes[4] = {&board.extremes.min_x, &board.extremes.max_x, &board.extremes.min_y,
                               &board.extremes.max_y};
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
    {1, 4, 2},   {3, 6, 2}, {5, 8, 3},  {6, 10, 4}, {8, 10, 4},     {12, 12, 6},    {20, 16, 6},
    {30, 20, 8}, {4, 3, 2}, {10, 5, 3}, {25, 8, 2}, {40, 12, 4, 3}, {40, 20, 6, 2}, {60, 30, 4, 2},
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
      case 0:
        v = std::nextafter(v, 1e300);
        break;
      case 1:
        v = std::nextafter(std::nextafter(v, -1e300), -1e300);
        break;
      case 2:
        v += static_cast<double>(pick(rng, -4, 4)) * jitter;
        break;
      default:
        break;
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

// Flashes and strokes of which some reach past the largest double.
Board overflowing_board(Rng& rng) {
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
  return {plot.rectangles, plot.extremes};
}

TEST(GeometryEquivalence, OverflowedBoundsAreLinesOfTheirOwn) {
  // A coordinate near the largest double plus half an aperture overflows to
  // an infinity: it is never within the tolerance of anything, so each piece
  // that carries it adds a grid line, and no cell next to one is copper.
  Rng rng(7);
  for (int b = 0; b < 300 * scale(); ++b) {
    ASSERT_TRUE(equivalent(overflowing_board(rng), Lines::bitwise)) << "board " << b;
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
  const std::vector<Box> list = {outline, outline,          outline,
                                 outline, {-1, high, 0, 1}, {low, 3, 0, 1}};
  const SplitGroups board = split_rectangles(list, kFirstActive);
  const CoordinateLists lists = build_coordinate_lists(board, {-1, 3, 0, 1});
  EXPECT_EQ(lists.x, (std::vector<double>{-1, -1, high, 3, 3}));
  // A signed zero is such a group too: the first offer decides the sign.
  const std::vector<Box> zeros = {outline, outline, outline, outline, {-0.0, 0.0, 0, 1}};
  const auto zero_lines =
      build_coordinate_lists(split_rectangles(zeros, kFirstActive), {1, 1, 0, 1}).x;
  ASSERT_EQ(zero_lines.size(), 3u);
  EXPECT_TRUE(std::signbit(zero_lines[0]));
}

TEST(GeometryDecisions, ValuesExactlyTheToleranceApartCutEachOther) {
  // 0 and kTolerance are two lines (not within the tolerance of each other),
  // yet the cut test does not let either cut a rectangle bounded by the other.
  // Grouped, they cut like any two lines, so [0, 2] is copper in both columns.
  const Box outline{0, 0, 0, 0};
  const std::vector<Box> list = {outline, outline,      outline,
                                 outline, {0, 2, 0, 1}, {kTolerance, 3, 5, 6}};
  const SplitGroups board = split_rectangles(list, kFirstActive);
  const CoordinateLists lists = build_coordinate_lists(board, {0, 3, 0, 6});
  const CellMap map = build_cell_map(board, lists);
  ASSERT_EQ(lists.x, (std::vector<double>{0, 0, kTolerance, 2, 3, 3}));
  EXPECT_EQ(map.at(1, 1), 1);
  EXPECT_EQ(map.at(2, 1), 1);
  EXPECT_EQ(board.pieces, 2u + 2u);
}

// Clear polarity: the map built in one pass against the runs laid one over
// the other, each mapped on the whole grid (reference::build_cell_map).

// Clear runs over count active rectangles: many short runs with dark gaps of
// a few rectangles or none between them; now and then an empty run, a run
// that begins before the end of the one before, one that reaches past the
// last rectangle, or one that makes every rectangle clear.
PolarityRuns random_runs(Rng& rng, std::size_t count) {
  PolarityRuns runs;
  if (chance(rng, 3)) return {{0, count}};
  const auto longest = static_cast<std::size_t>(pick(rng, 1, 4));
  auto at = static_cast<std::size_t>(pick(rng, 0, 2));
  while (at < count) {
    const auto length = chance(rng, 5) ? 0 : static_cast<std::size_t>(pick(rng, 1, longest));
    runs.emplace_back(at, at + length);
    at += length + static_cast<std::size_t>(pick(rng, 0, static_cast<long long>(longest)));
  }
  if (chance(rng, 10)) runs.emplace_back(count / 2, count + 3);
  if (chance(rng, 10) && runs.size() > 2) {
    // An earlier run again, out of order.
    runs.insert(runs.begin() + 2, runs[static_cast<std::size_t>(pick(rng, 0, 1))]);
  }
  return runs;
}

std::string describe(const PolarityRuns& runs) {
  std::string text = "clear runs:";
  for (std::size_t r = 0; r < runs.size() && r < 40; ++r) {
    text += " [" + std::to_string(runs[r].first) + ", " + std::to_string(runs[r].second) + ")";
  }
  return text + (runs.size() > 40 ? " ...\n" : "\n");
}

// What the boards of a test went through, so that a generator that stopped
// making the hard cases shows.
struct Seen {
  int cleared = 0;            // boards where clear rectangles removed copper
  int zero_width_copper = 0;  // boards with copper in a column or row of zero width
};

enum class Grid { extremes, plain_lists, edges_only };

::testing::AssertionResult same_polarity_map(const Board& board, const PolarityRuns& runs,
                                             Grid grid, Seen& seen) {
  const std::size_t first_active = grid == Grid::edges_only ? 0 : kFirstActive;
  const SplitGroups split = split_rectangles(board.rectangles, first_active);
  CoordinateLists lists;
  if (grid == Grid::plain_lists) {
    // Lists that may hold another member of a group than the grouped ones.
    std::vector<Box> pieces = board.rectangles;
    reference::split_rectangles(pieces);
    lists = reference::build_coordinate_lists(pieces, board.extremes);
  } else if (grid == Grid::edges_only) {
    // As a board without an outline converts.
    lists = build_coordinate_lists(split);
    if (lists.x.size() < 2 || lists.y.size() < 2) {
      lists = build_coordinate_lists(split, board.extremes);
    }
  } else {
    lists = build_coordinate_lists(split, board.extremes);
  }
  const CellMap map = build_cell_map(split, lists, runs);
  const CellMap layered = reference::build_cell_map(split, lists, runs);
  if (map.columns != layered.columns || map.rows != layered.rows) {
    return ::testing::AssertionFailure() << "map size differs\n" << describe(board);
  }
  for (std::size_t k = 0; k < map.rows; ++k) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      if (map.at(i, k) != layered.at(i, k)) {
        return ::testing::AssertionFailure()
               << "cell (" << i << ", " << k << ") is " << int{map.at(i, k)} << ", layer by layer "
               << int{layered.at(i, k)} << "\n"
               << describe(board) << describe(runs);
      }
    }
  }
  if (map != build_cell_map(split, lists)) ++seen.cleared;
  for (std::size_t k = 0; k < map.rows; ++k) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      if (map.at(i, k) != 0 && (lists.x[i] == lists.x[i + 1] || lists.y[k] == lists.y[k + 1])) {
        ++seen.zero_width_copper;
        return ::testing::AssertionSuccess();
      }
    }
  }
  return ::testing::AssertionSuccess();
}

std::size_t active_count(const Board& board, Grid grid) {
  const std::size_t first = grid == Grid::edges_only ? 0 : kFirstActive;
  return board.rectangles.size() > first ? board.rectangles.size() - first : 0;
}

TEST(GeometryPolarity, DrawnBoardsGiveTheLayeredMap) {
  // Strokes, flashes and repeats of the photoplot generator; zero-size
  // apertures and zero-length strokes make pieces of zero width, extremes on
  // edges make columns of zero width and extremes inside rectangles leave
  // pieces that match no cell.
  Rng rng(11);
  Seen seen;
  const int boards = 1500 * scale();
  for (int b = 0; b < boards; ++b) {
    const Shape& shape = kMixedShapes[static_cast<std::size_t>(b) % kMixedShapes.size()];
    Board board = draw_board(rng, shape, b % 2 == 0 ? kDyadic : photoplot_inches());
    move_extremes(rng, board);
    const Grid grid = chance(rng, 20) ? Grid::edges_only : Grid::extremes;
    const PolarityRuns runs = random_runs(rng, active_count(board, grid));
    ASSERT_TRUE(same_polarity_map(board, runs, grid, seen)) << "board " << b;
  }
  EXPECT_GT(seen.cleared, boards / 2);
  EXPECT_GT(seen.zero_width_copper, boards / 50);
}

TEST(GeometryPolarity, ToleranceGroupsAndOverflowsGiveTheLayeredMap) {
  Rng rng(12);
  Seen seen;
  for (int b = 0; b < 600 * scale(); ++b) {
    const int count = static_cast<int>(pick(rng, 1, b % 10 == 0 ? 60 : 14));
    Board board;
    Grid grid = Grid::extremes;
    switch (b % 3) {
      case 0:  // values that differ by rounding, either sign of zero
        board = nudged_board(rng, count, 8, 0.5, chance(rng, 50) ? 0.0 : 1000.0, 1e-12);
        grid = chance(rng, 50) ? Grid::plain_lists : Grid::extremes;
        break;
      case 1:  // groups a hair more than the tolerance apart
        board = nudged_board(rng, count, 8, 2.5 * kTolerance, b % 2 == 0 ? 0.0 : 1000.0,
                             0.1 * kTolerance, false);
        grid = chance(rng, 50) ? Grid::plain_lists : Grid::edges_only;
        break;
      default:
        board = overflowing_board(rng);
        break;
    }
    const PolarityRuns runs = random_runs(rng, active_count(board, grid));
    ASSERT_TRUE(same_polarity_map(board, runs, grid, seen)) << "board " << b;
  }
  EXPECT_GT(seen.cleared, 100);
}

TEST(GeometryPolarity, BoardsOfThousandsOfRuns) {
  // Cost of the layered map: runs times cells, some 10^8 here.
  Rng rng(13);
  Seen seen;
  const std::vector<Shape> shapes = {{3000, 40, 3, 2}, {2000, 60, 2, 3}, {1500, 12, 6}};
  for (std::size_t b = 0; b < shapes.size(); ++b) {
    Board board = draw_board(rng, shapes[b], b == 1 ? photoplot_inches() : kDyadic);
    move_extremes(rng, board);
    const PolarityRuns runs = random_runs(rng, active_count(board, Grid::extremes));
    ASSERT_GT(runs.size(), 300u);
    ASSERT_TRUE(same_polarity_map(board, runs, Grid::extremes, seen)) << "board " << b;
  }
  EXPECT_EQ(seen.cleared, 3);
}

TEST(GeometryPolarity, HundredThousandAlternatingFlashes) {
  // A 2 mm square flash on a 1 mm grid of 60 x 60 points, dark and clear in
  // turn, with an outline of four strokes. Layer by layer this would be
  // 100,000 passes over the grid; the flashes alone say what each cell must
  // be: the polarity of the last flash over it.
  Plotter plot;
  plot.define_aperture(10, 0.01);
  plot.define_aperture(11, 2.0);
  plot.select_aperture(10);
  plot.set_x(0);
  plot.set_y(0);
  plot.plot_move();
  for (const auto& [x, y] : {std::pair{61, 0}, {61, 61}, {0, 61}, {0, 0}}) {
    plot.set_x(x);
    plot.set_y(y);
    plot.plot_stroke();
  }
  plot.select_aperture(11);
  Rng rng(14);
  constexpr int kSwitches = 100'000;
  PolarityRuns runs;
  for (int f = 0; f < kSwitches; ++f) {
    // Every second flash is clear: a run of its own among the active ones.
    if (f % 2 == 1) runs.emplace_back(f, f + 1);
    plot.set_x(static_cast<double>(pick(rng, 1, 60)));
    plot.set_y(static_cast<double>(pick(rng, 1, 60)));
    plot.plot_flash();
  }
  const SplitGroups split = split_rectangles(plot.rectangles, kFirstActive);
  const CoordinateLists lists = build_coordinate_lists(split, plot.extremes);
  const CellMap map = build_cell_map(split, lists, runs);

  // Lines at 0 to 61, the extremes 0 and 61 twice: column c + 1 spans c to
  // c + 1 for c from 0 to 60.
  ASSERT_EQ(lists.x.size(), 64u);
  ASSERT_EQ(lists.y, lists.x);
  std::vector<std::uint8_t> expected(map.flags.size(), 0);
  for (std::size_t r = kFirstActive; r < plot.rectangles.size(); ++r) {
    const Box& flash = plot.rectangles[r];
    const bool dark = (r - kFirstActive) % 2 == 0;
    for (auto x = static_cast<std::size_t>(flash.min_x); x < flash.max_x; ++x) {
      for (auto y = static_cast<std::size_t>(flash.min_y); y < flash.max_y; ++y) {
        expected[(x + 1) + map.columns * (y + 1)] = dark ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(map.flags, expected);
  EXPECT_GT(map.copper_cells(), 1000u);
}

}  // namespace
}  // namespace foilcad
