// The solid files of a conversion: one STL solid per body, in the encoding
// StlOptions chooses.
//
// A grid's bodies are made of its cells (geometry/grid.hpp: the copper cells
// make the conductor "blob", all others the insulator "nblob"). By default
// every cell is one box; cells go out column by column and, within a column,
// by increasing y, and a side that two cells of the same body share is
// written by neither, so each solid is closed without interior walls. With
// merge, the cells become fewer whole boxes (geometry/box_walk.hpp). A mesh
// body's solid is a facet per triangle.
//
// Measuring is writing with another sink: the sizes counted in advance are
// those of the files written, which the writers check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/body.hpp"
#include "geometry/geometry.hpp"
#include "geometry/grid.hpp"
#include "stl/encoders.hpp"

namespace foilcad {

// Where the bytes of one solid go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::string_view bytes) = 0;
};

// What one body's solid holds.
struct SolidSize {
  std::uint64_t bytes = 0;
  std::uint64_t boxes = 0;  // 0 for a mesh
  std::uint64_t facets = 0;

  friend bool operator==(const SolidSize&, const SolidSize&) = default;
};

// One per body, in the order of the bodies.
using SolidSizes = std::vector<SolidSize>;

std::uint64_t total_bytes(const SolidSizes& sizes);

// What the solids of a grid's bodies will hold, counted without writing
// them: the same walk as the writing, with each box counted by the encoder
// instead of written. The heights and the lists matter only to the ascii
// text, whose numbers vary in length.
SolidSizes measure_grid_solids(const StlOptions& stl, const Grid& grid,
                               std::span<const GridBody> bodies);

// The fewest bytes the solids of a grid of so many cells can have together,
// known before the cells are: every cell is a box of one body's solid with
// at least its top and bottom faces; merged, all cells might make one box.
// Saturates instead of overflowing.
std::uint64_t least_grid_bytes(std::uint64_t cells, const StlOptions& stl,
                               std::span<const Body> bodies);

// Writes the solids of a grid's bodies, header to trailer, into one sink
// each (in the order of the bodies), in a single walk over the cells.
SolidSizes emit_grid_solids(std::span<ByteSink* const> sinks, const Grid& grid,
                            std::span<const GridBody> bodies, const StlOptions& stl);

// The same for mesh bodies (ascii or binary only: check_mesh_format).
SolidSizes measure_mesh_solids(StlFormat format, std::span<const MeshBody> bodies);
SolidSizes emit_mesh_solids(std::span<ByteSink* const> sinks, std::span<const MeshBody> bodies,
                            StlFormat format);

// Told the bytes written to all files together so far and the bytes of all
// when complete, every few megabytes and once at the end, always on the
// thread that called the writer.
using WriteProgress = std::function<void(std::uint64_t written, std::uint64_t total)>;

struct WriteOptions {
  StlOptions stl{};
  WriteProgress progress{};
  // The measure of the solids (measure_grid_solids or measure_mesh_solids
  // with the same arguments) when the caller has it; the writer counts them
  // itself otherwise, where it needs to (a binary header, the progress).
  std::optional<SolidSizes> expected{};
};

// An output file that is already open for writing, and its name for messages.
struct OpenSolid {
  int fd;
  std::filesystem::path name;
};

// Writes the solids of a grid's bodies into open files (one per body), which
// stay open: boxes are encoded into 4 MiB blocks that a thread per file
// writes, with O_DIRECT where the file system allows it. Throws
// foilcad::Error naming the file that failed.
inline constexpr std::size_t kWriteBlock = std::size_t{4} << 20;
SolidSizes write_open_grid_solids(std::span<const OpenSolid> files, const Grid& grid,
                                  std::span<const GridBody> bodies, const WriteOptions& options);

// The same for mesh bodies, in the encoding options.stl.format gives: the
// bodies are encoded side by side on two threads.
SolidSizes write_open_mesh_solids(std::span<const OpenSolid> files,
                                  std::span<const MeshBody> bodies, const WriteOptions& options);

// Writes the solids to temporary files beside their targets (one path per
// body) and renames them over the targets only when all are complete
// (common/replacing.hpp): on any failure every file that had a target's name
// is left as it was, and a foilcad::Error names the path and the system's
// reason.
SolidSizes write_grid_solids(std::span<const std::filesystem::path> paths, const Grid& grid,
                             std::span<const GridBody> bodies, const WriteOptions& options = {});
SolidSizes write_mesh_solids(std::span<const std::filesystem::path> paths,
                             std::span<const MeshBody> bodies, const WriteOptions& options = {});

}  // namespace foilcad
