#include "exact/tile.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "exact/booleans.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// Where the boxes of the copper waiting to be united cover its tile more
// than this many times over, the pieces are united in groups of neighbours
// (about kGroupVertices vertices each, then kGroupsUnited groups at a time).
// Real boards come to 0.2 to 2.4, boards piled with objects to 6 and more;
// on real boards the groups only add work.
constexpr double kPiledCoverage = 4.0;
constexpr std::size_t kGroupVertices = 1000;
constexpr std::size_t kGroupsUnited = 4;

// Each run that removes copper is taken from the copper its box meets, so a
// tile where many such runs each meet much copper costs their product. Once
// they have taken from kRunWork times as many vertices as the tile's pieces
// have (kLeastRunWork at least), the rest of the tile's runs are applied by
// halves, in time that grows with the vertices times the logarithm of the
// runs. Real boards stay far below.
constexpr std::size_t kRunWork = 16;
constexpr std::size_t kLeastRunWork = 100'000;

// Whether a is wider or taller than b.
bool wider_or_taller(const UnitBox& a, const UnitBox& b) {
  return a.width() > b.width() || a.height() > b.height();
}

// Pieces united by the nonzero rule, neighbours first. Where many pieces lie
// on top of each other, one union spends nearly all its time on crossings of
// edges that end up inside the copper (Clipper sorts each scan line's
// crossings in time that grows with their square); uniting small groups of
// neighbours first removes those edges before the larger unions see them.
Paths unite_neighbours(std::vector<Paths>& pieces, const std::vector<UnitBox>& boxes,
                       const UnitBox& area) {
  // Neighbours by the Z order of the boxes' centres.
  const auto scaled = [](cInt v, cInt low, cInt high) {
    const double f =
        static_cast<double>(v - low) / static_cast<double>(std::max<cInt>(high - low, 1));
    return static_cast<std::uint32_t>(std::clamp(f, 0.0, 1.0) * 65535.0);
  };
  const auto spread = [](std::uint32_t v) {
    std::uint64_t x = v;
    x = (x | (x << 8)) & 0x00FF00FFu;
    x = (x | (x << 4)) & 0x0F0F0F0Fu;
    x = (x | (x << 2)) & 0x33333333u;
    x = (x | (x << 1)) & 0x55555555u;
    return x;
  };
  std::vector<std::pair<std::uint64_t, std::size_t>> order(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const UnitBox& b = boxes[i];
    const std::uint32_t x = scaled(b.min_x / 2 + b.max_x / 2, area.min_x, area.max_x);
    const std::uint32_t y = scaled(b.min_y / 2 + b.max_y / 2, area.min_y, area.max_y);
    order[i] = {spread(x) | (spread(y) << 1), i};
  }
  std::sort(order.begin(), order.end());
  std::vector<Paths> groups;
  Paths group;
  std::size_t vertices = 0;
  for (const auto& [key, i] : order) {
    for (Path& path : pieces[i]) {
      vertices += path.size();
      group.push_back(std::move(path));
    }
    if (vertices >= kGroupVertices) {
      groups.push_back(unite(group));
      group.clear();
      vertices = 0;
    }
  }
  if (!group.empty()) groups.push_back(unite(group));
  while (groups.size() > 1) {
    std::vector<Paths> next;
    for (std::size_t g = 0; g < groups.size(); g += kGroupsUnited) {
      Paths merged;
      for (std::size_t k = g; k < std::min(g + kGroupsUnited, groups.size()); ++k) {
        for (Path& path : groups[k]) merged.push_back(std::move(path));
      }
      next.push_back(unite(merged));
    }
    groups = std::move(next);
  }
  pieces.clear();
  return groups.empty() ? Paths{} : std::move(groups.front());
}

// How many times over the boxes cover the area (where they meet it).
double coverage(const std::vector<UnitBox>& boxes, const UnitBox& area) {
  double covered = 0.0;
  for (const UnitBox& b : boxes) {
    if (b.empty()) continue;  // of nothing (cut away)
    const cInt w = std::min(b.max_x, area.max_x) - std::max(b.min_x, area.min_x);
    const cInt h = std::min(b.max_y, area.max_y) - std::max(b.min_y, area.min_y);
    if (w > 0 && h > 0) covered += static_cast<double>(w) * static_cast<double>(h);
  }
  return covered / (static_cast<double>(area.max_x - area.min_x) *
                    static_cast<double>(area.max_y - area.min_y));
}

// Hands the items whose boxes are `wanted` to `take` (with their boxes)
// and keeps the others in order.
template <typename Item, typename Wanted, typename Take>
void take_near(std::vector<Item>& items, std::vector<UnitBox>& boxes, Wanted&& wanted,
               Take&& take) {
  std::size_t kept = 0;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (wanted(boxes[k])) {
      take(std::move(items[k]), boxes[k]);
    } else {
      if (kept != k) items[kept] = std::move(items[k]), boxes[kept] = boxes[k];
      ++kept;
    }
  }
  items.resize(kept);
  boxes.resize(kept);
}

// A run of pieces of one polarity, for the halves.
struct Run {
  bool adds;
  std::vector<Paths> pieces;
  std::vector<UnitBox> boxes;
};

// What a stretch of runs does by itself: the copper it leaves (contours
// apart from each other, not united) and all it covers, dark or clear.
struct Stretch {
  Paths copper;
  Paths cover;
};

// The pieces of a run united; piled ones by neighbours first.
Paths unite_run(Run& run, const UnitBox& tile) {
  if (run.pieces.size() > 1 && coverage(run.boxes, tile) > kPiledCoverage) {
    return unite_neighbours(run.pieces, run.boxes, tile);
  }
  Paths all;
  for (Paths& piece : run.pieces) {
    for (Path& path : piece) all.push_back(std::move(path));
  }
  return unite(all);
}

// A point is copper where the last of the runs that covers it adds copper:
// where the later half leaves copper, or where the earlier half does and the
// later one covers nothing. Each level of halves handles every vertex once,
// whatever the number of runs.
Stretch apply_by_halves(std::span<Run> runs, const UnitBox& tile) {
  if (runs.size() == 1) {
    Stretch s;
    s.cover = unite_run(runs[0], tile);
    if (runs[0].adds) s.copper = s.cover;
    return s;
  }
  const std::size_t half = runs.size() / 2;
  Stretch earlier = apply_by_halves(runs.first(half), tile);
  Stretch later = apply_by_halves(runs.subspan(half), tile);
  if (!earlier.copper.empty()) {
    Paths kept =
        later.cover.empty() ? std::move(earlier.copper) : subtract(earlier.copper, later.cover);
    for (Path& path : kept) later.copper.push_back(std::move(path));
  }
  for (Path& path : earlier.cover) later.cover.push_back(std::move(path));
  later.cover = unite(later.cover);
  return later;
}

// One tile's booleans: the runs of pieces of one polarity in file order.
class TileBooleans {
 public:
  TileBooleans(const TileSource& source, std::span<const TilePiece> listed, const UnitBox& tile,
               Paths board)
      : source_(source),
        listed_(listed),
        tile_(tile),
        tile_path_{box_path(tile)},
        board_(std::move(board)) {
    for (const TilePiece& t : listed) budget_ += kRunWork * source.pieces.pieces[t.index].vertices;
    budget_ = std::max(budget_, kLeastRunWork);
  }

  Paths run() {
    const std::vector<Piece>& pieces = source_.pieces.pieces;
    if (source_.negative) {
      copper_ = board_;
      for (const Path& path : copper_) boxes_.push_back(box_of(path));
    }
    Paths batch;
    for (std::size_t i = 0; i < listed_.size();) {
      const bool clear = pieces[listed_[i].index].clear;
      const bool adds = clear == source_.negative;
      if (!adds && work_ > budget_) {
        apply_rest_by_halves(i);
        break;
      }
      batch.clear();
      UnitBox reach = UnitBox::nothing();  // the batch's
      for (; i < listed_.size() && pieces[listed_[i].index].clear == clear; ++i) {
        if (adds) {
          added_boxes_.push_back(take(listed_[i], added_.emplace_back()));
        } else {
          reach.add(take(listed_[i], batch));
        }
      }
      if (adds || (copper_.empty() && added_.empty())) continue;
      subtract_run(batch, reach);
    }
    if (added_.size() > 1 && coverage(added_boxes_, tile_) > kPiledCoverage) {
      Paths united = unite_neighbours(added_, added_boxes_, tile_);
      added_.assign(1, std::move(united));
    }
    if (!added_.empty() || uncut_) {
      for (Paths& piece : added_) {
        for (Path& path : piece) copper_.push_back(std::move(path));
      }
      copper_ = intersect(copper_, board_);
    }
    // Touching contours (two vertices in one place, which the runs made
    // apart may have too) are made strictly simple by one union.
    if (shares_vertices(copper_)) copper_ = unite(copper_, ClipperLib::pftNonZero, Touching::never);
    return std::move(copper_);
  }

 private:
  // The piece's contours within the tile appended to into; their box.
  UnitBox take(const TilePiece& t, Paths& into) const {
    const Piece& p = source_.pieces.pieces[t.index];
    if ((p.vertices > kCutToTile || wider_or_taller(p.box, tile_)) && !tile_.contains(p.box)) {
      Paths cut = intersect(t.contours, tile_path_);
      const UnitBox box = box_of(cut);
      for (Path& c : cut) into.push_back(std::move(c));
      return box;
    }
    into.insert(into.end(), t.contours.begin(), t.contours.end());
    return p.box;
  }

  // A run that removes copper (the batch, within reach) taken from what it
  // meets. Only what the run's box meets takes part: the rest neither
  // touches the run nor lies inside anything it makes (a contour the run
  // could enclose lies within the run's box). A hole of the united copper
  // whose box meets the pieces taken part brings its outer contour, whose
  // box holds the hole's, and a hole left aside lies outside the run and the
  // pieces that take part: whatever covered it still does.
  void subtract_run(const Paths& batch, const UnitBox& reach) {
    Paths near;
    UnitBox pulled = reach;
    take_near(
        added_, added_boxes_, [&](const UnitBox& b) { return b.intersects(reach); },
        [&](Paths&& piece, const UnitBox& b) {
          pulled.add(b);
          for (Path& path : piece) near.push_back(std::move(path));
        });
    take_near(
        copper_, boxes_, [&](const UnitBox& b) { return b.intersects(pulled); },
        [&](Path&& path, const UnitBox&) { near.push_back(std::move(path)); });
    if (near.empty()) return;
    for (const Path& path : near) work_ += path.size();
    Paths result = subtract(near, batch);
    uncut_ = true;
    for (Path& path : result) {
      boxes_.push_back(box_of(path));
      copper_.push_back(std::move(path));
    }
  }

  // The runs from listed_[first] on applied by halves to the copper so far.
  void apply_rest_by_halves(std::size_t first) {
    const std::vector<Piece>& pieces = source_.pieces.pieces;
    std::vector<Run> runs;
    for (std::size_t i = first; i < listed_.size(); ++i) {
      const bool adds = pieces[listed_[i].index].clear == source_.negative;
      if (runs.empty() || runs.back().adds != adds) runs.push_back({adds, {}, {}});
      Run& run = runs.back();
      run.boxes.push_back(take(listed_[i], run.pieces.emplace_back()));
    }
    Stretch rest = apply_by_halves(runs, tile_);
    for (Paths& piece : added_) {
      for (Path& path : piece) copper_.push_back(std::move(path));
    }
    added_.clear();
    added_boxes_.clear();
    copper_ = subtract(copper_, rest.cover);
    for (Path& path : rest.copper) copper_.push_back(std::move(path));
    uncut_ = true;
  }

  const TileSource& source_;
  std::span<const TilePiece> listed_;
  const UnitBox& tile_;
  const Paths tile_path_;
  const Paths board_;
  // The copper united so far (contours apart from each other, holes
  // clockwise), and what runs that add copper have added since, each piece
  // as it was drawn: it is united only where a run that removes copper
  // comes near it, and with the rest at the end, in one call that also cuts
  // everything to the board. Nonzero filling unites the two.
  Paths copper_;
  std::vector<UnitBox> boxes_;  // of each copper contour
  // Each piece whole: a hole taken apart from its outer contour would cut
  // away whatever else covers it once that contour is united with it.
  std::vector<Paths> added_;
  std::vector<UnitBox> added_boxes_;
  bool uncut_ = false;  // whether some copper may reach beyond the board
  // Vertices the runs that remove copper have taken from, and how many they
  // may before the rest goes by halves.
  std::size_t work_ = 0;
  std::size_t budget_ = 0;
};

}  // namespace

Paths tile_copper(const TileSource& source, std::span<const TilePiece> listed, const UnitBox& r) {
  Paths near;
  for (std::size_t i = 0; i < source.board.size(); ++i) {
    if (source.board_boxes[i].intersects(r)) near.push_back(source.board[i]);
  }
  Paths board = intersect(near, Paths{box_path(r)}, ClipperLib::pftEvenOdd);
  if (board.empty()) return {};
  return TileBooleans(source, listed, r, std::move(board)).run();
}

}  // namespace foilcad::exact
