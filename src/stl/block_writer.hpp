// Writes one output file in big aligned blocks on a thread of its own, so that
// formatting the next block overlaps writing the last one.
//
// Disks take multi-gigabyte files nearly twice as fast, and far more evenly,
// when written with O_DIRECT in large blocks than through the page cache
// (bench/README.md has the figures). So the file is switched to O_DIRECT where its file
// system allows it, every block but the last is a multiple of kBlockAlignment
// long, and the last, shorter block is written through the page cache.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace foilcad {

inline constexpr std::size_t kBlockAlignment = 4096;

class BlockWriter {
 public:
  // Writes to fd, which stays open; name is used in error messages. Each
  // buffer holds block_size + slack bytes; block_size is a multiple of
  // kBlockAlignment. written counts the bytes written, and may be shared by
  // the writers of several files. Without a thread of its own, submit()
  // writes on the caller's thread (for a file of one block, where a thread
  // would overlap nothing).
  BlockWriter(int fd, std::filesystem::path name, std::atomic<std::uint64_t>& written,
              std::size_t block_size, std::size_t slack, int buffers, bool own_thread = true);
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  // Drops what is still queued when the writer is abandoned on an error.
  ~BlockWriter();

  std::size_t block_size() const { return block_size_; }

  // A free buffer, aligned for O_DIRECT; waits while all are being written.
  char* take();
  // Queues the first size bytes of a buffer from take() for writing; size is
  // block_size() for every block but the last. Throws foilcad::Error when an
  // earlier write failed.
  void submit(char* buffer, std::size_t size);
  // Waits until everything queued is written; throws foilcad::Error on failure.
  void finish();

 private:
  void run();
  void write_block(const char* data, std::size_t size);
  void stop_direct();
  [[noreturn]] void fail() const;

  int fd_;
  std::filesystem::path name_;
  std::atomic<std::uint64_t>& written_;
  std::size_t block_size_;
  bool direct_ = false;

  struct Job {
    char* data;
    std::size_t size;
  };
  struct Unmap {
    std::size_t size;
    void operator()(char* p) const;
  };
  std::vector<std::unique_ptr<char, Unmap>> storage_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<char*> free_;
  std::deque<Job> queue_;
  bool writing_ = false;
  bool stopping_ = false;
  int error_ = 0;
  std::thread thread_;  // not joinable when no thread could be started: then
                        // submit() writes directly
};

}  // namespace foilcad
