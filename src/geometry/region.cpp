#include "geometry/region.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace foilcad {

namespace {

// A contour edge that is not horizontal, stored bottom end first whichever way
// it was drawn. An edge walked out and back along a cut line therefore gives
// two edges whose positions are computed bit for bit alike and cancel.
struct Edge {
  double x_low;
  double y_low;
  double x_high;
  double y_high;

  bool slanted() const { return x_low != x_high; }

  // The edge's x at height y; y is expected within the edge's height. The
  // result is clamped to the edge's span so that rounding cannot carry it
  // past an end.
  double x_at(double y) const {
    if (!slanted() || y <= y_low) return x_low;
    if (y >= y_high) return x_high;
    const double t = (y - y_low) / (y_high - y_low);
    const double x = x_low + (x_high - x_low) * t;
    return std::clamp(x, std::min(x_low, x_high), std::max(x_low, x_high));
  }
};

// Where one edge runs within one row: from x = bottom at the row's bottom to
// the other end of [lo, hi] at its top. Ordered by lo, then hi, then bottom:
// edges that do not cross within the row come out in their left-to-right
// order, and identical crossings come out side by side.
struct Crossing {
  double lo;
  double hi;
  double bottom;

  friend bool operator<(const Crossing& a, const Crossing& b) {
    if (a.lo != b.lo) return a.lo < b.lo;
    if (a.hi != b.hi) return a.hi < b.hi;
    return a.bottom < b.bottom;
  }
};

bool nearly_equal(double a, double b) {
  return std::fabs(a - b) <= 1e-12 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// Two crossings that run along the same line through the row: a cut line
// walked twice, or a zero-area sliver. Under the even-odd rule they cancel.
bool same_line(const Crossing& a, const Crossing& b) {
  return nearly_equal(a.lo, b.lo) && nearly_equal(a.hi, b.hi) && nearly_equal(a.bottom, b.bottom);
}

// One active edge, held by value so that the sweep reads the active list
// front to back instead of chasing pointers, and its x at the middle of the
// current slab.
struct Slot {
  Edge edge;
  double key;
};

bool by_key(const Slot& a, const Slot& b) { return a.key < b.key; }

// An interval emitted in the previous row, still open for extension upward.
struct OpenInterval {
  double lo;
  double hi;
  std::size_t index;  // into out
  bool exact;         // bounded by vertical edges only
};

class Sweep {
 public:
  Sweep(std::vector<Box>& out, const RegionLimits& limits)
      : out_(out), first_(out.size()), limits_(limits) {}

  // edges sorted by y_low; levels: the distinct end heights, ascending.
  void run(const std::vector<Edge>& edges, const std::vector<double>& levels, double row_height);

  std::size_t visits() const { return visits_; }

 private:
  void enter_slab(const std::vector<Edge>& edges, std::size_t& next, double bottom, double top);
  void fill_row(double bottom, double top);
  void emit(double lo, double hi, double bottom, double top, bool exact);
  void end_row(double top);

  std::vector<Box>& out_;
  const std::size_t first_;
  const RegionLimits& limits_;
  std::size_t visits_ = 0;

  std::vector<Slot> active_;  // edges crossing the current slab
  std::vector<Slot> entering_;
  std::vector<Slot> merged_;
  std::vector<double> bottom_x_;  // x of each active edge at the row's bottom
  std::vector<double> top_x_;
  std::vector<Crossing> crossings_;

  std::vector<OpenInterval> previous_;  // the last row's intervals, left to right
  std::vector<OpenInterval> current_;
  std::size_t previous_pos_ = 0;
  double previous_top_ = std::numeric_limits<double>::quiet_NaN();
};

void Sweep::run(const std::vector<Edge>& edges, const std::vector<double>& levels,
                double row_height) {
  std::size_t next = 0;
  for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
    const double y0 = levels[k];
    const double y1 = levels[k + 1];
    enter_slab(edges, next, y0, y1);
    if (active_.empty()) {
      previous_.clear();
      continue;
    }

    // A slab crossed by vertical edges only is covered exactly by one row.
    const double height = y1 - y0;
    std::size_t rows = 1;
    const bool slanted =
        std::any_of(active_.begin(), active_.end(), [](const Slot& s) { return s.edge.slanted(); });
    if (slanted) {
      const double wanted = height / row_height;
      if (wanted > 1.0) {
        rows = wanted < 0x1p52 ? static_cast<std::size_t>(std::ceil(wanted))
                               : std::numeric_limits<std::size_t>::max();
      }
    }

    // Charged before the work is done, so that the limit bounds time too.
    // visits_ never exceeds the limit, and the test cannot overflow.
    if (rows > (limits_.edge_visits - visits_) / active_.size()) {
      throw RegionTooComplex(RegionTooComplex::Limit::edge_visits,
                             "region too complex to cover: the sweep would visit more than " +
                                 std::to_string(limits_.edge_visits) + " edges");
    }
    visits_ += rows * active_.size();

    bottom_x_.resize(active_.size());
    top_x_.resize(active_.size());
    for (std::size_t i = 0; i < active_.size(); ++i) bottom_x_[i] = active_[i].edge.x_at(y0);
    double bottom = y0;
    for (std::size_t r = 1; r <= rows; ++r) {
      // The fraction first, so that a huge height cannot overflow.
      const double fraction = static_cast<double>(r) / static_cast<double>(rows);
      const double top = r == rows ? y1 : std::min(y1, y0 + height * fraction);
      if (!(top > bottom)) continue;  // rounding left no height
      for (std::size_t i = 0; i < active_.size(); ++i) top_x_[i] = active_[i].edge.x_at(top);
      fill_row(bottom, top);
      std::swap(bottom_x_, top_x_);
      bottom = top;
    }
  }
}

// Drops edges that end at the slab's bottom and adds those that start there,
// keeping the active list ordered by x at the slab's middle. Edges that do not
// cross keep their order from slab to slab, so a merge suffices; a contour
// that crosses itself costs a sort.
void Sweep::enter_slab(const std::vector<Edge>& edges, std::size_t& next, double bottom,
                       double top) {
  const double middle = bottom + (top - bottom) / 2;
  std::erase_if(active_, [&](const Slot& s) { return s.edge.y_high <= bottom; });
  for (Slot& s : active_) s.key = s.edge.x_at(middle);

  entering_.clear();
  for (; next < edges.size() && edges[next].y_low <= bottom; ++next) {
    entering_.push_back({edges[next], edges[next].x_at(middle)});
  }
  if (!entering_.empty()) {
    std::sort(entering_.begin(), entering_.end(), by_key);
    merged_.clear();
    std::merge(active_.begin(), active_.end(), entering_.begin(), entering_.end(),
               std::back_inserter(merged_), by_key);
    std::swap(active_, merged_);
  }
  if (!std::is_sorted(active_.begin(), active_.end(), by_key)) {
    std::sort(active_.begin(), active_.end(), by_key);
  }
}

// Covers one row. Crossings whose x ranges overlap form a cluster; between
// clusters no edge passes at any height of the row, so the even-odd parity of
// each gap is the same all the way up and known exactly. A cluster is covered
// whole (the region may reach anywhere inside it), an odd gap is inside, an
// even gap outside. With vertical edges only, clusters are single x values
// and the cover is exact.
void Sweep::fill_row(double bottom, double top) {
  crossings_.clear();
  for (std::size_t i = 0; i < active_.size(); ++i) {
    const double b = bottom_x_[i];
    const double t = top_x_[i];
    crossings_.push_back({std::min(b, t), std::max(b, t), b});
  }
  if (!std::is_sorted(crossings_.begin(), crossings_.end())) {
    std::sort(crossings_.begin(), crossings_.end());
  }

  bool inside = false;  // parity to the right of the clusters passed
  bool open = false;    // an interval has started and not yet ended
  double start = 0.0;
  bool exact = true;  // every cluster in the open interval has zero width
  bool in_cluster = false;
  double cluster_lo = 0.0;
  double cluster_hi = 0.0;
  bool cluster_odd = false;

  const auto close_cluster = [&] {
    if (!open) {
      open = true;
      start = cluster_lo;
      exact = true;
    }
    exact = exact && cluster_lo == cluster_hi;
    inside = inside != cluster_odd;
    if (!inside) {
      // A cluster of vertical edges on the outside that came to nothing
      // (coincident cut lines) has no width and gives nothing.
      if (cluster_hi > start) emit(start, cluster_hi, bottom, top, exact);
      open = false;
    }
  };

  const std::size_t n = crossings_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Crossing& c = crossings_[i];
    if (i + 1 < n && same_line(c, crossings_[i + 1])) {
      ++i;
      continue;
    }
    if (in_cluster && c.lo <= cluster_hi) {
      cluster_hi = std::max(cluster_hi, c.hi);
      cluster_odd = !cluster_odd;
      continue;
    }
    if (in_cluster) close_cluster();
    in_cluster = true;
    cluster_lo = c.lo;
    cluster_hi = c.hi;
    cluster_odd = true;
  }
  if (in_cluster) close_cluster();
  // A closed contour crosses every row an even number of times, so nothing is
  // left open; should rounding ever leave something, cover it rather than lose it.
  if (open && cluster_hi > start) emit(start, cluster_hi, bottom, top, false);
  end_row(top);
}

// Appends [lo, hi] x [bottom, top], or extends the previous row's rectangle
// upward when both are exact and have the same sides. Rectangles bounded by
// a slanted edge are never joined, so each stays within its row's height.
void Sweep::emit(double lo, double hi, double bottom, double top, bool exact) {
  while (previous_pos_ < previous_.size() && previous_[previous_pos_].lo < lo) ++previous_pos_;
  if (exact && previous_pos_ < previous_.size() && previous_top_ == bottom) {
    const OpenInterval& p = previous_[previous_pos_];
    if (p.exact && p.lo == lo && p.hi == hi) {
      out_[p.index].max_y = top;
      current_.push_back(p);
      return;
    }
  }
  if (out_.size() - first_ >= limits_.rectangles) {
    throw RegionTooComplex(RegionTooComplex::Limit::rectangles,
                           "region too complex to cover: more than " +
                               std::to_string(limits_.rectangles) + " rectangles");
  }
  out_.push_back({lo, hi, bottom, top});
  current_.push_back({lo, hi, out_.size() - 1, exact});
}

void Sweep::end_row(double top) {
  std::swap(previous_, current_);
  current_.clear();
  previous_pos_ = 0;
  previous_top_ = top;
}

}  // namespace

std::size_t fill_region(std::span<const Point> contour, double max_slab_height,
                        std::vector<Box>& out, const RegionLimits& limits) {
  const std::size_t n = contour.size();
  if (n < 3) return 0;

  double min_x = contour[0].x, max_x = contour[0].x;
  double min_y = contour[0].y, max_y = contour[0].y;
  for (const Point& p : contour) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return 0;
    min_x = std::min(min_x, p.x);
    max_x = std::max(max_x, p.x);
    min_y = std::min(min_y, p.y);
    max_y = std::max(max_y, p.y);
  }
  // With a finite extent every difference of two coordinates is finite, so
  // no interpolation below can overflow.
  const double height = max_y - min_y;
  if (!std::isfinite(max_x - min_x) || !std::isfinite(height)) return 0;

  // Horizontal edges (repeated points among them) change no row's parity and
  // are left out; their ends are ends of neighbouring edges.
  std::vector<Edge> edges;
  edges.reserve(n);
  std::vector<double> levels;
  levels.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const Point& a = contour[i];
    const Point& b = contour[i + 1 == n ? 0 : i + 1];
    if (a.y == b.y) continue;
    edges.push_back(a.y < b.y ? Edge{a.x, a.y, b.x, b.y} : Edge{b.x, b.y, a.x, a.y});
    levels.push_back(a.y);
    levels.push_back(b.y);
  }
  if (edges.empty()) return 0;
  std::sort(edges.begin(), edges.end(),
            [](const Edge& a, const Edge& b) { return a.y_low < b.y_low; });
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());

  double row_height = std::numeric_limits<double>::infinity();
  if (std::isfinite(max_slab_height) && max_slab_height > 0) row_height = max_slab_height;
  if (limits.subdivision_rows > 0) {
    row_height = std::max(row_height, height / static_cast<double>(limits.subdivision_rows));
  }

  const std::size_t first = out.size();
  Sweep sweep(out, limits);
  try {
    sweep.run(edges, levels, row_height);
  } catch (...) {
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    throw;
  }
  return sweep.visits();
}

std::size_t fill_region(std::span<const Point> contour, double max_slab_height,
                        std::vector<Box>& out) {
  return fill_region(contour, max_slab_height, out, RegionLimits{});
}

}  // namespace foilcad
