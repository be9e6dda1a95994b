// The two solid files: copper cells into the conductor solid "blob", all
// others into the insulator solid "nblob", in the encoding StlOptions chooses.
//
// By default every cell is one box; cells go out column by column and, within
// a column, by increasing y, and a side that two cells of the same solid share
// is written by neither, so each solid is closed without interior walls. With
// merge, the cells become fewer whole boxes (geometry/box_walk.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>

#include "common/mesh.hpp"
#include "geometry/geometry.hpp"
#include "stl/encoders.hpp"

namespace foilcad {

// Where the bytes of one solid go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::string_view bytes) = 0;
};

struct SolidsSummary {
  std::uint64_t conductor_bytes = 0;
  std::uint64_t insulator_bytes = 0;
  std::uint64_t conductor_boxes = 0;
  std::uint64_t insulator_boxes = 0;
  std::uint64_t conductor_facets = 0;
  std::uint64_t insulator_facets = 0;

  friend bool operator==(const SolidsSummary&, const SolidsSummary&) = default;
};

// What the two solids of a grid will hold, counted without writing them: the
// same walk as the writing, with each box counted by the encoder instead of
// written. z1, z2 and the lists matter only to the ascii text, whose numbers
// vary in length.
SolidsSummary measure_solids(const StlOptions& stl, double z1, double z2,
                             const CoordinateLists& lists, const CellMap& map);
// The classic solids, one box per cell (their size does not depend on the
// values).
SolidsSummary measure_solids(const CellMap& map);

// The fewest bytes the two solids of a grid of so many cells can have
// together, known before the cells are: every cell is a box of one solid or
// the other with at least its top and bottom faces; merged, all cells might
// make one box. Saturates instead of overflowing.
std::uint64_t least_solids_bytes(std::uint64_t cells, const StlOptions& stl = {});

// Writes both solids, header to trailer, into the two sinks, with z1 the bottom
// and z2 the top of every box.
SolidsSummary emit_solids(ByteSink& conductor, ByteSink& insulator, double z1, double z2,
                          const CoordinateLists& lists, const CellMap& map,
                          const StlOptions& stl = {});

// The same for two meshes (ascii or binary only: check_mesh_format): a facet
// per triangle, no boxes.
SolidsSummary measure_mesh_solids(StlFormat format, const Mesh& conductor, const Mesh& insulator);
SolidsSummary emit_mesh_solids(ByteSink& conductor, ByteSink& insulator, const Mesh& conductor_mesh,
                               const Mesh& insulator_mesh, StlFormat format);

// Told the bytes written to both files together so far and the bytes of both
// when complete, every few megabytes and once at the end, always on the
// thread that called the writer.
using WriteProgress = std::function<void(std::uint64_t written, std::uint64_t total)>;

struct WriteOptions {
  // Makes every write fail with "No space left on device" once this many bytes
  // have gone to the two files together: how tests reach a full disk.
  std::uint64_t fail_after_bytes = std::numeric_limits<std::uint64_t>::max();
  // Writes even when the target folder's file system reports less free space
  // than the solids need (write_board checks it otherwise).
  bool skip_space_check = false;
  StlOptions stl{};
  WriteProgress progress{};
  // The measure of the solids (measure_solids with the same arguments) when
  // the caller has it; the writer counts them itself otherwise, where it
  // needs to (a binary header, the progress).
  std::optional<SolidsSummary> expected{};
};

// An output file that is already open for writing, and its name for messages.
struct OpenSolid {
  int fd;
  std::filesystem::path name;
};

// Writes both solids into two open files, which stay open: boxes are encoded
// into 4 MiB blocks that a thread per file writes, with O_DIRECT where the
// file system allows it. Throws foilcad::Error naming the file that failed.
inline constexpr std::size_t kWriteBlock = std::size_t{4} << 20;
SolidsSummary write_open_solids(const OpenSolid& conductor, const OpenSolid& insulator, double z1,
                                double z2, const CoordinateLists& lists, const CellMap& map,
                                const WriteOptions& options = {});

// Writes both solids to temporary files beside their targets and renames them
// over the targets only when both are complete. Stale temporaries of the
// targets are removed first (common/replacing.hpp). On any failure the temporaries
// are removed, files that had the target names are left as they were, and a
// foilcad::Error names the path and the system's reason.
SolidsSummary write_solids(const std::filesystem::path& conductor_path,
                           const std::filesystem::path& insulator_path, double z1, double z2,
                           const CoordinateLists& lists, const CellMap& map,
                           const WriteOptions& options = {});

// write_solids for two meshes, in the encoding options.stl.format gives. The
// insulator is encoded on a second thread while the calling one encodes the
// conductor.
SolidsSummary write_mesh_solids(const std::filesystem::path& conductor_path,
                                const std::filesystem::path& insulator_path,
                                const Mesh& conductor_mesh, const Mesh& insulator_mesh,
                                const WriteOptions& options = {});

}  // namespace foilcad
