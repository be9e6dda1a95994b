#include "convert/convert.hpp"

#include <chrono>
#include <string>

#include "geometry/geometry.hpp"
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

conversion_parameters make_conversion_parameters(const std::filesystem::path& input_path,
                                                 double elevation, double thickness,
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

ConversionReport convert(const conversion_parameters& parameters, const StageObserver& observer,
                         const WriteOptions& options) {
  ConversionReport report;
  StageClock clock;
  const auto finished = [&](Stage stage) {
    report.seconds[static_cast<int>(stage)] = clock.lap();
    if (observer) observer(stage, report);
  };

  Photoplot plot = read_photoplot(parameters.input_path);
  report.records = plot.records;
  report.rectangles = plot.rectangles.size();
  report.warnings = plot.warnings;
  finished(Stage::read);

  const SplitBoard board = split_rectangles(plot.rectangles);
  report.pieces = static_cast<std::size_t>(board.pieces);
  finished(Stage::split);

  const CoordinateLists lists = build_coordinate_lists(board, plot.extremes);
  const CellMap map = build_cell_map(board, lists);
  report.grid_x = lists.x.size();
  report.grid_y = lists.y.size();
  report.cells = map.flags.size();
  report.copper_cells = map.copper_cells();
  finished(Stage::grid);

  report.solids = write_solids(parameters.conductor_path, parameters.insulator_path,
                               parameters.elevation, parameters.top, lists, map, options);
  finished(Stage::write);
  return report;
}

}  // namespace foilcad
