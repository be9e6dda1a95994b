#include "stl/solid_files.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/replacing.hpp"
#include "stl/block_writer.hpp"
#include "stl/facets.hpp"

namespace foilcad {

std::uint64_t total_bytes(const SolidSizes& sizes) {
  std::uint64_t bytes = 0;
  for (const SolidSize& s : sizes) bytes += s.bytes;
  return bytes;
}

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
    size_.bytes += size;
    size_.boxes += boxes;
    size_.facets += facets;
  }
  void put(std::string_view text) {
    flush();
    if (!text.empty()) sink_.write(text);
    size_.bytes += text.size();
  }
  void flush() {
    if (used_ > 0) sink_.write(std::string_view(buffer_.get(), used_));
    used_ = 0;
  }
  const SolidSize& size() const { return size_; }

 private:
  static constexpr std::size_t kFirstSize = std::size_t{64} << 10;
  static constexpr std::size_t kMaxSize = std::size_t{4} << 20;
  static_assert(kFirstSize > kMaxEncodedBoxBytes && kFirstSize > kMaxTriangleBytes);
  ByteSink& sink_;
  std::size_t max_box_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  SolidSize size_;
};

// The body each cell flag (0 or 1) goes to.
std::array<std::size_t, 2> body_of_flag(std::span<const GridBody> bodies) {
  std::array<std::size_t, 2> of{bodies.size(), bodies.size()};
  for (std::size_t b = 0; b < bodies.size(); ++b) of.at(bodies[b].cells) = b;
  if (of[0] == bodies.size() || of[1] == bodies.size()) {
    throw std::logic_error("grid bodies: every cell must belong to one body");
  }
  return of;
}

// Calls f with one encoder of format per body (its heights and the grid's
// lines), in a vector.
template <class F>
decltype(auto) visit_grid_encoders(StlFormat format, const Grid& grid,
                                   std::span<const GridBody> bodies, F&& f) {
  return visit_encoder(format, 0.0, 0.0, CoordinateLists{}, [&](const auto& type) {
    using Encoder = std::decay_t<decltype(type)>;
    std::vector<Encoder> encoders;
    encoders.reserve(bodies.size());
    for (const GridBody& b : bodies) encoders.emplace_back(b.body.z1, b.body.z2, grid.lists);
    return f(encoders);
  });
}

// Encodes the solids of a grid's bodies, header to trailer, into one output
// each: each has room for one more box at reserve(), takes it with
// commit(end, facets) and copies text with put(text). The binary header
// needs the facet counts in advance: expected gives them (or they are
// counted here).
template <class Out>
void encode_grid(std::span<Out* const> outs, const Grid& grid, std::span<const GridBody> bodies,
                 const StlOptions& stl, const std::optional<SolidSizes>& expected) {
  const std::array<std::size_t, 2> slot = body_of_flag(bodies);
  SolidSizes counts(bodies.size());
  if (stl.format == StlFormat::binary) {
    counts = expected ? *expected : measure_grid_solids(stl, grid, bodies);
  }
  visit_grid_encoders(stl.format, grid, bodies, [&](const auto& encoders) {
    for (std::size_t b = 0; b < bodies.size(); ++b) {
      outs[b]->put(encoders[b].header(bodies[b].body, counts[b].facets));
    }
    for_each_box(grid.map, stl.merge, BoxOrder::file, [&](bool copper, const GridBox& box) {
      const std::size_t b = slot[copper ? 1 : 0];
      Out& out = *outs[b];
      out.commit(encoders[b].box(out.reserve(), box), box_facets(box.sides));
    });
    for (std::size_t b = 0; b < bodies.size(); ++b) {
      outs[b]->put(encoders[b].trailer(bodies[b].body));
    }
  });
}

// One mesh body's solid, header to trailer, into out: a facet a triangle, no
// boxes. Returns false, unfinished, once stop is set (another solid failed).
template <class Out>
bool encode_mesh(Out& out, const MeshBody& body, StlFormat format,
                 const std::atomic<bool>* stop = nullptr) {
  return visit_mesh_encoder(format, [&](const auto& encoder) {
    const Mesh& mesh = body.mesh;
    out.put(encoder.header(body.body, mesh.triangles.size()));
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
    out.put(encoder.trailer(body.body));
    return true;
  });
}

// Runs work(i, stop) for i in [0, count) on this thread and one more, if one
// can be had, each taking the next i when it is free; all are done when this
// returns. wait() is called every few tenths of a second on this thread
// while the other runs on alone. The first exception stops the handing out
// (stop is set for work already running) and is thrown here once both
// threads are done.
template <class Work, class Wait>
void share_out(std::size_t count, Work&& work, Wait&& wait) {
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> next{0};
  const auto run = [&] {
    try {
      for (std::size_t i = next++; i < count && !stop.load(); i = next++) work(i, stop);
    } catch (...) {
      stop.store(true);
      throw;
    }
  };
  std::future<void> beside;
  if (count > 1) {
    try {
      beside = std::async(std::launch::async, run);
    } catch (const std::system_error&) {
      // No second thread: one after the other.
    }
  }
  try {
    run();
    if (beside.valid()) {
      while (beside.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) wait();
    }
  } catch (...) {
    stop.store(true);
    if (beside.valid()) beside.wait();
    throw;
  }
  if (beside.valid()) beside.get();
}

template <class Out>
SolidSizes sizes_of(std::span<Out* const> outs) {
  SolidSizes sizes;
  sizes.reserve(outs.size());
  for (const Out* out : outs) sizes.push_back(out->size());
  return sizes;
}

// Owns one output per body and the span of pointers the encoders take.
template <class Out>
class Outputs {
 public:
  template <class Make>
  Outputs(std::size_t count, Make&& make) {
    owned_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) owned_.push_back(make(i));
    for (auto& out : owned_) pointers_.push_back(out.get());
  }
  std::span<Out* const> all() const { return pointers_; }
  Out& operator[](std::size_t i) const { return *pointers_[i]; }

 private:
  std::vector<std::unique_ptr<Out>> owned_;
  std::vector<Out*> pointers_;
};

void check_sinks(std::size_t sinks, std::size_t bodies) {
  if (sinks != bodies) throw std::logic_error("solids: one output per body");
}

}  // namespace

SolidSizes emit_grid_solids(std::span<ByteSink* const> sinks, const Grid& grid,
                            std::span<const GridBody> bodies, const StlOptions& stl) {
  check_sinks(sinks.size(), bodies.size());
  const std::size_t max_box =
      visit_encoder(stl.format, 0.0, 0.0, CoordinateLists{},
                    [](const auto& encoder) { return encoder.max_box_bytes(); });
  const Outputs<SolidBuffer> outs(bodies.size(), [&](std::size_t b) {
    return std::make_unique<SolidBuffer>(*sinks[b], max_box);
  });
  encode_grid(outs.all(), grid, bodies, stl, std::nullopt);
  for (SolidBuffer* out : outs.all()) out->flush();
  return sizes_of(outs.all());
}

SolidSizes emit_mesh_solids(std::span<ByteSink* const> sinks, std::span<const MeshBody> bodies,
                            StlFormat format) {
  check_sinks(sinks.size(), bodies.size());
  SolidSizes sizes;
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    SolidBuffer out(*sinks[b], kMaxTriangleBytes);
    encode_mesh(out, bodies[b], format);
    out.flush();
    sizes.push_back(out.size());
  }
  return sizes;
}

namespace {

// One solid on its way to a BlockWriter. Boxes are formatted straight into
// the writer's buffers; a box that runs past the block's end spills into the
// buffer's slack and is carried over into the next block, so that every block
// but the last is exactly block_size() long.
class BlockStream {
 public:
  // passed_on, when set, is called after each full block is queued.
  BlockStream(BlockWriter& writer, std::function<void()> passed_on)
      : writer_(writer),
        passed_on_(std::move(passed_on)),
        block_size_(writer.block_size()),
        block_(writer.take()) {}

  char* reserve() { return block_ + used_; }
  void commit(const char* end, std::uint64_t facets, std::uint64_t boxes = 1) {
    const auto size = static_cast<std::size_t>(end - (block_ + used_));
    used_ += size;
    size_.bytes += size;
    size_.boxes += boxes;
    size_.facets += facets;
    if (used_ >= block_size_) pass_on();
  }
  void put(std::string_view text) {
    if (text.empty()) return;  // a binary solid's trailer: no bytes, perhaps no data pointer
    std::memcpy(block_ + used_, text.data(), text.size());
    used_ += text.size();
    size_.bytes += text.size();
    if (used_ >= block_size_) pass_on();
  }
  // Writes the last block and waits for the writer.
  void finish() {
    writer_.submit(block_, used_);
    block_ = nullptr;
    writer_.finish();
  }
  const SolidSize& size() const { return size_; }

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
  std::function<void()> passed_on_;
  std::size_t block_size_;
  char* block_;
  std::size_t used_ = 0;
  SolidSize size_;
};

// The solids on their way into open files, through a BlockWriter and a
// stream each, and the progress of all. expected, the measure of what is to
// be written, is needed for the progress and checked against what was
// written. The progress is reported on the thread that made this, whenever
// a block it encoded is passed on, and by report().
class OpenSolidsOut {
 public:
  OpenSolidsOut(std::span<const OpenSolid> files, const WriteOptions& options,
                const std::optional<SolidSizes>& expected)
      : options_(options),
        expected_(expected),
        total_(expected ? total_bytes(*expected) : 0),
        caller_(std::this_thread::get_id()),
        files_(files.begin(), files.end()),
        writers_(files.size()),
        owned_(files.size()),
        sizes_(files.size()) {
    check_sinks(files.size(), expected ? expected->size() : files.size());
    first_name_ = files.empty() ? std::filesystem::path() : files.front().name;
  }

  // Every file's stream at once (the grid writes its solids in one walk).
  std::vector<BlockStream*> streams() {
    std::vector<BlockStream*> all;
    for (std::size_t b = 0; b < files_.size(); ++b) all.push_back(&open(b));
    return all;
  }

  // One file's stream. A writer has a thread and three 4 MiB blocks: a
  // board parted by nets has thousands of small solids, which are written
  // one after another with a writer each that close() lets go.
  BlockStream& open(std::size_t b) {
    if (!owned_[b]) {
      // Two blocks per file in flight besides the one being filled; a file
      // of one block is written at once.
      const bool small = expected_ && (*expected_)[b].bytes < kWriteBlock;
      // A small file's one buffer is no longer than the file (and its pages
      // are mapped and let go for each of thousands of files).
      const std::size_t block =
          small ? ((*expected_)[b].bytes / kBlockAlignment + 1) * kBlockAlignment : kWriteBlock;
      writers_[b] = std::make_unique<BlockWriter>(files_[b].fd, files_[b].name, written_, block,
                                                  kSlack, small ? 1 : 3, !small);
      owned_[b] = std::make_unique<BlockStream>(*writers_[b], [this] {
        if (std::this_thread::get_id() == caller_) report();
      });
    }
    return *owned_[b];
  }

  // After the stream is finished (or abandoned).
  void close(std::size_t b) {
    if (owned_[b]) sizes_[b] = owned_[b]->size();
    owned_[b].reset();
    writers_[b].reset();
  }

  void report() const {
    if (options_.progress) options_.progress(written_.load(std::memory_order_relaxed), total_);
  }

  // After every stream is finished.
  SolidSizes sizes() {
    for (std::size_t b = 0; b < files_.size(); ++b) close(b);
    // A measure that differs from the bytes written would have let a disk
    // check pass wrongly or given a binary header the wrong facet count.
    if (expected_ && sizes_ != *expected_) {
      throw Error(first_name_.string() + ": the solids came out at " +
                  std::to_string(total_bytes(sizes_)) + " bytes, not the " +
                  std::to_string(total_) + " measured");
    }
    if (options_.progress) options_.progress(total_, total_);
    return sizes_;
  }

 private:
  static_assert(kWriteBlock % kBlockAlignment == 0);
  static_assert(kMaxEncodedBoxBytes < kWriteBlock && kMaxTriangleBytes < kWriteBlock);
  static constexpr std::size_t kSlack = std::max(kMaxEncodedBoxBytes, kMaxTriangleBytes);

  const WriteOptions& options_;
  const std::optional<SolidSizes>& expected_;
  std::uint64_t total_;
  std::thread::id caller_;
  std::filesystem::path first_name_;
  std::atomic<std::uint64_t> written_{0};
  std::vector<OpenSolid> files_;
  std::vector<std::unique_ptr<BlockWriter>> writers_;
  std::vector<std::unique_ptr<BlockStream>> owned_;
  SolidSizes sizes_;
};

// The paths' files replaced together: write(files) fills the temporaries.
template <class Write>
void write_replacing(std::span<const std::filesystem::path> paths, Write&& write) {
  ReplacingFiles replacing;
  std::vector<OpenSolid> files;
  files.reserve(paths.size());
  for (const std::filesystem::path& path : paths) files.push_back({replacing.add(path), path});
  write(std::span<const OpenSolid>(files));
  replacing.commit();
}

}  // namespace

SolidSizes write_open_grid_solids(std::span<const OpenSolid> files, const Grid& grid,
                                  std::span<const GridBody> bodies, const WriteOptions& options) {
  check_sinks(files.size(), bodies.size());
  const StlOptions& stl = options.stl;
  // The binary header and the progress need the sizes before the first byte.
  std::optional<SolidSizes> expected = options.expected;
  if (!expected && (stl.format == StlFormat::binary || options.progress)) {
    expected = measure_grid_solids(stl, grid, bodies);
  }
  OpenSolidsOut out(files, options, expected);
  const std::vector<BlockStream*> streams = out.streams();
  encode_grid(std::span<BlockStream* const>(streams), grid, bodies, stl, expected);
  for (BlockStream* stream : streams) stream->finish();
  return out.sizes();
}

SolidSizes write_open_mesh_solids(std::span<const OpenSolid> files,
                                  std::span<const MeshBody> bodies, const WriteOptions& options) {
  check_sinks(files.size(), bodies.size());
  std::optional<SolidSizes> expected = options.expected;
  if (!expected && options.progress) expected = measure_mesh_solids(options.stl.format, bodies);
  OpenSolidsOut out(files, options, expected);
  const StlFormat format = options.stl.format;
  // Each solid has a stream and a writer of its own, so the bodies are
  // encoded side by side.
  share_out(
      bodies.size(),
      [&](std::size_t b, const std::atomic<bool>& stop) {
        BlockStream& stream = out.open(b);
        if (encode_mesh(stream, bodies[b], format, &stop)) stream.finish();
        out.close(b);
      },
      [&] { out.report(); });
  return out.sizes();
}

SolidSizes write_grid_solids(std::span<const std::filesystem::path> paths, const Grid& grid,
                             std::span<const GridBody> bodies, const WriteOptions& options) {
  SolidSizes sizes;
  write_replacing(paths, [&](std::span<const OpenSolid> files) {
    sizes = write_open_grid_solids(files, grid, bodies, options);
  });
  return sizes;
}

SolidSizes write_mesh_solids(std::span<const std::filesystem::path> paths,
                             std::span<const MeshBody> bodies, const WriteOptions& options) {
  SolidSizes sizes;
  write_replacing(paths, [&](std::span<const OpenSolid> files) {
    sizes = write_open_mesh_solids(files, bodies, options);
  });
  return sizes;
}

SolidSizes measure_mesh_solids(StlFormat format, std::span<const MeshBody> bodies) {
  return visit_mesh_encoder(format, [&](const auto& encoder) {
    SolidSizes sizes(bodies.size());
    const auto count = [&](std::size_t b, const std::atomic<bool>&) {
      const MeshBody& m = bodies[b];
      SolidSize& size = sizes[b];
      size.facets = m.mesh.triangles.size();
      size.bytes = encoder.header(m.body, 0).size() + encoder.trailer(m.body).size();
      size.bytes += encoder.triangles_bytes(m.mesh);
    };
    // The text's length depends on every vertex's numbers: the meshes are
    // counted side by side. A binary facet's size is fixed.
    if (format == StlFormat::binary) {
      const std::atomic<bool> never{false};
      for (std::size_t b = 0; b < bodies.size(); ++b) count(b, never);
    } else {
      share_out(bodies.size(), count, [] {});
    }
    return sizes;
  });
}

std::uint64_t least_grid_bytes(std::uint64_t cells, const StlOptions& stl,
                               std::span<const Body> bodies) {
  const std::uint64_t frame = frame_bytes(stl.format, bodies);
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
  SizeCounter(const std::vector<Encoder>& encoders, std::span<const GridBody> bodies)
      : encoders_(encoders), slot_(body_of_flag(bodies)), sizes_(bodies.size()) {
    for (std::size_t b = 0; b < bodies.size(); ++b) {
      sizes_[b].bytes =
          encoders[b].header(bodies[b].body, 0).size() + encoders[b].trailer(bodies[b].body).size();
    }
  }
  void operator()(bool copper, const GridBox& box) {
    const std::size_t b = slot_[copper ? 1 : 0];
    SolidSize& size = sizes_[b];
    size.bytes += encoders_[b].box_bytes(box);
    size.facets += box_facets(box.sides);
    ++size.boxes;
  }
  const SolidSizes& sizes() const { return sizes_; }

 private:
  const std::vector<Encoder>& encoders_;
  std::array<std::size_t, 2> slot_;
  SolidSizes sizes_;
};

}  // namespace

SolidSizes measure_grid_solids(const StlOptions& stl, const Grid& grid,
                               std::span<const GridBody> bodies) {
  return visit_grid_encoders(stl.format, grid, bodies, [&](const auto& encoders) {
    SizeCounter counter(encoders, bodies);
    for_each_box(grid.map, stl.merge, BoxOrder::any, counter);
    return counter.sizes();
  });
}

}  // namespace foilcad
