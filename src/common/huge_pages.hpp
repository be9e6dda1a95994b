// Large buffers in huge pages: filling a buffer of hundreds of megabytes
// takes one page fault per 2 MiB instead of one per 4 kiB, and the faults and
// the unmapping are much of the time of a stage that only writes a long list.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace foilcad {

// Asks for huge pages for the pages that lie wholly in [data, data + size).
// Only advice: a kernel that declines, or one without huge pages, changes
// nothing. Buffers under 2 MiB are left alone: no huge page fits in them.
inline void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::size_t kWorthIt = std::size_t{2} << 20;
  if (size < kWorthIt) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) / page * page;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Reserves room for count elements in an empty vector, in huge pages.
template <class T>
void reserve_in_huge_pages(std::vector<T>& v, std::size_t count) {
  v.reserve(count);
  advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// Makes room for more elements at the end of v. A vector that must grow
// moves to storage of at least twice its capacity, in huge pages.
template <class T>
void grow_in_huge_pages(std::vector<T>& v, std::size_t more) {
  if (v.capacity() - v.size() >= more) return;
  std::vector<T> bigger;
  reserve_in_huge_pages(bigger, std::max(v.size() + more, 2 * v.capacity()));
  bigger.insert(bigger.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
  v.swap(bigger);
}

}  // namespace foilcad
