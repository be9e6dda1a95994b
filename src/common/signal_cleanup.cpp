#include "common/signal_cleanup.hpp"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace foilcad {

namespace {

// A slot is free, being filled (the handler skips it) or holds a path.
enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};

// Two temporaries a conversion; a few conversions at once are plenty.
constexpr int kSlots = 16;
Slot slots[kSlots];

std::atomic<bool> committing{false};
std::atomic<int> held_signal{0};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// Async-signal-safe: atomics, unlink and _exit only.
[[noreturn]] void remove_and_exit(int signo) {
  for (Slot& slot : slots) {
    if (slot.state.load() == kHeld) ::unlink(slot.path);
  }
  ::_exit(128 + signo);
}

void on_signal(int signo) {
  if (committing.load()) {
    int none = 0;
    held_signal.compare_exchange_strong(none, signo);
    // Still committing: end_commit will find the signal. Otherwise the
    // commit closed meanwhile, and whichever of the two takes the signal
    // back out acts on it.
    if (committing.load()) return;
    signo = held_signal.exchange(0);
    if (signo == 0) return;
  }
  remove_and_exit(signo);
}

std::atomic<bool> installed{false};

}  // namespace

void install_signal_cleanup() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // A second signal waits while the handler runs.
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signo);
  action.sa_flags = SA_RESTART;
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signo, &action, nullptr);
  installed.store(true);
}

int remember_temporary(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slots[i].path, path, length + 1);
    slots[i].state.store(kHeld);
    return i;
  }
  return -1;
}

void forget_temporary(int slot) {
  if (slot >= 0 && slot < kSlots) slots[slot].state.store(kFree);
}

void begin_commit() { committing.store(true); }

void end_commit() {
  committing.store(false);
  const int signo = held_signal.exchange(0);
  if (signo != 0 && installed.load()) remove_and_exit(signo);
}

}  // namespace foilcad
