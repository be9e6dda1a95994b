#include "stl/solid_files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/replacing.hpp"
#include "stl/block_writer.hpp"
#include "stl/facets.hpp"

namespace foilcad {

namespace {

// Boxes are assembled in a buffer and handed to the sink in big blocks. The
// buffer starts small and doubles up to its full size as a solid grows: a
// small board's solids cost no more than they need, which matters where many
// are made in memory, and a large one's go out in 4 MiB blocks.
class SolidBuffer {
 public:
  SolidBuffer(ByteSink& sink, std::size_t max_box) : sink_(sink), max_box_(max_box) {}

  // Room for one more box.
  char* reserve() {
    if (capacity_ - used_ < max_box_) {
      flush();
      if (capacity_ < kMaxSize) {
        capacity_ = capacity_ == 0 ? kFirstSize : 2 * capacity_;
        buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
      }
    }
    return buffer_.get() + used_;
  }
  // boxes is 0 for a triangle of a mesh.
  void commit(const char* end, std::uint64_t facets, std::uint64_t boxes = 1) {
    const auto size = static_cast<std::size_t>(end - (buffer_.get() + used_));
    used_ += size;
    total_ += size;
    boxes_ += boxes;
    facets_ += facets;
  }
  void put(std::string_view text) {
    flush();
    if (!text.empty()) sink_.write(text);
    total_ += text.size();
  }
  void flush() {
    if (used_ > 0) sink_.write(std::string_view(buffer_.get(), used_));
    used_ = 0;
  }
  std::uint64_t total() const { return total_; }
  std::uint64_t boxes() const { return boxes_; }
  std::uint64_t facets() const { return facets_; }

 private:
  static constexpr std::size_t kFirstSize = std::size_t{64} << 10;
  static constexpr std::size_t kMaxSize = std::size_t{4} << 20;
  static_assert(kFirstSize > kMaxEncodedBoxBytes && kFirstSize > kMaxTriangleBytes);
  ByteSink& sink_;
  std::size_t max_box_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t boxes_ = 0;
  std::uint64_t facets_ = 0;
};

// Encodes both solids, header to trailer, into two outputs: each has room for
// one more box at reserve(), takes it with commit(end, sides) and copies text
// with put(text). The binary header needs the facet counts in advance:
// expected gives them (or they are counted here).
template <class Out>
void encode_solids(Out& copper, Out& other, double z1, double z2, const CoordinateLists& lists,
                   const CellMap& map, const StlOptions& stl,
                   const std::optional<SolidsSummary>& expected) {
  visit_encoder(stl.format, z1, z2, lists, [&](const auto& encoder) {
    SolidsSummary counts;
    if (stl.format == StlFormat::binary) {
      counts = expected ? *expected : measure_solids(stl, z1, z2, lists, map);
    }
    copper.put(encoder.header(Solid::conductor, counts.conductor_facets));
    other.put(encoder.header(Solid::insulator, counts.insulator_facets));
    for_each_box(map, stl.merge, BoxOrder::file, [&](bool is_copper, const GridBox& box) {
      Out& solid = is_copper ? copper : other;
      solid.commit(encoder.box(solid.reserve(), box), box_facets(box.sides));
    });
    copper.put(encoder.trailer(Solid::conductor));
    other.put(encoder.trailer(Solid::insulator));
  });
}

// One mesh's solid, header to trailer, into out: a facet a triangle, no
// boxes.
template <class Out>
void encode_mesh(Out& out, const Mesh& mesh, Solid solid, StlFormat format) {
  visit_mesh_encoder(format, [&](const auto& encoder) {
    out.put(encoder.header(solid, mesh.triangles.size()));
    auto facets = encoder.mesh_facets(mesh);
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
      out.commit(facets.triangle(out.reserve(), t), 1, 0);
    }
    out.put(encoder.trailer(solid));
  });
}

template <class Out>
SolidsSummary summary_of(const Out& copper, const Out& other) {
  SolidsSummary summary;
  summary.conductor_bytes = copper.total();
  summary.insulator_bytes = other.total();
  summary.conductor_boxes = copper.boxes();
  summary.insulator_boxes = other.boxes();
  summary.conductor_facets = copper.facets();
  summary.insulator_facets = other.facets();
  return summary;
}

}  // namespace

SolidsSummary emit_solids(ByteSink& conductor, ByteSink& insulator, double z1, double z2,
                          const CoordinateLists& lists, const CellMap& map, const StlOptions& stl) {
  const std::size_t max_box =
      visit_encoder(stl.format, z1, z2, CoordinateLists{},
                    [](const auto& encoder) { return encoder.max_box_bytes(); });
  SolidBuffer copper(conductor, max_box);
  SolidBuffer other(insulator, max_box);
  encode_solids(copper, other, z1, z2, lists, map, stl, std::nullopt);
  copper.flush();
  other.flush();
  return summary_of(copper, other);
}

SolidsSummary emit_mesh_solids(ByteSink& conductor, ByteSink& insulator, const Mesh& conductor_mesh,
                               const Mesh& insulator_mesh, StlFormat format) {
  SolidBuffer copper(conductor, kMaxTriangleBytes);
  SolidBuffer other(insulator, kMaxTriangleBytes);
  encode_mesh(copper, conductor_mesh, Solid::conductor, format);
  encode_mesh(other, insulator_mesh, Solid::insulator, format);
  copper.flush();
  other.flush();
  return summary_of(copper, other);
}

namespace {

// One solid on its way to a BlockWriter. Boxes are formatted straight into
// the writer's buffers; a box that runs past the block's end spills into the
// buffer's slack and is carried over into the next block, so that every block
// but the last is exactly block_size() long.
class BlockStream {
 public:
  // passed_on, when set, is called after each full block is queued.
  BlockStream(BlockWriter& writer, const std::function<void()>& passed_on)
      : writer_(writer),
        passed_on_(passed_on),
        block_size_(writer.block_size()),
        block_(writer.take()) {}

  char* reserve() { return block_ + used_; }
  void commit(const char* end, std::uint64_t facets, std::uint64_t boxes = 1) {
    const auto size = static_cast<std::size_t>(end - (block_ + used_));
    used_ += size;
    total_ += size;
    boxes_ += boxes;
    facets_ += facets;
    if (used_ >= block_size_) pass_on();
  }
  void put(std::string_view text) {
    if (text.empty()) return;  // a binary solid's trailer: no bytes, perhaps no data pointer
    std::memcpy(block_ + used_, text.data(), text.size());
    used_ += text.size();
    total_ += text.size();
    if (used_ >= block_size_) pass_on();
  }
  // Writes the last block and waits for the writer.
  void finish() {
    writer_.submit(block_, used_);
    block_ = nullptr;
    writer_.finish();
  }
  std::uint64_t total() const { return total_; }
  std::uint64_t boxes() const { return boxes_; }
  std::uint64_t facets() const { return facets_; }

 private:
  void pass_on() {
    char* next = writer_.take();
    const std::size_t over = used_ - block_size_;
    std::memcpy(next, block_ + block_size_, over);
    writer_.submit(block_, block_size_);
    block_ = next;
    used_ = over;
    if (passed_on_) passed_on_();
  }

  BlockWriter& writer_;
  const std::function<void()>& passed_on_;
  std::size_t block_size_;
  char* block_;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t boxes_ = 0;
  std::uint64_t facets_ = 0;
};

}  // namespace

namespace {

// Writes two solids into open files through a BlockWriter each: encode(copper,
// other) fills the two streams. expected, the measure of what encode writes,
// is needed for the progress and checked against what was written.
template <class Encode>
SolidsSummary write_open_with(const OpenSolid& conductor, const OpenSolid& insulator,
                              const WriteOptions& options,
                              const std::optional<SolidsSummary>& expected, Encode&& encode) {
  static_assert(kWriteBlock % kBlockAlignment == 0);
  static_assert(kMaxEncodedBoxBytes < kWriteBlock && kMaxTriangleBytes < kWriteBlock);
  const std::uint64_t total = expected ? expected->conductor_bytes + expected->insulator_bytes : 0;
  WriteBudget budget(options.fail_after_bytes);
  const std::function<void()> passed_on = [&] {
    if (options.progress) options.progress(budget.taken(), total);
  };
  // Two blocks per file in flight besides the one being filled.
  constexpr std::size_t slack = std::max(kMaxEncodedBoxBytes, kMaxTriangleBytes);
  BlockWriter conductor_writer(conductor.fd, conductor.name, budget, kWriteBlock, slack, 3);
  BlockWriter insulator_writer(insulator.fd, insulator.name, budget, kWriteBlock, slack, 3);
  BlockStream copper(conductor_writer, passed_on);
  BlockStream other(insulator_writer, passed_on);
  encode(copper, other);
  copper.finish();
  other.finish();
  const SolidsSummary summary = summary_of(copper, other);
  // A measure that differs from the bytes written would have let a disk
  // check pass wrongly or given a binary header the wrong facet count.
  if (expected && summary != *expected) {
    throw Error(conductor.name.string() + ": the solids came out at " +
                std::to_string(summary.conductor_bytes + summary.insulator_bytes) +
                " bytes, not the " + std::to_string(total) + " measured");
  }
  if (options.progress) options.progress(total, total);
  return summary;
}

}  // namespace

SolidsSummary write_open_solids(const OpenSolid& conductor, const OpenSolid& insulator, double z1,
                                double z2, const CoordinateLists& lists, const CellMap& map,
                                const WriteOptions& options) {
  const StlOptions& stl = options.stl;
  // The binary header and the progress need the sizes before the first byte.
  std::optional<SolidsSummary> expected = options.expected;
  if (!expected && (stl.format == StlFormat::binary || options.progress)) {
    expected = measure_solids(stl, z1, z2, lists, map);
  }
  return write_open_with(conductor, insulator, options, expected, [&](auto& copper, auto& other) {
    encode_solids(copper, other, z1, z2, lists, map, stl, expected);
  });
}

SolidsSummary write_solids(const std::filesystem::path& conductor_path,
                           const std::filesystem::path& insulator_path, double z1, double z2,
                           const CoordinateLists& lists, const CellMap& map,
                           const WriteOptions& options) {
  SolidsSummary summary;
  write_pair_replacing(conductor_path, insulator_path, [&](int conductor, int insulator) {
    summary = write_open_solids({conductor, conductor_path}, {insulator, insulator_path}, z1, z2,
                                lists, map, options);
  });
  return summary;
}

SolidsSummary write_mesh_solids(const std::filesystem::path& conductor_path,
                                const std::filesystem::path& insulator_path,
                                const Mesh& conductor_mesh, const Mesh& insulator_mesh,
                                const WriteOptions& options) {
  std::optional<SolidsSummary> expected = options.expected;
  if (!expected && options.progress) {
    expected = measure_mesh_solids(options.stl.format, conductor_mesh, insulator_mesh);
  }
  SolidsSummary summary;
  write_pair_replacing(conductor_path, insulator_path, [&](int conductor, int insulator) {
    summary =
        write_open_with({conductor, conductor_path}, {insulator, insulator_path}, options, expected,
                        [&](auto& copper, auto& other) {
                          encode_mesh(copper, conductor_mesh, Solid::conductor, options.stl.format);
                          encode_mesh(other, insulator_mesh, Solid::insulator, options.stl.format);
                        });
  });
  return summary;
}

SolidsSummary measure_mesh_solids(StlFormat format, const Mesh& conductor, const Mesh& insulator) {
  return visit_mesh_encoder(format, [&](const auto& encoder) {
    SolidsSummary summary;
    const auto count = [&](const Mesh& mesh, Solid solid, std::uint64_t& bytes,
                           std::uint64_t& facets) {
      facets = mesh.triangles.size();
      bytes = encoder.header(solid, 0).size() + encoder.trailer(solid).size();
      bytes += encoder.triangles_bytes(mesh);
    };
    count(conductor, Solid::conductor, summary.conductor_bytes, summary.conductor_facets);
    count(insulator, Solid::insulator, summary.insulator_bytes, summary.insulator_facets);
    return summary;
  });
}

std::uint64_t least_solids_bytes(std::uint64_t cells, const StlOptions& stl) {
  const std::uint64_t frame = frame_bytes(stl.format);
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  if (stl.merge) return frame + (cells > 0 ? least_box_bytes(stl.format, kAllSides) : 0);
  const std::uint64_t box = least_box_bytes(stl.format, SideFlags{});
  if (cells > (most - frame) / box) return most;
  return frame + cells * box;
}

namespace {

// Counts what an encoder would write for each box the walk gives.
template <class Encoder>
class SizeCounter {
 public:
  explicit SizeCounter(const Encoder& encoder) : encoder_(encoder) {
    summary_.conductor_bytes =
        encoder.header(Solid::conductor, 0).size() + encoder.trailer(Solid::conductor).size();
    summary_.insulator_bytes =
        encoder.header(Solid::insulator, 0).size() + encoder.trailer(Solid::insulator).size();
  }
  void operator()(bool copper, const GridBox& box) {
    const std::uint64_t bytes = encoder_.box_bytes(box);
    const std::uint64_t facets = box_facets(box.sides);
    if (copper) {
      summary_.conductor_bytes += bytes;
      summary_.conductor_facets += facets;
      ++summary_.conductor_boxes;
    } else {
      summary_.insulator_bytes += bytes;
      summary_.insulator_facets += facets;
      ++summary_.insulator_boxes;
    }
  }
  const SolidsSummary& summary() const { return summary_; }

 private:
  const Encoder& encoder_;
  SolidsSummary summary_;
};

}  // namespace

SolidsSummary measure_solids(const StlOptions& stl, double z1, double z2,
                             const CoordinateLists& lists, const CellMap& map) {
  return visit_encoder(stl.format, z1, z2, lists, [&](const auto& encoder) {
    SizeCounter counter(encoder);
    for_each_box(map, stl.merge, BoxOrder::any, counter);
    return counter.summary();
  });
}

SolidsSummary measure_solids(const CellMap& map) {
  // No grid lines needed: the classic fields all have the same width.
  return measure_solids(StlOptions{}, 0, 0, CoordinateLists{}, map);
}

}  // namespace foilcad
