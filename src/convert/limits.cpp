#include "convert/limits.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "common/error.hpp"
#include "common/number.hpp"

namespace foilcad {

std::string format_bytes(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 999.5 && unit < 5) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text,
                value < 9.995   ? "%.2f %s"
                : value < 99.95 ? "%.1f %s"
                                : "%.0f %s",
                value, units[unit]);
  return text;
}

std::uint64_t cell_map_bytes(std::uint64_t x_lines, std::uint64_t y_lines) {
  const std::uint64_t columns = x_lines > 0 ? x_lines - 1 : 0;
  const std::uint64_t rows = y_lines > 0 ? y_lines - 1 : 0;
  if (columns != 0 && rows > std::numeric_limits<std::uint64_t>::max() / columns) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return columns * rows;
}

void check_cell_map_memory(std::uint64_t x_lines, std::uint64_t y_lines,
                           std::optional<std::uint64_t> available) {
  const std::uint64_t needed = cell_map_bytes(x_lines, y_lines);
  if (!available || needed <= *available) return;
  throw Error("the grid of " + std::to_string(x_lines) + " x " + std::to_string(y_lines) +
              " lines needs " + format_bytes(needed) + " for its cell map; " +
              format_bytes(*available) + (*available == 1 ? " is" : " are") + " available");
}

std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo) {
  // "MemAvailable:   23896604 kB"
  constexpr std::string_view kKey = "MemAvailable:";
  std::size_t at = 0;
  while (at < meminfo.size()) {
    const std::size_t end = std::min(meminfo.find('\n', at), meminfo.size());
    const std::string_view line = meminfo.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with(kKey)) continue;
    std::string_view rest = line.substr(kKey.size());
    const std::size_t unit = rest.find("kB");
    if (unit == std::string_view::npos) return std::nullopt;
    const auto kib = parse_integer(rest.substr(0, unit));
    if (!kib || *kib < 0 || !rest.substr(unit + 2).empty()) return std::nullopt;
    const auto value = static_cast<std::uint64_t>(*kib);
    if (value > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
    return value * 1024;
  }
  return std::nullopt;
}

namespace {

// The whole text of a small file; none when it cannot be read.
std::optional<std::string> read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

// A byte count written by the kernel: digits, then a line end.
std::optional<std::uint64_t> parse_count(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  const auto value = parse_integer(text);
  if (!value || *value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

// Where this process's memory controller sits below the cgroup mount root:
// "0::/user.slice/x" (version 2) or "4:memory:/docker/x" (version 1).
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, bool version2) {
  std::size_t at = 0;
  while (at < proc_self_cgroup.size()) {
    const std::size_t end = std::min(proc_self_cgroup.find('\n', at), proc_self_cgroup.size());
    const std::string_view line = proc_self_cgroup.substr(at, end - at);
    at = end + 1;
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    bool memory = false;
    for (std::size_t from = 0; from <= controllers.size();) {
      const std::size_t comma = std::min(controllers.find(',', from), controllers.size());
      memory = memory || controllers.substr(from, comma - from) == "memory";
      from = comma + 1;
    }
    if (version2 ? line.starts_with("0::") : memory) return std::string(path);
  }
  return std::nullopt;
}

// The least room under the limits of the cgroup below root and its parents
// up to root, each read from its limit and usage files.
std::optional<std::uint64_t> least_room(const std::filesystem::path& root,
                                        const std::string& below_root, const char* limit_file,
                                        const char* usage_file) {
  std::optional<std::uint64_t> least;
  std::filesystem::path below = std::filesystem::path(below_root).relative_path();
  // A cgroup outside this namespace's view shows as "/../.."; only the
  // root's own limit can be read then.
  if (std::find(below.begin(), below.end(), std::filesystem::path("..")) != below.end()) {
    below.clear();
  }
  for (;;) {
    const std::filesystem::path folder = root / below;
    const auto limit = read_text(folder / limit_file);
    const auto usage = read_text(folder / usage_file);
    const auto room = limit && usage ? parse_cgroup_room(*limit, *usage) : std::nullopt;
    if (room && (!least || *room < *least)) least = room;
    if (below.empty()) return least;
    below = below.parent_path();
  }
}

}  // namespace

std::optional<std::uint64_t> parse_cgroup_room(std::string_view limit, std::string_view usage) {
  // Version 2 writes "max" for no limit, version 1 a number near 2^63.
  constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;
  const auto bytes = parse_count(limit);
  const auto used = parse_count(usage);
  if (!bytes || !used || *bytes >= kNoLimit) return std::nullopt;
  return *bytes > *used ? *bytes - *used : 0;
}

std::optional<std::uint64_t> cgroup_memory_room(const std::filesystem::path& root,
                                                std::string_view proc_self_cgroup) {
  std::optional<std::uint64_t> v2;
  if (const auto path = cgroup_path(proc_self_cgroup, true)) {
    v2 = least_room(root, *path, "memory.max", "memory.current");
  }
  std::optional<std::uint64_t> v1;
  if (const auto path = cgroup_path(proc_self_cgroup, false)) {
    v1 = least_room(root / "memory", *path, "memory.limit_in_bytes", "memory.usage_in_bytes");
  }
  if (v1 && v2) return std::min(*v1, *v2);
  return v1 ? v1 : v2;
}

std::optional<std::uint64_t> available_memory() {
  const auto meminfo = read_text("/proc/meminfo");
  std::optional<std::uint64_t> available = meminfo ? parse_mem_available(*meminfo) : std::nullopt;
  // In a container the limit of its cgroup comes first: past it the kernel
  // kills the process rather than failing an allocation.
  const auto self = read_text("/proc/self/cgroup");
  const auto room = self ? cgroup_memory_room("/sys/fs/cgroup", *self) : std::nullopt;
  if (room && (!available || *room < *available)) available = room;
  return available;
}

void check_disk_space(const std::filesystem::path& folder, std::uint64_t needed,
                      std::uint64_t available) {
  if (needed <= available) return;
  throw DiskSpaceError(folder.string() + ": the solids need " + format_bytes(needed) + " (" +
                       std::to_string(needed) + " bytes); its file system has " +
                       format_bytes(available) + " free (" + std::to_string(available) + " bytes)");
}

std::filesystem::path folder_of(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

std::optional<FreeSpace> free_space(const std::filesystem::path& folder) {
  struct statvfs fs {};
  struct stat st {};
  if (::statvfs(folder.c_str(), &fs) != 0 || ::stat(folder.c_str(), &st) != 0) return std::nullopt;
  const auto blocks = static_cast<std::uint64_t>(fs.f_bavail);
  const auto size = static_cast<std::uint64_t>(fs.f_frsize);
  const std::uint64_t bytes = size != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / size
                                  ? std::numeric_limits<std::uint64_t>::max()
                                  : blocks * size;
  return FreeSpace{static_cast<std::uint64_t>(st.st_dev), bytes};
}

}  // namespace foilcad
