// What lies beside a drill file: Allegro's parameter file (nc_param.txt),
// which gives the format its drill files do not state, and tool tables that
// give the sizes of tools a file uses without one. Internal to drill/.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "drill/drill.hpp"

namespace foilcad {

struct NcParameters {
  std::optional<DrillUnits> units;            // OUTPUT-UNITS ENGLISH / METRIC
  std::optional<Zeros> zeros;                 // SUPPRESS-LEAD-ZEROES / -TRAIL-ZEROES
  std::optional<std::pair<int, int>> digits;  // INTEGER-PLACES, DECIMAL-PLACES
  bool incremental = false;                   // COORDINATES INCREMENTAL
};

// Reads "KEY value" lines; keys it does not know are skipped. Throws
// foilcad::Error naming the file and line for a value that cannot be read.
NcParameters read_nc_parameters(std::string_view text, const std::filesystem::path& name);

// Tool number to diameter in mm.
using ToolTable = std::map<std::uint32_t, double>;

// Reads lines that begin with a tool and its size with a unit:
// "T1 0.300000mm  362x [...]" (Target 3001), "T1   15mil (0.381mm)  Round"
// (Altium's report). Other lines are skipped.
ToolTable read_tool_table(std::string_view text, const std::filesystem::path& name);

}  // namespace foilcad
