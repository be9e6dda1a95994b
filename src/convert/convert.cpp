#include "convert/convert.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "common/error.hpp"
#include "convert/limits.hpp"
#include "exact/board_extent.hpp"
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

namespace {

// A body's name as part of a file name: nothing a shell or file system
// treats specially ("/GND" → "_GND").
std::string file_name_part(std::string_view name) {
  std::string out;
  for (const char c : name) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::string_view("+-.=@_").find(c) != std::string_view::npos;
    out += kept ? c : '_';
  }
  return out;
}

}  // namespace

std::vector<std::filesystem::path> body_paths(const conversion_parameters& parameters,
                                              std::span<const Body> bodies) {
  std::vector<std::filesystem::path> paths;
  std::set<std::filesystem::path> taken;
  for (const Body& body : bodies) {
    if (body.kind != BodyKind::conductor) {
      paths.push_back(parameters.insulator_path);
    } else if (!parameters.nets) {
      paths.push_back(parameters.conductor_path);
    } else {
      const std::filesystem::path& c = parameters.conductor_path;
      const std::string stem = c.stem().string() + "_" + file_name_part(body.name);
      std::filesystem::path path = c.parent_path() / (stem + c.extension().string());
      for (int n = 2; taken.contains(path) || path == parameters.insulator_path; ++n) {
        path = c.parent_path() / (stem + "_" + std::to_string(n) + c.extension().string());
      }
      paths.push_back(path);
    }
    taken.insert(paths.back());
  }
  return paths;
}

GmshPaths gmsh_paths(const conversion_parameters& parameters) {
  const std::filesystem::path folder = parameters.conductor_path.parent_path();
  const std::filesystem::path name = parameters.input_path.filename();
  return {folder / make_output_path(name, kGmshGeoSuffix),
          folder / make_output_path(name, kGmshSurfacesSuffix)};
}

std::string_view geometry_name(Geometry geometry) {
  return geometry == Geometry::exact ? "exact" : "grid";
}

std::uint64_t total_bytes(const ConversionReport& report) {
  std::uint64_t bytes = 0;
  for (const BodyReport& b : report.bodies) bytes += b.size.bytes;
  return bytes;
}

std::uint64_t total_facets(const ConversionReport& report) {
  std::uint64_t facets = 0;
  for (const BodyReport& b : report.bodies) facets += b.size.facets;
  return facets;
}

namespace {

// Times the stages of one call and tells the observer as each ends.
class Stages {
 public:
  Stages(ConversionReport& report, const StageObserver& observer)
      : report_(report), observer_(observer) {}
  void finished(Stage stage) {
    const auto now = std::chrono::steady_clock::now();
    report_.seconds[static_cast<int>(stage)] = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    if (observer_) observer_(stage, report_);
  }

 private:
  ConversionReport& report_;
  const StageObserver& observer_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// What the reading found, for either model.
void report_drawing(const Drawing& drawing, ConversionReport& report) {
  report.records = drawing.records;
  report.objects = drawing.counts;
  report.inches = drawing.inches_used;
  report.millimetres = drawing.millimetres_used;
  report.frame = drawing.frame.has_value();
  report.negative = drawing.negative;
  report.nets = drawing.nets.size();
  report.warnings = drawing.warnings;
}

// The warnings by the line each kind first occurred on.
void add_warning(ConversionReport& report, const Warning& warning) {
  report.warnings.push_back(warning);
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Warning& a, const Warning& b) { return a.first_line < b.first_line; });
}

// The bodies as the report shows them, measured in the chosen encoding.
template <class Body_>
void report_bodies(const std::vector<Body_>& bodies, const SolidSizes& sizes,
                   const conversion_parameters& p, ConversionReport& report) {
  std::vector<Body> plain;
  for (const Body_& b : bodies) plain.push_back(b.body);
  const std::vector<std::filesystem::path> paths = body_paths(p, plain);
  // What the exact model found is kept when the bodies are measured again.
  std::vector<BodyReport> old = std::move(report.bodies);
  report.bodies.clear();
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    BodyReport r{bodies[b].body, paths[b], sizes[b], std::nullopt, std::nullopt, {}};
    if (b < old.size() && old[b].body == r.body) {
      r.area = old[b].area;
      r.extent = old[b].extent;
      r.nets = std::move(old[b].nets);
    }
    report.bodies.push_back(std::move(r));
  }
  report.measured_for = p.stl;
}

// The box of a mesh's vertices.
Box mesh_extent(const Mesh& mesh) {
  Box box = kNoExtremes;
  for (const Vertex& v : mesh.vertices) {
    box.min_x = std::min(box.min_x, v.x);
    box.max_x = std::max(box.max_x, v.x);
    box.min_y = std::min(box.min_y, v.y);
    box.max_y = std::max(box.max_y, v.y);
  }
  return box;
}

// Binary STL counts facets in 32 bits: solids with more cannot be written.
void check_binary_facets(const conversion_parameters& p, const ConversionReport& report) {
  if (p.stl.format != StlFormat::binary) return;
  for (const BodyReport& b : report.bodies) {
    if (b.size.facets <= kMaxBinaryFacets) continue;
    throw Error(b.path.string() + ": the solid would have " + std::to_string(b.size.facets) +
                " facets, more than binary STL can count (" + std::to_string(kMaxBinaryFacets) +
                "); merge the boxes or write text");
  }
}

// The gmsh files' sizes and what they hold.
void report_gmsh(const GmshSurfaces& surfaces, std::span<const MeshBody> bodies,
                 const GmshPaths& paths, ConversionReport& report) {
  GmshReport& r = report.gmsh.emplace();
  r.paths = paths;
  r.geo_bytes = gmsh_geo_text(surfaces, bodies, paths.surfaces.filename().string()).size();
  r.surfaces_bytes = gmsh_surfaces_bytes(surfaces);
  r.volumes = surfaces.volumes.size();
  r.surfaces = surfaces.surfaces.size();
  r.nodes = surfaces.nodes.size();
  r.triangles = surfaces.triangles.size();
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

// The grid model: rectangles, split, lines and cells. spent, when given, is
// the drawing itself, read for this call alone: its objects are released
// once the rectangles are made.
GridSolids build_grid_solids(const Drawing& drawing, const conversion_parameters& parameters,
                             ConversionReport& report, Stages& stages, const GridCheck& before_map,
                             Drawing* spent) {
  std::optional<Box> outline_extent;
  if (parameters.outline_path) {
    // Only the extent counts for the grid, and it holds the arcs' true
    // extremes whatever the tolerance their chords are made with.
    constexpr double kOutlineTolerance = 0.001;
    const BoardOutline outline = read_board_outline(*parameters.outline_path, kOutlineTolerance);
    outline_extent = outline.extent;
    report.outline_layer = true;
    report.outline_contours = outline.contours.size();
  }
  BoxLimits limits;
  limits.board = outline_extent;
  DrawingBoxes boxes = make_boxes(drawing, limits);
  report_drawing(drawing, report);
  report.warnings = boxes.warnings;
  report.rectangles = boxes.rectangles.size();
  report.region_rectangles = boxes.region_rectangles;
  report.step_and_repeat_copies = boxes.step_and_repeat_copies;
  const GridPlan plan = plan_grid(std::move(boxes), drawing, outline_extent);
  if (spent != nullptr) release_objects(*spent);
  stages.finished(Stage::read);

  const SplitGroups split = split_rectangles(plan.rectangles, plan.first_active);
  report.pieces = static_cast<std::size_t>(drawn_pieces(split, plan));
  stages.finished(Stage::split);

  GridSolids solids;
  solids.bodies = grid_bodies(parameters.elevation, parameters.top);
  Grid& grid = solids.grid;
  grid.lists = grid_lines(split, plan);
  // One byte a cell: refused here, before the allocation, rather than
  // failing (or swapping the machine to a halt) halfway through the map.
  if (before_map) before_map(grid.lists);
  check_cell_map_memory(grid.lists.x.size(), grid.lists.y.size(), available_memory());
  grid.map = grid_cells(split, grid.lists, plan);
  report.grid_x = grid.lists.x.size();
  report.grid_y = grid.lists.y.size();
  report.cells = grid.map.flags.size();
  report.copper_cells = grid.map.copper_cells();
  // Coordinates that draw nothing (operation codes never given, only moves,
  // everything cleared again) leave an empty conductor: not a success to
  // pass over in silence. Said at the last line, where it became certain.
  if (report.copper_cells == 0) {
    report.warnings.push_back({WarningKind::no_copper, 1, drawing.records});
  }
  report.extent = {grid.lists.x.front(), grid.lists.x.back(), grid.lists.y.front(),
                   grid.lists.y.back()};
  report_bodies(solids.bodies, measure_grid_solids(parameters.stl, grid, solids.bodies), parameters,
                report);
  report.flat =
      find_flat_values(parameters.stl.format, parameters.elevation, parameters.top, grid.lists);
  check_binary_facets(parameters, report);
  stages.finished(Stage::grid);
  return solids;
}

// The drill files' holes, read against the board's extent (the only ground
// for a guess of a file's format), into options.holes.
void read_drills(const conversion_parameters& parameters, exact::ExactOptions& options,
                 ConversionReport& report) {
  if (parameters.drills.size() > UINT16_MAX) {
    throw Error(parameters.drills.back().path.string() + ": more than " +
                std::to_string(UINT16_MAX) + " drill files");
  }
  for (std::size_t f = 0; f < parameters.drills.size(); ++f) {
    const DrillInput& input = parameters.drills[f];
    DrillOptions drill;
    drill.format = parameters.drill_format;
    drill.tool_table = parameters.drill_tool_table;
    drill.plating = input.plating;
    drill.board = options.extent;
    drill.arc_tolerance = parameters.tolerance;
    DrillFile file = read_drill(input.path, drill);
    DrillReport& r = report.drills.emplace_back();
    r.path = input.path;
    r.lines = file.lines;
    r.format = file.format;
    r.parameter_file = file.parameter_file;
    r.warnings = std::move(file.warnings);
    r.holes = count_holes(file.holes);
    report.holes.add(r.holes);
    if (options.holes.size() + file.holes.size() > kMaxDrillHoles) {
      throw Error(input.path.string() + ": the drill files hold more than " +
                  std::to_string(kMaxDrillHoles) + " holes together");
    }
    for (Hole& h : file.holes) h.file = static_cast<std::uint16_t>(f);
    options.holes.insert(options.holes.end(), file.holes.begin(), file.holes.end());
    options.hole_files.push_back(input.path);
  }
  options.plating = parameters.plating;
}

// The exact model: the board, the copper's contours, the meshes.
MeshSolids build_mesh_solids(const Drawing& drawing, const conversion_parameters& parameters,
                             ConversionReport& report, Stages& stages) {
  report.geometry = Geometry::exact;
  exact::ExactOptions options;
  options.tolerance = parameters.tolerance;
  options.z1 = parameters.elevation;
  options.z2 = parameters.top;
  options.limits.memory = available_memory();
  options.nets = parameters.nets;
  report_drawing(drawing, report);
  if (parameters.outline_path) {
    // The board is the outline's area, cut-outs removed; copper outside it
    // is cut off.
    options.outline = read_board_outline(*parameters.outline_path, parameters.tolerance);
    options.extent = options.outline->extent;
    report.outline_layer = true;
    report.outline_contours = options.outline->contours.size();
    exact::check_coordinates(drawing);
  } else {
    const exact::BoardExtent board = exact::board_extent(drawing);
    options.extent = board.box;
    if (board.unframed_line != 0) {
      add_warning(report, {WarningKind::no_outline, 1, board.unframed_line});
    }
  }
  read_drills(parameters, options, report);
  stages.finished(Stage::read);

  exact::ExactSolids made =
      exact::build_exact_solids(drawing, options, [&] { stages.finished(Stage::contours); });
  report.copper_area = made.copper_area;
  report.board_area = made.board_area;
  report.extent = options.extent;
  for (const Warning& w : made.warnings) add_warning(report, w);
  bool copper = false;
  for (const MeshBody& b : made.bodies) {
    if (b.body.kind == BodyKind::conductor && !b.mesh.triangles.empty()) copper = true;
  }
  if (!copper) report.warnings.push_back({WarningKind::no_copper, 1, drawing.records});
  MeshSolids solids{std::move(made.bodies), std::nullopt};
  report.bodies.clear();
  report_bodies(solids.bodies, measure_mesh_solids(parameters.stl.format, solids.bodies),
                parameters, report);
  for (std::size_t b = 0; b < solids.bodies.size(); ++b) {
    BodyReport& r = report.bodies[b];
    r.area = made.areas[b];
    if (!solids.bodies[b].mesh.vertices.empty()) r.extent = mesh_extent(solids.bodies[b].mesh);
    if (b < made.nets.size()) r.nets = std::move(made.nets[b]);
  }
  check_binary_facets(parameters, report);
  if (parameters.gmsh) {
    solids.gmsh = make_gmsh_surfaces(solids.bodies);
    report_gmsh(*solids.gmsh, solids.bodies, *parameters.gmsh, report);
  }
  stages.finished(Stage::mesh);
  return solids;
}

ModelSolids build(const Drawing& drawing, const conversion_parameters& parameters,
                  ConversionReport& report, Stages& stages, const GridCheck& before_map,
                  Drawing* spent) {
  if (parameters.geometry == Geometry::grid) {
    return build_grid_solids(drawing, parameters, report, stages, before_map, spent);
  }
  return build_mesh_solids(drawing, parameters, report, stages);
}

}  // namespace

namespace {

// What a model cannot do, refused before any file is read.
void check_model(const conversion_parameters& parameters) {
  if (parameters.geometry == Geometry::exact) {
    check_mesh_format(parameters.stl.format);
  } else if (!parameters.drills.empty()) {
    throw Error(parameters.drills.front().path.string() +
                ": holes are cut by the exact model only; convert with --geometry exact");
  } else if (parameters.nets) {
    throw Error(
        "the copper is parted by nets in the exact model only; convert with --geometry exact");
  }
  if (!(parameters.plating >= 0.0) || !std::isfinite(parameters.plating)) {
    throw Error("the plating must be a number of millimetres, 0 or more");
  }
  if (parameters.gmsh) {
    if (parameters.geometry != Geometry::exact) {
      throw Error(parameters.gmsh->geo.string() +
                  ": the gmsh surfaces are the exact model's; convert with --geometry exact");
    }
    check_gmsh_paths(*parameters.gmsh);
    // An input named like an output (board.geo) would be replaced by it.
    for (const std::filesystem::path& path : {parameters.gmsh->geo, parameters.gmsh->surfaces}) {
      std::error_code error;
      if (path == parameters.input_path ||
          std::filesystem::equivalent(path, parameters.input_path, error)) {
        throw Error(path.string() + ": the gmsh files would replace the input; rename it");
      }
    }
  }
}

}  // namespace

ModelSolids build_solids(const conversion_parameters& parameters, ConversionReport& report,
                         const StageObserver& observer, const GridCheck& before_map) {
  check_model(parameters);
  Stages stages(report, observer);
  Drawing drawing = read_photoplot(parameters.input_path);
  return build(drawing, parameters, report, stages, before_map, &drawing);
}

ModelSolids build_solids(const Drawing& drawing, const conversion_parameters& parameters,
                         ConversionReport& report, const StageObserver& observer,
                         const GridCheck& before_map) {
  check_model(parameters);
  Stages stages(report, observer);
  return build(drawing, parameters, report, stages, before_map, nullptr);
}

namespace {

// The bodies' paths, in the order of the bodies.
std::vector<std::filesystem::path> body_paths(const ModelSolids& solids,
                                              const conversion_parameters& parameters) {
  std::vector<Body> bodies;
  std::visit(
      [&](const auto& model) {
        for (const auto& b : model.bodies) bodies.push_back(b.body);
      },
      solids);
  return body_paths(parameters, bodies);
}

// The free space of each file system the targets are on, and the bytes the
// targets there need; a folder that cannot be examined is left to the write
// to report.
void check_solids_space(const std::vector<std::filesystem::path>& paths, const SolidSizes& sizes) {
  struct Need {
    std::filesystem::path folder;
    std::uint64_t bytes;
    std::uint64_t available;
  };
  std::map<std::uint64_t, Need> by_device;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::filesystem::path folder = folder_of(paths[i]);
    const std::optional<FreeSpace> space = free_space(folder);
    if (!space) continue;
    const auto [it, added] = by_device.try_emplace(space->device, Need{folder, 0, space->bytes});
    it->second.bytes += sizes[i].bytes;
  }
  for (const auto& [device, need] : by_device) {
    check_disk_space(need.folder, need.bytes, need.available);
  }
}

}  // namespace

void create_folders(const std::vector<std::filesystem::path>& paths) {
  for (const std::filesystem::path& path : paths) {
    const std::filesystem::path folder = path.parent_path();
    if (folder.empty()) continue;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw file_error(folder, "cannot create the folder", error.value());
  }
}

GridCheck solids_space_check(const conversion_parameters& parameters) {
  return [parameters](const CoordinateLists& lists) {
    const std::uint64_t cells = cell_map_bytes(lists.x.size(), lists.y.size());  // a byte a cell
    std::vector<Body> bodies;
    std::map<std::uint64_t, std::uint64_t> available;  // by file system
    std::filesystem::path folder;
    for (const GridBody& b : grid_bodies(parameters.elevation, parameters.top)) {
      bodies.push_back(b.body);
      folder = folder_of(body_paths(parameters, std::span(&b.body, 1)).front());
      const std::optional<FreeSpace> space = free_space(folder);
      if (!space) return;  // the write reports why
      available[space->device] = space->bytes;
    }
    const std::uint64_t least = least_grid_bytes(cells, parameters.stl, bodies);
    // Split between file systems in a proportion not known yet.
    std::uint64_t room = 0;
    for (const auto& [device, bytes] : available) {
      room = bytes > UINT64_MAX - room ? UINT64_MAX : room + bytes;
    }
    if (least <= room) return;
    throw DiskSpaceError(folder.string() + ": the grid of " + std::to_string(lists.x.size()) +
                         " x " + std::to_string(lists.y.size()) +
                         " lines makes solids of at least " + format_bytes(least) + " (" +
                         std::to_string(least) + " bytes); " +
                         (available.size() == 1 ? "its file system has "
                          : available.size() == 2
                              ? "the two file systems have "
                              : "the " + std::to_string(available.size()) + " file systems have ") +
                         format_bytes(room) + " free (" + std::to_string(room) + " bytes)");
  };
}

void write_solids(const ModelSolids& solids, const conversion_parameters& parameters,
                  ConversionReport& report, const StageObserver& observer,
                  const WriteSettings& settings) {
  Stages stages(report, observer);
  const std::vector<std::filesystem::path> paths = body_paths(solids, parameters);
  // The gmsh surfaces, made now unless made with the meshes.
  const auto* meshes = std::get_if<MeshSolids>(&solids);
  if (parameters.gmsh && meshes == nullptr) {
    throw Error(parameters.gmsh->geo.string() +
                ": the gmsh surfaces are the exact model's; convert with --geometry exact");
  }
  std::optional<GmshSurfaces> made;
  const GmshSurfaces* gmsh = nullptr;
  if (parameters.gmsh) {
    gmsh = meshes->gmsh ? &*meshes->gmsh : &made.emplace(make_gmsh_surfaces(meshes->bodies));
    if (!report.gmsh || !(report.gmsh->paths == *parameters.gmsh)) {
      report_gmsh(*gmsh, meshes->bodies, *parameters.gmsh, report);
    }
  }
  std::vector<std::filesystem::path> all = paths;
  if (gmsh) {
    all.push_back(parameters.gmsh->geo);
    all.push_back(parameters.gmsh->surfaces);
  }
  create_folders(all);
  ReplacingFiles own;
  ReplacingFiles& files = settings.together != nullptr ? *settings.together : own;
  // Leftovers of killed conversions take room the new files may need.
  files.clean(all);

  // build_solids measured them already, unless for another encoding.
  if (!(report.measured_for == parameters.stl) || report.bodies.size() != paths.size()) {
    std::visit(
        [&](const auto& model) {
          using Model = std::decay_t<decltype(model)>;
          if constexpr (std::is_same_v<Model, GridSolids>) {
            report_bodies(model.bodies,
                          measure_grid_solids(parameters.stl, model.grid, model.bodies), parameters,
                          report);
          } else {
            report_bodies(model.bodies, measure_mesh_solids(parameters.stl.format, model.bodies),
                          parameters, report);
          }
        },
        solids);
  }
  check_binary_facets(parameters, report);
  SolidSizes sizes;
  for (const BodyReport& b : report.bodies) sizes.push_back(b.size);
  if (!settings.skip_space_check) {
    SolidSizes all_sizes = sizes;
    if (gmsh) {
      all_sizes.push_back({report.gmsh->geo_bytes, 0, 0});
      all_sizes.push_back({report.gmsh->surfaces_bytes, 0, 0});
    }
    check_solids_space(all, all_sizes);
  }

  WriteOptions write;
  write.stl = parameters.stl;
  write.progress = settings.progress;
  write.expected = sizes;
  std::vector<OpenSolid> open;
  for (const std::filesystem::path& path : paths) open.push_back({files.add(path), path});
  std::visit(
      [&](const auto& model) {
        using Model = std::decay_t<decltype(model)>;
        if constexpr (std::is_same_v<Model, GridSolids>) {
          write_open_grid_solids(open, model.grid, model.bodies, write);
        } else {
          write_open_mesh_solids(open, model.bodies, write);
        }
      },
      solids);
  if (gmsh) {
    const GmshPaths& to = *parameters.gmsh;
    write_gmsh_surfaces(files.add(to.surfaces), to.surfaces, *gmsh);
    write_fully(files.add(to.geo), to.geo,
                gmsh_geo_text(*gmsh, meshes->bodies, to.surfaces.filename().string()),
                "cannot write");
  }
  if (settings.together == nullptr) own.commit();
  stages.finished(Stage::write);
}

std::optional<std::uint64_t> exact_binary_bytes(const conversion_parameters& parameters) {
  conversion_parameters exact = parameters;
  exact.geometry = Geometry::exact;
  exact.stl = {StlFormat::binary, false};
  exact.gmsh.reset();
  try {
    ConversionReport report;
    build_solids(exact, report);
    return total_bytes(report);
  } catch (const std::exception&) {
    return std::nullopt;  // the conversion asked for has its own outcome
  }
}

ConversionReport convert(const conversion_parameters& parameters, const StageObserver& observer,
                         const WriteSettings& settings) {
  ConversionReport report;
  const ModelSolids solids =
      build_solids(parameters, report, observer,
                   settings.skip_space_check ? GridCheck{} : solids_space_check(parameters));
  write_solids(solids, parameters, report, observer, settings);
  return report;
}

}  // namespace foilcad
