#include "common/body.hpp"

namespace foilcad {

std::string_view body_kind_name(BodyKind kind) {
  switch (kind) {
    case BodyKind::conductor:
      return "conductor";
    case BodyKind::insulator:
      return "insulator";
    case BodyKind::dielectric:
      return "dielectric";
  }
  return "unknown";
}

Body conductor_body(double z1, double z2) {
  return {"conductor", "blob", BodyKind::conductor, z1, z2};
}

Body insulator_body(double z1, double z2) {
  return {"insulator", "nblob", BodyKind::insulator, z1, z2};
}

}  // namespace foilcad
