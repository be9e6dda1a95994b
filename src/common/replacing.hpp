// Replacing output files as a whole: a file is written under a temporary name
// beside its target, "<target>.partial-PID-N", and renamed over the target
// only once it is complete. A failed or interrupted write (SIGINT, SIGTERM)
// leaves the file that had the target's name as it was. The solids, the
// preview and the summary all go out this way.
#pragma once

#include <filesystem>
#include <functional>

namespace foilcad {

// Removes the temporaries "<target>.partial-PID-N" (and their ".previous"
// links) that conversions killed while writing to target left behind: those
// of processes that no longer run. Those of running processes stay.
void remove_stale_temporaries(const std::filesystem::path& target);

// Writes one file: write fills the open descriptor of a temporary beside
// path, which is renamed over path once it is complete and closed. Stale
// temporaries of path are removed first. When write throws, or a signal
// comes, path keeps what it held; a foilcad::Error names the path and the
// system's reason for a failure here.
void write_file_replacing(const std::filesystem::path& path,
                          const std::function<void(int fd)>& write);

// The same for two files that belong together: both are renamed only when
// both are complete, and should the second rename fail the first target gets
// back the file it had, so either both targets are new or both are as they
// were.
void write_pair_replacing(const std::filesystem::path& first_path,
                          const std::filesystem::path& second_path,
                          const std::function<void(int first_fd, int second_fd)>& write);

}  // namespace foilcad
