// The solids a conversion makes: bodies, each a named part of the board that
// fills one slab (from z1 to z2). A model hands over a list of them: the
// grid model its cells by kind, the exact model a closed mesh each. Standard
// library only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/mesh.hpp"

namespace foilcad {

// What a body is made of: copper, the board's material around the copper in
// its layer, or (between layers) the board's core and prepreg.
enum class BodyKind : std::uint8_t { conductor, insulator, dielectric };

std::string_view body_kind_name(BodyKind kind);

struct Body {
  // How the summary and messages call it: "conductor", "insulator".
  std::string name;
  // The name its STL solid carries ("solid blob"): what files and scripts
  // made so far expect.
  std::string solid_name;
  BodyKind kind = BodyKind::conductor;
  double z1 = 0.0;  // mm, bottom
  double z2 = 0.0;  // top

  friend bool operator==(const Body&, const Body&) = default;
};

// A body whose solid is a closed triangle mesh.
struct MeshBody {
  Body body;
  Mesh mesh;
};

// The two bodies of one copper layer, over the slab z1 to z2.
Body conductor_body(double z1, double z2);
Body insulator_body(double z1, double z2);

}  // namespace foilcad
