#include "common/warning.hpp"

namespace foilcad {

std::string_view describe(WarningKind kind) {
  switch (kind) {
    case WarningKind::incremental_coordinates:
      return "incremental coordinates are read as absolute";
    case WarningKind::unsized_apertures:
      return "apertures of an unknown macro are drawn with size 0";
    case WarningKind::coordinates_without_operation:
      return "coordinates before the first operation code are stroked";
    case WarningKind::not_copper:
      return "the file says it is not a copper layer";
    case WarningKind::unreadable_object_attributes:
      return "object attributes without a name or a value are skipped; a net attribute without "
             "one leaves the objects after it in no net";
    case WarningKind::no_outline:
      return "no board outline comes first: the board ends at the copper's outer edges";
    case WarningKind::no_copper:
      return "the photoplot has coordinates but draws no copper: the conductor is empty";
    case WarningKind::joined_nets:
      return "copper joins several nets (a short in the artwork): its body is named copper_N";
  }
  return "unknown warning";
}

}  // namespace foilcad
