#include "photoplot/board_outline.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <numeric>
#include <string>
#include <utility>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "photoplot/reader.hpp"

namespace foilcad {

namespace {

// No board reaches a kilometre; beyond that a coordinate is a fault of the
// file, and the cells end points are sorted into would overflow.
constexpr double kMaxCoordinate = 1e6;  // mm
// The points all pieces may take together: a real outline needs a few
// hundred thousand, and this bound keeps a hostile file (millions of huge
// arcs at a tiny tolerance) from taking gigabytes.
constexpr std::size_t kMaxPoints = 20'000'000;
// The distance tests between end points of neighbouring cells (see join): a
// real outline needs about one per end point.
constexpr std::uint64_t kMaxComparisons = 100'000'000;
// The smallest tolerance an arc is followed with, mm.
constexpr double kMinTolerance = 1e-6;

std::string millimetres(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

// A polyline of the outline: points [first, first + count) of the pieces'
// points, drawn at line.
struct Piece {
  std::size_t first;
  std::size_t count;
  std::size_t line;
};

class OutlineBuilder {
 public:
  OutlineBuilder(const Drawing& drawing, double tolerance)
      : d_(drawing),
        tolerance_(std::max(kMinTolerance, std::isfinite(tolerance) ? tolerance : 0)) {}

  BoardOutline run() {
    collect();
    if (open_.empty() && closed_.empty()) {
      throw Error(d_.name.string() +
                  ": the outline layer holds no strokes, arcs or regions: it draws no board");
    }
    join();
    if (out_.contours.empty()) {
      throw Error(d_.name.string() + ": the outline layer draws no closed contour");
    }
    Box e = kNoExtremes;
    for (const std::vector<Point>& contour : out_.contours) {
      for (const Point& p : contour) add(e, p);
    }
    out_.extent = e;
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(std::size_t line, const std::string& what) const {
    throw input_error(d_.name, line, what, d_.record(line));
  }

  // The pieces of every object, and of every step and repeat copy after its
  // block; regions and arcs that close on themselves go to closed_ at once.
  void collect() {
    std::vector<std::size_t> open_before(d_.objects.size() + 1, 0);
    std::vector<std::size_t> closed_before(d_.objects.size() + 1, 0);
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
      open_before[i] = open_.size();
      closed_before[i] = closed_.size();
      object(d_.objects[i]);
    }
    open_before[d_.objects.size()] = open_.size();
    closed_before[d_.objects.size()] = closed_.size();
    for (const Placement& p : d_.placements) {
      // A block that draws no piece makes no copies, however many steps.
      if (open_before[p.first_object] == open_before[p.end_object] &&
          closed_before[p.first_object] == closed_before[p.end_object]) {
        continue;
      }
      const ImageTransform& t = d_.transforms[p.transform];
      for (long long j = 0; j < p.steps_y; ++j) {
        for (long long i = 0; i < p.steps_x; ++i) {
          if (i == 0 && j == 0) continue;
          const Point step = p.offset(i, j, t);
          copy(open_, open_before[p.first_object], open_before[p.end_object], step.x, step.y,
               p.line);
          copy(closed_, closed_before[p.first_object], closed_before[p.end_object], step.x, step.y,
               p.line);
        }
      }
    }
  }

  void copy(std::vector<Piece>& pieces, std::size_t begin, std::size_t end, double dx, double dy,
            std::size_t line) {
    for (std::size_t k = begin; k < end; ++k) {
      const Piece piece = pieces[k];
      const std::size_t first = points_.size();
      reserve_points(piece.count, line);
      for (std::size_t n = 0; n < piece.count; ++n) {
        const Point p = points_[piece.first + n];
        push({p.x + dx, p.y + dy}, line);
      }
      pieces.push_back({first, piece.count, piece.line});
    }
  }

  void reserve_points(std::size_t more, std::size_t line) const {
    if (more > kMaxPoints - std::min(kMaxPoints, points_.size())) {
      fail(line, "the outline takes more than " + std::to_string(kMaxPoints) +
                     " points to follow its arcs within the tolerance");
    }
  }

  // Appends a point placed on the device.
  void push(Point p, std::size_t line) {
    if (!(std::abs(p.x) <= kMaxCoordinate && std::abs(p.y) <= kMaxCoordinate)) {
      fail(line, "the outline reaches more than a kilometre from the origin");
    }
    points_.push_back(p);
  }

  void push_placed(Point p, const ImageTransform& t, bool identity, std::size_t line) {
    if (!identity) t.place(p.x, p.y);
    push(p, line);
  }

  void object(const DrawingObject& o) {
    const ImageTransform& t = d_.transforms[o.transform];
    const bool identity = t.identity();
    const std::size_t first = points_.size();
    switch (o.kind) {
      case DrawingObject::Kind::flash:
        return;
      case DrawingObject::Kind::stroke:
        reserve_points(2, o.line);
        push_placed(o.from, t, identity, o.line);
        push_placed(o.to, t, identity, o.line);
        break;
      case DrawingObject::Kind::arc: {
        const ArcDetail& a = d_.arcs[o.detail];
        // The chords are made where the file wrote the arc; a scale factor
        // stretches their distance from it.
        const double scale = std::max(t.scale_a, t.scale_b);
        arc_points(o, a, tolerance_ / (scale > 1.0 ? scale : 1.0));
        if (!identity) {
          for (std::size_t k = first; k < points_.size(); ++k) t.place(points_[k].x, points_[k].y);
        }
        for (std::size_t k = first; k < points_.size(); ++k) {
          if (!(std::abs(points_[k].x) <= kMaxCoordinate &&
                std::abs(points_[k].y) <= kMaxCoordinate)) {
            fail(o.line, "the outline reaches more than a kilometre from the origin");
          }
        }
        break;
      }
      case DrawingObject::Kind::region: {
        const RegionDetail& r = d_.regions[o.detail];
        reserve_points(r.point_count, o.line);
        for (std::size_t k = 0; k < r.point_count; ++k) {
          push_placed(d_.points[r.first_point + k], t, identity, o.line);
        }
        closed_.push_back({first, points_.size() - first, o.line});
        return;
      }
    }
    open_.push_back({first, points_.size() - first, o.line});
  }

  // The arc's points from its start to its end, as the file wrote them:
  // chords within tolerance of the circle, and the points where it crosses
  // the axes through its centre, so that its extremes are among them.
  void arc_points(const DrawingObject& o, const ArcDetail& a, double tolerance) {
    const Point c = a.centre;
    const double r = std::hypot(o.from.x - c.x, o.from.y - c.y);
    reserve_points(1, o.line);
    points_.push_back(o.from);
    if (!(r > 0.0) || !std::isfinite(r)) {
      points_.push_back(o.to);
      return;
    }
    constexpr double kQuarter = std::numbers::pi / 2;
    const ArcSweep arc = arc_sweep(o.from, o.to, c, a.clockwise);
    const double turn = a.clockwise ? -1.0 : 1.0;
    // Offsets along the sweep where it crosses an axis: the angle start +
    // turn * offset is a multiple of a quarter.
    const double first_axis =
        a.clockwise ? std::floor(arc.start / kQuarter) : std::ceil(arc.start / kQuarter);
    double done = 0.0;
    for (double m = first_axis;; m += turn) {
      double offset = turn * (m * kQuarter - arc.start);
      // A crossing at the start (or within rounding of it) is the start.
      if (offset <= 1e-12) continue;
      const bool last = offset >= arc.sweep - 1e-12;
      if (last) offset = arc.sweep;
      const double length = offset - done;
      const auto n = static_cast<std::size_t>(chord_count(length, r, tolerance));
      reserve_points(n, o.line);
      for (std::size_t k = 1; k < n; ++k) {
        const double angle =
            arc.start + turn * (done + length * static_cast<double>(k) / static_cast<double>(n));
        points_.push_back({c.x + r * std::cos(angle), c.y + r * std::sin(angle)});
      }
      if (last) break;
      // The crossing itself, exactly on the axis.
      const auto axis = static_cast<int>(((static_cast<long long>(m) % 4) + 4) % 4);
      const Point on_axis[4] = {{c.x + r, c.y}, {c.x, c.y + r}, {c.x - r, c.y}, {c.x, c.y - r}};
      points_.push_back(on_axis[axis]);
      done = offset;
    }
    points_.push_back(o.to);
  }

  // Union-find over the distinct end points.
  std::size_t find(std::size_t e) {
    while (parent_[e] != e) {
      parent_[e] = parent_[parent_[e]];
      e = parent_[e];
    }
    return e;
  }
  void unite(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

  Point end_point(std::size_t e) const {
    const Piece& p = open_[e / 2];
    return points_[e % 2 == 0 ? p.first : p.first + p.count - 1];
  }

  // The vertices the end points meet at, numbered from 0 in vertex. Ends at
  // exactly one point meet first: a path drawn continuously (nearly every
  // joint) starts each piece where the one before ended, however short the
  // pieces are. Points where an odd number of ends meet are loose: a piece
  // drawn on its own (after a move) may start a rounding away from where its
  // neighbour ended. Loose points closer than the gap are one vertex: each
  // falls into a square cell whose diagonal is the gap (so one cell's points
  // are all joined), and a cell is compared with the cells within two of it,
  // once a pair.
  std::size_t group_ends(std::vector<std::size_t>& vertex) {
    const std::size_t ends = open_.size() * 2;
    struct End {
      Point p;
      std::size_t end;
    };
    std::vector<End> order(ends);
    for (std::size_t e = 0; e < ends; ++e) order[e] = {end_point(e), e};
    std::sort(order.begin(), order.end(), [](const End& a, const End& b) {
      return a.p.x != b.p.x ? a.p.x < b.p.x : a.p.y != b.p.y ? a.p.y < b.p.y : a.end < b.end;
    });
    // Points: the distinct end points, each with one of its ends.
    std::vector<std::size_t> point_of(ends);
    std::vector<std::size_t> point_end;
    std::vector<std::size_t> point_ends;
    for (std::size_t k = 0; k < ends; ++k) {
      if (k == 0 || !(order[k].p == order[k - 1].p)) {
        point_end.push_back(order[k].end);
        point_ends.push_back(0);
      }
      point_of[order[k].end] = point_end.size() - 1;
      ++point_ends.back();
    }
    order = {};
    const std::size_t points = point_end.size();
    parent_.resize(points);
    std::iota(parent_.begin(), parent_.end(), std::size_t{0});

    const double cell = kOutlineJoinGap / std::numbers::sqrt2;
    struct Keyed {
      std::int64_t x, y;
      std::size_t point;
    };
    std::vector<Keyed> keyed;
    for (std::size_t q = 0; q < points; ++q) {
      if (point_ends[q] % 2 == 0) continue;
      const Point p = end_point(point_end[q]);
      keyed.push_back({static_cast<std::int64_t>(std::floor(p.x / cell)),
                       static_cast<std::int64_t>(std::floor(p.y / cell)), q});
    }
    const auto before = [](const Keyed& a, const Keyed& b) {
      return a.x != b.x ? a.x < b.x : a.y != b.y ? a.y < b.y : a.point < b.point;
    };
    std::sort(keyed.begin(), keyed.end(), before);
    // The cells: ranges of keyed with one key.
    std::vector<std::pair<std::size_t, std::size_t>> cells;
    for (std::size_t k = 0; k < keyed.size();) {
      std::size_t next = k + 1;
      while (next < keyed.size() && keyed[next].x == keyed[k].x && keyed[next].y == keyed[k].y) {
        unite(keyed[k].point, keyed[next].point);
        ++next;
      }
      cells.emplace_back(k, next);
      k = next;
    }
    const double gap2 = kOutlineJoinGap * kOutlineJoinGap;
    std::uint64_t comparisons = 0;
    for (const auto& [begin, end] : cells) {
      const Keyed& here = keyed[begin];
      for (std::int64_t dx = 0; dx <= 2; ++dx) {
        for (std::int64_t dy = -2; dy <= 2; ++dy) {
          if (dx == 0 && dy <= 0) continue;
          const Keyed probe{here.x + dx, here.y + dy, 0};
          const auto it = std::lower_bound(keyed.begin(), keyed.end(), probe, before);
          if (it == keyed.end() || it->x != probe.x || it->y != probe.y) continue;
          if (find(here.point) == find(it->point)) continue;
          bool joined = false;
          for (std::size_t a = begin; a < end && !joined; ++a) {
            const Point pa = end_point(point_end[keyed[a].point]);
            for (auto b = it; b != keyed.end() && b->x == probe.x && b->y == probe.y; ++b) {
              if (++comparisons > kMaxComparisons) {
                fail(open_[point_end[keyed[a].point] / 2].line,
                     "the outline has too many end points close together to join");
              }
              const Point pb = end_point(point_end[b->point]);
              const double ddx = pa.x - pb.x;
              const double ddy = pa.y - pb.y;
              if (ddx * ddx + ddy * ddy <= gap2) {
                unite(keyed[a].point, b->point);
                joined = true;
                break;
              }
            }
          }
        }
      }
    }
    // Vertices: the groups of points, numbered.
    std::vector<std::size_t> number(points, SIZE_MAX);
    std::size_t vertices = 0;
    vertex.resize(ends);
    for (std::size_t e = 0; e < ends; ++e) {
      const std::size_t root = find(point_of[e]);
      if (number[root] == SIZE_MAX) number[root] = vertices++;
      vertex[e] = number[root];
    }
    return vertices;
  }

  void join() {
    const std::size_t ends = open_.size() * 2;
    std::vector<std::size_t> vertex;
    const std::size_t vertices = group_ends(vertex);
    // A piece whose ends meet is a contour of its own (a full circle), or,
    // with fewer than three points, a dot that bounds nothing.
    std::vector<char> used(open_.size(), 0);
    std::vector<std::size_t> degree(vertices, 0);
    for (std::size_t i = 0; i < open_.size(); ++i) {
      if (vertex[2 * i] == vertex[2 * i + 1]) {
        used[i] = 1;
        const Piece& p = open_[i];
        if (p.count >= 3) closed_.push_back({p.first, p.count, p.line});
        continue;
      }
      ++degree[vertex[2 * i]];
      ++degree[vertex[2 * i + 1]];
    }
    check_open_ends(vertex, degree, used);
    // The end points at each vertex, in file order.
    std::vector<std::size_t> slot_begin(vertices + 1, 0);
    for (std::size_t v = 0; v < vertices; ++v) slot_begin[v + 1] = slot_begin[v] + degree[v];
    std::vector<std::size_t> slots(slot_begin.back());
    std::vector<std::size_t> filled(slot_begin.begin(), slot_begin.end() - 1);
    for (std::size_t e = 0; e < ends; ++e) {
      if (!used[e / 2]) slots[filled[vertex[e]]++] = e;
    }
    std::vector<std::size_t> next(slot_begin.begin(), slot_begin.end() - 1);
    // Every vertex has an even degree: a walk that leaves a vertex can always
    // leave each other vertex it enters, so it returns to where it began.
    std::vector<Point> contour;
    for (std::size_t i = 0; i < open_.size(); ++i) {
      if (used[i]) continue;
      used[i] = 1;
      contour.clear();
      append(contour, open_[i], false, false);
      const std::size_t start = vertex[2 * i];
      std::size_t at = vertex[2 * i + 1];
      while (at != start) {
        while (next[at] < slot_begin[at + 1] && used[slots[next[at]] / 2]) ++next[at];
        if (next[at] == slot_begin[at + 1]) {
          // Cannot happen with even degrees; refused rather than looping.
          fail(open_[i].line, "the outline's contours cannot be followed");
        }
        const std::size_t e = slots[next[at]];
        used[e / 2] = 1;
        const bool forward = e % 2 == 0;
        append(contour, open_[e / 2], !forward, true);
        at = vertex[forward ? e + 1 : e - 1];
      }
      contour.pop_back();  // at the start again
      finish(contour);
    }
    for (const Piece& p : closed_) {
      contour.assign(points_.begin() + static_cast<std::ptrdiff_t>(p.first),
                     points_.begin() + static_cast<std::ptrdiff_t>(p.first + p.count));
      if (!contour.empty()) {
        const Point a = contour.front();
        const Point b = contour.back();
        if ((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) <=
            kOutlineJoinGap * kOutlineJoinGap) {
          contour.pop_back();
        }
      }
      finish(contour);
    }
  }

  void append(std::vector<Point>& contour, const Piece& p, bool reversed, bool skip_first) {
    const std::size_t begin = skip_first ? 1 : 0;
    for (std::size_t k = begin; k < p.count; ++k) {
      contour.push_back(points_[reversed ? p.first + p.count - 1 - k : p.first + k]);
    }
  }

  // A contour without repeated points; one that encloses (next to) nothing,
  // such as a line drawn there and back, bounds no board and is left out.
  void finish(std::vector<Point>& contour) {
    const auto last = std::unique(contour.begin(), contour.end());
    contour.erase(last, contour.end());
    while (contour.size() > 1 && contour.back() == contour.front()) contour.pop_back();
    if (contour.size() < 3) return;
    double twice_area = 0.0;
    for (std::size_t k = 0; k < contour.size(); ++k) {
      const Point& a = contour[k];
      const Point& b = contour[(k + 1) % contour.size()];
      twice_area += (a.x - b.x) * (a.y + b.y);
    }
    if (std::abs(twice_area) <= 2.0 * kOutlineJoinGap * kOutlineJoinGap) return;
    out_.contours.push_back(contour);
  }

  // An end point that joins no other (or a third one: a branch) leaves its
  // contour open. Reported at the first such end in file order, with the
  // distance to the nearest other open end: the gap that keeps it open.
  void check_open_ends(const std::vector<std::size_t>& vertex,
                       const std::vector<std::size_t>& degree, const std::vector<char>& used) {
    std::size_t first = SIZE_MAX;
    for (std::size_t e = 0; e < vertex.size(); ++e) {
      if (used[e / 2] || degree[vertex[e]] % 2 == 0) continue;
      if (first == SIZE_MAX || open_[e / 2].line < open_[first / 2].line) first = e;
    }
    const auto open_ends = static_cast<std::size_t>(
        std::count_if(degree.begin(), degree.end(), [](std::size_t d) { return d % 2 == 1; }));
    if (first == SIZE_MAX) return;
    const Point at = end_point(first);
    double gap = std::numeric_limits<double>::infinity();
    for (std::size_t e = 0; e < vertex.size(); ++e) {
      if (used[e / 2] || degree[vertex[e]] % 2 == 0 || vertex[e] == vertex[first]) continue;
      const Point p = end_point(e);
      gap = std::min(gap, std::hypot(p.x - at.x, p.y - at.y));
    }
    std::string what = "the outline does not close: ";
    // The vertices of odd degree come in pairs (the degrees add up to twice
    // the pieces), so another open end is always there; kept safe anyway.
    if (std::isfinite(gap)) {
      what += "a gap of " + millimetres(gap) + " mm at (" + millimetres(at.x) + ", " +
              millimetres(at.y) + ")";
    } else {
      what += "an open end at (" + millimetres(at.x) + ", " + millimetres(at.y) + ")";
    }
    if (open_ends > 2) what += ", one of " + std::to_string(open_ends) + " open ends";
    fail(open_[first / 2].line, what);
  }

  const Drawing& d_;
  double tolerance_;
  std::vector<Point> points_;
  std::vector<Piece> open_;    // strokes and arcs, to be joined
  std::vector<Piece> closed_;  // region contours and pieces that close alone
  std::vector<std::size_t> parent_;
  BoardOutline out_;
};

}  // namespace

BoardOutline board_outline(const Drawing& drawing, double tolerance_mm) {
  return OutlineBuilder(drawing, tolerance_mm).run();
}

BoardOutline read_board_outline(const std::filesystem::path& path, double tolerance_mm) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw file_error(path, "cannot open the outline layer", errno);
  struct Closer {
    std::FILE* file;
    ~Closer() { std::fclose(file); }
  } closer{file};
  std::string text;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, got);
  }
  if (std::ferror(file)) throw file_error(path, "cannot read the outline layer", errno);
  return read_board_outline_text(text, path, tolerance_mm);
}

BoardOutline read_board_outline_text(std::string_view text, const std::filesystem::path& name,
                                     double tolerance_mm) {
  // An outline begins at the origin as often as anywhere, and the reader
  // takes "X0Y0D02*" for the move that parks an old plotter, which leaves
  // the current point where it was. Here it is the start of a contour: it is
  // handed to the reader as "X0Y0D2*", the same move spelt without the zero.
  constexpr std::string_view kParking = "X0Y0D02*";
  Drawing drawing;
  if (text.find(kParking) == std::string_view::npos) {
    drawing = read_photoplot_text(text, name);
  } else {
    std::string moved;
    moved.reserve(text.size());
    std::string_view rest = text;
    for (std::size_t at; (at = rest.find(kParking)) != std::string_view::npos;) {
      moved.append(rest.substr(0, at)).append("X0Y0D2*");
      rest.remove_prefix(at + kParking.size());
    }
    moved.append(rest);
    drawing = read_photoplot_text(moved, name);
    // Messages quote the lines as the file has them.
    drawing.text = std::make_shared<const std::string>(text);
  }
  return board_outline(drawing, tolerance_mm);
}

}  // namespace foilcad
