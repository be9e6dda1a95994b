// Warnings: what the converter does not draw as a file means it. The reader
// finds some, the models others; each kind is reported once, with how often
// it occurred and where first. Standard library only.
#pragma once

#include <cstddef>
#include <string_view>

namespace foilcad {

enum class WarningKind {
  // Found by the reader.
  incremental_coordinates,
  unsized_apertures,
  coordinates_without_operation,
  not_copper,
  unreadable_object_attributes,
  // Found by a model: no frame or outline layer, so the board ends at the
  // outermost copper.
  no_outline,
  // Found once the copper is known: coordinates, but no copper.
  no_copper,
  // Copper whose objects name several nets: the artwork joins them.
  joined_nets,
};

// One line of a report for a kind: how often it occurred and where first.
struct Warning {
  WarningKind kind;
  std::size_t count = 0;
  std::size_t first_line = 0;
};

// A sentence that says what the converter did, for messages.
std::string_view describe(WarningKind kind);

}  // namespace foilcad
