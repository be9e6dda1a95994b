// The two files of a conversion for gmsh: NAME_surfaces.msh holds the
// surfaces (gmsh's own MSH 4.1 format, binary, every node once and each
// coordinate the double the model made, byte for byte), and NAME.geo makes
// them into a volume per piece of a body, names the bodies and the kinds of
// surface as physical groups and merges the surfaces file, so that
// `gmsh -3 NAME.geo` meshes every body in one run (into NAME.msh). Standard
// library only.
//
// Physical groups, with tags that follow from the bodies, so that a
// solver's input can name them, and no tag in two dimensions (GetDP takes a
// tag for one region whatever its dimension): a volume group per body that
// has a volume, tag 1 + its index in the bodies, named as the body; after
// the last body's tag N the surface groups "top" (N + 1), "bottom" (N + 2),
// "edge" (N + 3: the outline, cut-outs and holes), then "NAME_walls" for
// each conductor body (N + 4 onwards, in the order of the bodies): its walls
// against the other bodies. A group with nothing in it is left out, its tag
// unused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "common/body.hpp"
#include "gmsh/surfaces.hpp"

namespace foilcad {

inline constexpr std::string_view kGmshGeoSuffix = ".geo";
inline constexpr std::string_view kGmshSurfacesSuffix = "_surfaces.msh";

// Where the two files go. The .geo names the surfaces file by its file name
// alone: gmsh reads it from the .geo's folder.
struct GmshPaths {
  std::filesystem::path geo;
  std::filesystem::path surfaces;

  friend bool operator==(const GmshPaths&, const GmshPaths&) = default;
};

// Throws foilcad::Error when the surfaces file's name cannot stand in the
// .geo's quotes (a '"', a control character, over 1000 bytes: gmsh's
// strings have no escapes and end at 1024 bytes).
void check_gmsh_paths(const GmshPaths& paths);

// The name a physical group of body's name gets: gmsh's strings end at the
// first '"' and hold no escapes, so a '"' and control characters become
// '_', a name is cut (at a character's boundary) to 200 bytes, and an empty
// one is "body". Names must still differ: a later body whose name comes
// out like an earlier one's gets "_2", "_3"... (see gmsh_group_names).
std::string gmsh_group_name(std::string_view name);
std::vector<std::string> gmsh_group_names(std::span<const MeshBody> bodies);

// The .geo's text: surfaces_name is the surfaces file's name.
std::string gmsh_geo_text(const GmshSurfaces& surfaces, std::span<const MeshBody> bodies,
                          std::string_view surfaces_name);

// The exact size of the surfaces file.
std::uint64_t gmsh_surfaces_bytes(const GmshSurfaces& surfaces);

// Writes the surfaces file into fd, open for writing, which stays open.
// Throws foilcad::Error naming name when a write fails.
void write_gmsh_surfaces(int fd, const std::filesystem::path& name, const GmshSurfaces& surfaces);

}  // namespace foilcad
