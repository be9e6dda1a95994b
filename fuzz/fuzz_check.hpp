// What the fuzz targets share: the libFuzzer entry point they define, and a
// check that stops the run with a message when an invariant does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "geometry/boxes.hpp"
#include "photoplot/reader.hpp"

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

// Reading limits far below the converter's own. With those, an input that
// asks for millions of rectangles takes a second under the sanitizers, and
// such inputs came to fill most of the corpus; with these, every input takes
// milliseconds and the run explores. The code that enforces the limits is
// the same whatever their values, and meets them all the sooner.
inline BoxLimits read_limits() {
  BoxLimits limits;
  limits.rectangles = 4'000;
  limits.region_rows = 400;
  limits.region_edge_visits = 40'000;
  return limits;
}

}  // namespace foilcad::fuzz
