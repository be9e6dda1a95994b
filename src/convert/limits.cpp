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
  std::snprintf(text, sizeof text, value < 9.995 ? "%.2f %s" : value < 99.95 ? "%.1f %s" : "%.0f %s",
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

std::optional<std::uint64_t> available_memory() {
  std::ifstream in("/proc/meminfo");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return parse_mem_available(text.str());
}

void check_disk_space(const std::filesystem::path& folder, std::uint64_t needed,
                      std::uint64_t available) {
  if (needed <= available) return;
  throw Error(folder.string() + ": the solids need " + format_bytes(needed) + " (" +
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
