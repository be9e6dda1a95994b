// The conversion pipeline both front ends call: photoplot in, conductor and
// insulator solids out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "common/mesh.hpp"
#include "photoplot/reader.hpp"
#include "stl/solid_files.hpp"

namespace foilcad {

inline constexpr std::string_view kConductorSuffix = "_CND.stl";
inline constexpr std::string_view kInsulatorSuffix = "_INS.stl";

// The models of the copper: the grid (every object covered by rectangles, the
// board cut into cells) and the exact outline extruded into two meshes.
enum class Geometry { grid, exact };

std::string_view geometry_name(Geometry geometry);

// What one conversion needs. Heights in millimetres: every box reaches from
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
  // An outline layer of the board (edge cuts): the grid ends at its extent,
  // copper outside it is cut off, and a negative image is the plane within it.
  // It takes the place of an outline frame the photoplot begins with.
  std::optional<std::filesystem::path> outline_path;
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

// The grid model's stages are read, split, grid, write; the exact model's
// read, outlines (the copper's true outline), mesh (the solids' triangles),
// write.
enum class Stage { read, split, grid, write, outlines, mesh };
inline constexpr int kStages = 6;

// What a count of the solids holds for: the encoding, the heights (the ascii
// text's numbers vary in length) and the grid's cells.
struct SolidsCount {
  StlOptions stl;
  double z1 = 0.0;
  double z2 = 0.0;
  std::size_t cells = 0;

  friend bool operator==(const SolidsCount&, const SolidsCount&) = default;
};

// What each stage produced, filled in as the stages finish.
struct ConversionReport {
  std::size_t records = 0;
  std::size_t rectangles = 0;  // read, outline included
  ObjectCounts objects;
  bool inches = false;       // coordinates were read in inches
  bool millimetres = false;  // or in millimetres
  bool frame = false;        // the file began with a frame (Drawing::frame)
  bool negative = false;     // a negative image: copper where the file draws nothing
  // The grid ended at the extent of an outline layer; the closed contours it
  // drew.
  bool outline_file = false;
  std::size_t outline_contours = 0;
  std::vector<Warning> warnings;
  std::size_t pieces = 0;  // active pieces after splitting
  std::size_t grid_x = 0;  // grid lines per axis
  std::size_t grid_y = 0;
  std::size_t cells = 0;
  std::size_t copper_cells = 0;
  Box extent = kNoExtremes;      // of the grid, mm
  SolidsSummary solids;          // counted once the grid is known
  SolidsCount solids_for;        // what they were counted for
  FlatValues flat;               // values the chosen encoding cannot tell apart
  double seconds[kStages] = {};  // by Stage
  // The exact model's figures.
  Geometry geometry = Geometry::grid;
  double copper_area = 0.0;  // mm², the conductor's top face
  double board_area = 0.0;   // mm²
};

// Called after each stage with the report so far.
using StageObserver = std::function<void(Stage, const ConversionReport&)>;

// The grid and its cell map: what the solids (and a picture) are made of.
struct Board {
  CoordinateLists lists;
  CellMap map;
};

// A check of the grid lines, made before the cell map is allocated; it
// throws foilcad::Error to refuse the grid.
using GridCheck = std::function<void(const CoordinateLists&)>;

// Refuses a grid whose solids (in the encoding the parameters choose) cannot
// fit onto the targets' file systems whatever its cells turn out to hold (see
// least_solids_bytes): a grid of billions of cells is turned down at once
// instead of after its map is built.
GridCheck solids_space_check(const conversion_parameters& parameters);

// Reads the photoplot and builds the grid and the cell map, filling in the
// report up to the count of what the solids will hold. Refuses a photoplot
// without coordinates for the grid to end at, and a grid whose cell map needs
// more than the memory available or that before_map refuses, before the map
// is allocated.
Board build_board(const std::filesystem::path& input_path, ConversionReport& report,
                  const StageObserver& observer = {}, const GridCheck& before_map = {});

// The same for a photoplot already read.
Board build_board(const Drawing& drawing, ConversionReport& report,
                  const StageObserver& observer = {}, const GridCheck& before_map = {});

// The same for the input of a conversion, with the solids counted in the
// encoding and at the heights the parameters give (build_board above counts
// classic solids) and the values that encoding would write as one found. With
// an outline layer (parameters.outline_path) the grid ends at its extent.
// Binary solids with more facets than their header can count are refused
// here, before anything is written.
Board build_board(const conversion_parameters& parameters, ConversionReport& report,
                  const StageObserver& observer = {}, const GridCheck& before_map = {});

// Writes the two solids of a board in the encoding parameters.stl chooses
// (options.stl is not used). Removes stale temporaries of the targets left by
// killed conversions, then, unless options.skip_space_check, refuses when the
// target folder's file system has less free space than the solids' exact
// size; only then opens any file.
void write_board(const Board& board, const conversion_parameters& parameters,
                 ConversionReport& report, const StageObserver& observer = {},
                 const WriteOptions& options = {});

// Two meshes, the exact model's solids.
struct MeshSolids {
  Mesh conductor;
  Mesh insulator;
};

// The solids of the model the parameters choose, before they are written.
using ModelSolids = std::variant<Board, MeshSolids>;

// Reads the photoplot and asks the chosen model for its solids, filling in
// the report up to their exact size in the chosen encoding. The grid model
// takes before_map as build_board does.
ModelSolids build_solids(const conversion_parameters& parameters, ConversionReport& report,
                         const StageObserver& observer = {}, const GridCheck& before_map = {});

// The exact model's meshes of a photoplot already read, as build_solids makes
// them (the input path of the parameters names it in messages).
MeshSolids build_meshes(const Drawing& drawing, const conversion_parameters& parameters,
                        ConversionReport& report, const StageObserver& observer = {});

// Writes the solids of either model as write_board does.
void write_model_solids(const ModelSolids& solids, const conversion_parameters& parameters,
                        ConversionReport& report, const StageObserver& observer = {},
                        const WriteOptions& options = {});

// Runs the stages in order. Throws foilcad::Error; on failure no output file
// has been touched.
ConversionReport convert(const conversion_parameters& parameters,
                         const StageObserver& observer = {}, const WriteOptions& options = {});

}  // namespace foilcad
