// A one-line progress bar for long writes: share of the bytes written, rate
// and time left, redrawn a few times a second on a terminal and cleared at
// the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace foilcad {

class ProgressBar {
 public:
  // Draws onto fd only when enabled and fd is a terminal, and only once
  // `after` has passed since construction: a write that ends sooner shows
  // nothing.
  ProgressBar(int fd, bool enabled, std::chrono::duration<double> after = std::chrono::seconds(1));
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() { clear(); }

  bool active() const { return enabled_; }

  // done of total bytes are written.
  void update(std::uint64_t done, std::uint64_t total);
  // Removes the bar from the terminal, if it was drawn.
  void clear();

  // The line for done of total bytes after seconds, at most width characters.
  static std::string line(std::uint64_t done, std::uint64_t total, double seconds, int width);

 private:
  using Clock = std::chrono::steady_clock;

  int fd_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point shown_after_;
  Clock::time_point next_draw_;
};

}  // namespace foilcad
