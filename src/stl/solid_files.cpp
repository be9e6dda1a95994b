#include "stl/solid_files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <bit>
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

constexpr std::string_view kConductorHeader = " solid blob\r\n";
constexpr std::string_view kConductorTrailer = " endsolid blob\r\n";
constexpr std::string_view kInsulatorHeader = " solid nblob\r\n";
constexpr std::string_view kInsulatorTrailer = " endsolid nblob\r\n";

// Boxes are assembled in a buffer and handed to the sink in big blocks. The
// buffer starts small and doubles up to its full size as a solid grows: a
// small board's solids cost no more than they need, which matters where many
// are made in memory, and a large one's go out in 4 MiB blocks.
class SolidBuffer {
 public:
  explicit SolidBuffer(ByteSink& sink) : sink_(sink) {}

  // Room for one more box.
  char* reserve() {
    if (capacity_ - used_ < kMaxBoxBytes) {
      flush();
      if (capacity_ < kMaxSize) {
        capacity_ = capacity_ == 0 ? kFirstSize : 2 * capacity_;
        buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
      }
    }
    return buffer_.get() + used_;
  }
  void commit(const char* end) {
    const auto size = static_cast<std::size_t>(end - (buffer_.get() + used_));
    used_ += size;
    total_ += size;
    ++boxes_;
  }
  void put(std::string_view text) {
    flush();
    sink_.write(text);
    total_ += text.size();
  }
  void flush() {
    if (used_ > 0) sink_.write(std::string_view(buffer_.get(), used_));
    used_ = 0;
  }
  std::uint64_t total() const { return total_; }
  std::uint64_t boxes() const { return boxes_; }

 private:
  static constexpr std::size_t kFirstSize = std::size_t{64} << 10;
  static constexpr std::size_t kMaxSize = std::size_t{4} << 20;
  static_assert(kFirstSize > kMaxBoxBytes);
  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t boxes_ = 0;
};

std::vector<NumberField> format_all(const std::vector<double>& values) {
  std::vector<NumberField> fields;
  fields.reserve(values.size());
  for (const double v : values) fields.push_back(format_number_field(v));
  return fields;
}

// Walks the cells column by column and, within a column, by increasing y,
// and writes each as a box into the solid its flag selects. Out has room for
// one more box at reserve(), takes it with commit(end) and copies text with
// put(text).
template <class Out>
void walk_cells(Out& copper, Out& other, double z1, double z2, const CoordinateLists& lists,
                const CellMap& map) {
  const std::vector<NumberField> xs = format_all(lists.x);
  const std::vector<NumberField> ys = format_all(lists.y);
  BoxFields box{{}, {}, {}, {}, format_number_field(z1), format_number_field(z2)};
  const std::size_t columns = map.columns;
  const std::size_t rows = map.rows;
  for (std::size_t i = 0; i < columns; ++i) {
    box.x1 = xs[i];
    box.x2 = xs[i + 1];
    for (std::size_t k = 0; k < rows; ++k) {
      const std::uint8_t* cell = map.flags.data() + columns * k + i;
      const std::uint8_t flag = *cell;
      // A side is written where the neighbour is of the other kind or where
      // the grid ends.
      const SideFlags sides{
          k + 1 == rows || cell[columns] != flag,
          k == 0 || *(cell - columns) != flag,
          i + 1 == columns || cell[1] != flag,
          i == 0 || *(cell - 1) != flag,
      };
      box.y1 = ys[k];
      box.y2 = ys[k + 1];
      Out& solid = flag != 0 ? copper : other;
      solid.commit(cube(solid.reserve(), box, sides));
    }
  }
}

}  // namespace

SolidsSummary emit_solids(ByteSink& conductor, ByteSink& insulator, double z1, double z2,
                          const CoordinateLists& lists, const CellMap& map) {
  SolidBuffer copper(conductor);
  SolidBuffer other(insulator);
  copper.put(kConductorHeader);
  other.put(kInsulatorHeader);
  walk_cells(copper, other, z1, z2, lists, map);
  copper.put(kConductorTrailer);
  other.put(kInsulatorTrailer);
  return {copper.total(), other.total(), copper.boxes(), other.boxes()};
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
  explicit BlockStream(BlockWriter& writer)
      : writer_(writer), block_size_(writer.block_size()), block_(writer.take()) {}

  char* reserve() { return block_ + used_; }
  void commit(const char* end) {
    const auto size = static_cast<std::size_t>(end - (block_ + used_));
    used_ += size;
    total_ += size;
    ++boxes_;
    if (used_ >= block_size_) pass_on();
  }
  void put(std::string_view text) {
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

 private:
  void pass_on() {
    char* next = writer_.take();
    const std::size_t over = used_ - block_size_;
    std::memcpy(next, block_ + block_size_, over);
    writer_.submit(block_, block_size_);
    block_ = next;
    used_ = over;
  }

  BlockWriter& writer_;
  std::size_t block_size_;
  char* block_;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t boxes_ = 0;
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
  static_assert(kMaxBoxBytes < kWriteBlock);
  WriteBudget budget(options.fail_after_bytes);
  // Two blocks per file in flight besides the one being filled.
  BlockWriter conductor_writer(conductor.fd, conductor.name, budget, kWriteBlock, kMaxBoxBytes, 3);
  BlockWriter insulator_writer(insulator.fd, insulator.name, budget, kWriteBlock, kMaxBoxBytes, 3);
  BlockStream copper(conductor_writer);
  BlockStream other(insulator_writer);
  copper.put(kConductorHeader);
  other.put(kInsulatorHeader);
  walk_cells(copper, other, z1, z2, lists, map);
  copper.put(kConductorTrailer);
  other.put(kInsulatorTrailer);
  copper.finish();
  other.finish();
  return {copper.total(), other.total(), copper.boxes(), other.boxes()};
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

std::uint64_t least_solids_bytes(std::uint64_t cells) {
  const std::uint64_t frame = kConductorHeader.size() + kConductorTrailer.size() +
                              kInsulatorHeader.size() + kInsulatorTrailer.size();
  const std::uint64_t box = box_bytes(SideFlags{});
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  if (cells > (most - frame) / box) return most;
  return frame + cells * box;
}

SolidsSummary measure_solids(const CellMap& map) {
  // Bytes and facets of a box for each of the 16 side selections.
  std::uint64_t bytes[16];
  std::uint64_t facets[16];
  for (unsigned m = 0; m < 16; ++m) {
    const SideFlags sides{(m & 1) != 0, (m & 2) != 0, (m & 4) != 0, (m & 8) != 0};
    bytes[m] = box_bytes(sides);
    facets[m] = 4 + 2 * static_cast<std::uint64_t>(std::popcount(m));
  }
  SolidsSummary summary;
  summary.conductor_bytes = kConductorHeader.size() + kConductorTrailer.size();
  summary.insulator_bytes = kInsulatorHeader.size() + kInsulatorTrailer.size();
  const std::size_t columns = map.columns;
  const std::size_t rows = map.rows;
  for (std::size_t k = 0; k < rows; ++k) {
    const std::uint8_t* row = map.flags.data() + columns * k;
    // The rows above and below, where the grid has them; an index below
    // zero would wrap around the unsigned offset.
    const std::uint8_t* above = k + 1 < rows ? row + columns : nullptr;
    const std::uint8_t* below = k > 0 ? row - columns : nullptr;
    for (std::size_t i = 0; i < columns; ++i) {
      const std::uint8_t flag = row[i];
      const unsigned m = (above == nullptr || above[i] != flag ? 1u : 0u) |
                         (below == nullptr || below[i] != flag ? 2u : 0u) |
                         (i + 1 == columns || row[i + 1] != flag ? 4u : 0u) |
                         (i == 0 || row[i - 1] != flag ? 8u : 0u);
      if (flag != 0) {
        summary.conductor_bytes += bytes[m];
        summary.conductor_facets += facets[m];
        ++summary.conductor_boxes;
      } else {
        summary.insulator_bytes += bytes[m];
        summary.insulator_facets += facets[m];
        ++summary.insulator_boxes;
      }
    }
  }
  return summary;
}

}  // namespace foilcad
