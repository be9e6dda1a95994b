// The copper's parts (its connected regions) as bodies of their own, named
// after the nets the objects drawn there name. Each object that adds copper
// and names a net leaves a probe: a point well inside its shape, which the
// triangulation finds its part by. Internal to the exact model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/warning.hpp"
#include "exact/pieces.hpp"
#include "photoplot/drawing.hpp"

namespace foilcad::exact {

// A point inside one traced object that adds copper, in units, and the nets
// the object names (indices into Drawing::nets).
struct NetProbe {
  double x = 0.0;
  double y = 0.0;
  std::size_t line = 0;  // the object's, for messages
  std::span<const std::uint32_t> nets;
};

// The probes of the pieces that add copper and name a net: in a negative
// image the clear ones add it. None lies in one of the holes (pieces of a
// contour each).
std::vector<NetProbe> net_probes(const Drawing& drawing, const Pieces& pieces, const Pieces& holes);

// A point strictly inside the area the contours cover by the nonzero rule,
// in the middle of their thickest part along a level line between two of
// their vertices' heights; false when they cover nothing. With cuts, the
// part outside them along the first such line that has one.
bool interior_point(PathSpan contours, double& x, double& y, PathSpan cut = {});

// One part of the copper as the triangulation found it.
struct CopperPart {
  double low_x = 0.0;  // its lowest point (the leftmost of those), units
  double low_y = 0.0;
  std::vector<std::uint32_t> probes;  // into the probes, those found in it
};

// What the parts become: a body each, or one body for all parts of a net.
struct PartBodies {
  std::vector<std::uint32_t> body_of_part;
  std::vector<std::string> names;              // per body
  std::vector<std::vector<std::string>> nets;  // per body: the nets its objects name
  std::vector<Warning> warnings;
};

// Names the parts: a part whose objects name one net is that net's body (a
// net in several parts is one body of several); a part that names none or
// several nets is copper_N, numbered from 1 in the order of the parts'
// lowest, then leftmost, points, skipping names that nets have. Several nets
// in one part (a short the artwork makes) is a warning at the line of the
// first object that names a second one.
PartBodies name_parts(std::span<const CopperPart> parts, std::span<const NetProbe> probes,
                      const std::vector<std::string>& net_names);

}  // namespace foilcad::exact
