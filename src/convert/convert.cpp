#include "convert/convert.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/replacing.hpp"
#include "convert/limits.hpp"
#include "exact/exact.hpp"
#include "geometry/boxes.hpp"
#include "geometry/geometry.hpp"
#include "photoplot/board_outline.hpp"
#include "photoplot/reader.hpp"

namespace foilcad {

std::filesystem::path make_output_path(const std::filesystem::path& input_path,
                                       std::string_view suffix) {
  // Only the file name is searched for its last ".", so a folder with a dot in
  // its name never cuts the path short.
  const std::string name = input_path.filename().string();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return input_path.string() + std::string(suffix);
  return input_path.parent_path() / (name.substr(0, dot) + std::string(suffix));
}

conversion_parameters make_conversion_parameters(
    const std::filesystem::path& input_path, double elevation, double thickness,
    const std::optional<std::filesystem::path>& out_dir) {
  conversion_parameters parameters;
  parameters.elevation = elevation;
  parameters.top = thickness + elevation;
  parameters.input_path = input_path;
  parameters.conductor_path = make_output_path(input_path, kConductorSuffix);
  parameters.insulator_path = make_output_path(input_path, kInsulatorSuffix);
  if (out_dir) {
    parameters.conductor_path = *out_dir / parameters.conductor_path.filename();
    parameters.insulator_path = *out_dir / parameters.insulator_path.filename();
  }
  return parameters;
}

std::string_view geometry_name(Geometry geometry) {
  return geometry == Geometry::exact ? "exact" : "grid";
}

namespace {

class StageClock {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return seconds;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

namespace {

// Times the stages of one call and tells the observer as each ends.
class Stages {
 public:
  Stages(ConversionReport& report, const StageObserver& observer)
      : report_(report), observer_(observer) {}
  void finished(Stage stage) {
    report_.seconds[static_cast<int>(stage)] = clock_.lap();
    if (observer_) observer_(stage, report_);
  }

 private:
  ConversionReport& report_;
  const StageObserver& observer_;
  StageClock clock_;
};

// A grid that would have to end at extremes no coordinate ever set would
// reach to +-1e30 and print as "********" in the solids: refused instead.
void check_extremes(const Box& e, const std::filesystem::path& name) {
  const bool x = e.min_x <= e.max_x;
  const bool y = e.min_y <= e.max_y;
  if (x && y) return;
  const std::string prefix = name.empty() ? std::string() : name.string() + ": ";
  if (!x && !y) throw Error(prefix + "the photoplot holds no coordinates: nothing to convert");
  throw Error(prefix + "the photoplot holds no " + (x ? "Y" : "X") +
              " coordinate: the grid would have no extent along " + (x ? "y" : "x"));
}

// The rectangle a negative image with an outline adds as its first active
// rectangle: the frame's box, in clear polarity so that it draws nothing. Its
// edges become grid lines and cut every object that reaches across the frame,
// so the cells inside the frame are decided by what covers them.
Box frame_rectangle(const Box& frame) {
  return {frame.min_x, frame.max_x, frame.min_y, frame.max_y};
}

// The pieces the frame rectangle was cut into: cut along every group strictly
// inside it, as split_rectangles counts them.
std::uint64_t frame_pieces(const SplitBoard& split) {
  if (split.bounds.empty()) return 0;
  const BoundGroups& b = split.bounds.front();
  const auto intervals = [](std::int32_t lower, std::int32_t upper) -> std::uint64_t {
    if (lower == kNoGroup || upper == kNoGroup || lower >= upper) return 1;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(upper) - lower);
  };
  return intervals(b.lower_x, b.upper_x) * intervals(b.lower_y, b.upper_y);
}

// A negative image: copper is every cell of the image's extent that the
// objects, dark and clear in file order, leave undrawn. The extent is the
// outline's frame when there is one (cells outside it are not copper), else
// the whole grid, which then ends at the outermost object.
void invert_cells(CellMap& map, const CoordinateLists& lists, const Box* frame) {
  std::vector<std::uint8_t> inside_x(map.columns, 1);
  std::vector<std::uint8_t> inside_y(map.rows, 1);
  if (frame != nullptr) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      inside_x[i] =
          lists.x[i] > frame->min_x - kTolerance && lists.x[i + 1] < frame->max_x + kTolerance;
    }
    for (std::size_t k = 0; k < map.rows; ++k) {
      inside_y[k] =
          lists.y[k] > frame->min_y - kTolerance && lists.y[k + 1] < frame->max_y + kTolerance;
    }
  }
  for (std::size_t k = 0; k < map.rows; ++k) {
    std::uint8_t* row = map.flags.data() + k * map.columns;
    for (std::size_t i = 0; i < map.columns; ++i) {
      row[i] = static_cast<std::uint8_t>(inside_x[i] & inside_y[k] & (row[i] ^ 1));
    }
  }
}

// Binary STL counts facets in 32 bits: solids with more cannot be written.
void check_binary_facets(const conversion_parameters& p, const SolidsSummary& solids) {
  if (p.stl.format != StlFormat::binary) return;
  const std::pair<const std::filesystem::path*, std::uint64_t> counts[] = {
      {&p.conductor_path, solids.conductor_facets}, {&p.insulator_path, solids.insulator_facets}};
  for (const auto& [path, facets] : counts) {
    if (facets <= kMaxBinaryFacets) continue;
    throw Error(path->string() + ": the solid would have " + std::to_string(facets) +
                " facets, more than binary STL can count (" + std::to_string(kMaxBinaryFacets) +
                "); merge the boxes or write text");
  }
}

// What the reading found, for either model.
void report_drawing(const Drawing& drawing, const DrawingBoxes& boxes, ConversionReport& report) {
  report.records = drawing.records;
  report.rectangles = boxes.rectangles.size();
  report.objects = boxes.counts;
  report.inches = drawing.inches_used;
  report.millimetres = drawing.millimetres_used;
  report.frame = drawing.frame.has_value();
  report.negative = drawing.negative;
  report.warnings = boxes.warnings;
}

// Frees the objects of a drawing whose rectangles are made: on a large board
// they take as much memory as the rectangles, which the grid still needs.
void release_objects(Drawing& drawing) {
  std::vector<DrawingObject>().swap(drawing.objects);
  std::vector<Point>().swap(drawing.points);
  std::vector<ArcDetail>().swap(drawing.arcs);
  std::vector<RegionDetail>().swap(drawing.regions);
  drawing.text.reset();
}

// outline_extent: the board's extent when an outline layer gives one; it is
// the frame in place of the drawing's own outline frame. spent, when given, is
// the drawing itself, read for this call alone: its objects are released once
// the rectangles are made.
Board build_from_drawing(const Drawing& drawing, const std::filesystem::path& name,
                         ConversionReport& report, Stages& stages, const GridCheck& before_map,
                         const SolidsCount& count,
                         const std::optional<Box>& outline_extent = std::nullopt,
                         Drawing* spent = nullptr) {
  // A photoplot without coordinates has nothing to convert, board or not.
  if (outline_extent) check_extremes(drawing.extremes, name);
  BoxLimits limits;
  limits.board = outline_extent;
  const DrawingBoxes boxes = make_boxes(drawing, limits);
  report_drawing(drawing, boxes, report);
  if (spent != nullptr) release_objects(*spent);
  stages.finished(Stage::read);

  const std::size_t first_active = boxes.first_active;
  const std::optional<Box> frame = outline_extent ? outline_extent : drawing.frame;
  // A negative image with an outline gets the frame as its first active
  // rectangle (see frame_rectangle); the list is copied only then. So does
  // every image with an outline layer: its copper is cut to the frame, and
  // the frame's edges, grouped with the copper's, end the grid without a
  // column of zero width where copper reaches the edge.
  const bool framed = frame && (drawing.negative || outline_extent);
  std::vector<Box> with_frame;
  if (framed) {
    with_frame.reserve(boxes.rectangles.size() + 1);
    with_frame.assign(boxes.rectangles.begin(),
                      boxes.rectangles.begin() + static_cast<std::ptrdiff_t>(first_active));
    with_frame.push_back(frame_rectangle(*frame));
    with_frame.insert(with_frame.end(),
                      boxes.rectangles.begin() + static_cast<std::ptrdiff_t>(first_active),
                      boxes.rectangles.end());
  }
  const SplitBoard split =
      split_rectangles(framed ? std::span<const Box>(with_frame) : boxes.rectangles, first_active);
  report.pieces = static_cast<std::size_t>(split.pieces - (framed ? frame_pieces(split) : 0));
  stages.finished(Stage::split);

  // Clear polarity runs count in active rectangles, like the split board.
  const std::size_t shift = framed ? 1 : 0;
  PolarityRuns clear_runs;
  if (framed) clear_runs.emplace_back(0, 1);
  for (const auto& [first, second] : boxes.clear_runs) {
    if (second <= first_active) continue;
    const std::size_t begin = std::max(first, first_active) - first_active + shift;
    const std::size_t end = second - first_active + shift;
    if (!clear_runs.empty() && clear_runs.back().second == begin) {
      clear_runs.back().second = end;
    } else {
      clear_runs.emplace_back(begin, end);
    }
  }
  Board board;
  // Without an outline the grid ends at the outermost copper; an axis with
  // fewer than two edge values (only zero-size objects) ends at the extremes.
  // A negative image with an outline ends at its frame and the objects: the
  // extreme lines would cross objects at the frame and keep them from
  // clearing the cells they cover. With an outline layer every object was
  // cut to the frame, so the grid ends there.
  if (frame && !framed) {
    check_extremes(drawing.extremes, name);
    board.lists = build_coordinate_lists(split, drawing.extremes);
  } else {
    if (frame) check_extremes(drawing.extremes, name);
    board.lists = build_coordinate_lists(split);
  }
  if (board.lists.x.size() < 2 || board.lists.y.size() < 2) {
    check_extremes(drawing.extremes, name);
    board.lists =
        build_coordinate_lists(split, outline_extent ? *outline_extent : drawing.extremes);
  }
  // One byte a cell: refused here, before the allocation, rather than
  // failing (or swapping the machine to a halt) halfway through the map.
  if (before_map) before_map(board.lists);
  check_cell_map_memory(board.lists.x.size(), board.lists.y.size(), available_memory());
  board.map = build_cell_map(split, board.lists, clear_runs);
  if (drawing.negative) invert_cells(board.map, board.lists, framed ? &*frame : nullptr);
  report.grid_x = board.lists.x.size();
  report.grid_y = board.lists.y.size();
  report.cells = board.map.flags.size();
  report.copper_cells = board.map.copper_cells();
  // Coordinates that draw nothing (operation codes never given, only moves,
  // everything cleared again) leave an empty conductor: not a success to
  // pass over in silence. Said at the last line, where it became certain.
  if (report.copper_cells == 0) {
    report.warnings.push_back({WarningKind::no_copper, 1, drawing.records});
  }
  report.extent = {board.lists.x.front(), board.lists.x.back(), board.lists.y.front(),
                   board.lists.y.back()};
  report.solids_for = count;
  report.solids_for.cells = report.cells;
  report.solids = measure_solids(count.stl, count.z1, count.z2, board.lists, board.map);
  report.flat = find_flat_values(count.stl.format, count.z1, count.z2, board.lists);
  stages.finished(Stage::grid);
  return board;
}

}  // namespace

Board build_board(const std::filesystem::path& input_path, ConversionReport& report,
                  const StageObserver& observer, const GridCheck& before_map) {
  Stages stages(report, observer);
  Drawing drawing = read_photoplot(input_path);
  return build_from_drawing(drawing, input_path, report, stages, before_map, {}, std::nullopt,
                            &drawing);
}

Board build_board(const Drawing& drawing, ConversionReport& report, const StageObserver& observer,
                  const GridCheck& before_map) {
  Stages stages(report, observer);
  return build_from_drawing(drawing, {}, report, stages, before_map, {});
}

Board build_board(const conversion_parameters& parameters, ConversionReport& report,
                  const StageObserver& observer, const GridCheck& before_map) {
  Stages stages(report, observer);
  Drawing drawing = read_photoplot(parameters.input_path);
  std::optional<Box> outline_extent;
  if (parameters.outline_path) {
    // Only the extent counts for the grid, and it holds the arcs' true
    // extremes whatever the tolerance their chords are made with.
    constexpr double kOutlineTolerance = 0.001;
    const BoardOutline outline = read_board_outline(*parameters.outline_path, kOutlineTolerance);
    outline_extent = outline.extent;
    report.outline_file = true;
    report.outline_contours = outline.contours.size();
  }
  Board board = build_from_drawing(drawing, parameters.input_path, report, stages, before_map,
                                   {parameters.stl, parameters.elevation, parameters.top, 0},
                                   outline_extent, &drawing);
  check_binary_facets(parameters, report.solids);
  return board;
}

namespace {

// The board of the exact model without an outline: the extent the grid would
// have, which ends at the outermost object (the boxes of all active
// rectangles, dark and clear), or at the coordinate extremes along an axis
// that no object spans, or at the frame of a drawing that has one.
Box board_extent(const Drawing& drawing, const DrawingBoxes& boxes,
                 const std::filesystem::path& name) {
  if (drawing.frame) {
    check_extremes(drawing.extremes, name);
    return *drawing.frame;
  }
  Box extent = kNoExtremes;
  for (std::size_t i = boxes.first_active; i < boxes.rectangles.size(); ++i) {
    const Box& r = boxes.rectangles[i];
    extent = {std::min(extent.min_x, r.min_x), std::max(extent.max_x, r.max_x),
              std::min(extent.min_y, r.min_y), std::max(extent.max_y, r.max_y)};
  }
  if (!(extent.min_x < extent.max_x) || !(extent.min_y < extent.max_y)) {
    check_extremes(drawing.extremes, name);
    if (!(extent.min_x < extent.max_x)) {
      extent.min_x = std::min(extent.min_x, drawing.extremes.min_x);
      extent.max_x = std::max(extent.max_x, drawing.extremes.max_x);
    }
    if (!(extent.min_y < extent.max_y)) {
      extent.min_y = std::min(extent.min_y, drawing.extremes.min_y);
      extent.max_y = std::max(extent.max_y, drawing.extremes.max_y);
    }
  }
  if (!(extent.min_x < extent.max_x) || !(extent.min_y < extent.max_y)) {
    throw Error(name.string() + ": the board has no area: nothing to convert");
  }
  return extent;
}

MeshSolids build_exact(const Drawing& drawing, const conversion_parameters& parameters,
                       ConversionReport& report, Stages& stages) {
  report.geometry = Geometry::exact;
  exact::ExactOptions options;
  options.tolerance = parameters.tolerance;
  options.z1 = parameters.elevation;
  options.z2 = parameters.top;
  BoxLimits limits;
  if (parameters.outline_path) {
    // The board is the outline's area, cut-outs removed; copper outside it
    // is cut off.
    check_extremes(drawing.extremes, parameters.input_path);
    options.outline = read_board_outline(*parameters.outline_path, parameters.tolerance);
    limits.board = options.outline->extent;
    report.outline_file = true;
    report.outline_contours = options.outline->contours.size();
  }
  const DrawingBoxes boxes = make_boxes(drawing, limits);
  report_drawing(drawing, boxes, report);
  options.extent = options.outline ? options.outline->extent
                                   : board_extent(drawing, boxes, parameters.input_path);
  stages.finished(Stage::read);

  exact::ExactSolids made =
      exact::build_exact_solids(drawing, options, [&] { stages.finished(Stage::outlines); });
  report.copper_area = made.copper_area;
  report.board_area = made.board_area;
  report.extent = options.extent;
  if (made.bodies[0].mesh.triangles.empty()) {
    report.warnings.push_back({WarningKind::no_copper, 1, drawing.records});
  }
  MeshSolids solids{std::move(made.bodies[0].mesh), std::move(made.bodies[1].mesh)};
  report.solids = measure_mesh_solids(parameters.stl.format, solids.conductor, solids.insulator);
  report.solids_for = {parameters.stl, parameters.elevation, parameters.top, 0};
  check_binary_facets(parameters, report.solids);
  stages.finished(Stage::mesh);
  return solids;
}

}  // namespace

ModelSolids build_solids(const conversion_parameters& parameters, ConversionReport& report,
                         const StageObserver& observer, const GridCheck& before_map) {
  if (parameters.geometry == Geometry::grid) {
    return build_board(parameters, report, observer, before_map);
  }
  // Refused before the file is read: nothing else could be written.
  check_mesh_format(parameters.stl.format);
  Stages stages(report, observer);
  const Drawing drawing = read_photoplot(parameters.input_path);
  return build_exact(drawing, parameters, report, stages);
}

MeshSolids build_meshes(const Drawing& drawing, const conversion_parameters& parameters,
                        ConversionReport& report, const StageObserver& observer) {
  check_mesh_format(parameters.stl.format);
  Stages stages(report, observer);
  return build_exact(drawing, parameters, report, stages);
}

namespace {

// Where the two solids go and the free space there; a folder that cannot be
// examined has none, and is left to the write to report.
struct TargetSpace {
  std::filesystem::path conductor_folder;
  std::filesystem::path insulator_folder;
  std::optional<FreeSpace> conductor;
  std::optional<FreeSpace> insulator;

  bool one_file_system() const {
    return conductor && insulator && conductor->device == insulator->device;
  }
};

TargetSpace target_space(const conversion_parameters& parameters) {
  TargetSpace space{folder_of(parameters.conductor_path), folder_of(parameters.insulator_path),
                    std::nullopt, std::nullopt};
  space.conductor = free_space(space.conductor_folder);
  space.insulator = free_space(space.insulator_folder);
  return space;
}

// Both solids on one file system need their sum there; on two, each its own.
void check_solids_space(const conversion_parameters& parameters, const SolidsSummary& sizes) {
  const TargetSpace space = target_space(parameters);
  if (space.one_file_system()) {
    check_disk_space(space.conductor_folder, sizes.conductor_bytes + sizes.insulator_bytes,
                     space.conductor->bytes);
    return;
  }
  if (space.conductor) {
    check_disk_space(space.conductor_folder, sizes.conductor_bytes, space.conductor->bytes);
  }
  if (space.insulator) {
    check_disk_space(space.insulator_folder, sizes.insulator_bytes, space.insulator->bytes);
  }
}

}  // namespace

GridCheck solids_space_check(const conversion_parameters& parameters) {
  return [parameters](const CoordinateLists& lists) {
    const std::uint64_t cells = cell_map_bytes(lists.x.size(), lists.y.size());  // a byte a cell
    const std::uint64_t least = least_solids_bytes(cells, parameters.stl);
    const TargetSpace space = target_space(parameters);
    if (!space.conductor || !space.insulator) return;  // the write reports why
    std::uint64_t available = space.conductor->bytes;
    if (!space.one_file_system()) {
      // Split between two file systems in a proportion not known yet.
      const std::uint64_t other = space.insulator->bytes;
      available = other > UINT64_MAX - available ? UINT64_MAX : available + other;
    }
    if (least <= available) return;
    throw Error(space.conductor_folder.string() + ": the grid of " +
                std::to_string(lists.x.size()) + " x " + std::to_string(lists.y.size()) +
                " lines makes solids of at least " + format_bytes(least) + " (" +
                std::to_string(least) + " bytes); " +
                (space.one_file_system() ? "its file system has " : "the two file systems have ") +
                format_bytes(available) + " free (" + std::to_string(available) + " bytes)");
  };
}

void write_board(const Board& board, const conversion_parameters& parameters,
                 ConversionReport& report, const StageObserver& observer,
                 const WriteOptions& options) {
  Stages stages(report, observer);
  // Leftovers of killed conversions take room the new solids may need.
  remove_stale_temporaries(parameters.conductor_path);
  remove_stale_temporaries(parameters.insulator_path);
  // build_board counted them already, unless for another encoding or grid.
  const SolidsCount count{parameters.stl, parameters.elevation, parameters.top,
                          board.map.flags.size()};
  if (!(report.solids_for == count) || report.cells != board.map.flags.size()) {
    report.solids = measure_solids(parameters.stl, parameters.elevation, parameters.top,
                                   board.lists, board.map);
    report.solids_for = count;
  }
  check_binary_facets(parameters, report.solids);
  if (!options.skip_space_check) check_solids_space(parameters, report.solids);
  WriteOptions write = options;
  write.stl = parameters.stl;
  write.expected = report.solids;
  write_solids(parameters.conductor_path, parameters.insulator_path, parameters.elevation,
               parameters.top, board.lists, board.map, write);
  stages.finished(Stage::write);
}

void write_model_solids(const ModelSolids& solids, const conversion_parameters& parameters,
                        ConversionReport& report, const StageObserver& observer,
                        const WriteOptions& options) {
  if (const Board* board = std::get_if<Board>(&solids)) {
    write_board(*board, parameters, report, observer, options);
    return;
  }
  const MeshSolids& meshes = std::get<MeshSolids>(solids);
  Stages stages(report, observer);
  remove_stale_temporaries(parameters.conductor_path);
  remove_stale_temporaries(parameters.insulator_path);
  const SolidsCount count{parameters.stl, parameters.elevation, parameters.top, 0};
  if (!(report.solids_for == count)) {
    report.solids = measure_mesh_solids(parameters.stl.format, meshes.conductor, meshes.insulator);
    report.solids_for = count;
  }
  check_binary_facets(parameters, report.solids);
  if (!options.skip_space_check) check_solids_space(parameters, report.solids);
  WriteOptions write = options;
  write.stl = parameters.stl;
  write.expected = report.solids;
  write_mesh_solids(parameters.conductor_path, parameters.insulator_path, meshes.conductor,
                    meshes.insulator, write);
  stages.finished(Stage::write);
}

ConversionReport convert(const conversion_parameters& parameters, const StageObserver& observer,
                         const WriteOptions& options) {
  ConversionReport report;
  const ModelSolids solids =
      build_solids(parameters, report, observer,
                   options.skip_space_check ? GridCheck{} : solids_space_check(parameters));
  write_model_solids(solids, parameters, report, observer, options);
  return report;
}

}  // namespace foilcad
