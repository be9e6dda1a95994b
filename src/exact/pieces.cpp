#include "exact/pieces.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "exact/booleans.hpp"
#include "exact/orientation.hpp"
#include "exact/shapes.hpp"

namespace foilcad::exact {

using ClipperLib::cInt;
using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// What tracing holds for certain: every vertex of the pieces and each
// contour's own allocation (a vector and the heap's header), until the
// tiles are done; and, while a region is filled, Clipper's edge (about this
// size) for every vertex of its contour.
constexpr std::uint64_t kVertexBytes = sizeof(IntPoint);
constexpr std::uint64_t kContourBytes = sizeof(Path) + 16;
constexpr std::uint64_t kClipperEdgeBytes = 128;

// a * b, or the largest value where that would overflow.
std::size_t times(std::size_t a, std::size_t b) {
  if (a != 0 && b > SIZE_MAX / a) return SIZE_MAX;
  return a * b;
}

class PieceTracer {
 public:
  PieceTracer(const Drawing& drawing, const ExactOptions& options)
      : d_(drawing),
        limits_(options.limits),
        // Below a unit the chords are as close as the coordinates can follow.
        tolerance_(std::max(options.tolerance, 1.0 / kUnitsPerMm)) {}

  Pieces run() {
    identity_.reserve(d_.transforms.size());
    for (const ImageTransform& t : d_.transforms) identity_.push_back(t.identity());
    std::vector<std::size_t> object_pieces;  // where each object's pieces begin
    if (!d_.placements.empty()) object_pieces.reserve(d_.objects.size() + 1);
    std::size_t next_placement = 0;
    // The frame takes no part in the copper.
    const std::size_t first = d_.frame ? 4 : 0;
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
      if (!d_.placements.empty()) object_pieces.push_back(out_.pieces.size());
      // The block the object is in (blocks do not overlap; they close in
      // order): every vertex it has counts once for each place.
      const Placement* p =
          next_placement < d_.placements.size() && d_.placements[next_placement].first_object <= i
              ? &d_.placements[next_placement]
              : nullptr;
      enter(p);
      const DrawingObject& o = d_.objects[i];
      object_ = i;
      if (i >= first) {
        try {
          object(o);
        } catch (const OutOfRange& e) {
          fail(o.line, e.what());
        }
      }
      check(0, o.line);
      while (next_placement < d_.placements.size() &&
             d_.placements[next_placement].end_object == i + 1) {
        const Placement& closed = d_.placements[next_placement++];
        try {
          repeat(closed, object_pieces[closed.first_object]);
        } catch (const OutOfRange& e) {
          fail(closed.close_line, e.what());
        }
      }
    }
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(std::size_t line, const std::string& what) const {
    throw input_error(d_.name, line, what, d_.record(line));
  }

  // Begins counting the copies of block p (none: no block) when the object
  // is its first.
  void enter(const Placement* p) {
    if (p == block_) return;
    block_ = p;
    places_ = 1;
    if (p != nullptr && p->steps_x > 0 && p->steps_y > 0) {
      places_ = times(static_cast<std::size_t>(p->steps_x), static_cast<std::size_t>(p->steps_y));
    }
    block_first_contour_ = out_.contours.size();
    block_vertices_ = out_.vertices;
  }

  // Refuses the drawing when the vertices traced so far, `extra` more that
  // an object is about to make, and the copies still to come of the block
  // they are in would take it past the limits: the copies are counted before
  // any is made, so that a block placed a million times is refused at once,
  // at the line that opened it.
  void check(std::size_t extra, std::size_t line, std::uint64_t transient = 0) const {
    std::size_t vertices = out_.vertices;
    std::size_t contours = out_.contours.size();
    if (places_ > 1) {
      vertices = sat_add(vertices, times(places_ - 1, out_.vertices - block_vertices_));
      contours = sat_add(contours, times(places_ - 1, out_.contours.size() - block_first_contour_));
    }
    vertices = sat_add(vertices, times(places_, extra));
    const bool copies = places_ > 1;
    const std::size_t at = copies ? block_->line : line;
    const auto refuse = [&](const std::string& what) {
      throw input_error(d_.name, at, what, d_.record(copies ? block_->record_line : line));
    };
    const std::string whose = copies ? "the step and repeat copies" : "the copper's contours";
    if (vertices > limits_.points) {
      refuse(whose + " need more than " + std::to_string(limits_.points) +
             " vertices: too many to trace");
    }
    if (limits_.memory && sat_add(bytes(vertices, contours), transient) > *limits_.memory) {
      refuse(whose + " need more memory than the " + std::to_string(*limits_.memory >> 20) +
             " MB available");
    }
  }

  // The most vertices an aperture may have: what the limit leaves, and with
  // the memory given, what fits beside what is held, each vertex with
  // Clipper's edge (a macro's primitives are united).
  std::size_t aperture_vertices() const {
    std::size_t most = limits_.points > out_.vertices ? limits_.points - out_.vertices : 0;
    if (limits_.memory) {
      const std::uint64_t held = bytes(out_.vertices, out_.contours.size());
      const std::uint64_t left = *limits_.memory > held ? *limits_.memory - held : 0;
      most = std::min<std::uint64_t>(most, left / (kVertexBytes + kClipperEdgeBytes));
    }
    return most;
  }

  static std::size_t sat_add(std::size_t a, std::size_t b) {
    return b > SIZE_MAX - a ? SIZE_MAX : a + b;
  }

  static std::uint64_t bytes(std::size_t vertices, std::size_t contours) {
    const double b = static_cast<double>(vertices) * kVertexBytes +
                     static_cast<double>(contours) * kContourBytes;
    return b >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(b);
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
        it = shapes_.emplace(key, aperture_shape(a, t, tolerance_, aperture_vertices())).first;
      } catch (const TooManyVertices&) {
        throw input_error(d_.name, a.line,
                          "the aperture needs more than " + std::to_string(aperture_vertices()) +
                              " vertices: too many to trace",
                          d_.record(a.record_line));
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
    const std::size_t first = out_.contours.size();
    switch (o.kind) {
      case DrawingObject::Kind::flash:
        if (const ApertureShape* s = shape(o)) {
          check(vertices(s->flash), o.line);
          const IntPoint at = to_units(placed(o.to, o.transform));
          for (const Path& p : s->flash) {
            Path& copy = out_.contours.emplace_back(p);
            for (IntPoint& q : copy) {
              q.X += at.X;
              q.Y += at.Y;
            }
          }
        }
        break;
      case DrawingObject::Kind::stroke:
        if (const ApertureShape* s = shape(o)) {
          check(swept_vertices(*s), o.line);
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
    add_piece(first, o.clear, object_);
  }

  static std::size_t vertices(const Paths& paths) {
    std::size_t n = 0;
    for (const Path& p : paths) n += p.size();
    return n;
  }

  // The most vertices the aperture makes swept along a segment: its shape at
  // both ends and a quadrilateral for each of its edges (a convex one: its
  // hull).
  static std::size_t swept_vertices(const ApertureShape& s) {
    return s.convex.empty() ? 6 * vertices(s.flash) : s.convex.size() + 2;
  }

  // The aperture swept along a segment on the device.
  void sweep(const ApertureShape& s, Point from, Point to) {
    if (!s.convex.empty()) {
      sweep_convex(s.convex, from, to, out_.contours.emplace_back());
    } else {
      sweep_paths(s.flash, to_units(from), to_units(to), out_.contours);
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
    Path& band = out_.contours.emplace_back();
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
    for (const Point end : {from, to})
      sweep_convex(s.convex, end, end, out_.contours.emplace_back());
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
    if (!round) {
      steps = std::min(steps, kMostSweptChords);
      check(times(static_cast<std::size_t>(steps), swept_vertices(s)), o.line);
    }
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
    for (Path& q : swept) out_.contours.push_back(std::move(q));
  }

  // A region's contour filled by the even-odd rule, as gerbv fills it; a
  // cut-in of no width leaves nothing behind.
  void region(const DrawingObject& o) {
    const RegionDetail& r = d_.regions[o.detail];
    check(r.point_count, o.line, r.point_count * kClipperEdgeBytes);
    Paths contour(1);
    contour[0].reserve(r.point_count);
    for (std::size_t i = 0; i < r.point_count; ++i) {
      contour[0].push_back(to_units(placed(d_.points[r.first_point + i], o.transform)));
    }
    Paths filled = unite(contour, ClipperLib::pftEvenOdd);
    for (Path& p : filled) out_.contours.push_back(std::move(p));
  }

  // The copies of a step and repeat block, step by step, x fastest, behind
  // the block; each keeps the polarity of its original.
  void repeat(const Placement& p, std::size_t first_piece) {
    const std::size_t end_piece = out_.pieces.size();
    if (first_piece == end_piece) return;
    const ImageTransform& t = d_.transforms[p.transform];
    for (long long j = 0; j < p.steps_y; ++j) {
      for (long long i = 0; i < p.steps_x; ++i) {
        if (i == 0 && j == 0) continue;
        const IntPoint by = to_units(p.offset(i, j, t));
        for (std::size_t k = first_piece; k < end_piece; ++k) {
          const Piece original = out_.pieces[k];
          const std::size_t first = out_.contours.size();
          for (std::size_t n = 0; n < original.count; ++n) {
            Path& copy = out_.contours.emplace_back(out_.contours[original.first + n]);
            for (IntPoint& q : copy) {
              q.X += by.X;
              q.Y += by.Y;
            }
          }
          add_piece(first, original.clear, original.object);
        }
      }
    }
  }

  // The paths from first on make one piece; its box is checked against the
  // range Clipper computes in exactly.
  void add_piece(std::size_t first, bool clear, std::size_t object) {
    Piece piece{clear, first, out_.contours.size() - first, 0, UnitBox::nothing(), object};
    UnitBox& b = piece.box;
    for (std::size_t i = first; i < out_.contours.size(); ++i) {
      b.add(box_of(out_.contours[i]));
      piece.vertices += out_.contours[i].size();
    }
    if (piece.vertices == 0) {
      out_.contours.resize(first);
      return;
    }
    constexpr cInt kRange = ClipperLib::loRange;
    if (b.min_x < -kRange || b.max_x > kRange || b.min_y < -kRange || b.max_y > kRange) {
      throw OutOfRange();
    }
    out_.vertices += piece.vertices;
    out_.pieces.push_back(piece);
  }

  const Drawing& d_;
  const ExactLimits& limits_;
  double tolerance_;
  // The step and repeat block being traced (none: nullptr), how many places
  // it puts its objects at, and how many contours and vertices there were
  // before it.
  const Placement* block_ = nullptr;
  std::size_t places_ = 1;
  std::size_t block_first_contour_ = 0;
  std::size_t block_vertices_ = 0;
  std::vector<char> identity_;
  std::size_t object_ = 0;  // the object being traced
  std::map<std::uint64_t, ApertureShape> shapes_;
  Pieces out_;
};

}  // namespace

Pieces trace_pieces(const Drawing& drawing, const ExactOptions& options) {
  return PieceTracer(drawing, options).run();
}

}  // namespace foilcad::exact
