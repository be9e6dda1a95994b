#include "stl/block_writer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

#include "common/error.hpp"

namespace foilcad {

void BlockWriter::Unmap::operator()(char* p) const { ::munmap(p, size); }

BlockWriter::BlockWriter(int fd, std::filesystem::path name, std::atomic<std::uint64_t>& written,
                         std::size_t block_size, std::size_t slack, int buffers, bool own_thread)
    : fd_(fd), name_(std::move(name)), written_(written), block_size_(block_size) {
  // Mapped rather than allocated: page aligned as O_DIRECT wants, and given
  // back whole, so that one conversion after another does not grow the heap.
  const std::size_t capacity =
      (block_size + slack + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
  for (int b = 0; b < buffers; ++b) {
    void* buffer =
        ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) throw std::bad_alloc();
    storage_.emplace_back(static_cast<char*>(buffer), Unmap{capacity});
    free_.push_back(static_cast<char*>(buffer));
  }
  // File systems without direct I/O (tmpfs, some network and FUSE file
  // systems) refuse the flag here; the file is then written as usual.
  const int flags = ::fcntl(fd_, F_GETFL);
  direct_ = flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0;
  if (!own_thread) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: submit() writes on the caller's thread.
  }
}

BlockWriter::~BlockWriter() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    changed_.notify_all();
    thread_.join();
  }
}

char* BlockWriter::take() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !free_.empty(); });
  char* buffer = free_.back();
  free_.pop_back();
  return buffer;
}

void BlockWriter::submit(char* buffer, std::size_t size) {
  if (!thread_.joinable()) {
    if (error_ == 0) write_block(buffer, size);
    {
      std::lock_guard lock(mutex_);
      free_.push_back(buffer);
    }
    if (error_ != 0) fail();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (error_ != 0) {
      free_.push_back(buffer);
      fail();
    }
    queue_.push_back({buffer, size});
  }
  changed_.notify_all();
}

void BlockWriter::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && !writing_; });
  if (error_ != 0) fail();
}

void BlockWriter::fail() const { throw file_error(name_, "cannot write", error_); }

void BlockWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const Job job = queue_.front();
    queue_.pop_front();
    writing_ = error_ == 0;
    if (writing_) {
      lock.unlock();
      write_block(job.data, job.size);
      lock.lock();
      writing_ = false;
    }
    free_.push_back(job.data);
    changed_.notify_all();
  }
}

void BlockWriter::stop_direct() {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
  direct_ = false;
}

// Runs on the writer thread (or the caller's, without one); error_ is read
// by the caller only under the mutex or after finish().
void BlockWriter::write_block(const char* data, std::size_t size) {
  std::size_t done = 0;
  int error = 0;
  while (done < size) {
    const std::size_t length = size - done;
    // Direct I/O takes whole aligned blocks only: the short last block, or
    // whatever follows a short write, goes through the page cache.
    if (direct_ && (length % kBlockAlignment != 0 || done % kBlockAlignment != 0)) stop_direct();
    const ssize_t written = ::write(fd_, data + done, length);
    if (written < 0) {
      const int cause = errno;
      if (cause == EINTR) continue;
      if (cause == EINVAL && direct_) {
        // Some file systems accept the flag and refuse the writes.
        stop_direct();
        continue;
      }
      error = cause;
      break;
    }
    if (written == 0) {
      // A write that takes nothing and says nothing: no room.
      error = ENOSPC;
      break;
    }
    const auto count = static_cast<std::size_t>(written);
    written_.fetch_add(count, std::memory_order_relaxed);
    done += count;
  }
  if (error != 0) {
    std::lock_guard lock(mutex_);
    error_ = error;
  }
}

}  // namespace foilcad
