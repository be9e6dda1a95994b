#include "cli/summary_json.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace foilcad {

namespace {

class JsonWriter {
 public:
  JsonWriter& open(std::string_view key = {}) {
    name(key);
    out_ += '{';
    first_ = true;
    return *this;
  }
  JsonWriter& close() {
    out_ += '}';
    first_ = false;
    return *this;
  }
  JsonWriter& open_array(std::string_view key) {
    name(key);
    out_ += '[';
    first_ = true;
    return *this;
  }
  JsonWriter& close_array() {
    out_ += ']';
    first_ = false;
    return *this;
  }
  JsonWriter& string(std::string_view key, std::string_view value) {
    name(key);
    quoted(value);
    return *this;
  }
  JsonWriter& number(std::string_view key, std::uint64_t value) {
    name(key);
    out_ += std::to_string(value);
    return *this;
  }
  // The shortest text that reads back to the same double; JSON has no
  // infinities, so they become null.
  JsonWriter& real(std::string_view key, double value) {
    name(key);
    if (!std::isfinite(value)) {
      out_ += "null";
      return *this;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out_.append(text, result.ptr);
    return *this;
  }
  JsonWriter& boolean(std::string_view key, bool value) {
    name(key);
    out_ += value ? "true" : "false";
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  void name(std::string_view key) {
    if (!first_) out_ += ',';
    first_ = false;
    if (!key.empty()) {
      quoted(key);
      out_ += ':';
    }
  }
  void quoted(std::string_view text) {
    out_ += '"';
    for (const char c : text) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += c;
      } else if (u < 0x20) {
        static constexpr char kHex[] = "0123456789abcdef";
        out_ += "\\u00";
        out_ += kHex[u >> 4];
        out_ += kHex[u & 15];
      } else {
        out_ += c;
      }
    }
    out_ += '"';
  }

  std::string out_;
  bool first_ = true;
};

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
    case WarningKind::no_outline:
      return "no_outline";
  }
  return "unknown";
}

void solid(JsonWriter& json, std::string_view key, const std::filesystem::path& path,
           std::uint64_t boxes, std::uint64_t facets, std::uint64_t bytes) {
  json.open(key)
      .string("path", path.string())
      .number("boxes", boxes)
      .number("facets", facets)
      .number("bytes", bytes)
      .close();
}

}  // namespace

std::string summary_json(const conversion_parameters& parameters, const ConversionReport& report,
                         bool solids_written) {
  JsonWriter json;
  json.open().string("input", parameters.input_path.string());
  const char* units = report.millimetres ? (report.inches ? "inch and mm" : "mm")
                                         : (report.inches ? "inch" : "none");
  json.string("units", units);
  const ObjectCounts& o = report.objects;
  json.open("objects")
      .number("strokes", o.strokes)
      .number("arcs", o.arcs)
      .number("flashes", o.flashes)
      .number("regions", o.regions)
      .number("region_rectangles", o.region_rectangles)
      .number("step_and_repeat_copies", o.step_and_repeat_copies)
      .close();
  json.number("rectangles", report.rectangles)
      .boolean("outline", report.outline)
      .number("pieces", report.pieces);
  json.open("grid")
      .number("x_lines", report.grid_x)
      .number("y_lines", report.grid_y)
      .number("cells", report.cells)
      .open("extent_mm")
      .real("min_x", report.extent.min_x)
      .real("max_x", report.extent.max_x)
      .real("min_y", report.extent.min_y)
      .real("max_y", report.extent.max_y)
      .close()
      .close();
  json.number("copper_cells", report.copper_cells);
  json.open("solids").boolean("written", solids_written);
  json.string("format", format_name(parameters.stl.format)).boolean("merge", parameters.stl.merge);
  json.open("flat")
      .boolean("top_and_bottom", report.flat.top_and_bottom)
      .number("x_lines", report.flat.x_lines)
      .number("y_lines", report.flat.y_lines)
      .close();
  solid(json, "conductor", parameters.conductor_path, report.solids.conductor_boxes,
        report.solids.conductor_facets, report.solids.conductor_bytes);
  solid(json, "insulator", parameters.insulator_path, report.solids.insulator_boxes,
        report.solids.insulator_facets, report.solids.insulator_bytes);
  json.close();
  json.open_array("warnings");
  for (const Warning& w : report.warnings) {
    json.open()
        .string("kind", kind_name(w.kind))
        .string("message", describe(w.kind))
        .number("count", w.count)
        .number("first_line", w.first_line)
        .close();
  }
  json.close_array();
  json.open("seconds")
      .real("read", report.seconds[0])
      .real("split", report.seconds[1])
      .real("grid", report.seconds[2])
      .real("write", report.seconds[3])
      .close();
  json.close();
  std::string text = json.take();
  text += '\n';
  return text;
}

}  // namespace foilcad
