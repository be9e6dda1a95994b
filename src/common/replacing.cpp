#include "common/replacing.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/signal_cleanup.hpp"

namespace foilcad {

namespace {

// The start of a temporary's name: only the first bytes of the target's name
// go into it, so that the added text never makes a name that fits too long
// for the folder (with ".previous" behind it, see replace_targets).
std::string temporary_prefix(const std::filesystem::path& target) {
  constexpr std::size_t kKeptNameBytes = 200;
  return target.filename().string().substr(0, kKeptNameBytes) + ".partial-";
}

}  // namespace

namespace detail {

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

}  // namespace detail

namespace {

using detail::TemporaryFile;

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

// Renames every temporary over its target. Should a rename fail, the targets
// renamed before it get back the files they had (kept through hard links),
// so either all targets are new or all are as they were.
void replace_targets(const std::vector<std::unique_ptr<TemporaryFile>>& files) {
  const CommitScope commit;
  std::vector<std::string> backups(files.size());
  std::vector<bool> kept(files.size(), false);
  const auto restore = [&](std::size_t renamed) {
    for (std::size_t j = 0; j < renamed; ++j) {
      if (kept[j]) {
        ::rename(backups[j].c_str(), files[j]->target().c_str());
      } else {
        ::unlink(files[j]->target().c_str());
      }
    }
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    TemporaryFile& file = *files[i];
    backups[i] = file.path().string() + ".previous";
    kept[i] = ::link(file.target().c_str(), backups[i].c_str()) == 0;
    if (::rename(file.path().c_str(), file.target().c_str()) != 0) {
      const int error = errno;
      if (kept[i]) ::unlink(backups[i].c_str());
      restore(i);
      throw file_error(file.target(), "cannot replace", error);
    }
    file.mark_renamed();
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (kept[i]) ::unlink(backups[i].c_str());
  }
}

}  // namespace

void remove_stale_temporaries(std::span<const std::filesystem::path> targets) {
  // Each folder is read once, however many targets it holds.
  std::map<std::filesystem::path, std::set<std::string>> prefixes;
  for (const std::filesystem::path& target : targets) {
    const std::filesystem::path parent = target.parent_path();
    prefixes[parent.empty() ? std::filesystem::path(".") : parent].insert(temporary_prefix(target));
  }
  constexpr std::string_view kMark = ".partial-";
  const pid_t self = ::getpid();
  for (const auto& [folder, wanted] : prefixes) {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) continue;  // the write reports a missing or unreadable folder
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
      if (error) break;
      const std::string name = entries->path().filename().string();
      // The owner's number follows the last mark: a target's own name may
      // hold one too.
      const std::size_t mark = name.rfind(kMark);
      if (mark == std::string::npos) continue;
      const std::size_t end = mark + kMark.size();
      if (!wanted.contains(name.substr(0, end))) continue;
      const pid_t owner = temporary_owner(std::string_view(name).substr(end));
      if (owner <= 0 || owner == self) continue;
      // Only a process that no longer exists has given its temporary up; one
      // that cannot be signalled (EPERM) is running all the same.
      if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
      std::error_code ignored;
      if (!std::filesystem::is_regular_file(entries->symlink_status(ignored))) continue;
      ::unlink((folder / name).c_str());
    }
  }
}

void remove_stale_temporaries(const std::filesystem::path& target) {
  remove_stale_temporaries(std::span(&target, 1));
}

void write_fully(int fd, const std::filesystem::path& file, std::string_view bytes,
                 std::string_view what) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw file_error(file, what, written < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

ReplacingFiles::ReplacingFiles() = default;
ReplacingFiles::~ReplacingFiles() = default;

void ReplacingFiles::clean(std::span<const std::filesystem::path> targets) {
  remove_stale_temporaries(targets);
  cleaned_.insert(targets.begin(), targets.end());
}

int ReplacingFiles::add(const std::filesystem::path& target) {
  if (!cleaned_.contains(target)) remove_stale_temporaries(target);
  files_.push_back(std::make_unique<TemporaryFile>(target));
  return files_.back()->fd();
}

void ReplacingFiles::commit() {
  for (const auto& file : files_) file->close();
  replace_targets(files_);
}

void write_file_replacing(const std::filesystem::path& path,
                          const std::function<void(int fd)>& write) {
  ReplacingFiles replacing;
  write(replacing.add(path));
  replacing.commit();
}

}  // namespace foilcad
