#include "stl/solid_files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <system_error>
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
// boxes. Returns false, unfinished, once stop is set (another solid failed).
template <class Out>
bool encode_mesh(Out& out, const Mesh& mesh, Solid solid, StlFormat format,
                 const std::atomic<bool>* stop = nullptr) {
  return visit_mesh_encoder(format, [&](const auto& encoder) {
    out.put(encoder.header(solid, mesh.triangles.size()));
    auto facets = encoder.mesh_facets(mesh);
    constexpr std::size_t kStride = 4096;  // triangles between looks at stop
    const std::size_t count = mesh.triangles.size();
    for (std::size_t first = 0; first < count; first += kStride) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return false;
      const std::size_t last = std::min(count, first + kStride);
      for (std::size_t t = first; t < last; ++t) {
        out.commit(facets.triangle(out.reserve(), t), 1, 0);
      }
    }
    out.put(encoder.trailer(solid));
    return true;
  });
}

// Runs first(stop) on a second thread, if one can be had, while second runs
// on this one; both are done when this returns. An exception of either is
// thrown here: second's once first, told to stop (stop set), has returned.
// wait is called every few tenths of a second on this thread while first runs
// on alone.
template <class First, class Second, class Wait>
void run_beside(First&& first, Second&& second, Wait&& wait) {
  std::atomic<bool> stop{false};
  std::future<void> beside;
  try {
    beside = std::async(std::launch::async, [&] { first(stop); });
  } catch (const std::system_error&) {
    // No second thread: one after the other.
  }
  try {
    second();
    if (!beside.valid()) {
      first(stop);
      return;
    }
    while (beside.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) wait();
  } catch (...) {
    stop.store(true, std::memory_order_relaxed);
    if (beside.valid()) beside.wait();
    throw;
  }
  beside.get();
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

// Both solids on their way into open files, through a BlockWriter each, and
// the progress of both. expected, the measure of what is to be written, is
// needed for the progress and checked against what was written.
class OpenSolidsOut {
 public:
  // The progress is reported when a block of the conductor, or with
  // insulator_reports of the insulator, is passed on, and by report().
  OpenSolidsOut(const OpenSolid& conductor, const OpenSolid& insulator, const WriteOptions& options,
                const std::optional<SolidsSummary>& expected, bool insulator_reports)
      : conductor_name_(conductor.name),
        options_(options),
        expected_(expected),
        total_(expected ? expected->conductor_bytes + expected->insulator_bytes : 0),
        budget_(options.fail_after_bytes),
        report_([this] { report(); }),
        insulator_report_(insulator_reports ? report_ : std::function<void()>{}),
        // Two blocks per file in flight besides the one being filled.
        conductor_writer_(conductor.fd, conductor.name, budget_, kWriteBlock, kSlack, 3),
        insulator_writer_(insulator.fd, insulator.name, budget_, kWriteBlock, kSlack, 3),
        copper(conductor_writer_, report_),
        other(insulator_writer_, insulator_report_) {}

  void report() const {
    if (options_.progress) options_.progress(budget_.taken(), total_);
  }

  // After both streams are finished.
  SolidsSummary summary() const {
    const SolidsSummary summary = summary_of(copper, other);
    // A measure that differs from the bytes written would have let a disk
    // check pass wrongly or given a binary header the wrong facet count.
    if (expected_ && summary != *expected_) {
      throw Error(conductor_name_.string() + ": the solids came out at " +
                  std::to_string(summary.conductor_bytes + summary.insulator_bytes) +
                  " bytes, not the " + std::to_string(total_) + " measured");
    }
    if (options_.progress) options_.progress(total_, total_);
    return summary;
  }

 private:
  static_assert(kWriteBlock % kBlockAlignment == 0);
  static_assert(kMaxEncodedBoxBytes < kWriteBlock && kMaxTriangleBytes < kWriteBlock);
  static constexpr std::size_t kSlack = std::max(kMaxEncodedBoxBytes, kMaxTriangleBytes);

  std::filesystem::path conductor_name_;
  const WriteOptions& options_;
  const std::optional<SolidsSummary>& expected_;
  std::uint64_t total_;
  WriteBudget budget_;
  std::function<void()> report_;
  std::function<void()> insulator_report_;
  BlockWriter conductor_writer_;
  BlockWriter insulator_writer_;

 public:
  BlockStream copper;
  BlockStream other;
};

// Writes two solids into open files: encode(copper, other) fills the two
// streams.
template <class Encode>
SolidsSummary write_open_with(const OpenSolid& conductor, const OpenSolid& insulator,
                              const WriteOptions& options,
                              const std::optional<SolidsSummary>& expected, Encode&& encode) {
  OpenSolidsOut out(conductor, insulator, options, expected, true);
  encode(out.copper, out.other);
  out.copper.finish();
  out.other.finish();
  return out.summary();
}

// Writes two meshes' solids into open files. Each solid has a stream and a
// writer of its own, so the insulator is encoded on a second thread while
// this one encodes the conductor; the progress is reported from this thread
// only.
SolidsSummary write_open_meshes(const OpenSolid& conductor, const OpenSolid& insulator,
                                const Mesh& conductor_mesh, const Mesh& insulator_mesh,
                                const WriteOptions& options,
                                const std::optional<SolidsSummary>& expected) {
  OpenSolidsOut out(conductor, insulator, options, expected, false);
  const StlFormat format = options.stl.format;
  run_beside(
      [&](const std::atomic<bool>& stop) {
        if (encode_mesh(out.other, insulator_mesh, Solid::insulator, format, &stop)) {
          out.other.finish();
        }
      },
      [&] {
        encode_mesh(out.copper, conductor_mesh, Solid::conductor, format);
        out.copper.finish();
      },
      [&] { out.report(); });
  return out.summary();
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
    summary = write_open_meshes({conductor, conductor_path}, {insulator, insulator_path},
                                conductor_mesh, insulator_mesh, options, expected);
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
    const auto count_conductor = [&] {
      count(conductor, Solid::conductor, summary.conductor_bytes, summary.conductor_facets);
    };
    const auto count_insulator = [&](const std::atomic<bool>&) {
      count(insulator, Solid::insulator, summary.insulator_bytes, summary.insulator_facets);
    };
    // The text's length depends on every vertex's numbers: the two meshes
    // are counted side by side. A binary facet's size is fixed.
    if (format == StlFormat::binary) {
      count_conductor();
      count_insulator({});
    } else {
      run_beside(count_insulator, count_conductor, [] {});
    }
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
