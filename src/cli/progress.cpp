#include "cli/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace foilcad {

namespace {

// Four redraws a second: enough to see it move, few enough to cost nothing.
constexpr std::chrono::milliseconds kRedraw(250);

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a terminal that went away: the bar is not worth an error
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

int terminal_width(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string rate_text(double bytes_per_second) {
  const char* const units[] = {"B/s", "kB/s", "MB/s", "GB/s"};
  int unit = 0;
  while (bytes_per_second >= 999.5 && unit < 3) {
    bytes_per_second /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, bytes_per_second < 9.95 ? "%.2f %s" : "%.0f %s",
                bytes_per_second, units[unit]);
  return text;
}

}  // namespace

ProgressBar::ProgressBar(int fd, bool enabled, std::chrono::duration<double> after)
    : fd_(fd),
      enabled_(enabled && ::isatty(fd) == 1),
      start_(Clock::now()),
      shown_after_(start_ + std::chrono::duration_cast<Clock::duration>(after)),
      next_draw_(shown_after_) {}

std::string ProgressBar::line(std::uint64_t done, std::uint64_t total, double seconds, int width) {
  done = std::min(done, total);
  const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  std::string tail;
  char text[64];
  std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(share * 100.0));
  tail += text;
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    tail += "  " + rate_text(rate);
    const double left = static_cast<double>(total - done) / rate;
    if (std::isfinite(left)) {
      const auto s = static_cast<long long>(left + 0.5);
      std::snprintf(text, sizeof text, "  %lld:%02lld left", s / 60, s % 60);
      tail += text;
    }
  }
  const int bar = std::clamp(width - 3 - static_cast<int>(tail.size()), 0, 50);
  std::string out;
  if (bar > 0) {
    const auto filled = static_cast<int>(share * bar);
    out += '[';
    out.append(static_cast<std::size_t>(filled), '#');
    out.append(static_cast<std::size_t>(bar - filled), '-');
    out += ']';
  }
  out += tail;
  // One column short of the width, so that the cursor never wraps.
  const auto most = static_cast<std::size_t>(std::max(width - 1, 0));
  if (out.size() > most) out.resize(most);
  return out;
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now < next_draw_) return;
  next_draw_ = now + kRedraw;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // "\r" back to the line's start, the bar, then erase what an older, longer
  // line left to its right.
  std::string text = "\r";
  text += line(done, total, seconds, terminal_width(fd_));
  text += "\x1b[K";
  write_all(fd_, text);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  write_all(fd_, "\r\x1b[K");
  drawn_ = false;
}

}  // namespace foilcad
