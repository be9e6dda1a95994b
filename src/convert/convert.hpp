// The conversion pipeline both front ends call: photoplot in, one solid per
// body out. The stages run here, are timed here and told to an observer, and
// the limits (memory, disk, what binary STL can count) are checked here
// before anything is written; what each stage does belongs to its model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/body.hpp"
#include "common/replacing.hpp"
#include "common/warning.hpp"
#include "drill/drill.hpp"
#include "geometry/grid.hpp"
#include "gmsh/files.hpp"
#include "gmsh/surfaces.hpp"
#include "photoplot/drawing.hpp"
#include "stl/solid_files.hpp"

namespace foilcad {

inline constexpr std::string_view kConductorSuffix = "_CND.stl";
inline constexpr std::string_view kInsulatorSuffix = "_INS.stl";

// The models of the copper: the grid (every object covered by rectangles, the
// board cut into cells) and the copper's true contours extruded into meshes.
enum class Geometry { grid, exact };

std::string_view geometry_name(Geometry geometry);

// A drill file whose holes are cut into the layer.
struct DrillInput {
  std::filesystem::path path;
  // What holes are whose plating the file does not say.
  Plating plating = Plating::plated;
};

// The copper ring a plated hole keeps around its wall when nothing else is
// given, mm: the barrel's usual plating.
inline constexpr double kDefaultPlating = 0.025;

// What one conversion needs. Heights in millimetres: every body reaches from
// elevation to top.
struct conversion_parameters {
  Geometry geometry = Geometry::grid;
  // Exact model: how far a chord may stand off the circle it follows, mm.
  double tolerance = 0.001;
  double elevation = 0.0;
  double top = 0.0;
  std::filesystem::path input_path;
  std::filesystem::path conductor_path;
  std::filesystem::path insulator_path;
  StlOptions stl;  // the encoding of the solids, and whether cells are merged
  // An outline layer of the board (edge cuts): the board ends there (the
  // grid at its extent), copper outside it is cut off, and a negative image
  // is the plane within it. It takes the place of a frame the photoplot
  // begins with.
  std::optional<std::filesystem::path> outline_path;
  // Drill files (exact model only): every hole is cut through the layer's
  // bodies; a plated one keeps a copper ring of plating mm around its wall.
  std::vector<DrillInput> drills;
  std::optional<DrillFormat> drill_format;  // overrides what the files say
  // Sizes of tools the drill files use without one ("T1 0.300mm").
  std::optional<std::filesystem::path> drill_tool_table;
  double plating = kDefaultPlating;
  // Exact model: each connected part of the copper a body of its own, named
  // after its net; each such body's solid goes beside the conductor's path,
  // the body's name added to the file name.
  bool nets = false;
  // Exact model: also the bodies' surfaces for gmsh and the .geo that makes
  // them volumes (gmsh/files.hpp), written with the solids.
  std::optional<GmshPaths> gmsh;
};

// The output path for a suffix: the extension of the file name (from its last
// ".") is replaced by the suffix; a name without "." gets the suffix appended.
std::filesystem::path make_output_path(const std::filesystem::path& input_path,
                                       std::string_view suffix);

// Parameters for converting input_path: top is thickness + elevation in one
// double addition; the solids go next to the input, or with the same names
// into out_dir when one is given.
conversion_parameters make_conversion_parameters(
    const std::filesystem::path& input_path, double elevation, double thickness,
    const std::optional<std::filesystem::path>& out_dir = std::nullopt);

// The gmsh files beside the solids (in the conductor's folder), named after
// the input: board.gbr gives board.geo and board_surfaces.msh.
GmshPaths gmsh_paths(const conversion_parameters& parameters);

// Where the bodies' solids go, in their order: the conductor's to
// conductor_path, the insulator's to insulator_path; with nets, each
// conductor body's to conductor_path with "_NAME" added to its stem (only
// letters, digits and "+-.=@_" of the name kept, others written "_"; a name
// that comes out as another's gets "_2", "_3"...).
std::vector<std::filesystem::path> body_paths(const conversion_parameters& parameters,
                                              std::span<const Body> bodies);

// The grid model's stages are read, split, grid, write; the exact model's
// read, contours (the copper's true contours), mesh (the solids' triangles),
// write.
enum class Stage { read, split, grid, write, contours, mesh };
inline constexpr int kStages = 6;

// A body as the report shows it: where its solid goes and what it holds
// (counted before it is written, in the chosen encoding).
struct BodyReport {
  Body body;
  std::filesystem::path path;
  SolidSize size;
  // The exact model's figures (none for the grid's cells): the area its top
  // covers (mm²), the box its solid fills, and with nets the nets its
  // objects name.
  std::optional<double> area;
  std::optional<Box> extent;
  std::vector<std::string> nets;
};

// What a drill file held, as read.
struct DrillReport {
  std::filesystem::path path;
  std::size_t lines = 0;
  FoundFormat format;
  std::optional<std::filesystem::path> parameter_file;  // nc_param.txt, when read
  std::vector<DrillWarning> warnings;
  HoleCounts holes;
};

// The gmsh files as the report shows them: where they go, their exact
// sizes, and what the surfaces file holds.
struct GmshReport {
  GmshPaths paths;
  std::uint64_t geo_bytes = 0;
  std::uint64_t surfaces_bytes = 0;
  std::size_t volumes = 0;
  std::size_t surfaces = 0;
  std::size_t nodes = 0;
  std::size_t triangles = 0;
};

// What each stage produced, filled in as the stages finish.
struct ConversionReport {
  Geometry geometry = Geometry::grid;
  std::size_t records = 0;
  ObjectCounts objects;
  bool inches = false;       // coordinates were read in inches
  bool millimetres = false;  // or in millimetres
  bool frame = false;        // the file began with a frame (Drawing::frame)
  bool negative = false;     // a negative image: copper where the file draws nothing
  // The board ended at an outline layer; the closed contours it drew.
  bool outline_layer = false;
  std::size_t outline_contours = 0;
  std::vector<Warning> warnings;
  // The drill files read with the photoplot, and their holes together.
  std::vector<DrillReport> drills;
  HoleCounts holes;
  // The grid model's figures.
  std::size_t rectangles = 0;  // read, the drawing's frame included
  std::size_t region_rectangles = 0;
  std::size_t step_and_repeat_copies = 0;
  std::size_t pieces = 0;  // active pieces after splitting
  std::size_t grid_x = 0;  // grid lines per axis
  std::size_t grid_y = 0;
  std::size_t cells = 0;
  std::size_t copper_cells = 0;
  FlatValues flat;  // values the chosen encoding cannot tell apart
  // The exact model's figures.
  double copper_area = 0.0;  // mm², the conductors' tops
  double board_area = 0.0;   // mm²
  std::size_t nets = 0;      // the nets the photoplot's objects name
  // Both.
  Box extent = kNoExtremes;  // of the grid, or of the exact model's board, mm
  std::vector<BodyReport> bodies;
  StlOptions measured_for;         // the encoding the bodies' sizes were counted in
  std::optional<GmshReport> gmsh;  // with conversion_parameters::gmsh
  double seconds[kStages] = {};    // by Stage
};

std::uint64_t total_bytes(const ConversionReport& report);
std::uint64_t total_facets(const ConversionReport& report);

// Called after each stage with the report so far.
using StageObserver = std::function<void(Stage, const ConversionReport&)>;

// A check of the grid lines, made before the cell map is allocated; it
// throws foilcad::Error to refuse the grid.
using GridCheck = std::function<void(const CoordinateLists&)>;

// Refuses a grid whose solids (in the encoding the parameters choose) cannot
// fit onto the targets' file systems whatever its cells turn out to hold (see
// least_grid_bytes): a grid of billions of cells is turned down at once
// instead of after its map is built.
GridCheck solids_space_check(const conversion_parameters& parameters);

// What a model hands over: its bodies, as cells of a grid or as meshes.
struct GridSolids {
  Grid grid;
  std::vector<GridBody> bodies;
};
struct MeshSolids {
  std::vector<MeshBody> bodies;
  // Their surfaces for gmsh, made with them when the parameters ask for
  // the gmsh files.
  std::optional<GmshSurfaces> gmsh;
};
using ModelSolids = std::variant<GridSolids, MeshSolids>;

// Reads the photoplot and asks the chosen model for its bodies, filling in
// the report up to their exact size in the chosen encoding. The grid model
// refuses a photoplot without coordinates for the grid to end at, and a grid
// whose cell map needs more than the memory available or that before_map
// refuses, before the map is allocated. Binary solids with more facets than
// their header can count are refused here, before anything is written.
ModelSolids build_solids(const conversion_parameters& parameters, ConversionReport& report,
                         const StageObserver& observer = {}, const GridCheck& before_map = {});

// The same for a photoplot already read (the input path of the parameters
// names it in messages).
ModelSolids build_solids(const Drawing& drawing, const conversion_parameters& parameters,
                         ConversionReport& report, const StageObserver& observer = {},
                         const GridCheck& before_map = {});

// Creates the folders of the paths that do not exist yet (as write_solids
// does for the solids), for other files a conversion writes beside them.
void create_folders(const std::vector<std::filesystem::path>& paths);

struct WriteSettings {
  // Writes even when a target folder's file system reports less free space
  // than the solids need.
  bool skip_space_check = false;
  WriteProgress progress{};
  // When given, the solids' temporaries are added to these files and left
  // for the caller to commit together with files of its own; otherwise they
  // are renamed over their targets at the end of the write.
  ReplacingFiles* together = nullptr;
};

// Writes every body's solid in the encoding parameters.stl chooses, and
// after them the gmsh files when the parameters name them. Creates
// the target folders that do not exist yet, removes stale temporaries of the
// targets left by killed conversions, then, unless skip_space_check, refuses
// when a target's file system has less free space than the exact size of
// the files that go there; only then opens any file. On failure no target has been touched.
void write_solids(const ModelSolids& solids, const conversion_parameters& parameters,
                  ConversionReport& report, const StageObserver& observer = {},
                  const WriteSettings& settings = {});

// The bytes of the exact model's binary solids of the same board, measured
// by building them (none when that fails): what a user of the grid is told
// when its solids are very large or do not fit.
std::optional<std::uint64_t> exact_binary_bytes(const conversion_parameters& parameters);

// Runs the stages in order. Throws foilcad::Error; on failure no output file
// has been touched.
ConversionReport convert(const conversion_parameters& parameters,
                         const StageObserver& observer = {}, const WriteSettings& settings = {});

}  // namespace foilcad
