#include "stl/encoders.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/error.hpp"

namespace foilcad {

std::string_view format_name(StlFormat format) {
  switch (format) {
    case StlFormat::ascii:
      return "ascii";
    case StlFormat::binary:
      return "binary";
    case StlFormat::classic:
      break;
  }
  return "classic";
}

namespace {

// Which of the six bounds a facet's vertices use, and how often, per face:
// the bytes of a face follow from the lengths of those bounds' numbers.
struct BoundUse {
  std::array<std::array<std::uint8_t, 6>, 6> count{};  // [face][bound], both facets
};

const BoundUse& bound_use() {
  static const BoundUse use = [] {
    BoundUse u;
    for (std::size_t f = 0; f < kBoxFaces.size(); ++f) {
      for (const auto& facet : kBoxFaces[f].facets) {
        for (const BoxBound b : facet) ++u.count[f][b];
      }
    }
    return u;
  }();
  return use;
}

// Every grid line formatted once, in the encoding's own form, so that a box
// only copies the forms of its four lines.
template <class Format>
auto format_lines(const std::vector<double>& lines, Format format) {
  std::vector<decltype(format(0.0))> formatted;
  formatted.reserve(lines.size());
  for (const double v : lines) formatted.push_back(format(v));
  return formatted;
}

}  // namespace

// ------------------------------------------------------------------ classic

ClassicEncoder::ClassicEncoder(double z1, double z2, const CoordinateLists& lists)
    : xs_(format_lines(lists.x, format_number_field)),
      ys_(format_lines(lists.y, format_number_field)),
      z1_(format_number_field(z1)),
      z2_(format_number_field(z2)) {
  for (unsigned m = 0; m < 16; ++m) {
    bytes_[m] =
        foilcad::box_bytes(SideFlags{(m & 1) != 0, (m & 2) != 0, (m & 4) != 0, (m & 8) != 0});
  }
}

std::string ClassicEncoder::header(const Body& body, std::uint64_t) const {
  return " solid " + body.solid_name + "\r\n";
}

std::string ClassicEncoder::trailer(const Body& body) const {
  return " endsolid " + body.solid_name + "\r\n";
}

char* ClassicEncoder::box(char* out, const GridBox& box) const {
  const BoxFields fields{xs_[box.x1], xs_[box.x2], ys_[box.y1], ys_[box.y2], z1_, z2_};
  return cube(out, fields, box.sides);
}

// ------------------------------------------------------------------- ascii

namespace {

constexpr std::string_view kAsciiFacetStart[6] = {
    "facet normal 0 0 1\n  outer loop\n", "facet normal 0 0 -1\n  outer loop\n",
    "facet normal 0 1 0\n  outer loop\n", "facet normal 0 -1 0\n  outer loop\n",
    "facet normal 1 0 0\n  outer loop\n", "facet normal -1 0 0\n  outer loop\n",
};
constexpr std::string_view kAsciiVertex = "    vertex ";
constexpr std::string_view kAsciiFacetEnd = "  endloop\nendfacet\n";

// The bytes of both facets of face f without their numbers.
std::uint64_t ascii_face_text(int f) {
  return 2 * (kAsciiFacetStart[f].size() + 3 * (kAsciiVertex.size() + 3) + kAsciiFacetEnd.size());
}

char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

AsciiEncoder::Number AsciiEncoder::format(double value) {
  Number number{};
  // The shortest round-trip form, in plain or exponent notation, whichever
  // is shorter: never more than 24 characters for a double.
  const auto result =
      std::to_chars(number.text.data(), number.text.data() + number.text.size(), value);
  number.size = static_cast<std::uint8_t>(result.ptr - number.text.data());
  return number;
}

AsciiEncoder::AsciiEncoder(double z1, double z2, const CoordinateLists& lists)
    : xs_(format_lines(lists.x, format)),
      ys_(format_lines(lists.y, format)),
      z1_(format(z1)),
      z2_(format(z2)) {}

std::string AsciiEncoder::header(const Body& body, std::uint64_t) const {
  return "solid " + body.solid_name + "\n";
}

std::string AsciiEncoder::trailer(const Body& body) const {
  return "endsolid " + body.solid_name + "\n";
}

char* AsciiEncoder::box(char* out, const GridBox& box) const {
  const Number* const values[6] = {&xs_[box.x1], &xs_[box.x2], &ys_[box.y1],
                                   &ys_[box.y2], &z1_,         &z2_};
  for (int f = 0; f < 6; ++f) {
    if (!face_written(f, box.sides)) continue;
    for (const auto& facet : kBoxFaces[f].facets) {
      out = put(out, kAsciiFacetStart[f]);
      for (int v = 0; v < 3; ++v) {
        out = put(out, kAsciiVertex);
        for (int c = 0; c < 3; ++c) {
          const Number& n = *values[facet[v * 3 + c]];
          std::memcpy(out, n.text.data(), n.text.size());  // whole array: fixed-size copy
          out += n.size;
          *out++ = c < 2 ? ' ' : '\n';
        }
      }
      out = put(out, kAsciiFacetEnd);
    }
  }
  return out;
}

std::uint64_t AsciiEncoder::box_bytes(const GridBox& box) const {
  const std::uint64_t size[6] = {xs_[box.x1].size, xs_[box.x2].size, ys_[box.y1].size,
                                 ys_[box.y2].size, z1_.size,         z2_.size};
  const BoundUse& use = bound_use();
  std::uint64_t bytes = 0;
  for (int f = 0; f < 6; ++f) {
    if (!face_written(f, box.sides)) continue;
    bytes += ascii_face_text(f);
    for (int b = 0; b < 6; ++b) bytes += use.count[f][b] * size[b];
  }
  return bytes;
}

namespace {

// A mesh triangle's numbers: the normal, then the three vertices.
std::array<double, 12> triangle_values(const Vertex& a, const Vertex& b, const Vertex& c) {
  const Vertex n = triangle_normal(a, b, c);
  return {n.x, n.y, n.z, a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
}

constexpr std::string_view kAsciiTriangleNormal = "facet normal ";
constexpr std::string_view kAsciiOuterLoop = "  outer loop\n";

// The longest line of three numbers.
constexpr std::size_t kMaxLine = 3 * 24 + 3;

char* put_number(char* out, double value) { return std::to_chars(out, out + 24, value).ptr; }

}  // namespace

char* AsciiEncoder::VertexLine::operator()(char* out, const Vertex& v) {
  out = put_number(out, v.x);
  *out++ = ' ';
  out = put_number(out, v.y);
  *out++ = ' ';
  // Compared bit for bit: -0.0 equals 0.0 but is written "-0".
  const auto z_bits = std::bit_cast<std::uint64_t>(v.z);
  if (z_bits != z_bits_) {
    z_bits_ = z_bits;
    z_ = format(v.z);
  }
  std::memcpy(out, z_.text.data(), z_.size);
  out += z_.size;
  *out++ = '\n';
  return out;
}

std::string_view AsciiEncoder::NormalLine::operator()(const Vertex& n) {
  const std::array<std::uint64_t, 3> bits{std::bit_cast<std::uint64_t>(n.x),
                                          std::bit_cast<std::uint64_t>(n.y),
                                          std::bit_cast<std::uint64_t>(n.z)};
  if (bits[0] == 0 && bits[1] == 0) {
    if (n.z == 1.0) return "0 0 1\n";
    if (n.z == -1.0) return "0 0 -1\n";
  }
  if (bits != bits_) {
    bits_ = bits;
    char* out = text_.data();
    out = put_number(out, n.x);
    *out++ = ' ';
    out = put_number(out, n.y);
    *out++ = ' ';
    out = put_number(out, n.z);
    *out++ = '\n';
    size_ = static_cast<std::size_t>(out - text_.data());
  }
  return {text_.data(), size_};
}

AsciiEncoder::MeshFacets::MeshFacets(const Mesh& mesh)
    : mesh_(mesh),
      // Room for the longest lines; the pages past the real lines are never
      // touched.
      lines_(std::make_unique_for_overwrite<char[]>(mesh.vertices.size() * kMaxLine)),
      starts_(mesh.vertices.size() + 1) {
  VertexLine line;
  char* const begin = lines_.get();
  char* out = begin;
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    out = line(out, mesh.vertices[i]);
    starts_[i + 1] = static_cast<std::uint64_t>(out - begin);
  }
}

char* AsciiEncoder::MeshFacets::triangle(char* out, std::size_t t) {
  const std::array<std::uint32_t, 3>& corners = mesh_.triangles[t];
  const std::vector<Vertex>& v = mesh_.vertices;
  out = put(out, kAsciiTriangleNormal);
  out = put(out, normal_(triangle_normal(v[corners[0]], v[corners[1]], v[corners[2]])));
  out = put(out, kAsciiOuterLoop);
  for (const std::uint32_t corner : corners) {
    out = put(out, kAsciiVertex);
    const std::uint64_t start = starts_[corner];
    out = put(out, std::string_view(lines_.get() + start, starts_[corner + 1] - start));
  }
  return put(out, kAsciiFacetEnd);
}

std::uint64_t AsciiEncoder::triangles_bytes(const Mesh& mesh) {
  // The lines' lengths only: the text is not kept.
  std::vector<std::uint8_t> lengths(mesh.vertices.size());
  VertexLine line;
  std::array<char, kMaxLine> scratch;
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    lengths[i] = static_cast<std::uint8_t>(line(scratch.data(), mesh.vertices[i]) - scratch.data());
  }
  NormalLine normal;
  const std::uint64_t text = kAsciiTriangleNormal.size() + kAsciiOuterLoop.size() +
                             3 * kAsciiVertex.size() + kAsciiFacetEnd.size();
  std::uint64_t bytes = 0;
  const std::vector<Vertex>& v = mesh.vertices;
  for (const auto& t : mesh.triangles) {
    const Vertex n = triangle_normal(v[t[0]], v[t[1]], v[t[2]]);
    bytes += text + lengths[t[0]] + lengths[t[1]] + lengths[t[2]] + normal(n).size();
  }
  return bytes;
}

// ------------------------------------------------------------------ binary

namespace {

char* put_u32(char* out, std::uint32_t v) {
  out[0] = static_cast<char>(v & 0xFF);
  out[1] = static_cast<char>((v >> 8) & 0xFF);
  out[2] = static_cast<char>((v >> 16) & 0xFF);
  out[3] = static_cast<char>(v >> 24);
  return out + 4;
}

char* put_float(char* out, float v) { return put_u32(out, std::bit_cast<std::uint32_t>(v)); }

}  // namespace

BinaryEncoder::BinaryEncoder(double z1, double z2, const CoordinateLists& lists)
    : xs_(format_lines(lists.x, [](double v) { return static_cast<float>(v); })),
      ys_(format_lines(lists.y, [](double v) { return static_cast<float>(v); })),
      z1_(static_cast<float>(z1)),
      z2_(static_cast<float>(z2)) {}

std::string BinaryEncoder::header(const Body& body, std::uint64_t facets) const {
  if (facets > kMaxBinaryFacets) {
    throw Error("the " + body.name + " solid has " + std::to_string(facets) +
                " facets, more than binary STL can count (" + std::to_string(kMaxBinaryFacets) +
                "); merge its boxes or write it as text");
  }
  // Readers tell text from binary by a leading "solid", so the text here
  // must not start with it.
  std::string header = "binary STL by foilcad, ";
  header += body.name + " (" + body.solid_name + ")";
  header.resize(80, ' ');
  header.resize(kHeaderBytes);
  put_u32(header.data() + 80, static_cast<std::uint32_t>(facets));
  return header;
}

std::string BinaryEncoder::trailer(const Body&) const { return {}; }

char* BinaryEncoder::box(char* out, const GridBox& box) const {
  const float values[6] = {xs_[box.x1], xs_[box.x2], ys_[box.y1], ys_[box.y2], z1_, z2_};
  for (int f = 0; f < 6; ++f) {
    if (!face_written(f, box.sides)) continue;
    const BoxFace& face = kBoxFaces[f];
    for (const auto& facet : face.facets) {
      for (const std::int8_t n : face.normal) out = put_float(out, static_cast<float>(n));
      for (const BoxBound b : facet) out = put_float(out, values[b]);
      *out++ = 0;
      *out++ = 0;
    }
  }
  return out;
}

char* BinaryEncoder::MeshFacets::triangle(char* out, std::size_t t) const {
  const std::array<std::uint32_t, 3>& corners = mesh_.triangles[t];
  const Vertex& a = mesh_.vertices[corners[0]];
  const Vertex& b = mesh_.vertices[corners[1]];
  const Vertex& c = mesh_.vertices[corners[2]];
  for (const double v : triangle_values(a, b, c)) out = put_float(out, static_cast<float>(v));
  *out++ = 0;
  *out++ = 0;
  return out;
}

void check_mesh_format(StlFormat format) {
  if (format != StlFormat::classic) return;
  throw Error(
      "the classic STL text cannot hold the exact model's shapes (its numbers keep one decimal "
      "of a millimetre): write --stl ascii or --stl binary");
}

Vertex triangle_normal(const Vertex& a, const Vertex& b, const Vertex& c) {
  const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
  const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
  if (uz == 0.0 && vz == 0.0) {
    // A top or bottom, half of a mesh's triangles: the general way below
    // gives (0, 0, +-1) too, since the root of a square is the number's
    // magnitude exactly while the square is a normal double.
    const double z = ux * vy - uy * vx;
    const double magnitude = std::abs(z);
    if (magnitude > 1e-150 && magnitude < 1e150) return {0.0, 0.0, z > 0.0 ? 1.0 : -1.0};
  }
  Vertex n{uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
  const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (length == 0.0) return {0.0, 0.0, 0.0};
  n = {n.x / length, n.y / length, n.z / length};
  // Walls and faces along an axis get exact unit normals, not 0.99999999...
  // with a signed zero beside it.
  const auto tidy = [](double& v) {
    if (v == 0.0) v = 0.0;
  };
  tidy(n.x);
  tidy(n.y);
  tidy(n.z);
  return n;
}

// ----------------------------------------------------------- size and flats

FlatValues find_flat_values(StlFormat format, double z1, double z2, const CoordinateLists& lists) {
  FlatValues flat;
  // Values equal already are not lost by writing them.
  switch (format) {
    case StlFormat::classic: {
      auto same = [](double a, double b) {
        return a != b && format_number_field(a) == format_number_field(b);
      };
      auto pairs = [&](const std::vector<double>& lines) {
        std::size_t n = 0;
        for (std::size_t i = 1; i < lines.size(); ++i) n += same(lines[i - 1], lines[i]) ? 1 : 0;
        return n;
      };
      flat = {same(z1, z2), pairs(lists.x), pairs(lists.y)};
      break;
    }
    case StlFormat::binary:
      // Only the heights: grid lines a float cannot tell apart lie some
      // 1e-5 mm apart at most (real boards have many such pairs, values
      // equal on paper that the photoplot's scaling left apart), far below
      // any copper's size; a thickness lost, though, flattens every box.
      flat.top_and_bottom = z1 != z2 && static_cast<float>(z1) == static_cast<float>(z2);
      break;
    case StlFormat::ascii:
      break;
  }
  return flat;
}

std::uint64_t least_box_bytes(StlFormat format, SideFlags sides) {
  // One-character numbers are the shortest any value can have.
  const CoordinateLists unit{{0, 0}, {0, 0}};
  const GridBox box{0, 1, 0, 1, sides};
  return visit_encoder(format, 0, 0, unit,
                       [&](const auto& encoder) { return encoder.box_bytes(box); });
}

std::uint64_t frame_bytes(StlFormat format, std::span<const Body> bodies) {
  const CoordinateLists none;
  return visit_encoder(format, 0, 0, none, [&](const auto& encoder) -> std::uint64_t {
    std::uint64_t bytes = 0;
    for (const Body& body : bodies) {
      bytes += encoder.header(body, 0).size() + encoder.trailer(body).size();
    }
    return bytes;
  });
}

}  // namespace foilcad
