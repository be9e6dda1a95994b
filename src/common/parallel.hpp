// Independent pieces of work on the machine's cores.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace foilcad {

// work(i) for i in [0, count), on as many threads as there are cores (at
// most four), this one among them; each i is independent of the others. The
// first failure stops the handing out of more and is thrown once all threads
// have ended.
template <typename Work>
void parallel(std::size_t count, Work work) {
  std::atomic<std::size_t> next{0};
  std::mutex failed;
  std::exception_ptr error;
  auto run = [&] {
    try {
      for (std::size_t i = next++; i < count; i = next++) work(i);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failed);
      if (!error) error = std::current_exception();
      next = count;
    }
  };
  const unsigned workers =
      std::min<unsigned>(std::max(1u, std::thread::hardware_concurrency()),
                         static_cast<unsigned>(std::min<std::size_t>(4, count)));
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i) threads.emplace_back(run);
  run();
  for (std::thread& t : threads) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace foilcad
