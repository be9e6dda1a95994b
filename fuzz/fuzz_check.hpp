// What the fuzz targets share: the libFuzzer entry point they define, and a
// check that stops the run with a message when an invariant does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace foilcad::fuzz {

// abort() rather than an exception: libFuzzer and the replay program both
// treat it as a finding and keep the input that caused it.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) broken(what);
}

}  // namespace foilcad::fuzz
