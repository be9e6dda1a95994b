// Limits a conversion checks before it allocates the cell map or opens a
// file: a grid whose cell map does not fit into memory, or solids that do not
// fit onto the disk, are refused with the figures instead of failing halfway.
//
// The checks take the figures as arguments, so that they can be tried
// without filling memory or a disk; the functions that find the real figures
// are separate.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace foilcad {

// "1.93 GB", "12.4 MB", "512 bytes": decimal units, three digits.
std::string format_bytes(std::uint64_t bytes);

// The bytes the cell map of a grid of x_lines x y_lines lines takes: one per
// cell. Saturates instead of overflowing.
std::uint64_t cell_map_bytes(std::uint64_t x_lines, std::uint64_t y_lines);

// Throws foilcad::Error naming the grid when its cell map needs more than
// available bytes. No figure (memory unknown) means no refusal.
void check_cell_map_memory(std::uint64_t x_lines, std::uint64_t y_lines,
                           std::optional<std::uint64_t> available);

// MemAvailable of a /proc/meminfo text, in bytes; none when it is missing or
// unreadable.
std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo);

// The room left under a cgroup's memory limit, from the texts of its limit
// and usage files ("memory.max" and "memory.current", or version 1's
// "memory.limit_in_bytes" and "memory.usage_in_bytes"); none without a limit
// or when a text is unreadable.
std::optional<std::uint64_t> parse_cgroup_room(std::string_view limit, std::string_view usage);

// The least room under the memory limits of this process's cgroup and its
// parents, found from the text of /proc/self/cgroup below root (the mount
// of the cgroup file systems, /sys/fs/cgroup); none without a limit.
std::optional<std::uint64_t> cgroup_memory_room(const std::filesystem::path& root,
                                                std::string_view proc_self_cgroup);

// MemAvailable of this machine, or the room under the process's cgroup
// memory limit when that is less; none when neither can be read.
std::optional<std::uint64_t> available_memory();

// Throws foilcad::DiskSpaceError naming both figures and the folder when needed bytes
// are more than available on its file system.
void check_disk_space(const std::filesystem::path& folder, std::uint64_t needed,
                      std::uint64_t available);

// The folder a file named path goes to ("." for a bare name).
std::filesystem::path folder_of(const std::filesystem::path& path);

// Free bytes for an unprivileged writer on the file system of folder
// (f_bavail * f_frsize), and an identity of that file system; none when the
// folder cannot be examined (the write itself then reports why).
struct FreeSpace {
  std::uint64_t device = 0;
  std::uint64_t bytes = 0;
};
std::optional<FreeSpace> free_space(const std::filesystem::path& folder);

}  // namespace foilcad
