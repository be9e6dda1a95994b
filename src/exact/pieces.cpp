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

// The outline points the traced objects may have together (16 bytes each):
// beyond it the copper would not fit in memory.
constexpr std::size_t kMaxPoints = 60'000'000;

class PieceTracer {
 public:
  PieceTracer(const Drawing& drawing, const ExactOptions& options)
      // Below a unit the chords are as close as the coordinates can follow.
      : d_(drawing), tolerance_(std::max(options.tolerance, 1.0 / kUnitsPerMm)) {}

  Pieces run() {
    identity_.reserve(d_.transforms.size());
    for (const ImageTransform& t : d_.transforms) identity_.push_back(t.identity());
    std::vector<std::size_t> object_pieces;  // where each object's pieces begin
    if (!d_.placements.empty()) object_pieces.reserve(d_.objects.size() + 1);
    std::size_t next_placement = 0;
    // The outline frame takes no part in the copper.
    const std::size_t first = d_.frame ? 4 : 0;
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
      if (!d_.placements.empty()) object_pieces.push_back(out_.pieces.size());
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
      if (out_.points > kMaxPoints) {
        fail(o.line, "the copper's outlines need more than " + std::to_string(kMaxPoints) +
                         " points: too many to trace");
      }
    }
    return std::move(out_);
  }

 private:
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
    const std::size_t first = out_.contours.size();
    switch (o.kind) {
      case DrawingObject::Kind::flash:
        if (const ApertureShape* s = shape(o)) {
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
    for (Path& q : swept) out_.contours.push_back(std::move(q));
  }

  // A region's contour filled by the even-odd rule, as gerbv fills it; a
  // cut-in of no width leaves nothing behind.
  void region(const DrawingObject& o) {
    const RegionDetail& r = d_.regions[o.detail];
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
          add_piece(first, original.clear);
        }
        if (out_.points > kMaxPoints) {
          fail(p.close_line, "the copper's outlines need more than " + std::to_string(kMaxPoints) +
                                 " points: too many to trace");
        }
      }
    }
  }

  // The paths from first on make one piece; its box is checked against the
  // range Clipper computes in exactly.
  void add_piece(std::size_t first, bool clear) {
    Piece piece{clear, first, out_.contours.size() - first, 0, UnitBox::nothing()};
    UnitBox& b = piece.box;
    for (std::size_t i = first; i < out_.contours.size(); ++i) {
      b.add(box_of(out_.contours[i]));
      piece.points += out_.contours[i].size();
    }
    if (piece.points == 0) {
      out_.contours.resize(first);
      return;
    }
    constexpr cInt kRange = ClipperLib::loRange;
    if (b.min_x < -kRange || b.max_x > kRange || b.min_y < -kRange || b.max_y > kRange) {
      throw OutOfRange();
    }
    out_.points += piece.points;
    out_.pieces.push_back(piece);
  }

  const Drawing& d_;
  double tolerance_;
  std::vector<char> identity_;
  std::map<std::uint64_t, ApertureShape> shapes_;
  Pieces out_;
};

}  // namespace

Pieces trace_pieces(const Drawing& drawing, const ExactOptions& options) {
  return PieceTracer(drawing, options).run();
}

}  // namespace foilcad::exact
