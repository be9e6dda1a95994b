#include "geometry/boxes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "common/error.hpp"
#include "common/huge_pages.hpp"
#include "geometry/region.hpp"
#include "photoplot/extent.hpp"

namespace foilcad {

namespace {

// Slabs of a filled region are no taller than the resolution the solids are
// written at, so that no copper is lost where an edge is slanted.
constexpr double kRegionSlab = 0.1;

class BoxMaker {
 public:
  BoxMaker(const Drawing& drawing, const BoxLimits& limits) : d_(drawing), limits_(limits) {}

  DrawingBoxes run() {
    out_.first_active = d_.frame ? kFirstActive : 0;
    extents();
    // The identity places every value where it is, bit for bit: objects
    // drawn under it (nearly all) skip the placing.
    for (const ImageTransform& t : d_.transforms) identity_.push_back(t.identity());
    reserve_in_huge_pages(out_.rectangles, d_.objects.size());
    if (!d_.placements.empty()) ends_.reserve(d_.objects.size());
    std::size_t next_placement = 0;
    for (std::size_t i = 0; i < d_.objects.size(); ++i) {
      const DrawingObject& o = d_.objects[i];
      const std::size_t before = out_.rectangles.size();
      if (!plain_object(o)) {
        object(o);
        check(before, o.line);
      }
      if (first_line_ == 0 && !out_.rectangles.empty()) {
        first_line_ =
            o.kind == DrawingObject::Kind::region ? d_.regions[o.detail].report_line : o.line;
      }
      if (d_.placements.empty()) continue;
      ends_.push_back(out_.rectangles.size());
      while (next_placement < d_.placements.size() &&
             d_.placements[next_placement].end_object == i + 1) {
        place(d_.placements[next_placement++]);
        // A block opened from here on begins behind the copies.
        ends_.back() = out_.rectangles.size();
      }
    }
    if (limits_.board) cut_to_board(*limits_.board);
    out_.warnings = d_.warnings;
    if (!d_.frame && !limits_.board && !out_.rectangles.empty()) {
      // Objects made only at the end of the file (a region or a step and
      // repeat block still open) come from its last line.
      out_.warnings.push_back(
          {WarningKind::no_outline, 1, first_line_ != 0 ? first_line_ : d_.records});
      std::stable_sort(
          out_.warnings.begin(), out_.warnings.end(),
          [](const Warning& a, const Warning& b) { return a.first_line < b.first_line; });
    }
    return std::move(out_);
  }

 private:
  // The message names line and shows the text of record (an extended
  // command may span records: the one being read when it ended).
  [[noreturn]] void fail(std::size_t line, std::string_view what) const { fail(line, line, what); }
  [[noreturn]] void fail(std::size_t line, std::size_t record, std::string_view what) const {
    throw input_error(d_.name, line, what, d_.record(record));
  }

  [[noreturn]] void fail_too_many(std::size_t line, std::size_t record) const {
    fail(line, record,
         "the photoplot makes more than " + std::to_string(limits_.rectangles) +
             " rectangles (step and repeat copies and region rows included): too many "
             "for any grid");
  }

  // Every aperture's extent around its origin, in the order of definition.
  void extents() {
    extents_.reserve(d_.apertures.size());
    for (const Aperture& a : d_.apertures) extents_.push_back(aperture_extent(d_, a));
  }

  void append(const Box& r, bool clear) {
    if (clear) {
      PolarityRuns& runs = out_.clear_runs;
      if (!runs.empty() && runs.back().second == out_.rectangles.size()) {
        ++runs.back().second;
      } else {
        runs.emplace_back(out_.rectangles.size(), out_.rectangles.size() + 1);
      }
    }
    // Regions and step and repeat copies make more rectangles than the one
    // an object that room was reserved for: the list grows in huge pages too.
    if (out_.rectangles.size() == out_.rectangles.capacity()) {
      grow_in_huge_pages(out_.rectangles, 1);
    }
    out_.rectangles.push_back(r);
  }

  // A flash or a stroke drawn under the identity, nearly every object of a
  // file: its one rectangle made and checked in a few steps. The same
  // arithmetic as object() and check() in the same order, so the same bits
  // and the same refusals. False for any other object.
  bool plain_object(const DrawingObject& o) {
    if (o.kind != DrawingObject::Kind::flash && o.kind != DrawingObject::Kind::stroke) return false;
    if (!identity_[o.transform]) return false;
    const Box e = o.aperture == kNoAperture ? Box{0.0, 0.0, 0.0, 0.0} : extents_[o.aperture];
    Box r;
    if (o.kind == DrawingObject::Kind::flash) {
      r = {o.to.x + e.min_x, o.to.x + e.max_x, o.to.y + e.min_y, o.to.y + e.max_y};
    } else {
      const double px = o.from.x;
      const double py = o.from.y;
      const double x = o.to.x;
      const double y = o.to.y;
      r = {(x < px ? x : px) + e.min_x, (px <= x ? x : px) + e.max_x, (y < py ? y : py) + e.min_y,
           (py <= y ? y : py) + e.max_y};
    }
    if (out_.rectangles.size() >= limits_.rectangles) fail_too_many(o.line, o.line);
    if (!finite(r)) fail(o.line, "the object reaches beyond the range of numbers");
    append(r, o.clear);
    return true;
  }

  // Strokes, flashes and arcs find the box of their coordinates as the file
  // wrote them, place that box on the device (a box stays a box under every
  // image transform, and an arc's box becomes the box of the placed arc),
  // then grow it by the aperture's extent (photoplot/extent.hpp).
  void object(const DrawingObject& o) {
    if (o.kind == DrawingObject::Kind::region) {
      region(o, d_.transforms[o.transform]);
      return;
    }
    const Box e = o.aperture == kNoAperture ? Box{0.0, 0.0, 0.0, 0.0} : extents_[o.aperture];
    append(object_box(d_, o, e), o.clear);
  }

  void region(const DrawingObject& o, const ImageTransform& t) {
    const RegionDetail& r = d_.regions[o.detail];
    contour_.assign(d_.points.begin() + static_cast<std::ptrdiff_t>(r.first_point),
                    d_.points.begin() + static_cast<std::ptrdiff_t>(r.first_point + r.point_count));
    // The contour is filled where it lies on the device, so that its slabs
    // keep their height whatever the image transform.
    if (!t.identity()) {
      for (Point& p : contour_) {
        t.place(p.x, p.y);
        if (!std::isfinite(p.x) || !std::isfinite(p.y))
          fail(o.line, "the region reaches beyond the range of numbers");
      }
    }
    region_rectangles_.clear();
    RegionLimits region_limits;
    region_limits.subdivision_rows = limits_.region_rows;
    region_limits.rectangles =
        limits_.rectangles - std::min(limits_.rectangles, out_.rectangles.size());
    region_limits.edge_visits = limits_.region_edge_visits - region_visits_;
    try {
      region_visits_ += fill_region(contour_, kRegionSlab, region_rectangles_, region_limits);
    } catch (const RegionTooComplex& e) {
      if (e.limit == RegionTooComplex::Limit::rectangles) fail_too_many(o.line, o.line);
      fail(o.line,
           "the regions of the photoplot are too complex to cover: their sweep would "
           "visit more than " +
               std::to_string(limits_.region_edge_visits) + " edges");
    }
    for (const Box& b : region_rectangles_) append(b, o.clear);
    out_.region_rectangles += region_rectangles_.size();
  }

  // The copies of a step and repeat block, placed behind it step by step, x
  // fastest; each keeps the polarity of its original. They are counted before
  // any is made: a block of a million rectangles placed a million times must
  // not be made to find that out.
  void place(const Placement& p) {
    const std::size_t begin = p.first_object == 0 ? 0 : ends_[p.first_object - 1];
    const std::size_t end = ends_[p.end_object - 1];
    const auto placements =
        static_cast<std::uint64_t>(p.steps_x) * static_cast<std::uint64_t>(p.steps_y);
    const std::uint64_t copies = (end - begin) * (placements - 1);
    if (copies > limits_.rectangles - std::min(limits_.rectangles, out_.rectangles.size())) {
      fail_too_many(p.line, p.record_line);
    }
    // The polarity of every rectangle of the block.
    std::vector<bool> cleared(end - begin, false);
    for (const auto& [first, last] : out_.clear_runs) {
      for (std::size_t i = std::max(first, begin); i < last && i < end; ++i) {
        cleared[i - begin] = true;
      }
    }
    const ImageTransform& t = d_.transforms[p.transform];
    const std::size_t before = out_.rectangles.size();
    for (long long j = 0; j < p.steps_y; ++j) {
      for (long long i = 0; i < p.steps_x; ++i) {
        if (i == 0 && j == 0) continue;
        const Point step = p.offset(i, j, t);
        const double dx = step.x;
        const double dy = step.y;
        for (std::size_t r = begin; r < end; ++r) {
          const Box o = out_.rectangles[r];
          append({o.min_x + dx, o.max_x + dx, o.min_y + dy, o.max_y + dy}, cleared[r - begin]);
        }
      }
    }
    out_.step_and_repeat_copies += out_.rectangles.size() - before;
    check(before, p.close_line);
  }

  // Cuts the active rectangles to the board and keeps the clear runs on the
  // rectangles that remain. A rectangle that only touches the board's edge
  // (no width left inside where it had some) is outside.
  void cut_to_board(const Box& board) {
    PolarityRuns runs;
    std::size_t kept = out_.first_active;
    std::size_t run = 0;
    for (std::size_t i = out_.first_active; i < out_.rectangles.size(); ++i) {
      const PolarityRuns& clear_runs = out_.clear_runs;
      while (run < clear_runs.size() && clear_runs[run].second <= i) ++run;
      const bool clear = run < clear_runs.size() && clear_runs[run].first <= i;
      const Box r = out_.rectangles[i];
      const Box cut = r.intersection(board);
      if (cut.min_x > cut.max_x || cut.min_y > cut.max_y) continue;
      if ((cut.min_x == cut.max_x && r.min_x < r.max_x) ||
          (cut.min_y == cut.max_y && r.min_y < r.max_y)) {
        continue;
      }
      if (clear) {
        if (!runs.empty() && runs.back().second == kept) {
          ++runs.back().second;
        } else {
          runs.emplace_back(kept, kept + 1);
        }
      }
      out_.rectangles[kept++] = cut;
    }
    out_.rectangles.resize(kept);
    out_.clear_runs = std::move(runs);
  }

  // A coordinate near the largest double plus half an aperture (or a step
  // and repeat copy far away) overflows to an infinity: such a rectangle has
  // no place on a grid, and every cell around it would be unbounded.
  void check(std::size_t from, std::size_t line) const {
    if (out_.rectangles.size() > limits_.rectangles) fail_too_many(line, line);
    for (std::size_t i = from; i < out_.rectangles.size(); ++i) {
      if (!finite(out_.rectangles[i])) fail(line, "the object reaches beyond the range of numbers");
    }
  }

  const Drawing& d_;
  const BoxLimits& limits_;
  DrawingBoxes out_;
  std::vector<Box> extents_;
  std::vector<char> identity_;  // by transform
  // Where the rectangles of each object end.
  std::vector<std::size_t> ends_;
  std::vector<Point> contour_;
  std::vector<Box> region_rectangles_;
  std::size_t region_visits_ = 0;  // spent of limits_.region_edge_visits
  std::size_t first_line_ = 0;     // of the object that made the first rectangle
};

}  // namespace

DrawingBoxes make_boxes(const Drawing& drawing, const BoxLimits& limits) {
  return BoxMaker(drawing, limits).run();
}

}  // namespace foilcad
