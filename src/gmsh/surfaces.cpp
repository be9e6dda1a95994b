#include "gmsh/surfaces.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "common/error.hpp"
#include "common/huge_pages.hpp"
#include "common/parallel.hpp"

namespace foilcad {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Every vertex of every body as the index of its place: vertices at equal
// coordinates (==, so that -0.0 is 0.0) get one place. Open addressing in
// one flat array; each slot keeps the upper half of its key's hash beside
// the place, so that a probe mostly settles without reading the place.
class Places {
 public:
  explicit Places(std::uint64_t vertices) {
    std::size_t size = 1024;
    while (size < 2 * vertices) size *= 2;
    reserve_in_huge_pages(slots_, size);
    slots_.assign(size, kEmpty);
    reserve_in_huge_pages(places_, static_cast<std::size_t>(vertices));
  }

  // Adding 0.0 turns -0.0 into 0.0, which compares equal and must hash
  // alike.
  static Vertex key_of(const Vertex& v) { return {v.x + 0.0, v.y + 0.0, v.z + 0.0}; }

  // The coordinates are whole multiples of a power of two, so their low
  // bits are zeros: every bit is mixed into every other (the finalizer of
  // MurmurHash3) before the table's low bits are taken.
  static std::uint64_t hash(const Vertex& v) {
    std::uint64_t h = std::bit_cast<std::uint64_t>(v.x);
    h = std::rotl(h, 21) ^ std::bit_cast<std::uint64_t>(v.y);
    h = std::rotl(h, 21) ^ std::bit_cast<std::uint64_t>(v.z);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
  }

  // The place of a key (key_of) whose hash is h.
  std::uint32_t place_of(const Vertex& key, std::uint64_t h) {
    const std::uint64_t tag = h & 0xFFFFFFFF00000000ull;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(h) & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t known = slots_[slot];
      if (known == kEmpty) {
        const auto place = static_cast<std::uint32_t>(places_.size());
        slots_[slot] = tag | place;
        places_.push_back(key);
        return place;
      }
      const auto place = static_cast<std::uint32_t>(known);
      if ((known & 0xFFFFFFFF00000000ull) == tag && places_[place] == key) return place;
    }
  }

  std::vector<Vertex> take() { return std::move(places_); }

 private:
  static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

  std::vector<std::uint64_t> slots_;
  std::vector<Vertex> places_;
};

// A vector of n elements in huge pages (common/huge_pages.hpp): on a large
// board these arrays take tens of megabytes each, and page faults would
// take much of the time.
template <class T>
void make_huge(std::vector<T>& v, std::size_t n, const T& value = T{}) {
  v.clear();
  reserve_in_huge_pages(v, n);
  v.resize(n, value);
}

// A triangle turned so that a vertex comes first: the two corners after it.
struct Turned {
  std::uint32_t triangle;
  std::uint32_t next;
  std::uint32_t last;
};

// One body's triangles around each of its vertices, each turned so that
// the vertex comes first. The corners are kept here, in one pass over the
// triangles, so that the walks around a vertex read no triangle.
struct Fans {
  std::vector<std::uint32_t> from;  // by vertex, into around; the total last
  std::vector<Turned> around;

  std::span<const Turned> at(std::uint32_t vertex) const {
    return {around.data() + from[vertex], around.data() + from[vertex + 1]};
  }
};

Fans make_fans(const Mesh& mesh) {
  Fans f;
  make_huge(f.from, mesh.vertices.size() + 1);
  for (const auto& tri : mesh.triangles) {
    for (const std::uint32_t v : tri) ++f.from[v + 1];
  }
  for (std::size_t v = 0; v < mesh.vertices.size(); ++v) f.from[v + 1] += f.from[v];
  f.around.clear();
  reserve_in_huge_pages(f.around, f.from.back());
  f.around.resize(f.from.back());
  // Each run filled from its end, so that from[v + 1] ends at the start of
  // v's run and the triangles of a run are in order.
  for (std::uint32_t t = static_cast<std::uint32_t>(mesh.triangles.size()); t-- > 0;) {
    const auto& c = mesh.triangles[t];
    f.around[--f.from[c[0] + 1]] = {t, c[1], c[2]};
    f.around[--f.from[c[1] + 1]] = {t, c[2], c[0]};
    f.around[--f.from[c[2] + 1]] = {t, c[0], c[1]};
  }
  for (std::size_t v = 0; v < mesh.vertices.size(); ++v) f.from[v] = f.from[v + 1];
  f.from.back() = static_cast<std::uint32_t>(f.around.size());
  return f;
}

// Where the body touches itself along the edge from v to leaving.next
// (2k triangles meet there, k each way), the triangle that bounds the same
// side of the solid as leaving: leaving's normal turns round the edge one
// way, the solid lies the other way, and the first triangle that way runs
// along the edge the other way round.
std::uint32_t across_pinch(const Mesh& mesh, std::uint32_t v, const Turned& leaving,
                           std::span<const Turned> fan) {
  const Vertex& p = mesh.vertices[v];
  const Vertex& q = mesh.vertices[leaving.next];
  const double a[3] = {q.x - p.x, q.y - p.y, q.z - p.z};
  const auto cross = [](const double* x, const double* y, double* out) {
    out[0] = x[1] * y[2] - x[2] * y[1];
    out[1] = x[2] * y[0] - x[0] * y[2];
    out[2] = x[0] * y[1] - x[1] * y[0];
  };
  // Two directions square to the edge and to each other, of one length:
  // the angle of a corner round the edge, growing as a right-handed turn.
  double t[3] = {0, 0, 0};
  const double ax = std::fabs(a[0]), ay = std::fabs(a[1]), az = std::fabs(a[2]);
  t[ax <= ay && ax <= az ? 0 : ay <= az ? 1 : 2] = 1;
  double u1[3], u2[3];
  cross(a, t, u1);
  cross(a, u1, u2);
  const double length = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  const auto angle = [&](std::uint32_t corner) {
    const Vertex& w = mesh.vertices[corner];
    const double d[3] = {w.x - p.x, w.y - p.y, w.z - p.z};
    return std::atan2((d[0] * u2[0] + d[1] * u2[1] + d[2] * u2[2]) / length,
                      d[0] * u1[0] + d[1] * u1[1] + d[2] * u1[2]);
  };
  const double from = angle(leaving.last);
  std::uint32_t best = kNone;
  double least = kInfinity;
  for (const Turned& other : fan) {
    if (other.last != leaving.next) continue;
    double turn = from - angle(other.next);
    while (turn <= 0) turn += 2 * std::numbers::pi;
    if (turn < least) {
      least = turn;
      best = other.triangle;
    }
  }
  return best;
}

// The body's triangles joined over shared edges into pieces: each
// triangle's piece, numbered in the order of the pieces' first triangles.
// Returns the number of pieces. Pieces that touch at a vertex stay apart,
// and so do the parts on either side of an edge where the body touches
// itself: gmsh fills a volume as one region of tetrahedra joined face to
// face, and of a volume whose parts met only there it would fill one part.
std::uint32_t number_pieces(const Mesh& mesh, const Fans& fans, std::vector<std::uint32_t>& piece) {
  const std::size_t triangles = mesh.triangles.size();
  std::vector<std::uint32_t> parent;
  make_huge(parent, triangles);
  for (std::uint32_t t = 0; t < triangles; ++t) parent[t] = t;
  const auto root = [&](std::uint32_t t) {
    while (parent[t] != t) t = parent[t] = parent[parent[t]];
    return t;
  };
  for (std::uint32_t v = 0; v + 1 < fans.from.size(); ++v) {
    const std::span<const Turned> fan = fans.at(v);
    for (const Turned& leaving : fan) {
      // Each edge from v to leaving.next once, at its lower end; the
      // triangles that run along it the other way end at v.
      if (leaving.next < v) continue;
      std::uint32_t other = kNone;
      int count = 0;
      for (const Turned& coming : fan) {
        if (coming.last != leaving.next) continue;
        other = coming.triangle;
        ++count;
      }
      if (count > 1) other = across_pinch(mesh, v, leaving, fan);
      if (other == kNone) continue;
      const std::uint32_t a = root(leaving.triangle);
      const std::uint32_t b = root(other);
      // The lower triangle is the root: the first of its piece.
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  std::uint32_t next = 0;
  make_huge(piece, triangles);
  for (std::uint32_t t = 0; t < triangles; ++t) {
    const std::uint32_t r = root(t);
    piece[t] = r == t ? next++ : piece[r];
  }
  return next;
}

// For each place, the bodies that have a vertex there and its index.
struct Holders {
  struct Holder {
    std::uint32_t body;
    std::uint32_t vertex;
  };
  std::vector<std::uint32_t> from;  // by place; the total last
  std::vector<Holder> holders;

  std::uint32_t vertex_of(std::uint32_t place, std::uint32_t body) const {
    for (std::uint32_t i = from[place]; i < from[place + 1]; ++i) {
      if (holders[i].body == body) return holders[i].vertex;
    }
    return kNone;
  }
};

Holders make_holders(const std::vector<std::vector<std::uint32_t>>& place_of, std::size_t places) {
  Holders h;
  make_huge(h.from, places + 1);
  for (const auto& body : place_of) {
    for (const std::uint32_t p : body) ++h.from[p + 1];
  }
  for (std::size_t p = 0; p < places; ++p) h.from[p + 1] += h.from[p];
  make_huge(h.holders, h.from.back());
  std::vector<std::uint32_t> next(h.from.begin(), h.from.end() - 1);
  for (std::uint32_t b = 0; b < place_of.size(); ++b) {
    for (std::uint32_t v = 0; v < place_of[b].size(); ++v) {
      h.holders[next[place_of[b][v]]++] = {b, v};
    }
  }
  return h;
}

// Whether the places of a triangle are p0, p2, p1 in turn: the triangle
// over p0, p1, p2 the other way round.
bool reverses(const std::array<std::uint32_t, 3>& corners,
              const std::vector<std::uint32_t>& place_of, std::uint32_t p0, std::uint32_t p1,
              std::uint32_t p2) {
  const std::uint32_t q0 = place_of[corners[0]];
  const std::uint32_t q1 = place_of[corners[1]];
  const std::uint32_t q2 = place_of[corners[2]];
  return (q0 == p0 && q1 == p2 && q2 == p1) || (q1 == p0 && q2 == p2 && q0 == p1) ||
         (q2 == p0 && q0 == p2 && q1 == p1);
}

// The twin of each wall of body b against a body after it (or itself)
// among its triangles from begin to end, into twin: the triangle of the
// body across over the same places, the other way round, that names b
// across it. Left kNone for every other triangle, and for a wall without a
// twin.
void find_twins(std::span<const MeshBody> bodies,
                const std::vector<std::vector<std::uint32_t>>& place_of,
                const std::vector<Fans>& fans, const Holders& holders, std::uint32_t b,
                std::uint32_t begin, std::uint32_t end, std::vector<std::uint32_t>& twin) {
  const Mesh& mesh = bodies[b].mesh;
  const std::vector<std::uint32_t>& places_b = place_of[b];
  std::uint32_t last = kNone;  // the twin of the triangle before
  for (std::uint32_t t = begin; t < end; ++t) {
    const std::uint32_t across = mesh.across[t];
    if (across == kNoBody || across < b || across >= bodies.size()) {
      last = kNone;
      continue;
    }
    const auto& c = mesh.triangles[t];
    const std::uint32_t p0 = places_b[c[0]];
    const std::uint32_t p1 = places_b[c[1]];
    const std::uint32_t p2 = places_b[c[2]];
    const Mesh& other = bodies[across].mesh;
    const std::vector<std::uint32_t>& places_across = place_of[across];
    // Both sides split a wall's quad the same way and make its two
    // triangles one after the other: the twin of a quad's second triangle
    // is mostly next to the first one's.
    std::uint32_t found = kNone;
    for (const std::uint32_t guess : {last + 1, last - 1}) {
      if (last != kNone && guess < other.triangles.size() &&
          reverses(other.triangles[guess], places_across, p0, p1, p2)) {
        found = guess;
        break;
      }
    }
    if (found == kNone) {
      const std::uint32_t v0 = holders.vertex_of(p0, across);
      if (v0 != kNone) {
        for (const Turned& corner : fans[across].at(v0)) {
          if (places_across[corner.next] == p2 && places_across[corner.last] == p1) {
            found = corner.triangle;
            break;
          }
        }
      }
    }
    if (found != kNone && other.across[found] != b) found = kNone;
    twin[t] = found;
    last = found;
  }
}

std::string where(const Vertex& v) {
  return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) +
         ") mm";
}

// A surface as one body's triangles turn it up.
struct Found {
  std::uint32_t volume;
  SurfaceKind kind;
  std::uint32_t across;
  std::uint32_t triangles = 0;
  // The box of its triangles, taken here where a triangle's vertices lie
  // near the ones before.
  Vertex low{kInfinity, kInfinity, kInfinity};
  Vertex high{-kInfinity, -kInfinity, -kInfinity};

  void add(const Mesh& mesh, const std::array<std::uint32_t, 3>& corners) {
    ++triangles;
    for (const std::uint32_t c : corners) {
      const Vertex& v = mesh.vertices[c];
      low = {std::min(low.x, v.x), std::min(low.y, v.y), std::min(low.z, v.z)};
      high = {std::max(high.x, v.x), std::max(high.y, v.y), std::max(high.z, v.z)};
    }
  }
};

// The surfaces of one body's volumes: their top, bottom and edge, and the
// walls they share with later volumes, by volume and within it by kind,
// walls in the order they turned up; each triangle's surface among them,
// kNone for a wall that a twin of an earlier volume stands for. And the
// twins, by pair of bodies (earlier, later): the body's walls that wait for
// an earlier body's twin count 1 each, the twins it found in a later body
// -1 each.
struct BodySurfaces {
  std::vector<Found> surfaces;
  std::vector<std::uint32_t> surface_of;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::int64_t> twins;
};

BodySurfaces find_surfaces(std::span<const MeshBody> bodies, std::uint32_t b,
                           const std::vector<std::uint32_t>& first_piece,
                           const std::vector<std::vector<std::uint32_t>>& piece,
                           const std::vector<std::vector<std::uint32_t>>& twin) {
  const Body& body = bodies[b].body;
  const Mesh& mesh = bodies[b].mesh;
  const double middle = body.z1 + (body.z2 - body.z1) / 2;
  BodySurfaces out;
  std::vector<Found>& found = out.surfaces;
  std::vector<std::uint32_t> own(3 * std::size_t{first_piece[b + 1] - first_piece[b]}, kNone);
  std::unordered_map<std::uint64_t, std::uint32_t> walls;
  std::uint64_t last_wall = std::numeric_limits<std::uint64_t>::max();
  std::uint32_t last_surface = kNone;
  std::pair<std::uint32_t, std::uint32_t> run_pair{kNone, kNone};
  std::int64_t run = 0;
  const auto count_twin = [&](std::uint32_t earlier, std::uint32_t later, std::int64_t step) {
    if (std::pair(earlier, later) != run_pair) {
      if (run != 0) out.twins[run_pair] += run;
      run_pair = {earlier, later};
      run = 0;
    }
    run += step;
  };
  std::vector<std::uint32_t>& surface = out.surface_of;
  make_huge(surface, mesh.triangles.size(), kNone);
  for (std::uint32_t t = 0; t < mesh.triangles.size(); ++t) {
    const auto& c = mesh.triangles[t];
    const std::uint32_t local = piece[b][t];
    const std::uint32_t volume = first_piece[b] + local;
    const std::uint32_t across = mesh.across[t];
    if (across == kNoBody) {
      const double z = mesh.vertices[c[0]].z;
      const bool flat = mesh.vertices[c[1]].z == z && mesh.vertices[c[2]].z == z;
      const SurfaceKind kind = !flat        ? SurfaceKind::edge
                               : z > middle ? SurfaceKind::top
                                            : SurfaceKind::bottom;
      std::uint32_t& slot = own[3 * std::size_t{local} + static_cast<std::size_t>(kind)];
      if (slot == kNone) {
        slot = static_cast<std::uint32_t>(found.size());
        found.push_back({volume, kind, kNoBody});
      }
      surface[t] = slot;
      found[slot].add(mesh, c);
      continue;
    }
    // Walls against an earlier body are that body's to write.
    if (across < b) {
      count_twin(across, b, 1);
      continue;
    }
    const std::uint32_t s = twin[b][t];
    if (s == kNone) {
      throw Error("the gmsh surfaces: a wall of " + body.name + " at " +
                  where(mesh.vertices[c[0]]) + " has no twin in the body across it");
    }
    const std::uint32_t other = first_piece[across] + piece[across][s];
    if (other == volume) {
      throw Error("the gmsh surfaces: a wall of " + body.name + " at " +
                  where(mesh.vertices[c[0]]) + " lies inside one piece");
    }
    if (across != b) count_twin(b, across, -1);
    if (other < volume) continue;
    const std::uint64_t key = std::uint64_t{volume} << 32 | other;
    // A wall's triangles mostly come one after another.
    if (key != last_wall) {
      const auto [at, added] = walls.try_emplace(key, static_cast<std::uint32_t>(found.size()));
      if (added) found.push_back({volume, SurfaceKind::wall, other});
      last_wall = key;
      last_surface = at->second;
    }
    surface[t] = last_surface;
    found[last_surface].add(mesh, c);
  }
  if (run != 0) out.twins[run_pair] += run;

  // By volume and kind; the triangles' surfaces renumbered to match.
  std::vector<std::uint32_t> order(found.size());
  for (std::uint32_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
    return std::pair(found[x].volume, found[x].kind) < std::pair(found[y].volume, found[y].kind);
  });
  std::vector<std::uint32_t> rank(found.size());
  std::vector<Found> sorted;
  sorted.reserve(found.size());
  for (std::uint32_t k = 0; k < order.size(); ++k) {
    rank[order[k]] = k;
    sorted.push_back(found[order[k]]);
  }
  found = std::move(sorted);
  for (std::uint32_t& k : surface) {
    if (k != kNone) k = rank[k];
  }
  return out;
}

}  // namespace

GmshSurfaces make_gmsh_surfaces(std::span<const MeshBody> bodies) {
  std::uint64_t triangles = 0;
  std::uint64_t vertices = 0;
  for (const MeshBody& b : bodies) {
    // Without the body across each triangle, walls cannot be told from the
    // board's edge.
    if (b.mesh.across.size() != b.mesh.triangles.size()) {
      throw Error("the gmsh surfaces: " + b.body.name +
                  " does not name the body across each triangle");
    }
    triangles += b.mesh.triangles.size();
    vertices += b.mesh.vertices.size();
  }
  // Fans hold three corners a triangle, and the file's tags count from 1.
  if (3 * triangles >= kNone || vertices >= kNone) {
    throw Error("the gmsh surfaces: the bodies have " + std::to_string(triangles) +
                " triangles and " + std::to_string(vertices) +
                " vertices, more than 32-bit indices count");
  }

  // Every vertex's place; then each body's fans, and its pieces and the
  // twins of its walls, on the cores side by side.
  std::vector<std::vector<std::uint32_t>> place_of(bodies.size());
  std::vector<Vertex> places;
  {
    // Two halves of the keys, by the hash's top bit, on two cores: each
    // numbers its own places, and the second half's come after the first's.
    for (std::size_t b = 0; b < bodies.size(); ++b) {
      make_huge(place_of[b], bodies[b].mesh.vertices.size());
    }
    std::vector<Vertex> half[2];
    parallel(2, [&](std::size_t part) {
      // Room for every vertex, should all fall into one half.
      Places finder(vertices / 2 + 1);
      for (std::size_t b = 0; b < bodies.size(); ++b) {
        const std::vector<Vertex>& from = bodies[b].mesh.vertices;
        std::vector<std::uint32_t>& to = place_of[b];
        for (std::size_t v = 0; v < from.size(); ++v) {
          const Vertex key = Places::key_of(from[v]);
          const std::uint64_t h = Places::hash(key);
          if ((h >> 63) == part) to[v] = finder.place_of(key, h);
        }
      }
      half[part] = finder.take();
    });
    const auto offset = static_cast<std::uint32_t>(half[0].size());
    parallel(bodies.size(), [&](std::size_t b) {
      const std::vector<Vertex>& from = bodies[b].mesh.vertices;
      std::vector<std::uint32_t>& to = place_of[b];
      for (std::size_t v = 0; v < from.size(); ++v) {
        if ((Places::hash(Places::key_of(from[v])) >> 63) != 0) to[v] += offset;
      }
    });
    places = std::move(half[0]);
    places.insert(places.end(), half[1].begin(), half[1].end());
  }
  std::vector<Fans> fans(bodies.size());
  parallel(bodies.size(), [&](std::size_t b) { fans[b] = make_fans(bodies[b].mesh); });
  const Holders holders = make_holders(place_of, places.size());
  std::vector<std::vector<std::uint32_t>> piece(bodies.size());
  std::vector<std::vector<std::uint32_t>> twin(bodies.size());
  std::vector<std::uint32_t> first_piece(bodies.size() + 1, 0);
  // Each body's pieces, then the twins in runs of triangles: the first
  // body has most of the twins to find.
  struct Run {
    std::uint32_t body;
    std::uint32_t begin;
    std::uint32_t end;
  };
  std::vector<Run> runs;
  constexpr std::uint32_t kRun = 1u << 17;
  for (std::uint32_t b = 0; b < bodies.size(); ++b) {
    const auto triangles = static_cast<std::uint32_t>(bodies[b].mesh.triangles.size());
    make_huge(twin[b], triangles, kNone);
    for (std::uint32_t begin = 0; begin < triangles; begin += kRun) {
      runs.push_back({b, begin, std::min(triangles, begin + kRun)});
    }
  }
  parallel(bodies.size() + runs.size(), [&](std::size_t task) {
    if (task < bodies.size()) {
      first_piece[task + 1] = number_pieces(bodies[task].mesh, fans[task], piece[task]);
    } else {
      const Run& r = runs[task - bodies.size()];
      find_twins(bodies, place_of, fans, holders, r.body, r.begin, r.end, twin[r.body]);
    }
  });
  fans.clear();
  for (std::size_t b = 0; b < bodies.size(); ++b) first_piece[b + 1] += first_piece[b];

  GmshSurfaces out;
  out.volumes.resize(first_piece.back());
  for (std::uint32_t b = 0; b < bodies.size(); ++b) {
    for (std::uint32_t v = first_piece[b]; v < first_piece[b + 1]; ++v) out.volumes[v].body = b;
  }

  // Each body's surfaces, on the cores side by side: a surface belongs to
  // the volume whose triangles it is made of, and each volume to one body.
  std::vector<BodySurfaces> found(bodies.size());
  parallel(bodies.size(), [&](std::size_t b) {
    found[b] = find_surfaces(bodies, static_cast<std::uint32_t>(b), first_piece, piece, twin);
  });
  // Each wall of a later body against an earlier one stands for a twin the
  // earlier body found: as many of one as of the other.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::int64_t> unmatched;
  for (const BodySurfaces& f : found) {
    for (const auto& [pair, count] : f.twins) unmatched[pair] += count;
  }
  for (const auto& [pair, left] : unmatched) {
    if (left == 0) continue;
    throw Error("the gmsh surfaces: the walls of " + bodies[pair.second].body.name + " against " +
                bodies[pair.first].body.name + " are not all twins of its walls");
  }

  // The surfaces body after body, each body's in their order (by volume and
  // kind); their triangles in that order, with places for corners for now.
  std::vector<std::uint32_t> first_surface(bodies.size() + 1, 0);
  std::vector<std::uint32_t> first_written(bodies.size() + 1, 0);
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    first_surface[b + 1] = first_surface[b] + static_cast<std::uint32_t>(found[b].surfaces.size());
    std::uint32_t written = 0;
    for (const Found& f : found[b].surfaces) written += f.triangles;
    first_written[b + 1] = first_written[b] + written;
  }
  out.surfaces.resize(first_surface.back());
  make_huge(out.triangles, first_written.back());
  parallel(bodies.size(), [&](std::size_t b) {
    const BodySurfaces& f = found[b];
    std::vector<std::uint32_t> next(f.surfaces.size());
    std::uint32_t written = first_written[b];
    for (std::size_t k = 0; k < f.surfaces.size(); ++k) {
      const Found& s = f.surfaces[k];
      GmshSurface& surface = out.surfaces[first_surface[b] + k];
      surface.kind = s.kind;
      surface.volume = s.volume;
      surface.across = s.across;
      surface.first_triangle = written;
      surface.triangle_count = s.triangles;
      surface.low = s.low;
      surface.high = s.high;
      next[k] = written;
      written += s.triangles;
    }
    const Mesh& mesh = bodies[b].mesh;
    const std::vector<std::uint32_t>& places_b = place_of[b];
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
      const std::uint32_t k = f.surface_of[t];
      if (k == kNone) continue;
      const auto& c = mesh.triangles[t];
      out.triangles[next[k]++] = {places_b[c[0]], places_b[c[1]], places_b[c[2]]};
    }
  });

  // Nodes in the order the surfaces first use them: each surface's own
  // nodes are one run.
  std::vector<std::uint32_t> node_of;
  make_huge(node_of, places.size(), kNone);
  reserve_in_huge_pages(out.nodes, places.size());
  for (std::uint32_t f = 0; f < out.surfaces.size(); ++f) {
    GmshSurface& surface = out.surfaces[f];
    surface.first_node = static_cast<std::uint32_t>(out.nodes.size());
    const auto begin = out.triangles.begin() + surface.first_triangle;
    for (auto it = begin; it != begin + surface.triangle_count; ++it) {
      for (std::uint32_t& corner : *it) {
        std::uint32_t& node = node_of[corner];
        if (node == kNone) {
          node = static_cast<std::uint32_t>(out.nodes.size());
          out.nodes.push_back(places[corner]);
        }
        corner = node;
      }
    }
    surface.node_count = static_cast<std::uint32_t>(out.nodes.size()) - surface.first_node;
    out.volumes[surface.volume].surfaces.push_back(f);
    if (surface.kind == SurfaceKind::wall) out.volumes[surface.across].surfaces.push_back(f);
  }
  return out;
}

}  // namespace foilcad
