#include "exact/cleaning.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace foilcad::exact {

using ClipperLib::IntPoint;
using ClipperLib::Path;
using ClipperLib::Paths;

namespace {

// Vertices this close to each other are one, and a vertex this close to the
// line of its neighbours lies on it: the diagonal of a unit, the distance
// Clipper's own cleaning takes.
constexpr double kNear = 1.415;
constexpr double kNearSquared = kNear * kNear;

// A vertex is removed only when every vertex removed between its neighbours
// stays within kNear of the edge that replaces them. Where the quick bound
// kept for each edge does not show it, the removed vertices are measured one
// by one, as long as they are at most this many: beyond it the vertex stays,
// so that a long run of vertices costs no more than this each.
constexpr std::size_t kMostMeasured = 256;

bool close(const IntPoint& a, const IntPoint& b) {
  const double dx = static_cast<double>(a.X) - static_cast<double>(b.X);
  const double dy = static_cast<double>(a.Y) - static_cast<double>(b.Y);
  return dx * dx + dy * dy <= kNearSquared;
}

// The squared distance of p from the line through a and b (NaN when a and b
// are one point).
double line_distance_squared(const IntPoint& p, const IntPoint& a, const IntPoint& b) {
  const double ya = static_cast<double>(a.Y - b.Y);
  const double xb = static_cast<double>(b.X - a.X);
  double c = ya * static_cast<double>(a.X) + xb * static_cast<double>(a.Y);
  c = ya * static_cast<double>(p.X) + xb * static_cast<double>(p.Y) - c;
  return (c * c) / (ya * ya + xb * xb);
}

double segment_distance_squared(const IntPoint& p, const IntPoint& a, const IntPoint& b) {
  const double dx = static_cast<double>(b.X - a.X);
  const double dy = static_cast<double>(b.Y - a.Y);
  const double px = static_cast<double>(p.X - a.X);
  const double py = static_cast<double>(p.Y - a.Y);
  const double length_squared = dx * dx + dy * dy;
  double t = length_squared > 0.0 ? (px * dx + py * dy) / length_squared : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = px - t * dx;
  const double ey = py - t * dy;
  return ex * ex + ey * ey;
}

double segment_distance(const IntPoint& p, const IntPoint& a, const IntPoint& b) {
  return std::sqrt(segment_distance_squared(p, a, b));
}

// Which of three consecutive vertices lies between the other two, along the
// axis the first two differ most on.
enum class Between { previous, middle, next };

Between between(const IntPoint& p1, const IntPoint& p2, const IntPoint& p3) {
  if (std::abs(p1.X - p2.X) > std::abs(p1.Y - p2.Y)) {
    if ((p1.X > p2.X) == (p1.X < p3.X)) return Between::previous;
    if ((p2.X > p1.X) == (p2.X < p3.X)) return Between::middle;
    return Between::next;
  }
  if ((p1.Y > p2.Y) == (p1.Y < p3.Y)) return Between::previous;
  if ((p2.Y > p1.Y) == (p2.Y < p3.Y)) return Between::middle;
  return Between::next;
}

// Whether the one between the other two lies within kNear of their line.
bool near_line(const IntPoint& p1, const IntPoint& p2, const IntPoint& p3, Between b) {
  switch (b) {
    case Between::previous:
      return line_distance_squared(p1, p2, p3) < kNearSquared;
    case Between::middle:
      return line_distance_squared(p2, p1, p3) < kNearSquared;
    case Between::next:
      break;
  }
  return line_distance_squared(p3, p1, p2) < kNearSquared;
}

// One contour, cleaned in place. The vertices are visited in the order of
// Clipper's CleanPolygon, so that a contour whose removed vertices all lie
// near the edges that replace them comes out exactly as Clipper cleans it.
// Clipper tests each vertex against its neighbours as they are after the
// removals before it; along a fine curve the edges then grow from removal to
// removal until they stand far off the vertices they replace. Here each kept
// vertex also holds how far the vertices removed after it may stand off its
// edge and which of them stands off farthest, and a removal is made only
// when every vertex it leaves removed lies within kNear of the new edge: at
// once when the bounds show it, else by measuring them. The farthest one
// known turns most removals that would not keep that down in one test.
class Cleaner {
 public:
  explicit Cleaner(Path& path) : path_(path), n_(path.size()) {
    links_.resize(n_);
    for (std::size_t i = 0; i < n_; ++i) {
      links_[i] = {(i + n_ - 1) % n_, (i + 1) % n_, false, 0.0, kNone, kNone, false};
    }
  }

  void run() {
    if (n_ == 0) return;
    std::size_t op = 0;
    std::size_t size = n_;
    while (!links_[op].done && links_[op].next != links_[op].prev) {
      const std::size_t prev = links_[op].prev;
      const std::size_t next = links_[op].next;
      const IntPoint& p = path_[prev];
      const IntPoint& q = path_[op];
      const IntPoint& r = path_[next];
      if (close(q, p)) {
        // Two vertices in one place.
        op = exclude(op, segment_distance(q, p, r));
        --size;
      } else if (close(p, r)) {
        // A spike out and back: its tip and its return (one with the vertex
        // before the tip) go.
        exclude(next, 0.0);
        op = exclude_spike(op, next);
        size -= 2;
      } else if (const Between b = between(p, q, r); near_line(p, q, r, b)) {
        if (b == Between::middle) {
          // On the line of its neighbours: removed while it and the
          // vertices removed before stay near the edge that replaces them.
          Farthest known = farthest_known(prev, op, next);
          Farthest off = known;
          if (known.distance <= kNear) {
            const double bound =
                std::max(links_[prev].off, links_[op].off) + segment_distance(q, p, r);
            off = bound <= kNear ? Farthest{bound, known.vertex} : measured(prev, next);
          }
          if (!(off.distance <= kNear)) {
            links_[op].refused_by = off.vertex;
            keep(op);
            op = next;
            continue;
          }
          op = exclude(op, 0.0);
          links_[op].off = off.distance;
          links_[op].worst = off.vertex;
        } else {
          // The tip of a spike whose return runs along its way out, past
          // the vertex before the tip.
          op = exclude_spike(op, (next + n_ - 1) % n_);
        }
        --size;
      } else {
        keep(op);
        op = next;
      }
    }
    if (size < 3) size = 0;
    Path out(size);
    for (std::size_t i = 0; i < size; ++i) {
      out[i] = path_[op];
      op = links_[op].next;
    }
    path_ = std::move(out);
  }

 private:
  struct Link {
    std::size_t prev;
    std::size_t next;
    bool done;          // kept, until a removal beside it asks for it to be tested again
    double off;         // how far the vertices removed after this one may stand off its edge
    std::size_t worst;  // the one of them known to stand off farthest; kNone before any
    // A vertex that stood too far off the edge when this one's removal was
    // last refused. It lies between this vertex's neighbours as long as this
    // one stays (removals only widen that span), and mostly still stands too
    // far off when the removal is tested again with the next neighbour on.
    std::size_t refused_by;
    bool spike;  // removed with a spike
  };

  static constexpr std::size_t kNone = SIZE_MAX;

  // A removed vertex and how far it stands off an edge.
  struct Farthest {
    double distance;
    std::size_t vertex;
  };

  // The farthest from the edge a to b of op, the vertices known to stand off
  // farthest on both sides of it and the one that refused its removal last:
  // at least how far the removal of op would leave a removed vertex off the
  // edge.
  Farthest farthest_known(std::size_t a, std::size_t op, std::size_t b) const {
    Farthest f{segment_distance(path_[op], path_[a], path_[b]), op};
    for (const std::size_t w : {links_[a].worst, links_[op].worst, links_[op].refused_by}) {
      if (w == kNone || links_[w].spike) continue;
      const double d = segment_distance(path_[w], path_[a], path_[b]);
      if (d > f.distance) f = {d, w};
    }
    return f;
  }

  void keep(std::size_t op) { links_[op].done = true; }

  // Removes op; returns the vertex before it, to be tested again. Its edge
  // now reaches op's next: the vertices removed on both edges stand off it
  // by at most what they stood off theirs plus `added`, how far op stands
  // off it.
  std::size_t exclude(std::size_t op, double added) {
    Link& removed = links_[op];
    Link& before = links_[removed.prev];
    before.next = removed.next;
    links_[removed.next].prev = removed.prev;
    before.done = false;
    before.off = std::max(before.off, removed.off) + added;
    if (before.worst == kNone) before.worst = removed.worst;
    return removed.prev;
  }

  // Removes the tip of a spike whose vertices, out and back, run from after
  // the vertex before the tip up to `last`. A spike encloses no area, so
  // none of them is part of the contour the others must stay near; how far
  // the others stand off the edge that replaces it is measured when asked.
  std::size_t exclude_spike(std::size_t tip, std::size_t last) {
    const std::size_t before = exclude(tip, 0.0);
    for (std::size_t i = (before + 1) % n_;; i = (i + 1) % n_) {
      links_[i].spike = true;
      if (i == last) break;
    }
    links_[before].off = INFINITY;
    links_[before].worst = kNone;
    return before;
  }

  // How far the vertices between a and b (all removed) stand off the edge
  // from a to b, and which stands off farthest; infinitely far when they are
  // too many to measure. Tips of spikes do not count.
  Farthest measured(std::size_t a, std::size_t b) const {
    const std::size_t count = (b + n_ - a) % n_;
    if (count > kMostMeasured + 1) return {INFINITY, kNone};
    double farthest = 0.0;
    std::size_t vertex = kNone;
    for (std::size_t i = (a + 1) % n_; i != b; i = (i + 1) % n_) {
      if (links_[i].spike) continue;
      const double d = segment_distance_squared(path_[i], path_[a], path_[b]);
      if (d > farthest || vertex == kNone) farthest = d, vertex = i;
    }
    return {std::sqrt(farthest), vertex};
  }

  Path& path_;
  std::size_t n_;
  std::vector<Link> links_;
};

}  // namespace

void clean_contours(Paths& contours) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < contours.size(); ++i) {
    Path& p = contours[i];
    Cleaner(p).run();
    if (p.size() < 3 || ClipperLib::Area(p) == 0.0) continue;
    if (kept != i) contours[kept] = std::move(p);
    ++kept;
  }
  contours.resize(kept);
}

}  // namespace foilcad::exact
