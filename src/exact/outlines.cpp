#include "exact/outlines.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "exact/orientation.hpp"
#include "exact/parallel.hpp"
#include "exact/shapes.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// The outline points the traced objects may have together (16 bytes each):
// beyond it the copper would not fit in memory.
constexpr std::size_t kMaxPoints = 60'000'000;

// The copper is united tile by tile: Clipper's sweep slows down with the
// number of edges a scan line crosses, so many small unions are far faster
// than one over the board. A tile holds about this many outline points.
constexpr std::size_t kPointsPerTile = 20'000;
constexpr int kMaxTileLevels = 7;  // at most 128 x 128 tiles

// Objects with more points than this that reach beyond a tile are cut to the
// tile before they take part in its booleans (pours, large regions), and so
// are objects larger than the tile: whatever else the tile's booleans cut
// into them beyond it would only be cut away at the end.
constexpr std::size_t kCutToTile = 64;

// Where the boxes of the copper waiting to be united cover its tile more
// than this many times over, the pieces are united in groups of neighbours
// (about kGroupPoints points each, then kGroupsUnited groups at a time).
// Real boards come to 0.2 to 2.4, boards piled with objects to 6 and more;
// on real boards the groups only add work (outlines of exact-10000 took 1.8
// times as long).
constexpr double kPiledCoverage = 4.0;
constexpr std::size_t kGroupPoints = 1000;
constexpr std::size_t kGroupsUnited = 4;

struct Rect {
  cInt min_x, min_y, max_x, max_y;
};

bool overlaps(const Rect& a, const Rect& b) {
  return a.min_x <= b.max_x && b.min_x <= a.max_x && a.min_y <= b.max_y && b.min_y <= a.max_y;
}

// Whether a is wider or taller than b.
bool larger(const Rect& a, const Rect& b) {
  return a.max_x - a.min_x > b.max_x - b.min_x || a.max_y - a.min_y > b.max_y - b.min_y;
}

bool inside(const Rect& a, const Rect& b) {
  return a.min_x >= b.min_x && a.max_x <= b.max_x && a.min_y >= b.min_y && a.max_y <= b.max_y;
}

Path rect_path(const Rect& r) {
  return {{r.min_x, r.min_y}, {r.max_x, r.min_y}, {r.max_x, r.max_y}, {r.min_x, r.max_y}};
}

// One object (or one step and repeat copy of it) as it takes part in the
// booleans: its paths, counterclockwise with clockwise holes, to be united by
// the nonzero rule.
struct Piece {
  bool clear;
  std::size_t first;  // into the tracer's paths
  std::size_t count;
  std::size_t points;
  Rect box;
};

bool shares_vertices(const Paths& paths) {
  std::vector<IntPoint> points;
  for (const Path& p : paths) points.insert(points.end(), p.begin(), p.end());
  std::sort(points.begin(), points.end(), [](const IntPoint& a, const IntPoint& b) {
    return a.X < b.X || (a.X == b.X && a.Y < b.Y);
  });
  return std::adjacent_find(points.begin(), points.end()) != points.end();
}

// The result as strictly simple polygons (no vertex touches another), outer
// contours counterclockwise and holes clockwise. Clipper makes them so in
// time that grows with the square of a contour's length, and nearly every
// result has no touching vertex to begin with: the plain result is taken
// unless it has two vertices in one place. Which hole lies in which outer
// contour is not needed (and would cost as much again).
Paths strictly_simple(ClipperLib::Clipper& clipper, ClipperLib::ClipType type) {
  Paths out = execute_oriented(clipper, type);
  if (!shares_vertices(out)) return out;
  clipper.StrictlySimple(true);
  return execute_oriented(clipper, type);
}

// Pieces united by the nonzero rule, neighbours first. Where many pieces lie
// on top of each other, one union spends nearly all its time on crossings of
// edges that end up inside the copper (Clipper sorts each scan line's
// crossings in time that grows with their square: a tile of a board with
// hundreds of objects on each square millimetre took 70 times as long as one
// of a real board); uniting small groups of neighbours first removes those
// edges before the larger unions see them.
Paths unite_neighbours(std::vector<Paths>& pieces, const std::vector<Rect>& boxes,
                       const Rect& area) {
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
    const Rect& b = boxes[i];
    const std::uint32_t x = scaled(b.min_x / 2 + b.max_x / 2, area.min_x, area.max_x);
    const std::uint32_t y = scaled(b.min_y / 2 + b.max_y / 2, area.min_y, area.max_y);
    order[i] = {spread(x) | (spread(y) << 1), i};
  }
  std::sort(order.begin(), order.end());
  const auto unite = [](const Paths& paths) {
    ClipperLib::Clipper clipper;
    clipper.AddPaths(paths, ClipperLib::ptSubject, true);
    return execute_oriented(clipper, ClipperLib::ctUnion);
  };
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
double coverage(const std::vector<Rect>& boxes, const Rect& area) {
  double covered = 0.0;
  for (const Rect& b : boxes) {
    if (b.min_x > b.max_x || b.min_y > b.max_y) continue;  // of nothing (cut away)
    const cInt w = std::min(b.max_x, area.max_x) - std::max(b.min_x, area.min_x);
    const cInt h = std::min(b.max_y, area.max_y) - std::max(b.min_y, area.min_y);
    if (w > 0 && h > 0) covered += static_cast<double>(w) * static_cast<double>(h);
  }
  return covered / (static_cast<double>(area.max_x - area.min_x) *
                    static_cast<double>(area.max_y - area.min_y));
}

class Tracer {
 public:
  Tracer(const Drawing& drawing, const ExactOptions& options) : d_(drawing), o_(options) {
    if (!(options.tolerance > 0.0) || !std::isfinite(options.tolerance)) {
      throw Error("the tolerance must be a positive number of millimetres");
    }
    // Below a unit the chords are as close as the coordinates can follow.
    tolerance_ = std::max(options.tolerance, 1.0 / kUnitsPerMm);
  }

  CopperShape run() {
    CopperShape out;
    board();
    out.board = board_;
    if (board_.empty()) return out;
    trace();
    out.copper = unite();
    return out;
  }

 private:
  // ---- The board ----

  void board() {
    ClipperLib::Clipper clipper;
    try {
      if (o_.outline) {
        for (const std::vector<Point>& contour : o_.outline->contours) {
          Path path;
          path.reserve(contour.size());
          for (const Point& p : contour) path.push_back(to_units(p));
          clipper.AddPath(path, ClipperLib::ptSubject, true);
        }
      } else {
        const Box b = d_.frame ? *d_.frame : o_.extent;
        if (!(b.max_x > b.min_x && b.max_y > b.min_y)) return;
        clipper.AddPath(
            rect_path({to_units(b.min_x), to_units(b.min_y), to_units(b.max_x), to_units(b.max_y)}),
            ClipperLib::ptSubject, true);
      }
    } catch (const OutOfRange&) {
      throw Error(d_.name.string() +
                  ": the board reaches beyond ±65 m, the range the exact model computes in");
    }
    // Cut-outs are contours within the outer one: even-odd makes them holes.
    clipper.StrictlySimple(true);
    board_ = execute_oriented(clipper, ClipperLib::ctUnion, ClipperLib::pftEvenOdd);
    if (board_.empty()) return;
    const ClipperLib::IntRect b = clipper.GetBounds();
    board_box_ = {b.left, b.top, b.right, b.bottom};
  }

  // ---- Objects into pieces ----

  void trace() {
    identity_.reserve(d_.transforms.size());
    for (const ImageTransform& t : d_.transforms) identity_.push_back(t.identity());
    std::vector<std::size_t> object_pieces;  // where each object's pieces begin
    if (!d_.placements.empty()) object_pieces.reserve(d_.objects.size() + 1);
    std::size_t next_placement = 0;
    // The outline frame takes no part in the copper.
    const std::size_t first = d_.frame ? 4 : 0;
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
      if (!d_.placements.empty()) object_pieces.push_back(pieces_.size());
      const DrawingObject& o = d_.objects[i];
      if (i >= first) {
        try {
          object(o);
        } catch (const OutOfRange& e) {
          fail(o.line, e.what());
        }
      }
      while (next_placement < d_.placements.size() &&
             d_.placements[next_placement].end_object == i + 1) {
        const Placement& p = d_.placements[next_placement++];
        try {
          repeat(p, object_pieces[p.first_object]);
        } catch (const OutOfRange& e) {
          fail(p.close_line, e.what());
        }
      }
      if (points_ > kMaxPoints) {
        fail(o.line, "the copper's outlines need more than " + std::to_string(kMaxPoints) +
                         " points: too many to trace");
      }
    }
  }

  [[noreturn]] void fail(std::size_t line, const std::string& what) const {
    throw input_error(d_.name, line, what, d_.record(line));
  }

  Point placed(Point p, std::uint32_t transform) const {
    if (!identity_[transform]) d_.transforms[transform].place(p.x, p.y);
    return p;
  }

  const ApertureShape* shape(const DrawingObject& o) {
    if (o.aperture == kNoAperture) return nullptr;
    const ImageTransform& t = d_.transforms[o.transform];
    const std::uint64_t key =
        (static_cast<std::uint64_t>(o.aperture) << 3) |
        static_cast<std::uint64_t>((t.rotation / 90) * 2 + (t.swap_axes ? 1 : 0));
    auto it = shapes_.find(key);
    if (it == shapes_.end()) {
      const Aperture& a = d_.apertures[o.aperture];
      try {
        it = shapes_.emplace(key, aperture_shape(a, t, tolerance_)).first;
      } catch (const MacroError& e) {
        throw input_error(d_.name, a.line, e.what(), d_.record(a.record_line));
      } catch (const OutOfRange& e) {
        throw input_error(d_.name, a.line, std::string("the aperture ") + e.what(),
                          d_.record(a.record_line));
      }
    }
    if (it->second.flash.empty()) return nullptr;
    return &it->second;
  }

  void object(const DrawingObject& o) {
    const std::size_t first = paths_.size();
    switch (o.kind) {
      case DrawingObject::Kind::flash:
        if (const ApertureShape* s = shape(o)) {
          const IntPoint at = to_units(placed(o.to, o.transform));
          for (const Path& p : s->flash) {
            Path& copy = paths_.emplace_back(p);
            for (IntPoint& q : copy) {
              q.X += at.X;
              q.Y += at.Y;
            }
          }
        }
        break;
      case DrawingObject::Kind::stroke:
        if (const ApertureShape* s = shape(o)) {
          sweep(*s, placed(o.from, o.transform), placed(o.to, o.transform));
        }
        break;
      case DrawingObject::Kind::arc:
        if (const ApertureShape* s = shape(o)) arc(o, *s);
        break;
      case DrawingObject::Kind::region:
        region(o);
        break;
    }
    add_piece(first, o.clear);
  }

  // The aperture swept along a segment on the device.
  void sweep(const ApertureShape& s, Point from, Point to) {
    if (!s.convex.empty()) {
      sweep_convex(s.convex, from, to, paths_.emplace_back());
    } else {
      sweep_paths(s.flash, to_units(from), to_units(to), paths_);
    }
  }

  void arc(const DrawingObject& o, const ApertureShape& s) {
    const ArcDetail& a = d_.arcs[o.detail];
    const ImageTransform& t = d_.transforms[o.transform];
    // A mirror or an axis swap turns the arc the other way on the device.
    const bool mirrored = t.mirror_a != t.mirror_b;
    const bool clockwise = a.clockwise != (mirrored != t.swap_axes);
    const Point c = placed(a.centre, o.transform);
    const Point from = placed(o.from, o.transform);
    const Point to = placed(o.to, o.transform);
    const double r0 = std::hypot(from.x - c.x, from.y - c.y);
    const double r1 = std::hypot(to.x - c.x, to.y - c.y);
    if (!std::isfinite(r0) || !std::isfinite(r1)) throw OutOfRange();
    if (!(std::max(r0, r1) > 0.0)) {
      sweep(s, from, to);
      return;
    }
    const double h = s.circle_radius;
    const bool similar = t.scale_a == t.scale_b;
    if (h > 0.0 && similar && (std::min(r0, r1) > h || std::max(r0, r1) <= h)) {
      band(c, from, to, r0, r1, clockwise, s);
    } else {
      chords(o, s);
    }
  }

  // A round aperture along an arc: the band between the arcs at half the
  // aperture's width either side (a sector from the centre when the aperture
  // reaches past it) and the aperture at both ends. The radius goes from the
  // start's to the end's evenly when the two differ.
  void band(Point c, Point from, Point to, double r0, double r1, bool clockwise,
            const ApertureShape& s) {
    const double h = s.circle_radius;
    const ArcSweep arc = arc_sweep(from, to, c, clockwise);
    const double outer = std::max(r0, r1) + h;
    const int steps = chord_count(arc.sweep, outer, tolerance_, kRoomOutside);
    const double k = area_keeping_factor(arc.sweep / steps);
    const double turn = clockwise ? -arc.sweep : arc.sweep;
    Path& band = paths_.emplace_back();
    auto point = [&](int i, double offset) {
      const double f = static_cast<double>(i) / steps;
      const double angle = arc.start + turn * f;
      const double r = (r0 + (r1 - r0) * f + offset) * k;
      band.push_back(to_units(Point{c.x + r * std::cos(angle), c.y + r * std::sin(angle)}));
    };
    if (std::min(r0, r1) > h) {
      for (int i = 0; i <= steps; ++i) point(i, h);
      for (int i = steps; i >= 0; --i) point(i, -h);
    } else {
      band.push_back(to_units(c));
      for (int i = 0; i <= steps; ++i) point(i, h);
    }
    if (ClipperLib::Area(band) < 0.0) std::reverse(band.begin(), band.end());
    for (const Point end : {from, to}) sweep_convex(s.convex, end, end, paths_.emplace_back());
  }

  // Any aperture along an arc: the arc followed by chords (as the file
  // wrote it, then placed, so that a scale factor that differs between the
  // axes makes it the ellipse it is), the aperture swept along each.
  void chords(const DrawingObject& o, const ApertureShape& s) {
    const ArcDetail& a = d_.arcs[o.detail];
    const ImageTransform& t = d_.transforms[o.transform];
    const double r0 = std::hypot(o.from.x - a.centre.x, o.from.y - a.centre.y);
    const double r1 = std::hypot(o.to.x - a.centre.x, o.to.y - a.centre.y);
    const ArcSweep arc = arc_sweep(o.from, o.to, a.centre, a.clockwise);
    const double scale = std::max(t.scale_a, t.scale_b);
    const double radius = std::max(r0, r1) * scale;
    int steps = chord_count(arc.sweep, radius, tolerance_ / 2.0);
    const double turn = a.clockwise ? -arc.sweep : arc.sweep;
    const bool round = s.circle_radius > 0.0;
    // Any other aperture is swept along each chord and the sweeps united:
    // thousands of overlapping sweeps make Clipper's union slow, so a long
    // arc gets at most this many chords (a round aperture takes one offset
    // of the whole line instead, whatever its length).
    constexpr int kMostSweptChords = 1024;
    if (!round) steps = std::min(steps, kMostSweptChords);
    std::vector<Point> line;
    line.reserve(static_cast<std::size_t>(steps) + 1);
    line.push_back(placed(o.from, o.transform));
    for (int i = 1; i <= steps; ++i) {
      Point p = o.to;
      if (i < steps) {
        const double f = static_cast<double>(i) / steps;
        const double angle = arc.start + turn * f;
        const double r = r0 + (r1 - r0) * f;
        p = {a.centre.x + r * std::cos(angle), a.centre.y + r * std::sin(angle)};
      }
      line.push_back(placed(p, o.transform));
    }
    if (!round) {
      for (std::size_t i = 1; i < line.size(); ++i) sweep(s, line[i - 1], line[i]);
      return;
    }
    // A round aperture along the line: one offset with round joins and ends.
    Path path;
    path.reserve(line.size());
    for (const Point& p : line) {
      const IntPoint q = to_units(p);
      if (path.empty() || !(path.back() == q)) path.push_back(q);
    }
    ClipperLib::ClipperOffset offset(2.0, tolerance_ * kUnitsPerMm);
    offset.AddPath(path, ClipperLib::jtRound, ClipperLib::etOpenRound);
    Paths swept;
    offset.Execute(swept, s.circle_radius * kUnitsPerMm);
    orient_by_nesting(swept);
    for (Path& q : swept) paths_.push_back(std::move(q));
  }

  // A region's contour filled by the even-odd rule, as gerbv fills it; a
  // cut-in of no width leaves nothing behind.
  void region(const DrawingObject& o) {
    const RegionDetail& r = d_.regions[o.detail];
    Path contour;
    contour.reserve(r.point_count);
    for (std::size_t i = 0; i < r.point_count; ++i) {
      contour.push_back(to_units(placed(d_.points[r.first_point + i], o.transform)));
    }
    ClipperLib::Clipper clipper;
    clipper.AddPath(contour, ClipperLib::ptSubject, true);
    Paths filled = execute_oriented(clipper, ClipperLib::ctUnion, ClipperLib::pftEvenOdd);
    for (Path& p : filled) paths_.push_back(std::move(p));
  }

  // The copies of a step and repeat block, step by step, x fastest, behind
  // the block; each keeps the polarity of its original.
  void repeat(const Placement& p, std::size_t first_piece) {
    const std::size_t end_piece = pieces_.size();
    if (first_piece == end_piece) return;
    const ImageTransform& t = d_.transforms[p.transform];
    for (long long j = 0; j < p.steps_y; ++j) {
      for (long long i = 0; i < p.steps_x; ++i) {
        if (i == 0 && j == 0) continue;
        const IntPoint by = to_units(p.offset(i, j, t));
        for (std::size_t k = first_piece; k < end_piece; ++k) {
          const Piece original = pieces_[k];
          const std::size_t first = paths_.size();
          for (std::size_t n = 0; n < original.count; ++n) {
            Path& copy = paths_.emplace_back(paths_[original.first + n]);
            for (IntPoint& q : copy) {
              q.X += by.X;
              q.Y += by.Y;
            }
          }
          add_piece(first, original.clear);
        }
        if (points_ > kMaxPoints) {
          fail(p.close_line, "the copper's outlines need more than " + std::to_string(kMaxPoints) +
                                 " points: too many to trace");
        }
      }
    }
  }

  // The paths from first on make one piece; its box is checked against the
  // range Clipper computes in exactly.
  void add_piece(std::size_t first, bool clear) {
    Piece piece{clear, first, paths_.size() - first, 0, {0, 0, 0, 0}};
    Rect& b = piece.box;
    b = bounds(Paths{});
    for (std::size_t i = first; i < paths_.size(); ++i) {
      b = hull(b, bounds(paths_[i]));
      piece.points += paths_[i].size();
    }
    if (piece.points == 0) {
      paths_.resize(first);
      return;
    }
    constexpr cInt kRange = ClipperLib::loRange;
    if (b.min_x < -kRange || b.max_x > kRange || b.min_y < -kRange || b.max_y > kRange) {
      throw OutOfRange();
    }
    points_ += piece.points;
    pieces_.push_back(piece);
  }

  // ---- Booleans, tile by tile ----

  // The copper: every tile's objects applied in order (dark adds, clear
  // removes; the other way round in a negative image, which starts from the
  // whole board) and cut to the board; then the polygons that reach a tile's
  // border are united with their neighbours', four tiles at a time, so that
  // no union ever spans more than the polygons that cross a border.
  Paths unite() {
    const Rect& w = board_box_;
    std::size_t points = 0;
    for (const Piece& p : pieces_) {
      if (overlaps(p.box, w)) points += p.points;
    }
    int levels = 0;
    while (levels < kMaxTileLevels && points > kPointsPerTile << (2 * levels)) ++levels;
    tiles_ = 1 << levels;
    // The pieces of each tile, in order.
    tile_pieces_.assign(static_cast<std::size_t>(tiles_) * tiles_, {});
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
      const Rect& b = pieces_[i].box;
      if (!overlaps(b, w)) continue;
      const int x0 = tile_of(b.min_x, w.min_x, w.max_x);
      const int x1 = tile_of(b.max_x, w.min_x, w.max_x);
      const int y0 = tile_of(b.min_y, w.min_y, w.max_y);
      const int y1 = tile_of(b.max_y, w.min_y, w.max_y);
      for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) tile_pieces_[index(x, y, tiles_)].push_back(i);
      }
    }
    // Each tile's contours: outer ones that reach a border go up a level.
    std::vector<Paths> up(tile_pieces_.size());
    std::vector<Paths> done(tile_pieces_.size());
    parallel(tile_pieces_.size(), [&](std::size_t i) {
      const int x = static_cast<int>(i % static_cast<std::size_t>(tiles_));
      const int y = static_cast<int>(i / static_cast<std::size_t>(tiles_));
      const Rect r = tile_rect(x, y, tiles_);
      sort(tile(r, tile_pieces_[i]), r, up[i], done[i]);
    });
    for (int n = tiles_ / 2; n >= 1; n /= 2) {
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
            Paths& u = up[index(2 * x + dx, 2 * y + dy, 2 * n)];
            if (u.empty()) continue;
            ++parts;
            for (Path& p : u) crossing.push_back(std::move(p));
          }
        }
        if (parts > 1) {
          ClipperLib::Clipper clipper;
          clipper.AddPaths(crossing, ClipperLib::ptSubject, true);
          crossing = strictly_simple(clipper, ClipperLib::ctUnion);
        }
        sort(std::move(crossing), tile_rect(x, y, n), next_up[i], done[first_done + i]);
      });
      up = std::move(next_up);
    }
    // Without vertices closer than a fraction of the unit's length to each
    // other or to their neighbours' line: no sliver without area is left.
    Paths copper;
    for (Paths& paths : up) done.push_back(std::move(paths));
    for (Paths& paths : done) {
      ClipperLib::CleanPolygons(paths);
      for (Path& p : paths) {
        if (p.size() >= 3 && ClipperLib::Area(p) != 0.0) copper.push_back(std::move(p));
      }
    }
    return copper;
  }

  static std::size_t index(int x, int y, int n) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(n) + static_cast<std::size_t>(x);
  }

  cInt edge(int i, int n, cInt low, cInt high) const {
    return low + static_cast<cInt>(((high - low) * i) / n);
  }

  Rect tile_rect(int x, int y, int n) const {
    const Rect& w = board_box_;
    return {edge(x, n, w.min_x, w.max_x), edge(y, n, w.min_y, w.max_y),
            edge(x + 1, n, w.min_x, w.max_x), edge(y + 1, n, w.min_y, w.max_y)};
  }

  // The tile a coordinate lies in; one on a border between tiles belongs to
  // both, the lower is given (the box's other end finds the higher).
  int tile_of(cInt v, cInt low, cInt high) const {
    if (v <= low) return 0;
    if (v >= high) return tiles_ - 1;
    int t = static_cast<int>(((v - low) * tiles_) / (high - low));
    t = std::min(t, tiles_ - 1);
    while (t > 0 && edge(t, tiles_, low, high) >= v) --t;
    return t;
  }

  // The copper of one tile, cut to the board.
  Paths tile(const Rect& r, const std::vector<std::size_t>& pieces) const {
    Paths board;
    {
      ClipperLib::Clipper clipper;
      clipper.AddPaths(board_, ClipperLib::ptSubject, true);
      clipper.AddPath(rect_path(r), ClipperLib::ptClip, true);
      board = execute_oriented(clipper, ClipperLib::ctIntersection, ClipperLib::pftEvenOdd);
    }
    if (board.empty()) return {};
    // The copper united so far (contours apart from each other, holes
    // clockwise), and what runs that add copper have added since, each piece
    // as it was drawn: it is united only where a run that removes copper
    // comes near it, and with the rest at the end, in one call that also cuts
    // everything to the board. Nonzero filling unites the two.
    Paths copper;
    std::vector<Rect> boxes;  // of each copper contour
    // Each piece whole: a hole taken apart from its outer contour would cut
    // away whatever else covers it once that contour is united with it.
    std::vector<Paths> added;
    std::vector<Rect> added_boxes;
    bool uncut = false;  // whether some copper may reach beyond the board
    if (d_.negative) {
      copper = board;
      for (const Path& path : copper) boxes.push_back(bounds(path));
    }
    Paths batch;
    const Paths tile_path{rect_path(r)};
    for (std::size_t i = 0; i < pieces.size();) {
      const bool clear = pieces_[pieces[i]].clear;
      const bool adds = clear == d_.negative;
      batch.clear();
      Rect reach = bounds(Paths{});  // the batch's
      for (; i < pieces.size() && pieces_[pieces[i]].clear == clear; ++i) {
        const Piece& p = pieces_[pieces[i]];
        const auto begin = paths_.begin() + static_cast<std::ptrdiff_t>(p.first);
        const auto end = begin + static_cast<std::ptrdiff_t>(p.count);
        Paths& into = adds ? added.emplace_back() : batch;
        Rect box = p.box;
        if ((p.points > kCutToTile || larger(p.box, r)) && !inside(p.box, r)) {
          ClipperLib::Clipper clipper;
          for (auto it = begin; it != end; ++it) clipper.AddPath(*it, ClipperLib::ptSubject, true);
          clipper.AddPaths(tile_path, ClipperLib::ptClip, true);
          Paths cut = execute_oriented(clipper, ClipperLib::ctIntersection);
          box = bounds(cut);
          for (Path& c : cut) into.push_back(std::move(c));
        } else {
          into.insert(into.end(), begin, end);
        }
        if (adds) {
          added_boxes.push_back(box);
        } else {
          reach = hull(reach, box);
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
      Rect pulled = reach;
      take_near(
          added, added_boxes, [&](const Rect& b) { return overlaps(b, reach); },
          [&](Paths&& piece, const Rect& b) {
            pulled = hull(pulled, b);
            for (Path& path : piece) near.push_back(std::move(path));
          });
      take_near(
          copper, boxes, [&](const Rect& b) { return overlaps(b, pulled); },
          [&](Path&& path, const Rect&) { near.push_back(std::move(path)); });
      if (near.empty()) continue;
      ClipperLib::Clipper clipper;
      clipper.AddPaths(near, ClipperLib::ptSubject, true);
      clipper.AddPaths(batch, ClipperLib::ptClip, true);
      Paths result = execute_oriented(clipper, ClipperLib::ctDifference);
      uncut = true;
      for (Path& path : result) {
        boxes.push_back(bounds(path));
        copper.push_back(std::move(path));
      }
    }
    if (added.size() > 1 && coverage(added_boxes, r) > kPiledCoverage) {
      Paths united = unite_neighbours(added, added_boxes, r);
      added.assign(1, std::move(united));
    }
    if (!added.empty() || uncut) {
      ClipperLib::Clipper clipper;
      clipper.AddPaths(copper, ClipperLib::ptSubject, true);
      for (const Paths& piece : added) clipper.AddPaths(piece, ClipperLib::ptSubject, true);
      clipper.AddPaths(board, ClipperLib::ptClip, true);
      copper = execute_oriented(clipper, ClipperLib::ctIntersection);
    }
    // Touching contours (two vertices in one place, which the runs made
    // apart may have too) are made strictly simple by one union.
    if (copper.empty()) return {};
    if (!shares_vertices(copper)) return copper;
    ClipperLib::Clipper clipper;
    clipper.AddPaths(copper, ClipperLib::ptSubject, true);
    clipper.StrictlySimple(true);
    return execute_oriented(clipper, ClipperLib::ctUnion);
  }

  // The box of the paths; of none, one that meets nothing.
  static Rect bounds(const Paths& paths) {
    Rect b{std::numeric_limits<cInt>::max(), std::numeric_limits<cInt>::max(),
           std::numeric_limits<cInt>::min(), std::numeric_limits<cInt>::min()};
    for (const Path& path : paths) b = hull(b, bounds(path));
    return b;
  }
  static Rect bounds(const Path& path) {
    Rect b{std::numeric_limits<cInt>::max(), std::numeric_limits<cInt>::max(),
           std::numeric_limits<cInt>::min(), std::numeric_limits<cInt>::min()};
    for (const IntPoint& q : path) {
      b.min_x = std::min(b.min_x, q.X);
      b.min_y = std::min(b.min_y, q.Y);
      b.max_x = std::max(b.max_x, q.X);
      b.max_y = std::max(b.max_y, q.Y);
    }
    return b;
  }

  static Rect hull(const Rect& a, const Rect& b) {
    return {std::min(a.min_x, b.min_x), std::min(a.min_y, b.min_y), std::max(a.max_x, b.max_x),
            std::max(a.max_y, b.max_y)};
  }

  // Hands the items whose boxes are `wanted` to `take` (with their boxes)
  // and keeps the others in order.
  template <typename Item, typename Wanted, typename Take>
  static void take_near(std::vector<Item>& items, std::vector<Rect>& boxes, Wanted&& wanted,
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

  // Outer contours that touch the border of r inside the board's box go up
  // to be united with their neighbours; the others are done. Holes never
  // touch the border (copper surrounds them within r) and stay holes
  // whatever their outer contour is united with: they are done at once, so
  // that the unions above see outer contours only.
  void sort(Paths paths, const Rect& r, Paths& up, Paths& done) const {
    const Rect& w = board_box_;
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

  const Drawing& d_;
  const ExactOptions& o_;
  double tolerance_;
  std::vector<char> identity_;
  std::map<std::uint64_t, ApertureShape> shapes_;
  std::vector<Path> paths_;
  std::vector<Piece> pieces_;
  std::size_t points_ = 0;
  Paths board_;
  Rect board_box_{0, 0, 0, 0};
  int tiles_ = 1;
  std::vector<std::vector<std::size_t>> tile_pieces_;
};

}  // namespace

CopperShape trace_copper(const Drawing& drawing, const ExactOptions& options) {
  return Tracer(drawing, options).run();
}

}  // namespace foilcad::exact
