#include "convert/convert.hpp"

#include <algorithm>
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

Board build_from_plot(const Photoplot& plot, ConversionReport& report, Stages& stages) {
  report.records = plot.records;
  report.rectangles = plot.rectangles.size();
  report.objects = plot.counts;
  report.inches = plot.inches_used;
  report.millimetres = plot.millimetres_used;
  report.outline = plot.outline;
  report.warnings = plot.warnings;
  stages.finished(Stage::read);

  const std::size_t first_active = plot.first_active();
  const SplitBoard split = split_rectangles(plot.rectangles, first_active);
  report.pieces = static_cast<std::size_t>(split.pieces);
  stages.finished(Stage::split);

  // Clear polarity runs count in active rectangles, like the split board.
  PolarityRuns clear_runs;
  for (const auto& [first, second] : plot.clear_runs) {
    if (second <= first_active) continue;
    clear_runs.emplace_back(std::max(first, first_active) - first_active, second - first_active);
  }
  Board board;
  // Without an outline the grid ends at the outermost copper; an axis with
  // fewer than two edge values (only zero-size objects) ends at the extremes.
  board.lists = plot.outline ? build_coordinate_lists(split, plot.extremes)
                             : build_coordinate_lists(split);
  if (board.lists.x.size() < 2 || board.lists.y.size() < 2) {
    board.lists = build_coordinate_lists(split, plot.extremes);
  }
  board.map = build_cell_map(split, board.lists, clear_runs);
  report.grid_x = board.lists.x.size();
  report.grid_y = board.lists.y.size();
  report.cells = board.map.flags.size();
  report.copper_cells = board.map.copper_cells();
  report.extent = {board.lists.x.front(), board.lists.x.back(), board.lists.y.front(),
                   board.lists.y.back()};
  report.solids = measure_solids(board.map);
  stages.finished(Stage::grid);
  return board;
}

}  // namespace

Board build_board(const std::filesystem::path& input_path, ConversionReport& report,
                  const StageObserver& observer) {
  Stages stages(report, observer);
  const Photoplot plot = read_photoplot(input_path);
  return build_from_plot(plot, report, stages);
}

Board build_board(const Photoplot& plot, ConversionReport& report, const StageObserver& observer) {
  Stages stages(report, observer);
  return build_from_plot(plot, report, stages);
}


void write_board(const Board& board, const conversion_parameters& parameters,
                 ConversionReport& report, const StageObserver& observer,
                 const WriteOptions& options) {
  Stages stages(report, observer);
  write_solids(parameters.conductor_path, parameters.insulator_path, parameters.elevation,
               parameters.top, board.lists, board.map, options);
  stages.finished(Stage::write);
}

ConversionReport convert(const conversion_parameters& parameters, const StageObserver& observer,
                         const WriteOptions& options) {
  ConversionReport report;
  const Board board = build_board(parameters.input_path, report, observer);
  write_board(board, parameters, report, observer, options);
  return report;
}

}  // namespace foilcad
