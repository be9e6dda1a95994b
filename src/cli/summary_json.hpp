// The run's summary as JSON, for scripts.
#pragma once

#include <string>

#include "convert/convert.hpp"

namespace foilcad {

// One JSON object: input, units, object counts by kind, rectangles, grid size
// and extent in millimetres (shortest text that reads back to the same
// double), copper cells, facets and bytes per solid, warnings, stage times.
std::string summary_json(const conversion_parameters& parameters, const ConversionReport& report,
                         bool solids_written);

}  // namespace foilcad
