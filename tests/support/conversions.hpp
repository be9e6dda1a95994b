// Conversions as the tests look at them: a photoplot's grid with its classic
// sizes, the two bodies of one layer written into two sinks or files, and a
// full disk.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <filesystem>

#include "common/mesh.hpp"
#include "convert/convert.hpp"
#include "photoplot/drawing.hpp"
#include "stl/solid_files.hpp"

namespace foilcad {

// The grid model's grid of a photoplot, the report filled in as a
// conversion with the default parameters fills it (classic solids from 0 to
// 0, next to the input).
Grid grid_of(const Drawing& drawing, ConversionReport& report);
Grid grid_of(const std::filesystem::path& input, ConversionReport& report);

// The classic solids' sizes of a cell map, one box a cell (their size does
// not depend on the grid's values).
SolidSizes measure_cells(const CellMap& map);

// The fewest bytes the two solids of one layer can have (least_grid_bytes).
std::uint64_t least_layer_bytes(std::uint64_t cells, const StlOptions& stl = {});

// The sizes a report holds, in the order of its bodies.
SolidSizes sizes_of(const ConversionReport& report);

// The conductor and the insulator of one layer from z1 to z2 written into
// two sinks, or into two files replaced together.
SolidSizes emit_layer(ByteSink& conductor, ByteSink& insulator, double z1, double z2,
                      const Grid& grid, const StlOptions& stl = {});
SolidSizes emit_layer(ByteSink& conductor, ByteSink& insulator, const Mesh& conductor_mesh,
                      const Mesh& insulator_mesh, StlFormat format);
SolidSizes measure_layer(StlFormat format, const Mesh& conductor_mesh, const Mesh& insulator_mesh);
SolidSizes write_layer(const std::filesystem::path& conductor,
                       const std::filesystem::path& insulator, double z1, double z2,
                       const Grid& grid, const WriteOptions& options = {});
SolidSizes write_layer(const std::filesystem::path& conductor,
                       const std::filesystem::path& insulator, const Mesh& conductor_mesh,
                       const Mesh& insulator_mesh, const WriteOptions& options = {});

// A full disk for as long as it lives: writes that would make a file of
// this process longer than bytes fail ("File too large"), as they fail on a
// disk with that much room for each file.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t bytes);
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit();

 private:
  rlimit before_{};
};

}  // namespace foilcad
