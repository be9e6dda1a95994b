#include "exact/tiles.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "common/parallel.hpp"
#include "exact/booleans.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// A tile holds about this many vertices of the pieces that meet it.
constexpr std::size_t kVerticesPerTile = 20'000;
constexpr int kMaxTileLevels = 7;  // at most 128 x 128 tiles
// The cells of this level of the tiles' quadtree are traced on the cores side
// by side: 64, so that a few heavy ones still leave the cores even work. Each
// reduces the pieces it cuts from their whole contours once.
constexpr int kParallelLevel = 3;

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

// Which open half-planes beyond the box's sides hold p: 1 left of it, 2
// right, 4 below, 8 above; 0 within the box or on its border.
int beyond(const IntPoint& p, const UnitBox& b) {
  return (p.X < b.min_x ? 1 : 0) | (p.X > b.max_x ? 2 : 0) | (p.Y < b.min_y ? 4 : 0) |
         (p.Y > b.max_y ? 8 : 0);
}

// Appends the contour reduced to what matters within the box: every run of
// consecutive vertices that lie beyond one side of the box becomes its first
// and last vertex. The run and the chord that replaces it close a loop that
// lies wholly beyond that side, so every point of the box keeps its winding
// number, and every edge that meets the box keeps both its vertices: a
// boolean cut to the box has the same result with the reduced contour, and
// costs what the box holds instead of what the contour holds. A contour that
// lies wholly beyond one side, or comes down to fewer than three vertices,
// winds around no point of the box and is left out.
void reduce(const Path& path, const UnitBox& box, Paths& out) {
  const std::size_t n = path.size();
  // A run may start anywhere (any split of a run is a run), but one that
  // starts where the run before it ends reduces the most.
  std::size_t start = 0;
  int common = ~0;
  for (std::size_t i = 0; i < n; ++i) {
    common &= beyond(path[i], box);
    if (start == 0 && i > 0 && (beyond(path[i], box) & beyond(path[i - 1], box)) == 0) start = i;
  }
  if (common != 0) return;
  Path& reduced = out.emplace_back();
  for (std::size_t i = 0; i < n;) {
    const IntPoint& first = path[(start + i) % n];
    int side = beyond(first, box);
    std::size_t end = i + 1;
    while (side != 0 && end < n) {
      const int both = side & beyond(path[(start + end) % n], box);
      if (both == 0) break;
      side = both;
      ++end;
    }
    reduced.push_back(first);
    if (end - i >= 2) reduced.push_back(path[(start + end - 1) % n]);
    i = end;
  }
  if (reduced.size() < 3) out.pop_back();
}

// The tiles of the board, each with its pieces, in a quadtree walked depth
// first: a cell hands its children the pieces that meet them, those that are
// cut to the tile reduced to the child's box. A piece of many vertices that
// spans many tiles (a large region, a pour) then costs each tile what lies
// near it, and each level of the quadtree its vertices once.
class Descent {
 public:
  Descent(const TileSource& source, const TileGrid& grid, int levels, std::vector<Paths>& up,
          std::vector<Paths>& done)
      : source_(source), grid_(grid), levels_(levels), up_(up), done_(done) {
    const std::vector<Piece>& pieces = source.pieces.pieces;
    const UnitBox& w = grid.board;
    spans_.resize(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const UnitBox& b = pieces[i].box;
      if (!b.intersects(w)) continue;
      // The tiles the piece's box meets; one on a border between tiles
      // belongs to the lower of them (and the higher, where the box goes on).
      spans_[i] = {grid.tile_of(b.min_x, w.min_x, w.max_x), grid.tile_of(b.max_x, w.min_x, w.max_x),
                   grid.tile_of(b.min_y, w.min_y, w.max_y),
                   grid.tile_of(b.max_y, w.min_y, w.max_y)};
      board_pieces_.push_back({i, source.pieces.contours_of(pieces[i])});
    }
  }

  // Cell i of the 4^level cells at `level`, with everything below it.
  void cell(int level, std::size_t i) const {
    const int n = 1 << level;
    const int x = static_cast<int>(i % static_cast<std::size_t>(n));
    const int y = static_cast<int>(i / static_cast<std::size_t>(n));
    descend(level, x, y, board_pieces_);
  }

 private:
  using TileSpan = BasicBox<int>;  // of tiles, both ends included

  void descend(int level, int x, int y, std::span<const TilePiece> pieces) const {
    const int n = 1 << level;
    const int size = 1 << (levels_ - level);  // tiles a side
    const TileSpan tiles{x * size, x * size + size - 1, y * size, y * size + size - 1};
    const UnitBox box = grid_.tile(x, y, n);
    std::vector<TilePiece> here;
    Paths reduced;
    // Reduced copies are made first and then handed on, so that growing the
    // list of copies moves none that is already handed on.
    std::vector<std::pair<std::size_t, std::size_t>> copies;  // pieces' index, reduced's first
    for (const TilePiece& t : pieces) {
      if (!spans_[t.index].intersects(tiles)) continue;
      const Piece& p = source_.pieces.pieces[t.index];
      if (p.vertices > kCutToTile && !box.contains(p.box)) {
        const std::size_t first = reduced.size();
        for (const Path& path : t.contours) reduce(path, box, reduced);
        copies.emplace_back(here.size(), first);
      }
      here.push_back(t);
    }
    for (std::size_t k = 0; k < copies.size(); ++k) {
      const std::size_t first = copies[k].second;
      const std::size_t end = k + 1 < copies.size() ? copies[k + 1].second : reduced.size();
      here[copies[k].first].contours = PathSpan(reduced.data() + first, end - first);
    }
    if (level == levels_) {
      const std::size_t tile = TileGrid::index(x, y, n);
      grid_.sort(tile_copper(source_, here, box), box, up_[tile], done_[tile]);
      return;
    }
    for (int dy = 0; dy < 2; ++dy) {
      for (int dx = 0; dx < 2; ++dx) descend(level + 1, 2 * x + dx, 2 * y + dy, here);
    }
  }

  const TileSource& source_;
  const TileGrid& grid_;
  int levels_;
  std::vector<Paths>& up_;
  std::vector<Paths>& done_;
  std::vector<TileSpan> spans_;
  std::vector<TilePiece> board_pieces_;
};

}  // namespace

Paths unite_tiles(const TileSource& given) {
  std::vector<UnitBox> board_boxes;
  board_boxes.reserve(given.board.size());
  UnitBox w = UnitBox::nothing();  // the board's
  for (const Path& p : given.board) w.add(board_boxes.emplace_back(box_of(p)));
  const TileSource source{given.pieces, given.board, given.negative, board_boxes};
  const std::vector<Piece>& pieces = source.pieces.pieces;
  std::size_t vertices = 0;
  for (const Piece& p : pieces) {
    if (p.box.intersects(w)) vertices += p.vertices;
  }
  int levels = 0;
  while (levels < kMaxTileLevels && vertices > kVerticesPerTile << (2 * levels)) ++levels;
  const TileGrid grid{w, 1 << levels};
  const int tiles = grid.n;
  // Each tile's contours: outer ones that reach a border go up a level. The
  // cells of level kParallelLevel (or the tiles, when there are fewer) are
  // independent of each other.
  std::vector<Paths> up(static_cast<std::size_t>(tiles) * tiles);
  std::vector<Paths> done(up.size());
  const Descent descent(source, grid, levels, up, done);
  const int parallel_level = std::min(levels, kParallelLevel);
  parallel(std::size_t{1} << (2 * parallel_level),
           [&](std::size_t i) { descent.cell(parallel_level, i); });
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
