#include "cli/summary_json.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

namespace foilcad {

namespace {

// Keys keep the order in which they are set: scripts and people read the
// summary top to bottom, input first and times last.
using Json = nlohmann::ordered_json;

std::string_view kind_name(WarningKind kind) {
  switch (kind) {
    case WarningKind::incremental_coordinates:
      return "incremental_coordinates";
    case WarningKind::unsized_apertures:
      return "unsized_apertures";
    case WarningKind::coordinates_without_operation:
      return "coordinates_without_operation";
    case WarningKind::not_copper:
      return "not_copper";
    case WarningKind::unreadable_object_attributes:
      return "unreadable_object_attributes";
    case WarningKind::no_outline:
      return "no_outline";
    case WarningKind::no_copper:
      return "no_copper";
    case WarningKind::joined_nets:
      return "joined_nets";
  }
  return "unknown";
}

Json extent_json(const Box& e) {
  return {{"min_x", e.min_x}, {"max_x", e.max_x}, {"min_y", e.min_y}, {"max_y", e.max_y}};
}

Json warnings_json(const ConversionReport& report) {
  Json warnings = Json::array();
  for (const Warning& w : report.warnings) {
    warnings.push_back({{"kind", kind_name(w.kind)},
                        {"message", describe(w.kind)},
                        {"count", w.count},
                        {"first_line", w.first_line}});
  }
  return warnings;
}

std::string_view drill_kind_name(DrillWarningKind kind) {
  switch (kind) {
    case DrillWarningKind::format_overridden:
      return "format_overridden";
    case DrillWarningKind::format_guessed:
      return "format_guessed";
    case DrillWarningKind::customary_digits:
      return "customary_digits";
    case DrillWarningKind::parameter_file:
      return "parameter_file";
    case DrillWarningKind::plating_from_name:
      return "plating_from_name";
    case DrillWarningKind::plating_from_user:
      return "plating_from_user";
    case DrillWarningKind::plating_unknown:
      return "plating_unknown";
    case DrillWarningKind::outside_board:
      return "outside_board";
    case DrillWarningKind::unsupported:
      return "unsupported";
  }
  return "unknown";
}

std::string_view source_name(FormatSource source) {
  switch (source) {
    case FormatSource::file:
      return "file";
    case FormatSource::parameter_file:
      return "parameter_file";
    case FormatSource::option:
      return "option";
    case FormatSource::customary:
      return "customary";
    case FormatSource::guessed:
      return "guessed";
    case FormatSource::not_needed:
      return "not_needed";
  }
  return "unknown";
}

std::string_view zeros_name(Zeros zeros) {
  switch (zeros) {
    case Zeros::leading:
      return "leading";
    case Zeros::trailing:
      return "trailing";
    case Zeros::decimal:
      return "decimal";
  }
  return "unknown";
}

// The counts both levels of the holes' summary have, into json: round holes
// and slot pieces together under total, of them slots, and by plating.
void add_hole_counts(Json& json, const char* total, const HoleCounts& h) {
  json[total] = h.holes;
  json["slots"] = h.slots;
  for (const Plating p : {Plating::plated, Plating::non_plated})
    json[plating_name(p)] = h.plating(p);
  json["unknown_plating"] = h.plating(Plating::unknown);
}

Json drill_file_json(const DrillReport& d) {
  const FoundFormat& found = d.format;
  Json json;
  json["path"] = d.path.string();
  json["lines"] = d.lines;
  json["units"] = found.format.units == DrillUnits::inch ? "inch" : "mm";
  json["zeros"] = zeros_name(found.format.zeros);
  json["integer_digits"] = found.format.integer_digits;
  json["decimal_digits"] = found.format.decimal_digits;
  json["format_from"] = {{"units", source_name(found.units)},
                         {"zeros", source_name(found.zeros)},
                         {"digits", source_name(found.digits)}};
  json["parameter_file"] = d.parameter_file ? Json(d.parameter_file->string()) : Json(nullptr);
  add_hole_counts(json, "holes", d.holes);
  Json warnings = Json::array();
  for (const DrillWarning& w : d.warnings) {
    warnings.push_back({{"kind", drill_kind_name(w.kind)},
                        {"message", describe(w.kind)},
                        {"count", w.count},
                        {"first_line", w.first_line}});
  }
  json["warnings"] = std::move(warnings);
  return json;
}

// The holes of the drill files, all together and file by file; null without
// drill files, so that the key is always there.
Json holes_json(const conversion_parameters& parameters, const ConversionReport& report) {
  if (report.drills.empty()) return nullptr;
  const HoleCounts& h = report.holes;
  Json json;
  json["plating_mm"] = parameters.plating;
  add_hole_counts(json, "total", h);
  for (const HoleUse u : {HoleUse::via, HoleUse::component, HoleUse::mechanical}) {
    json[use_name(u)] = h.use(u);
  }
  Json diameters = Json::array();
  for (const DiameterCount& d : h.diameters) {
    diameters.push_back({{"mm", d.diameter}, {"holes", d.holes}, {"slots", d.slots}});
  }
  json["diameters"] = std::move(diameters);
  Json files = Json::array();
  for (const DrillReport& d : report.drills) files.push_back(drill_file_json(d));
  json["files"] = std::move(files);
  return json;
}

std::string text_of(const Json& json) {
  // File names are bytes on Linux and need not be UTF-8; JSON text must be.
  // Bytes that are not UTF-8 become U+FFFD rather than failing a conversion
  // whose solids are already written.
  std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
  text += '\n';
  return text;
}

// The outline layer the board was cut to, or null.
Json outline_layer(const conversion_parameters& parameters, const ConversionReport& report) {
  if (!report.outline_layer || !parameters.outline_path) return nullptr;
  return {{"path", parameters.outline_path->string()}, {"contours", report.outline_contours}};
}

std::string_view units(const ConversionReport& report) {
  return report.millimetres ? (report.inches ? "inch and mm" : "mm")
                            : (report.inches ? "inch" : "none");
}

// Every body of the exact model: what it is, where its solid goes, what it
// holds, its area, volume and box, and with nets the nets its objects name.
Json bodies_json(const conversion_parameters& parameters, const ConversionReport& report) {
  Json list = Json::array();
  for (const BodyReport& b : report.bodies) {
    Json body = {{"name", b.body.name},
                 {"kind", std::string(body_kind_name(b.body.kind))},
                 {"file", b.path.string()},
                 {"facets", b.size.facets},
                 {"bytes", b.size.bytes}};
    if (b.area) {
      body["area_mm2"] = *b.area;
      body["volume_mm3"] = *b.area * (b.body.z2 - b.body.z1);
    }
    if (b.extent) {
      body["extent_mm"] = extent_json(*b.extent);
      body["extent_mm"]["min_z"] = b.body.z1;
      body["extent_mm"]["max_z"] = b.body.z2;
    }
    if (parameters.nets) body["nets"] = b.nets;
    list.push_back(std::move(body));
  }
  return list;
}

// The gmsh files (--gmsh), or null.
Json gmsh_json(const ConversionReport& report) {
  if (!report.gmsh) return nullptr;
  const GmshReport& g = *report.gmsh;
  return {{"geo", {{"path", g.paths.geo.string()}, {"bytes", g.geo_bytes}}},
          {"surfaces",
           {{"path", g.paths.surfaces.string()},
            {"bytes", g.surfaces_bytes},
            {"surfaces", g.surfaces},
            {"nodes", g.nodes},
            {"triangles", g.triangles}}},
          {"volumes", g.volumes}};
}

// The exact model has no rectangles, pieces or grid: its own figures instead.
std::string exact_summary_json(const conversion_parameters& parameters,
                               const ConversionReport& report, bool solids_written) {
  Json json;
  json["input"] = parameters.input_path.string();
  json["units"] = units(report);
  json["geometry"] = "exact";
  json["tolerance_mm"] = parameters.tolerance;
  const ObjectCounts& o = report.objects;
  json["objects"] = {
      {"strokes", o.strokes}, {"arcs", o.arcs}, {"flashes", o.flashes}, {"regions", o.regions}};
  json["outline"] = report.frame;
  json["outline_layer"] = outline_layer(parameters, report);
  json["negative_image"] = report.negative;
  json["board"] = {{"area_mm2", report.board_area}, {"extent_mm", extent_json(report.extent)}};
  json["copper_area_mm2"] = report.copper_area;
  json["holes"] = holes_json(parameters, report);
  Json solids = {{"written", solids_written}, {"format", format_name(parameters.stl.format)}};
  // By name only for the conductor and the insulator: net names could be
  // any key.
  if (!parameters.nets) {
    for (const BodyReport& b : report.bodies) {
      solids[b.body.name] = {
          {"path", b.path.string()}, {"triangles", b.size.facets}, {"bytes", b.size.bytes}};
    }
  }
  json["solids"] = std::move(solids);
  json["bodies"] = bodies_json(parameters, report);
  json["nets"] = report.nets;
  json["gmsh"] = gmsh_json(report);
  json["warnings"] = warnings_json(report);
  const auto seconds = [&](Stage stage) { return report.seconds[static_cast<int>(stage)]; };
  json["seconds"] = {{"read", seconds(Stage::read)},
                     {"outlines", seconds(Stage::contours)},
                     {"mesh", seconds(Stage::mesh)},
                     {"write", seconds(Stage::write)}};
  return text_of(json);
}

}  // namespace

std::string summary_json(const conversion_parameters& parameters, const ConversionReport& report,
                         bool solids_written) {
  if (report.geometry == Geometry::exact) {
    return exact_summary_json(parameters, report, solids_written);
  }
  Json json;
  json["input"] = parameters.input_path.string();
  json["units"] = units(report);
  const ObjectCounts& o = report.objects;
  json["objects"] = {{"strokes", o.strokes},
                     {"arcs", o.arcs},
                     {"flashes", o.flashes},
                     {"regions", o.regions},
                     {"region_rectangles", report.region_rectangles},
                     {"step_and_repeat_copies", report.step_and_repeat_copies}};
  json["rectangles"] = report.rectangles;
  json["outline"] = report.frame;
  // Only with --outline, so that the summary of every other run stays as
  // scripts know it.
  if (report.outline_layer) json["outline_layer"] = outline_layer(parameters, report);
  json["negative_image"] = report.negative;
  json["pieces"] = report.pieces;
  // An extent that is not finite (no coordinate at all) is written as null:
  // JSON has no infinities.
  json["grid"] = {{"x_lines", report.grid_x},
                  {"y_lines", report.grid_y},
                  {"cells", report.cells},
                  {"extent_mm", extent_json(report.extent)}};
  json["copper_cells"] = report.copper_cells;
  Json solids = {{"written", solids_written},
                 {"format", format_name(parameters.stl.format)},
                 {"merge", parameters.stl.merge},
                 {"flat",
                  {{"top_and_bottom", report.flat.top_and_bottom},
                   {"x_lines", report.flat.x_lines},
                   {"y_lines", report.flat.y_lines}}}};
  for (const BodyReport& b : report.bodies) {
    solids[b.body.name] = {{"path", b.path.string()},
                           {"boxes", b.size.boxes},
                           {"facets", b.size.facets},
                           {"bytes", b.size.bytes}};
  }
  json["solids"] = std::move(solids);
  json["warnings"] = warnings_json(report);
  const auto seconds = [&](Stage stage) { return report.seconds[static_cast<int>(stage)]; };
  json["seconds"] = {{"read", seconds(Stage::read)},
                     {"split", seconds(Stage::split)},
                     {"grid", seconds(Stage::grid)},
                     {"write", seconds(Stage::write)}};
  return text_of(json);
}

}  // namespace foilcad
