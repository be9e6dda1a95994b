#include "exact/tile.hpp"

#include <algorithm>
#include <cstdint>
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
// (about kGroupPoints points each, then kGroupsUnited groups at a time).
// Real boards come to 0.2 to 2.4, boards piled with objects to 6 and more;
// on real boards the groups only add work (outlines of exact-10000 took 1.8
// times as long).
constexpr double kPiledCoverage = 4.0;
constexpr std::size_t kGroupPoints = 1000;
constexpr std::size_t kGroupsUnited = 4;

// Whether a is wider or taller than b.
bool wider_or_taller(const UnitBox& a, const UnitBox& b) {
  return a.width() > b.width() || a.height() > b.height();
}

// Pieces united by the nonzero rule, neighbours first. Where many pieces lie
// on top of each other, one union spends nearly all its time on crossings of
// edges that end up inside the copper (Clipper sorts each scan line's
// crossings in time that grows with their square: a tile of a board with
// hundreds of objects on each square millimetre took 70 times as long as one
// of a real board); uniting small groups of neighbours first removes those
// edges before the larger unions see them.
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
  std::size_t points = 0;
  for (const auto& [key, i] : order) {
    for (Path& path : pieces[i]) {
      points += path.size();
      group.push_back(std::move(path));
    }
    if (points >= kGroupPoints) {
      groups.push_back(unite(group));
      group.clear();
      points = 0;
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

}  // namespace

Paths tile_copper(const TileSource& source, std::span<const TilePiece> listed, const UnitBox& r) {
  const std::vector<Piece>& pieces = source.pieces.pieces;
  const Paths tile_path{box_path(r)};
  const Paths board = intersect(source.board, tile_path, ClipperLib::pftEvenOdd);
  if (board.empty()) return {};
  // The copper united so far (contours apart from each other, holes
  // clockwise), and what runs that add copper have added since, each piece
  // as it was drawn: it is united only where a run that removes copper
  // comes near it, and with the rest at the end, in one call that also cuts
  // everything to the board. Nonzero filling unites the two.
  Paths copper;
  std::vector<UnitBox> boxes;  // of each copper contour
  // Each piece whole: a hole taken apart from its outer contour would cut
  // away whatever else covers it once that contour is united with it.
  std::vector<Paths> added;
  std::vector<UnitBox> added_boxes;
  bool uncut = false;  // whether some copper may reach beyond the board
  if (source.negative) {
    copper = board;
    for (const Path& path : copper) boxes.push_back(box_of(path));
  }
  Paths batch;
  for (std::size_t i = 0; i < listed.size();) {
    const bool clear = pieces[listed[i].index].clear;
    const bool adds = clear == source.negative;
    batch.clear();
    UnitBox reach = UnitBox::nothing();  // the batch's
    for (; i < listed.size() && pieces[listed[i].index].clear == clear; ++i) {
      const Piece& p = pieces[listed[i].index];
      const PathSpan paths = listed[i].contours;
      Paths& into = adds ? added.emplace_back() : batch;
      UnitBox box = p.box;
      if ((p.points > kCutToTile || wider_or_taller(p.box, r)) && !r.contains(p.box)) {
        Paths cut = intersect(paths, tile_path);
        box = box_of(cut);
        for (Path& c : cut) into.push_back(std::move(c));
      } else {
        into.insert(into.end(), paths.begin(), paths.end());
      }
      if (adds) {
        added_boxes.push_back(box);
      } else {
        reach.add(box);
      }
    }
    if (adds || (copper.empty() && added.empty())) continue;
    // Only what the run's box meets takes part: the rest neither touches
    // the run nor lies inside anything it makes (a contour the run could
    // enclose lies within the run's box). A hole of the united copper
    // whose box meets the pieces taken part brings its outer contour,
    // whose box holds the hole's, and a hole left aside lies outside the
    // run and the pieces that take part: whatever covered it still does.
    Paths near;
    UnitBox pulled = reach;
    take_near(
        added, added_boxes, [&](const UnitBox& b) { return b.intersects(reach); },
        [&](Paths&& piece, const UnitBox& b) {
          pulled.add(b);
          for (Path& path : piece) near.push_back(std::move(path));
        });
    take_near(
        copper, boxes, [&](const UnitBox& b) { return b.intersects(pulled); },
        [&](Path&& path, const UnitBox&) { near.push_back(std::move(path)); });
    if (near.empty()) continue;
    Paths result = subtract(near, batch);
    uncut = true;
    for (Path& path : result) {
      boxes.push_back(box_of(path));
      copper.push_back(std::move(path));
    }
  }
  if (added.size() > 1 && coverage(added_boxes, r) > kPiledCoverage) {
    Paths united = unite_neighbours(added, added_boxes, r);
    added.assign(1, std::move(united));
  }
  if (!added.empty() || uncut) {
    for (Paths& piece : added) {
      for (Path& path : piece) copper.push_back(std::move(path));
    }
    copper = intersect(copper, board);
  }
  // Touching contours (two vertices in one place, which the runs made
  // apart may have too) are made strictly simple by one union.
  if (shares_vertices(copper)) copper = unite(copper, ClipperLib::pftNonZero, Touching::never);
  return copper;
}

}  // namespace foilcad::exact
