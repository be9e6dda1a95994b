// A hole of the board: what the drill reader hands over and the models cut.
// Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/box.hpp"

namespace foilcad {

enum class Plating : std::uint8_t { unknown, plated, non_plated };

// What the file says a hole is for.
enum class HoleUse : std::uint8_t { unknown, via, component, mechanical };

struct Hole {
  Point from;           // mm: the centre of a round hole, or the start of a slot
  Point to;             // == from for a round hole; the end of a slot
  double diameter = 0;  // mm; a slot's width
  Plating plating = Plating::unknown;
  HoleUse use = HoleUse::unknown;
  // Which of the caller's drill files the hole comes from (an index into its
  // list), for messages; the reader leaves 0.
  std::uint16_t file = 0;
  int first_layer = 0;  // the span of copper layers where the file says it (0: not said)
  int last_layer = 0;
  std::uint32_t tool = 0;  // the tool number as written
  std::size_t line = 0;    // the source line

  bool slot() const { return !(from == to); }
};

}  // namespace foilcad
