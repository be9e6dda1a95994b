#include "exact/tiles.hpp"

#include <algorithm>
#include <vector>

#include "exact/booleans.hpp"
#include "exact/parallel.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// A tile holds about this many vertices of the pieces that meet it.
constexpr std::size_t kPointsPerTile = 20'000;
constexpr int kMaxTileLevels = 7;  // at most 128 x 128 tiles

// The board's box cut into n x n tiles.
struct TileGrid {
  UnitBox board;
  int n;

  static std::size_t index(int x, int y, int n) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(n) + static_cast<std::size_t>(x);
  }

  static cInt edge(int i, int n, cInt low, cInt high) {
    return low + static_cast<cInt>(((high - low) * i) / n);
  }

  // Tile (x, y) of the board cut into n x n.
  UnitBox tile(int x, int y, int of) const {
    return {edge(x, of, board.min_x, board.max_x), edge(x + 1, of, board.min_x, board.max_x),
            edge(y, of, board.min_y, board.max_y), edge(y + 1, of, board.min_y, board.max_y)};
  }

  // The tile a coordinate lies in; one on a border between tiles belongs to
  // both, the lower is given (the box's other end finds the higher).
  int tile_of(cInt v, cInt low, cInt high) const {
    if (v <= low) return 0;
    if (v >= high) return n - 1;
    int t = static_cast<int>(((v - low) * n) / (high - low));
    t = std::min(t, n - 1);
    while (t > 0 && edge(t, n, low, high) >= v) --t;
    return t;
  }

  // Outer contours that touch the border of r inside the board's box go up
  // to be united with their neighbours; the others are done. Holes never
  // touch the border (copper surrounds them within r) and stay holes
  // whatever their outer contour is united with: they are done at once, so
  // that the unions above see outer contours only.
  void sort(Paths paths, const UnitBox& r, Paths& up, Paths& done) const {
    const UnitBox& w = board;
    for (Path& path : paths) {
      bool touches = false;
      if (ClipperLib::Orientation(path)) {
        for (const IntPoint& q : path) {
          if ((q.X == r.min_x && r.min_x != w.min_x) || (q.X == r.max_x && r.max_x != w.max_x) ||
              (q.Y == r.min_y && r.min_y != w.min_y) || (q.Y == r.max_y && r.max_y != w.max_y)) {
            touches = true;
            break;
          }
        }
      }
      (touches ? up : done).push_back(std::move(path));
    }
  }
};

}  // namespace

Paths unite_tiles(const TileSource& source) {
  const std::vector<Piece>& pieces = source.pieces.pieces;
  const UnitBox w = box_of(source.board);
  std::size_t points = 0;
  for (const Piece& p : pieces) {
    if (p.box.intersects(w)) points += p.points;
  }
  int levels = 0;
  while (levels < kMaxTileLevels && points > kPointsPerTile << (2 * levels)) ++levels;
  const TileGrid grid{w, 1 << levels};
  const int tiles = grid.n;
  // The pieces of each tile, in order.
  std::vector<std::vector<std::size_t>> listed(static_cast<std::size_t>(tiles) * tiles);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const UnitBox& b = pieces[i].box;
    if (!b.intersects(w)) continue;
    const int x0 = grid.tile_of(b.min_x, w.min_x, w.max_x);
    const int x1 = grid.tile_of(b.max_x, w.min_x, w.max_x);
    const int y0 = grid.tile_of(b.min_y, w.min_y, w.max_y);
    const int y1 = grid.tile_of(b.max_y, w.min_y, w.max_y);
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) listed[TileGrid::index(x, y, tiles)].push_back(i);
    }
  }
  // Each tile's contours: outer ones that reach a border go up a level.
  std::vector<Paths> up(listed.size());
  std::vector<Paths> done(listed.size());
  parallel(listed.size(), [&](std::size_t i) {
    const int x = static_cast<int>(i % static_cast<std::size_t>(tiles));
    const int y = static_cast<int>(i / static_cast<std::size_t>(tiles));
    const UnitBox r = grid.tile(x, y, tiles);
    grid.sort(tile_copper(source, listed[i], r), r, up[i], done[i]);
  });
  for (int n = tiles / 2; n >= 1; n /= 2) {
    const std::size_t groups = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    std::vector<Paths> next_up(groups);
    const std::size_t first_done = done.size();
    done.resize(first_done + groups);
    parallel(groups, [&](std::size_t i) {
      const int x = static_cast<int>(i % static_cast<std::size_t>(n));
      const int y = static_cast<int>(i / static_cast<std::size_t>(n));
      Paths crossing;
      int parts = 0;
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          Paths& u = up[TileGrid::index(2 * x + dx, 2 * y + dy, 2 * n)];
          if (u.empty()) continue;
          ++parts;
          for (Path& p : u) crossing.push_back(std::move(p));
        }
      }
      // Strictly simple, as every tile's copper is. Which hole lies in which
      // outer contour is not needed (and would cost as much again).
      if (parts > 1) crossing = unite(crossing, ClipperLib::pftNonZero, Touching::separated);
      grid.sort(std::move(crossing), grid.tile(x, y, n), next_up[i], done[first_done + i]);
    });
    up = std::move(next_up);
  }
  Paths copper;
  for (Paths& paths : up) done.push_back(std::move(paths));
  for (Paths& paths : done) {
    for (Path& p : paths) copper.push_back(std::move(p));
  }
  return copper;
}

}  // namespace foilcad::exact
