#include "support/conversions.hpp"

#include <csignal>
#include <variant>
#include <vector>

namespace foilcad {

namespace {

Grid take_grid(ModelSolids solids) { return std::move(std::get<GridSolids>(solids).grid); }

}  // namespace

Grid grid_of(const Drawing& drawing, ConversionReport& report) {
  return take_grid(build_solids(drawing, make_conversion_parameters(drawing.name, 0, 0), report));
}

Grid grid_of(const std::filesystem::path& input, ConversionReport& report) {
  return take_grid(build_solids(make_conversion_parameters(input, 0, 0), report));
}

SolidSizes measure_cells(const CellMap& map) {
  // No grid lines needed: the classic fields all have the same width.
  const Grid grid{CoordinateLists{}, map};
  return measure_grid_solids(StlOptions{}, grid, grid_bodies(0, 0));
}

std::uint64_t least_layer_bytes(std::uint64_t cells, const StlOptions& stl) {
  std::vector<Body> bodies;
  for (const GridBody& b : grid_bodies(0, 0)) bodies.push_back(b.body);
  return least_grid_bytes(cells, stl, bodies);
}

SolidSizes sizes_of(const ConversionReport& report) {
  SolidSizes sizes;
  for (const BodyReport& b : report.bodies) sizes.push_back(b.size);
  return sizes;
}

SolidSizes emit_layer(ByteSink& conductor, ByteSink& insulator, double z1, double z2,
                      const Grid& grid, const StlOptions& stl) {
  ByteSink* const sinks[] = {&conductor, &insulator};
  return emit_grid_solids(sinks, grid, grid_bodies(z1, z2), stl);
}

namespace {

std::vector<MeshBody> layer_bodies(const Mesh& conductor, const Mesh& insulator) {
  return {{conductor_body(0, 0), conductor}, {insulator_body(0, 0), insulator}};
}

}  // namespace

SolidSizes emit_layer(ByteSink& conductor, ByteSink& insulator, const Mesh& conductor_mesh,
                      const Mesh& insulator_mesh, StlFormat format) {
  ByteSink* const sinks[] = {&conductor, &insulator};
  return emit_mesh_solids(sinks, layer_bodies(conductor_mesh, insulator_mesh), format);
}

SolidSizes measure_layer(StlFormat format, const Mesh& conductor_mesh, const Mesh& insulator_mesh) {
  return measure_mesh_solids(format, layer_bodies(conductor_mesh, insulator_mesh));
}

SolidSizes write_layer(const std::filesystem::path& conductor,
                       const std::filesystem::path& insulator, double z1, double z2,
                       const Grid& grid, const WriteOptions& options) {
  const std::filesystem::path paths[] = {conductor, insulator};
  return write_grid_solids(paths, grid, grid_bodies(z1, z2), options);
}

SolidSizes write_layer(const std::filesystem::path& conductor,
                       const std::filesystem::path& insulator, const Mesh& conductor_mesh,
                       const Mesh& insulator_mesh, const WriteOptions& options) {
  const std::filesystem::path paths[] = {conductor, insulator};
  return write_mesh_solids(paths, layer_bodies(conductor_mesh, insulator_mesh), options);
}

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
  // The signal a write beyond the limit raises would end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  ::getrlimit(RLIMIT_FSIZE, &before_);
  rlimit limit = before_;
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &before_); }

}  // namespace foilcad
