#include "stl/facets.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace foilcad {

const std::array<BoxFace, 6> kBoxFaces = {{
    {{0, 0, 1},
     {{{kX1, kY1, kZ2, kX2, kY1, kZ2, kX2, kY2, kZ2},
       {kX1, kY1, kZ2, kX2, kY2, kZ2, kX1, kY2, kZ2}}}},
    {{0, 0, -1},
     {{{kX1, kY1, kZ1, kX2, kY2, kZ1, kX2, kY1, kZ1},
       {kX1, kY1, kZ1, kX1, kY2, kZ1, kX2, kY2, kZ1}}}},
    {{0, 1, 0},
     {{{kX2, kY2, kZ1, kX1, kY2, kZ1, kX1, kY2, kZ2},
       {kX2, kY2, kZ1, kX1, kY2, kZ2, kX2, kY2, kZ2}}}},
    {{0, -1, 0},
     {{{kX1, kY1, kZ1, kX2, kY1, kZ1, kX2, kY1, kZ2},
       {kX1, kY1, kZ1, kX2, kY1, kZ2, kX1, kY1, kZ2}}}},
    {{1, 0, 0},
     {{{kX2, kY1, kZ1, kX2, kY2, kZ1, kX2, kY2, kZ2},
       {kX2, kY1, kZ1, kX2, kY2, kZ2, kX2, kY1, kZ2}}}},
    {{-1, 0, 0},
     {{{kX1, kY2, kZ1, kX1, kY1, kZ1, kX1, kY1, kZ2},
       {kX1, kY2, kZ1, kX1, kY1, kZ2, kX1, kY2, kZ2}}}},
}};

NumberField format_number_field(double value) {
  NumberField field;
  field.fill('*');
  if (!std::isfinite(value)) return field;
  // Large enough for the widest fixed-point double; std::to_chars rounds the
  // exact binary value, halfway cases to even, like printf's "%.1f".
  char text[400];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  const char* begin = text;
  if (text[0] == '-' && std::string_view(text, result.ptr) == "-0.0") ++begin;
  const auto length = static_cast<std::size_t>(result.ptr - begin);
  if (length > field.size()) return field;
  field.fill(' ');
  std::memcpy(field.data() + field.size() - length, begin, length);
  return field;
}

namespace {

// One facet as text with blank vertex fields, and where each field goes.
struct FacetTemplate {
  std::string text;
  std::array<std::size_t, 9> offsets{};
  std::array<BoxBound, 9> fields{};
};

FacetTemplate make_facet(std::string_view normal, const std::array<BoxBound, 9>& vertices) {
  FacetTemplate facet;
  facet.text.append(" ").append(normal).append("\r\n     outer loop\r\n");
  for (int v = 0; v < 3; ++v) {
    facet.text += "      vertex ";
    for (int c = 0; c < 3; ++c) {
      facet.offsets[v * 3 + c] = facet.text.size();
      facet.fields[v * 3 + c] = vertices[v * 3 + c];
      facet.text += "        ";
      facet.text += c < 2 ? " " : "\r\n";
    }
  }
  facet.text += "     endloop\r\n   endfacet\r\n";
  return facet;
}

struct Face {
  FacetTemplate first;
  FacetTemplate second;
};

// The normal lines are fixed texts, never computed from the vertices.
constexpr std::string_view kNormalTexts[6] = {
    "  facet normal 0. 0. 1.",  "  facet normal 0. 0. -1.", "  facet normal 0. 1. 0.",
    "  facet normal 0. -1. 0.", "  facet normal 1. 0. 0.",  "  facet normal -1. 0. 0.",
};

const std::array<Face, 6>& faces() {
  static const std::array<Face, 6> kFaces = [] {
    std::array<Face, 6> made;
    for (std::size_t f = 0; f < made.size(); ++f) {
      made[f] = {make_facet(kNormalTexts[f], kBoxFaces[f].facets[0]),
                 make_facet(kNormalTexts[f], kBoxFaces[f].facets[1])};
    }
    return made;
  }();
  return kFaces;
}

char* put_facet(char* out, const FacetTemplate& facet, const NumberField* const* values) {
  std::memcpy(out, facet.text.data(), facet.text.size());
  for (std::size_t f = 0; f < facet.offsets.size(); ++f) {
    std::memcpy(out + facet.offsets[f], values[facet.fields[f]]->data(), sizeof(NumberField));
  }
  return out + facet.text.size();
}

char* put_face(char* out, const Face& face, const NumberField* const* values) {
  out = put_facet(out, face.first, values);
  return put_facet(out, face.second, values);
}

std::size_t face_bytes(const Face& face) {
  return face.first.text.size() + face.second.text.size();
}

}  // namespace

std::size_t box_bytes(SideFlags sides) {
  const auto& f = faces();
  return face_bytes(f[0]) + face_bytes(f[1]) + (sides.plus_y ? face_bytes(f[2]) : 0) +
         (sides.minus_y ? face_bytes(f[3]) : 0) + (sides.plus_x ? face_bytes(f[4]) : 0) +
         (sides.minus_x ? face_bytes(f[5]) : 0);
}

char* cube(char* out, const BoxFields& box, SideFlags sides) {
  const NumberField* const values[6] = {&box.x1, &box.x2, &box.y1, &box.y2, &box.z1, &box.z2};
  const auto& f = faces();
  out = put_face(out, f[0], values);
  out = put_face(out, f[1], values);
  if (sides.plus_y) out = put_face(out, f[2], values);
  if (sides.minus_y) out = put_face(out, f[3], values);
  if (sides.plus_x) out = put_face(out, f[4], values);
  if (sides.minus_x) out = put_face(out, f[5], values);
  return out;
}

void cube(std::string& out, double x1, double x2, double y1, double y2, double z1, double z2,
          SideFlags sides) {
  const BoxFields box{format_number_field(x1), format_number_field(x2), format_number_field(y1),
                      format_number_field(y2), format_number_field(z1), format_number_field(z2)};
  const std::size_t old_size = out.size();
  out.resize(old_size + kMaxBoxBytes);
  char* end = cube(out.data() + old_size, box, sides);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace foilcad
