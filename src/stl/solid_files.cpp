#include "stl/solid_files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/signal_cleanup.hpp"
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
  void commit(const char* end, SideFlags sides) {
    const auto size = static_cast<std::size_t>(end - (buffer_.get() + used_));
    used_ += size;
    total_ += size;
    ++boxes_;
    facets_ += box_facets(sides);
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
  static_assert(kFirstSize > kMaxEncodedBoxBytes);
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
      solid.commit(encoder.box(solid.reserve(), box), box.sides);
    });
    copper.put(encoder.trailer(Solid::conductor));
    other.put(encoder.trailer(Solid::insulator));
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

namespace {

// The start of a temporary's name: only the first bytes of the target's name
// go into it, so that the added text never makes a name that fits too long
// for the folder (with ".previous" behind it, see replace_targets).
std::string temporary_prefix(const std::filesystem::path& target) {
  constexpr std::size_t kKeptNameBytes = 200;
  return target.filename().string().substr(0, kKeptNameBytes) + ".partial-";
}

// A file being written under a temporary name beside its target,
// "<target>.partial-PID-N". Removed again unless it was renamed over the
// target, and on SIGINT or SIGTERM while it exists.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) : target_(target) {
    static std::atomic<unsigned> counter{0};
    const std::string prefix = temporary_prefix(target);
    for (;;) {
      path_ = target.parent_path() /
              (prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++));
      // Known to the signal handler before it exists, so that no signal
      // finds it created but unknown.
      slot_ = remember_temporary(path_.c_str());
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) return;
      const int error = errno;
      forget_temporary(slot_);
      slot_ = -1;
      if (error != EEXIST) throw file_error(target, "cannot create", error);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
    forget_temporary(slot_);
  }

  int fd() const { return fd_; }
  const std::filesystem::path& target() const { return target_; }
  const std::filesystem::path& path() const { return path_; }

  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw file_error(target_, "cannot write", errno);
  }
  void mark_renamed() {
    renamed_ = true;
    forget_temporary(slot_);
    slot_ = -1;
  }

 private:
  std::filesystem::path target_;
  std::filesystem::path path_;
  int fd_ = -1;
  int slot_ = -1;
  bool renamed_ = false;
};

// Holds SIGINT and SIGTERM back while the targets are being replaced.
class CommitScope {
 public:
  CommitScope() { begin_commit(); }
  CommitScope(const CommitScope&) = delete;
  CommitScope& operator=(const CommitScope&) = delete;
  ~CommitScope() { end_commit(); }
};

// The process id in a temporary's name after its prefix: "PID-N" or
// "PID-N.previous"; 0 when the name is not a temporary's.
pid_t temporary_owner(std::string_view rest) {
  auto digits = [&rest]() {
    std::size_t n = 0;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    return n;
  };
  const std::size_t pid_digits = digits();
  if (pid_digits == 0 || pid_digits > 9 || pid_digits >= rest.size() || rest[pid_digits] != '-') {
    return 0;
  }
  const auto pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, pid_digits))));
  rest.remove_prefix(pid_digits + 1);
  const std::size_t counter_digits = digits();
  if (counter_digits == 0) return 0;
  rest.remove_prefix(counter_digits);
  return rest.empty() || rest == ".previous" ? pid : 0;
}

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
  void commit(const char* end, SideFlags sides) {
    const auto size = static_cast<std::size_t>(end - (block_ + used_));
    used_ += size;
    total_ += size;
    ++boxes_;
    facets_ += box_facets(sides);
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

// Renames both temporaries over their targets. Should the second rename fail,
// the first target gets back the file it had (kept through a hard link), so
// either both targets are new or both are as they were.
void replace_targets(TemporaryFile& first, TemporaryFile& second) {
  const CommitScope commit;
  const std::string backup = first.path().string() + ".previous";
  const bool kept = ::link(first.target().c_str(), backup.c_str()) == 0;
  if (::rename(first.path().c_str(), first.target().c_str()) != 0) {
    const int error = errno;
    if (kept) ::unlink(backup.c_str());
    throw file_error(first.target(), "cannot replace", error);
  }
  first.mark_renamed();
  if (::rename(second.path().c_str(), second.target().c_str()) != 0) {
    const int error = errno;
    if (kept) {
      ::rename(backup.c_str(), first.target().c_str());
    } else {
      ::unlink(first.target().c_str());
    }
    throw file_error(second.target(), "cannot replace", error);
  }
  second.mark_renamed();
  if (kept) ::unlink(backup.c_str());
}

}  // namespace

SolidsSummary write_open_solids(const OpenSolid& conductor, const OpenSolid& insulator, double z1,
                                double z2, const CoordinateLists& lists, const CellMap& map,
                                const WriteOptions& options) {
  static_assert(kWriteBlock % kBlockAlignment == 0);
  static_assert(kMaxEncodedBoxBytes < kWriteBlock);
  const StlOptions& stl = options.stl;
  // The binary header and the progress need the sizes before the first byte.
  std::optional<SolidsSummary> expected = options.expected;
  if (!expected && (stl.format == StlFormat::binary || options.progress)) {
    expected = measure_solids(stl, z1, z2, lists, map);
  }
  const std::uint64_t total = expected ? expected->conductor_bytes + expected->insulator_bytes : 0;
  WriteBudget budget(options.fail_after_bytes);
  const std::function<void()> passed_on = [&] {
    if (options.progress) options.progress(budget.taken(), total);
  };
  // Two blocks per file in flight besides the one being filled.
  BlockWriter conductor_writer(conductor.fd, conductor.name, budget, kWriteBlock,
                               kMaxEncodedBoxBytes, 3);
  BlockWriter insulator_writer(insulator.fd, insulator.name, budget, kWriteBlock,
                               kMaxEncodedBoxBytes, 3);
  BlockStream copper(conductor_writer, passed_on);
  BlockStream other(insulator_writer, passed_on);
  encode_solids(copper, other, z1, z2, lists, map, stl, expected);
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

void remove_stale_temporaries(const std::filesystem::path& target) {
  const std::string prefix = temporary_prefix(target);
  const std::filesystem::path parent = target.parent_path();
  const std::filesystem::path folder = parent.empty() ? std::filesystem::path(".") : parent;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) return;  // the write reports a missing or unreadable folder
  const pid_t self = ::getpid();
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) break;
    const std::string name = entries->path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const pid_t owner = temporary_owner(std::string_view(name).substr(prefix.size()));
    if (owner <= 0 || owner == self) continue;
    // Only a process that no longer exists has given its temporary up; one
    // that cannot be signalled (EPERM) is running all the same.
    if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(entries->symlink_status(ignored))) continue;
    ::unlink((folder / name).c_str());
  }
}

SolidsSummary write_solids(const std::filesystem::path& conductor_path,
                           const std::filesystem::path& insulator_path, double z1, double z2,
                           const CoordinateLists& lists, const CellMap& map,
                           const WriteOptions& options) {
  remove_stale_temporaries(conductor_path);
  remove_stale_temporaries(insulator_path);
  TemporaryFile conductor(conductor_path);
  TemporaryFile insulator(insulator_path);
  const SolidsSummary summary =
      write_open_solids({conductor.fd(), conductor_path}, {insulator.fd(), insulator_path}, z1, z2,
                        lists, map, options);
  conductor.close();
  insulator.close();
  replace_targets(conductor, insulator);
  return summary;
}

void write_file_replacing(const std::filesystem::path& path,
                          const std::function<void(int fd)>& write) {
  remove_stale_temporaries(path);
  TemporaryFile file(path);
  write(file.fd());
  file.close();
  const CommitScope commit;
  if (::rename(file.path().c_str(), path.c_str()) != 0) {
    throw file_error(path, "cannot replace", errno);
  }
  file.mark_renamed();
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
