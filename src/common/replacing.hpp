// Replacing output files as a whole: a file is written under a temporary name
// beside its target, "<target>.partial-PID-N", and renamed over the target
// only once it is complete. A failed or interrupted write (SIGINT, SIGTERM)
// leaves the file that had the target's name as it was. The solids, the
// preview and the summary all go out this way, together.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string_view>
#include <vector>

namespace foilcad {

// Removes the temporaries "<target>.partial-PID-N" (and their ".previous"
// links) that conversions killed while writing to target left behind: those
// of processes that no longer run. Those of running processes stay.
void remove_stale_temporaries(const std::filesystem::path& target);
// The same for many targets, each folder read once.
void remove_stale_temporaries(std::span<const std::filesystem::path> targets);

// Writes all of bytes into fd, over short and interrupted writes. Throws
// foilcad::Error naming file, what failed ("cannot write the summary") and
// the system's reason.
void write_fully(int fd, const std::filesystem::path& file, std::string_view bytes,
                 std::string_view what);

// Writes one file: write fills the open descriptor of a temporary beside
// path, which is renamed over path once it is complete and closed. Stale
// temporaries of path are removed first. When write throws, or a signal
// comes, path keeps what it held; a foilcad::Error names the path and the
// system's reason for a failure here.
void write_file_replacing(const std::filesystem::path& path,
                          const std::function<void(int fd)>& write);

namespace detail {
class TemporaryFile;
}

// Files that belong together (the solids of one conversion, its picture and
// its summary): each is written under a temporary name beside its target,
// and all are renamed over their targets together once every one is
// complete. Should a rename fail, the targets renamed before it get back the
// files they had, so either every target is new or every one is as it was.
// Temporaries not renamed are removed when this ends.
class ReplacingFiles {
 public:
  ReplacingFiles();
  ReplacingFiles(const ReplacingFiles&) = delete;
  ReplacingFiles& operator=(const ReplacingFiles&) = delete;
  ~ReplacingFiles();

  // The descriptor of a new temporary beside target, open for writing; stale
  // temporaries of target are removed first. Throws foilcad::Error naming
  // target when it cannot be created.
  int add(const std::filesystem::path& target);
  // Removes the stale temporaries of targets about to be added, reading each
  // folder once (add would read it again for every target).
  void clean(std::span<const std::filesystem::path> targets);
  // Closes the temporaries and renames them over their targets, SIGINT and
  // SIGTERM held back meanwhile. Throws foilcad::Error naming the target that
  // failed.
  void commit();

 private:
  std::vector<std::unique_ptr<detail::TemporaryFile>> files_;
  std::set<std::filesystem::path> cleaned_;
};

}  // namespace foilcad
