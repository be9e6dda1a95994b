// The exact model: the copper's true outline, extruded into a closed
// conductor mesh and an insulator mesh that meet it wall to wall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/body.hpp"
#include "common/box.hpp"
#include "common/hole.hpp"
#include "common/warning.hpp"
#include "photoplot/board_outline.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad::exact {

// Bounds on what one drawing may make the exact model do, so that a small
// hostile file cannot ask for unbounded work or memory. A drawing past a
// bound is refused at the line of the object (or the step and repeat block)
// that crossed it.
struct ExactLimits {
  // Vertices of the traced objects and their step and repeat copies
  // together (16 bytes each, several times over in the booleans).
  std::size_t points = 60'000'000;
  // The memory the model may take, bytes: the machine's available memory as
  // the caller found it; none, not checked.
  std::optional<std::uint64_t> memory;
};

struct ExactOptions {
  // How far a chord may stand off the circle it follows, mm.
  double tolerance = 0.001;
  double z1 = 0.0;  // bottom of both solids, mm
  double z2 = 0.0;  // top
  // The board's shape from an outline layer; without one the board is the
  // drawing's frame, or else the box given below.
  std::optional<BoardOutline> outline;
  // The board without a frame or an outline layer: the extent of the
  // objects (exact/board_extent.hpp).
  Box extent{0, 0, 0, 0};
  ExactLimits limits;
  // Holes cut through both bodies. A plated one keeps a copper ring of
  // plating mm around its wall, joined to any copper it meets, also where
  // the artwork clears the copper around it; holes of unknown plating are
  // cut bare. Hole::file indexes hole_files, which name them in messages.
  std::vector<Hole> holes;
  std::vector<std::filesystem::path> hole_files;
  double plating = 0.025;
  // Each connected part of the copper a body of its own, named after the
  // net its objects name (Drawing::nets): the parts of one net are one body,
  // a part that names no net or several is copper_N. Parts that touch at a
  // point only are two: no current flows through a point, and a mesher
  // cannot fill a solid pinched to one.
  bool nets = false;
};

struct ExactSolids {
  // The conductor (or with nets, a body per net or part), then the
  // insulator: closed meshes from z1 to z2 whose shared walls are the same
  // triangles, reversed; each triangle names the body across it
  // (Mesh::across).
  std::vector<MeshBody> bodies;
  double copper_area = 0.0;   // mm², the conductors' top faces
  double board_area = 0.0;    // mm²
  std::vector<double> areas;  // per body, mm²: its top face
  // With nets, per body: the nets its objects name.
  std::vector<std::vector<std::string>> nets;
  std::vector<Warning> warnings;  // joined nets
};

// traced, when given, is called once the copper's outline is known, before
// the meshes are made (for timing the two stages).
ExactSolids build_exact_solids(const Drawing& drawing, const ExactOptions& options,
                               const std::function<void()>& traced = {});

}  // namespace foilcad::exact
