#include "gmsh/files.hpp"

#include <cstring>
#include <memory>
#include <set>

#include "common/error.hpp"
#include "common/replacing.hpp"

namespace foilcad {

namespace {

// gmsh's strings end at 1024 bytes.
constexpr std::size_t kLongestPath = 1000;
constexpr std::size_t kLongestName = 200;

bool unsafe_in_quotes(unsigned char c) { return c == '"' || c < 0x20 || c == 0x7f; }

}  // namespace

void check_gmsh_paths(const GmshPaths& paths) {
  const std::string name = paths.surfaces.filename().string();
  bool unsafe = name.size() > kLongestPath;
  for (const char c : name) unsafe = unsafe || unsafe_in_quotes(static_cast<unsigned char>(c));
  if (unsafe) {
    throw Error(paths.surfaces.string() +
                ": gmsh cannot read a file name with a '\"' or a control character, or longer "
                "than " +
                std::to_string(kLongestPath) + " bytes, from its .geo; rename the input");
  }
}

std::string gmsh_group_name(std::string_view name) {
  std::string safe(name.substr(0, std::min(name.size(), kLongestName)));
  // Not within a character of several bytes: back to its first byte.
  if (name.size() > kLongestName) {
    while (!safe.empty() && (static_cast<unsigned char>(name[safe.size()]) & 0xC0) == 0x80) {
      safe.pop_back();
    }
  }
  for (char& c : safe) {
    if (unsafe_in_quotes(static_cast<unsigned char>(c))) c = '_';
  }
  return safe.empty() ? "body" : safe;
}

std::vector<std::string> gmsh_group_names(std::span<const MeshBody> bodies) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const MeshBody& b : bodies) {
    const std::string base = gmsh_group_name(b.body.name);
    std::string name = base;
    for (int n = 2; !taken.insert(name).second; ++n) name = base + "_" + std::to_string(n);
    names.push_back(std::move(name));
  }
  return names;
}

namespace {

// "{1, 2, 3}" with a line break every so many numbers.
void append_list(std::string& text, std::span<const std::uint32_t> tags) {
  constexpr std::size_t kPerLine = 16;
  text += '{';
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (i > 0) text += i % kPerLine == 0 ? ",\n  " : ", ";
    text += std::to_string(tags[i] + 1);
  }
  text += '}';
}

void append_group(std::string& text, const char* dimension, const std::string& name, int tag,
                  std::span<const std::uint32_t> members) {
  if (members.empty()) return;
  text += "Physical ";
  text += dimension;
  text += "(\"" + name + "\", " + std::to_string(tag) + ") = ";
  append_list(text, members);
  text += ";\n";
}

}  // namespace

std::string gmsh_geo_text(const GmshSurfaces& surfaces, std::span<const MeshBody> bodies,
                          std::string_view surfaces_name) {
  const std::vector<std::string> names = gmsh_group_names(bodies);
  std::string text;
  text +=
      "// The bodies as gmsh volumes whose tetrahedra share their nodes at every wall:\n"
      "//   gmsh -3 THIS.geo             (the mesh goes to THIS.msh)\n"
      "// Each connected piece of a body is a volume bounded by discrete surfaces, the\n"
      "// top, bottom and edge of the board and the walls between the pieces: each wall\n"
      "// is one surface that the volumes on both sides share.\n"
      "Merge \"";
  text += surfaces_name;
  text += "\";\n\n";
  for (std::size_t v = 0; v < surfaces.volumes.size(); ++v) {
    const std::string tag = std::to_string(v + 1);
    text += "Surface Loop(" + tag + ") = ";
    append_list(text, surfaces.volumes[v].surfaces);
    text += ";\nVolume(" + tag + ") = {" + tag + "};\n";
  }

  text += "\n// A group per body, named as the body.\n";
  std::vector<std::vector<std::uint32_t>> by_body(bodies.size());
  for (std::uint32_t v = 0; v < surfaces.volumes.size(); ++v) {
    by_body[surfaces.volumes[v].body].push_back(v);
  }
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    append_group(text, "Volume", names[b], static_cast<int>(b + 1), by_body[b]);
  }

  text +=
      "\n// The board's top, bottom and edge (outline, cut-outs, holes), and the walls\n"
      "// of each conductor against the other bodies.\n";
  std::vector<std::uint32_t> kinds[3];
  std::vector<std::vector<std::uint32_t>> walls(bodies.size());
  for (std::uint32_t s = 0; s < surfaces.surfaces.size(); ++s) {
    const GmshSurface& surface = surfaces.surfaces[s];
    if (surface.kind != SurfaceKind::wall) {
      kinds[static_cast<int>(surface.kind)].push_back(s);
      continue;
    }
    const std::uint32_t a = surfaces.volumes[surface.volume].body;
    const std::uint32_t b = surfaces.volumes[surface.across].body;
    if (bodies[a].body.kind == BodyKind::conductor) walls[a].push_back(s);
    if (b != a && bodies[b].body.kind == BodyKind::conductor) walls[b].push_back(s);
  }
  // Solvers that number regions by tag alone (GetDP) need the surfaces'
  // tags apart from the volumes'.
  int tag = static_cast<int>(bodies.size()) + 1;
  append_group(text, "Surface", "top", tag++, kinds[0]);
  append_group(text, "Surface", "bottom", tag++, kinds[1]);
  append_group(text, "Surface", "edge", tag++, kinds[2]);
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    if (bodies[b].body.kind != BodyKind::conductor) continue;
    append_group(text, "Surface", names[b] + "_walls", tag++, walls[b]);
  }

  text +=
      "\n// Mesh sizes, mm (the surfaces keep their triangles; sizes act within the\n"
      "// volumes). For example:\n"
      "//   Mesh.Algorithm3D = 10;    // HXT, which refines to the sizes below\n"
      "//   Mesh.MeshSizeMax = 0.5;\n";
  return text;
}

namespace {

constexpr std::string_view kFormat = "$MeshFormat\n4.1 1 8\n";
constexpr std::string_view kEndFormat = "\n$EndMeshFormat\n";
constexpr std::string_view kEntities = "$Entities\n";
constexpr std::string_view kEndEntities = "\n$EndEntities\n";
constexpr std::string_view kNodes = "$Nodes\n";
constexpr std::string_view kEndNodes = "\n$EndNodes\n";
constexpr std::string_view kElements = "$Elements\n";
constexpr std::string_view kEndElements = "\n$EndElements\n";

// The binary layout's fields: an int is 4 bytes, a size_t 8 (the "8" of the
// format line), in this machine's byte order, which the int 1 after the
// format line tells the reader.
using FileInt = std::int32_t;
using FileSize = std::uint64_t;
constexpr int kSurfaceDimension = 2;
constexpr int kTriangle = 2;  // gmsh's element type of a 3-node triangle

// Per surface in $Entities: its tag, its box, no physical tag, no curves.
constexpr std::uint64_t kEntityBytes = sizeof(FileInt) + 6 * sizeof(double) + 2 * sizeof(FileSize);
// A block's head in $Nodes and $Elements: dimension, tag, parametric or
// element type, count.
constexpr std::uint64_t kBlockBytes = 3 * sizeof(FileInt) + sizeof(FileSize);
constexpr std::uint64_t kNodeBytes = sizeof(FileSize) + 3 * sizeof(double);
constexpr std::uint64_t kTriangleBytes = 4 * sizeof(FileSize);

// The buffer's fields need not be aligned.
void store(char* at, FileSize value) { std::memcpy(at, &value, sizeof(value)); }

std::uint64_t node_blocks(const GmshSurfaces& surfaces) {
  std::uint64_t blocks = 0;
  for (const GmshSurface& s : surfaces.surfaces) blocks += s.node_count > 0 ? 1 : 0;
  return blocks;
}

// Bytes gathered in a buffer and written in large pieces.
class Output {
 public:
  Output(int fd, const std::filesystem::path& name)
      : fd_(fd), name_(name), buffer_(std::make_unique_for_overwrite<char[]>(kSize)) {}

  template <class T>
  void put(const T& value) {
    put_bytes(&value, sizeof(T));
  }
  void put(std::string_view text) { put_bytes(text.data(), text.size()); }
  void put_bytes(const void* data, std::size_t size) {
    if (kSize - used_ < size) flush();
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
  }
  // Room for at least bytes (at most kSize / 2), to be filled directly.
  char* reserve(std::size_t bytes) {
    if (kSize - used_ < bytes) flush();
    return buffer_.get() + used_;
  }
  void commit(std::size_t bytes) { used_ += bytes; }

  void flush() {
    write_fully(fd_, name_, std::string_view(buffer_.get(), used_),
                "cannot write the gmsh surfaces");
    total_ += used_;
    used_ = 0;
  }
  std::uint64_t total() const { return total_; }

  static constexpr std::size_t kSize = std::size_t{4} << 20;

 private:
  int fd_;
  const std::filesystem::path& name_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace

std::uint64_t gmsh_surfaces_bytes(const GmshSurfaces& surfaces) {
  const std::uint64_t count = surfaces.surfaces.size();
  return kFormat.size() + sizeof(FileInt) + kEndFormat.size() + kEntities.size() +
         4 * sizeof(FileSize) + count * kEntityBytes + kEndEntities.size() + kNodes.size() +
         4 * sizeof(FileSize) + node_blocks(surfaces) * kBlockBytes +
         surfaces.nodes.size() * kNodeBytes + kEndNodes.size() + kElements.size() +
         4 * sizeof(FileSize) + count * kBlockBytes + surfaces.triangles.size() * kTriangleBytes +
         kEndElements.size();
}

void write_gmsh_surfaces(int fd, const std::filesystem::path& name, const GmshSurfaces& surfaces) {
  Output out(fd, name);
  out.put(kFormat);
  out.put(FileInt{1});
  out.put(kEndFormat);

  out.put(kEntities);
  for (const FileSize n :
       {FileSize{0}, FileSize{0}, FileSize{surfaces.surfaces.size()}, FileSize{0}}) {
    out.put(n);
  }
  for (std::size_t s = 0; s < surfaces.surfaces.size(); ++s) {
    const GmshSurface& surface = surfaces.surfaces[s];
    out.put(static_cast<FileInt>(s + 1));
    for (const double v : {surface.low.x, surface.low.y, surface.low.z, surface.high.x,
                           surface.high.y, surface.high.z}) {
      out.put(v);
    }
    out.put(FileSize{0});  // physical tags: the .geo's groups name them
    out.put(FileSize{0});  // bounding curves
  }
  out.put(kEndEntities);

  // Tags count from 1 and run without a gap, which lets gmsh keep its nodes
  // in an array rather than a map.
  const FileSize nodes = surfaces.nodes.size();
  out.put(kNodes);
  for (const FileSize n : {node_blocks(surfaces), nodes, FileSize{1}, nodes}) out.put(n);
  constexpr std::size_t kRun = Output::kSize / 2 / (3 * sizeof(double));
  for (std::size_t s = 0; s < surfaces.surfaces.size(); ++s) {
    const GmshSurface& surface = surfaces.surfaces[s];
    if (surface.node_count == 0) continue;
    out.put(FileInt{kSurfaceDimension});
    out.put(static_cast<FileInt>(s + 1));
    out.put(FileInt{0});  // not parametric
    out.put(FileSize{surface.node_count});
    for (std::uint32_t begin = 0; begin < surface.node_count; begin += kRun) {
      const std::size_t n = std::min<std::size_t>(kRun, surface.node_count - begin);
      char* at = out.reserve(n * sizeof(FileSize));
      for (std::size_t i = 0; i < n; ++i) {
        store(at + i * sizeof(FileSize), FileSize{surface.first_node} + begin + i + 1);
      }
      out.commit(n * sizeof(FileSize));
    }
    for (std::uint32_t begin = 0; begin < surface.node_count; begin += kRun) {
      const std::size_t n = std::min<std::size_t>(kRun, surface.node_count - begin);
      // Vertex is three doubles, x, y, z, as the file has them.
      static_assert(sizeof(Vertex) == 3 * sizeof(double));
      out.put_bytes(surfaces.nodes.data() + surface.first_node + begin, n * sizeof(Vertex));
    }
  }
  out.put(kEndNodes);

  const FileSize triangles = surfaces.triangles.size();
  out.put(kElements);
  for (const FileSize n : {FileSize{surfaces.surfaces.size()}, triangles, FileSize{1}, triangles}) {
    out.put(n);
  }
  FileSize tag = 1;
  constexpr std::size_t kTrianglesAtOnce = Output::kSize / 2 / kTriangleBytes;
  for (std::size_t s = 0; s < surfaces.surfaces.size(); ++s) {
    const GmshSurface& surface = surfaces.surfaces[s];
    out.put(FileInt{kSurfaceDimension});
    out.put(static_cast<FileInt>(s + 1));
    out.put(FileInt{kTriangle});
    out.put(FileSize{surface.triangle_count});
    for (std::size_t begin = 0; begin < surface.triangle_count; begin += kTrianglesAtOnce) {
      const std::size_t n = std::min<std::size_t>(kTrianglesAtOnce, surface.triangle_count - begin);
      char* at = out.reserve(n * kTriangleBytes);
      for (std::size_t i = 0; i < n; ++i, at += kTriangleBytes) {
        const auto& tri = surfaces.triangles[surface.first_triangle + begin + i];
        store(at, tag++);
        store(at + sizeof(FileSize), FileSize{tri[0]} + 1);
        store(at + 2 * sizeof(FileSize), FileSize{tri[1]} + 1);
        store(at + 3 * sizeof(FileSize), FileSize{tri[2]} + 1);
      }
      out.commit(n * kTriangleBytes);
    }
  }
  out.put(kEndElements);
  out.flush();
  // A size that differs from the one measured would have let a disk check
  // pass wrongly.
  if (out.total() != gmsh_surfaces_bytes(surfaces)) {
    throw Error(name.string() + ": the gmsh surfaces came out at " + std::to_string(out.total()) +
                " bytes, not the " + std::to_string(gmsh_surfaces_bytes(surfaces)) + " measured");
  }
}

}  // namespace foilcad
