#include "exact/solids.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/parallel.hpp"
#include "exact/plane.hpp"

namespace foilcad::exact {
namespace detail {
namespace {

// Rounds of snapping crossings to whole points before the triangulation
// keeps computed points (each round can move an edge onto another).
constexpr int kSnapRounds = 4;

double paths_area(const ClipperLib::Paths& paths) {
  double area = 0.0;
  for (const auto& path : paths) area += ClipperLib::Area(path);
  return std::abs(area) / (kUnitsPerMm * kUnitsPerMm);
}

// The x of the seam: near the middle of the points, on no point's x, so
// that no contour edge runs along it. None when there are fewer points than
// halves_from.
std::optional<ClipperLib::cInt> choose_seam(const std::vector<ClipperLib::IntPoint>& points,
                                            std::size_t halves_from) {
  if (points.size() < halves_from || points.empty()) return std::nullopt;
  std::vector<ClipperLib::cInt> xs;
  xs.reserve(points.size());
  for (const auto& p : points) xs.push_back(p.X);
  std::sort(xs.begin(), xs.end());
  ClipperLib::cInt x = xs[xs.size() / 2];
  while (std::binary_search(xs.begin(), xs.end(), x)) ++x;
  if (x >= xs.back()) return std::nullopt;
  return x;
}

// With `clean_only`, stops where constraints crossed (the caller bends the
// edges through whole points and triangulates again) instead of finishing.
// Walls shorter than `min_split` (units) are not split.
void triangulate(const Constraints& constraints, const Half& half, Triangulation& out,
                 bool clean_only, double min_split, std::span<const NetProbe> probes, double lo,
                 double hi) {
  Cdt& cdt = out.cdt;
  const std::vector<VertexHandle> handles = insert_constraints(constraints, cdt);
  out.added_points = cdt.number_of_vertices() - constraints.points.size();
  if (cdt.dimension() < 2) return;  // every point on one line: no area
  if (clean_only && out.added_points > 0) return;
  conform_walls(cdt, min_split);
  count_windings(cdt, constraints, handles, half);
  out.plane = label_plane(cdt, half);
  if (!probes.empty()) out.probe_faces = locate_probes(cdt, probes, lo, hi);
  // The meshes need only the plane: the triangulation is let go on this
  // thread, beside the other half's.
  cdt.clear();
}

// The board's plane triangulated and labelled, whole or in two halves beside
// the seam at seam_x (made into `seam`, which the planes refer to), with the
// paths bent through whole points until no constraints cross or the rounds
// are up.
std::vector<std::unique_ptr<Triangulation>> triangulate_board(
    ClipperLib::Paths& copper, ClipperLib::Paths& board, std::optional<ClipperLib::cInt> seam_x,
    std::optional<Seam>& seam, double min_split, std::span<const NetProbe> probes) {
  std::vector<Half> halves;
  std::vector<std::unique_ptr<Triangulation>> triangulations;
  // The crossings snapped so far. Bending puts each on the slanted edges
  // through it; where only level and upright edges cross, none is bent, and
  // the point is given to the triangulation, which splits both edges there.
  std::vector<ClipperLib::IntPoint> crossed;
  constexpr ClipperLib::cInt kAll = std::numeric_limits<ClipperLib::cInt>::max();
  for (int round = 0;; ++round) {
    seam.reset();
    if (seam_x) {
      cut_at(copper, *seam_x);
      cut_at(board, *seam_x);
      seam = make_seam(*seam_x, copper, board);
    }
    halves.clear();
    if (seam) {
      halves = {{&*seam, true}, {&*seam, false}};
    } else {
      halves = {{}};
    }
    std::vector<Constraints> constraints(halves.size());
    triangulations.clear();
    for (std::size_t h = 0; h < halves.size(); ++h) {
      triangulations.push_back(std::make_unique<Triangulation>());
    }
    const bool last = round == kSnapRounds;
    parallel(halves.size(), [&](std::size_t h) {
      const Half& half = halves[h];
      const ClipperLib::cInt lo = half.seam == nullptr || half.seam_on_right ? -kAll : seam->x;
      const ClipperLib::cInt hi = half.seam == nullptr || !half.seam_on_right ? kAll : seam->x;
      std::vector<ClipperLib::IntPoint> extra;
      if (half.seam != nullptr) extra = half.seam->points;
      for (const auto& p : crossed) {
        if (p.X > lo && p.X < hi) extra.push_back(p);
      }
      constraints[h] = collect_constraints(copper, board, lo, hi, extra);
      triangulate(constraints[h], half, *triangulations[h], !last, min_split, probes,
                  lo == -kAll ? -HUGE_VAL : static_cast<double>(lo),
                  hi == kAll ? HUGE_VAL : static_cast<double>(hi));
    });
    if (last) break;
    std::vector<ClipperLib::IntPoint> snaps;
    for (std::size_t h = 0; h < halves.size(); ++h) {
      if (triangulations[h]->added_points == 0) continue;  // and split walls are no crossings
      const auto found = crossings(triangulations[h]->cdt, constraints[h].points);
      snaps.insert(snaps.end(), found.begin(), found.end());
    }
    if (snaps.empty()) break;
    crossed.insert(crossed.end(), snaps.begin(), snaps.end());
    // Constraints crossed (copper across the board's border, or Clipper's
    // rounding, which leaves a crossing a fraction of a unit long now and
    // then): the edges meet at the crossing's nearest whole point instead.
    snap_to_points(copper, board, std::move(snaps));
  }
  return triangulations;
}

}  // namespace
}  // namespace detail

ExactSolids extrude_solids(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                           double z1, double z2, std::size_t halves_from, const NetParts* parts) {
  if (!std::isfinite(z1) || !std::isfinite(z2) || z1 == z2) {
    throw Error("the exact model needs a thickness other than zero");
  }
  if (z2 < z1) std::swap(z1, z2);

  const double min_split = std::max(detail::kMinSplitUnits, (z2 - z1) * kUnitsPerMm);
  ClipperLib::Paths cut_copper = copper;
  ClipperLib::Paths cut_board = board;
  std::optional<ClipperLib::cInt> seam_x;
  {
    std::vector<ClipperLib::IntPoint> points;
    for (const auto* paths : {&copper, &board}) {
      for (const auto& path : *paths) points.insert(points.end(), path.begin(), path.end());
    }
    // Every later point lies between these (cuts on their edges, crossings).
    for (const auto& p : points) {
      if (std::abs(p.X) > detail::kMaxUnits || std::abs(p.Y) > detail::kMaxUnits) {
        throw Error("the board reaches too far from the origin for the exact model");
      }
    }
    seam_x = detail::choose_seam(points, halves_from);
    // Clipper's rounding now and then leaves a vertex a fraction of a unit
    // across another edge: bent through the vertex beforehand, those edges
    // need no second triangulation.
    detail::snap_to_points(cut_copper, cut_board, std::move(points));
  }
  std::optional<detail::Seam> seam;
  const auto triangulations =
      detail::triangulate_board(cut_copper, cut_board, seam_x, seam, min_split,
                                parts != nullptr ? parts->probes : std::span<const NetProbe>());

  std::vector<detail::LabelledPlane*> planes;
  std::vector<const std::vector<std::pair<std::uint32_t, std::uint32_t>>*> probe_faces;
  for (const auto& t : triangulations) {
    if (!t->plane) continue;
    planes.push_back(&*t->plane);
    probe_faces.push_back(&t->probe_faces);
  }
  ExactSolids solids;
  static_assert(detail::kConductorLabel == 0 && detail::kInsulatorLabel == 1);
  // The bodies in the same order as the labels: the conductor and the
  // insulator, or a body per net or part and the insulator.
  detail::Slab slab{z1, z2, {0, 1}};
  std::vector<Body> bodies{conductor_body(z1, z2), insulator_body(z1, z2)};
  if (parts != nullptr) {
    const std::vector<CopperPart> found = detail::split_parts(planes, probe_faces);
    PartBodies named = name_parts(found, parts->probes, parts->names);
    slab.bodies = std::move(named.body_of_part);
    const auto insulator = static_cast<std::uint32_t>(named.names.size());
    slab.bodies.push_back(insulator);
    bodies.clear();
    for (std::string& name : named.names) {
      Body body = conductor_body(z1, z2);
      body.name = std::move(name);
      bodies.push_back(std::move(body));
    }
    bodies.push_back(insulator_body(z1, z2));
    solids.nets = std::move(named.nets);
    solids.nets.emplace_back();
    solids.warnings = std::move(named.warnings);
  }
  // The meshes only read the planes: the bodies built side by side.
  const std::vector<const detail::LabelledPlane*> read(planes.begin(), planes.end());
  std::vector<std::vector<detail::Label>> labels(bodies.size());
  for (detail::Label label = 0; label < slab.bodies.size(); ++label) {
    labels[slab.bodies[label]].push_back(label);
  }
  std::vector<detail::MeshBuilder> builders;
  for (std::uint32_t b = 0; b < bodies.size(); ++b) builders.emplace_back(b, std::move(labels[b]));
  parallel(builders.size(), [&](std::size_t b) { detail::extrude(read, slab, builders[b]); });
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    const double area = builders[b].area();
    if (bodies[b].kind == BodyKind::conductor) solids.copper_area += area;
    solids.areas.push_back(area);
    solids.bodies.push_back({std::move(bodies[b]), builders[b].take()});
  }
  solids.board_area = detail::paths_area(cut_board);
  return solids;
}

}  // namespace foilcad::exact
