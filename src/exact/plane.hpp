// The board's plane between the exact model's contours and its meshes: the
// constrained Delaunay triangulation of the contours of copper and board, the
// seam between the halves of a large board, and the labelled plane that the
// meshes are extruded from. Internal to the extrusion (solids.cpp, which runs
// the stages; labelling.cpp, walls.cpp and meshes.cpp, one algorithm each):
// these files are the only ones that know CGAL. Coordinates are Clipper's
// integer units (exact/clipper_units.hpp) until the meshes turn them into
// millimetres.
#pragma once

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/mesh.hpp"
#include "exact/clipper_units.hpp"
#include "exact/nets.hpp"

namespace foilcad::exact::detail {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_2;

// How the winding numbers of copper and board change when a walk leaves a
// face through one of its edges, and the numbers the face has.
struct FaceInfo {
  std::array<std::int32_t, 3> copper_step{0, 0, 0};
  std::array<std::int32_t, 3> board_step{0, 0, 0};
  std::int32_t copper_winding = 0;
  std::int32_t board_winding = 0;
  bool reached = false;
  std::uint32_t face = 0;  // its index in the labelled plane, once there is one
};

using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<std::uint32_t, Kernel>;
using FaceBase =
    CGAL::Triangulation_face_base_with_info_2<FaceInfo, Kernel,
                                              CGAL::Constrained_triangulation_face_base_2<Kernel>>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Exact_predicates_tag: constraints that cross are split at a computed point
// instead of failing. extrude_solids counts the points the triangulation adds
// and bends the crossing edges through whole points instead (snap_to_points),
// so that every vertex stays exact.
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, CGAL::Exact_predicates_tag>;
using VertexHandle = Cdt::Vertex_handle;
using FaceHandle = Cdt::Face_handle;

// Products of whole-unit coordinates, exactly.
__extension__ typedef __int128 Wide;  // GCC's and Clang's; -Wpedantic knows it then

// The largest coordinate magnitude the triangulation takes (extrude_solids
// checks it): integer units beyond it would lose exactness in the products
// of its predicates.
inline constexpr ClipperLib::cInt kMaxUnits = ClipperLib::cInt{1} << 40;

inline bool point_less(const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b) {
  return a.X != b.X ? a.X < b.X : a.Y < b.Y;
}

// An edge of a copper contour or of the board's, between two of the
// constraints' points.
struct ContourEdge {
  std::uint32_t from;
  std::uint32_t to;
  bool copper;  // else the board's
};

// What the triangulation is made of: every distinct point of the contours of
// copper and board, and each contour edge as a pair of indices into them.
struct Constraints {
  std::vector<ClipperLib::IntPoint> points;
  std::vector<ContourEdge> edges;
};

// Where a large board is cut in two halves triangulated side by side: the
// line x = x, its points from bottom to top, and the winding numbers of
// copper and board along each piece between two of them. Each half sees
// only its own side; the pieces of the seam are the edges of its hull there,
// and stepping in over one gives the winding numbers the whole board has.
struct Seam {
  ClipperLib::cInt x = 0;
  std::vector<ClipperLib::IntPoint> points;
  std::vector<std::int32_t> copper;  // one per piece
  std::vector<std::int32_t> board;
};

// One half: the part of the board it covers, and which side the seam is on.
struct Half {
  const Seam* seam = nullptr;  // none: the whole board
  bool seam_on_right = false;
};

// A face's region in the plane: the index of its body in the slab's list
// (Slab::bodies), or kOutside beyond the board.
using Label = std::uint32_t;
inline constexpr Label kOutside = std::numeric_limits<Label>::max();

// The regions of one copper layer: the conductor where the copper's winding
// number is not zero inside the board, the insulator in the rest of the
// board.
enum : Label { kConductorLabel, kInsulatorLabel, kLayerLabels };

// A face of the plane inside the board: its corners (indices into
// LabelledPlane::points, counterclockwise) and per edge i (the one across
// from corner i) the label on its other side: its own where the region goes
// on, kOutside at the board's edge.
struct PlaneFace {
  std::array<std::uint32_t, 3> corners;
  std::array<Label, 3> across;
};

// A triangulated plane whose faces carry the labels of their regions, as the
// meshes read it: flat arrays, made on the half's own thread, so that the
// meshes need not follow the triangulation's linked faces.
struct LabelledPlane {
  // In units: whole, or on a contour edge exactly (conform_walls).
  std::vector<Point> points;
  // The faces inside the board by label, each label's in the triangulation's
  // order: those of label l are faces[first[l]] up to faces[first[l + 1]].
  std::vector<PlaneFace> faces;
  std::vector<std::size_t> first;
  std::vector<std::size_t> walls;  // per label: the edges where its region ends
  // The points the plane shares with the one beside it (the other half of
  // the board): those on the line x = seam_x (NaN, no x, when alone) at the
  // heights of seam_points.
  double seam_x = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ClipperLib::IntPoint>* seam_points = nullptr;
};

// One half's triangulation of its constraints with every face's winding
// numbers, and once it is finished the plane the meshes are made of.
struct Triangulation {
  Cdt cdt;
  std::size_t added_points = 0;  // where constraints crossed
  std::optional<LabelledPlane> plane;
  // Per probe found in the copper of the plane: the probe and its face.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> probe_faces;
};

// labelling.cpp: the triangulation and the labels of its faces.

// The contour edges of copper and board that lie between x = lo and x = hi
// (all of them once the paths are cut at the seam, see cut_at), their
// points, and `extra` points.
Constraints collect_constraints(const ClipperLib::Paths& copper, const ClipperLib::Paths& board,
                                ClipperLib::cInt lo, ClipperLib::cInt hi,
                                const std::vector<ClipperLib::IntPoint>& extra);

// The seam's points and the winding numbers along its pieces, from the
// edges right of it. std::nullopt when an edge runs along the seam (a
// snapped crossing can put one there): that board is triangulated whole.
std::optional<Seam> make_seam(ClipperLib::cInt x, const ClipperLib::Paths& copper,
                              const ClipperLib::Paths& board);

// Inserts the points and then the edges into an empty triangulation; the
// handles of the points, in their order.
std::vector<VertexHandle> insert_constraints(const Constraints& constraints, Cdt& cdt);

// Gives every face of a two-dimensional triangulation of the constraints
// (their points at `handles`) the winding numbers of copper and board, those
// that the half's seam carries included.
void count_windings(Cdt& cdt, const Constraints& constraints, std::span<const VertexHandle> handles,
                    const Half& half);

// The plane of a triangulation whose faces have their winding numbers:
// conductor where the copper's is not zero inside the board, insulator in the
// rest of the board. Numbers the vertices (their info()) in the order of its
// points.
LabelledPlane label_plane(Cdt& cdt, const Half& half);

// walls.cpp: contour edges bent through whole points, and walls split until
// they are Delaunay edges.

// Walls are split down to about the thickness, but not below this (units):
// about a micrometre, for very thin foils.
inline constexpr double kMinSplitUnits = 16.0;

// Splits the constrained edges that are no Delaunay edges of the points
// until they are, down to min_length (units); returns the points added.
std::size_t conform_walls(Cdt& cdt, double min_length);

// Bends the contour edges of both path sets that pass within half a unit of
// one of the points through it.
void snap_to_points(ClipperLib::Paths& copper, ClipperLib::Paths& board,
                    std::vector<ClipperLib::IntPoint> points);

// Every edge that crosses x = seam gets a whole point on it there.
void cut_at(ClipperLib::Paths& paths, ClipperLib::cInt seam);

// The points where the triangulation split crossing constraints (none of the
// sorted `points` it was given), rounded to whole units.
std::vector<ClipperLib::IntPoint> crossings(const Cdt& cdt,
                                            const std::vector<ClipperLib::IntPoint>& points);

// parts.cpp: the copper's connected parts.

// The probes between x = lo and x = hi that lie in the conductor's faces of
// a labelled triangulation, each with the face's index in its plane.
std::vector<std::pair<std::uint32_t, std::uint32_t>> locate_probes(const Cdt& cdt,
                                                                   std::span<const NetProbe> probes,
                                                                   double lo, double hi);

// Splits the conductor's label of the planes (the halves of one board) into
// one label per part: faces that share an edge, in a plane or across the
// seam, are of one part; parts that meet at a point only are two. Part p
// takes label p and the insulator the label after the last part. The parts
// are returned with the probes found in them (probe_faces, per plane).
std::vector<CopperPart> split_parts(
    std::span<LabelledPlane* const> planes,
    std::span<const std::vector<std::pair<std::uint32_t, std::uint32_t>>* const> probe_faces);

// meshes.cpp: the extrusion of labelled planes into the meshes of bodies.

// A slab of the board from z1 to z2, and the bodies the labels of the planes
// over it stand for: label l is the body bodies[l] in the list of all bodies.
struct Slab {
  double z1 = 0.0;  // mm
  double z2 = 0.0;
  std::vector<std::uint32_t> bodies;
};

// For finding the vertices planes share by their place (exact coordinates).
struct VertexHash {
  std::size_t operator()(const Vertex& v) const noexcept {
    const std::hash<double> hash;
    return (hash(v.x) * 31 + hash(v.y)) * 31 + hash(v.z);
  }
};

// One body's mesh, made of the regions of labelled planes extruded over their
// slabs: each vertex made on first use, a bottom and a top one per point of a
// plane, and those that planes share (the seam's) once for all of them.
class MeshBuilder {
 public:
  // labels: those of the planes that stand for the body (Slab::bodies).
  MeshBuilder(std::uint32_t body, std::vector<Label> labels)
      : body_(body), labels_(std::move(labels)) {}

  std::uint32_t body() const { return body_; }
  const std::vector<Label>& labels() const { return labels_; }

  // Room for `faces` more faces of the body's regions and `walls` more walls
  // around them.
  void reserve(std::size_t faces, std::size_t walls);

  // Appends the regions of `plane` whose labels stand for this body, extruded
  // over `slab`: a top and a bottom for each face, and a wall wherever the
  // label across an edge is another. Each triangle's body across
  // (Mesh::across) is the one the label across stands for at a wall, kNoBody
  // at the board's edge and at the top and bottom, which are the board's.
  void add_plane(const LabelledPlane& plane, const Slab& slab);

  Mesh take() { return std::move(mesh_); }
  // mm², of the faces added: the area of the body's top.
  double area() const { return area_ / (kUnitsPerMm * kUnitsPerMm); }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  void add_region(const LabelledPlane& plane, Label label, const Slab& slab);
  bool on_seam(double y) const;
  std::uint32_t make(std::vector<std::uint32_t>& layer, std::uint32_t v, double z);
  // Where point v's vertices are kept in bottom_ and top_.
  std::size_t slot(std::uint32_t v) const;
  std::uint32_t bottom(std::uint32_t v) { return make(bottom_, v, z1_); }
  std::uint32_t top(std::uint32_t v) { return make(top_, v, z2_); }

  std::uint32_t body_;
  std::vector<Label> labels_;
  Mesh mesh_;
  // Of the plane being added:
  const std::vector<Point>* points_ = nullptr;
  double seam_x_ = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ClipperLib::IntPoint>* seam_points_ = nullptr;
  double z1_ = 0.0;
  double z2_ = 0.0;
  std::vector<std::uint32_t> bottom_;  // per point, the vertex below it
  std::vector<std::uint32_t> top_;
  // A body that covers little of a plane keeps its points' vertices by
  // their place among the points it uses (sorted), not by point, so that
  // hundreds of small bodies do not each clear an array as long as the plane.
  std::vector<std::uint32_t> used_;
  // The vertices of points that planes share, by place.
  std::unordered_map<Vertex, std::uint32_t, VertexHash> shared_;
  double area_ = 0.0;
};

// Extrudes the planes over one slab (its halves) into the mesh of one body.
void extrude(std::span<const LabelledPlane* const> planes, const Slab& slab, MeshBuilder& builder);

}  // namespace foilcad::exact::detail
