#include "drill/side_files.hpp"

#include <string>

#include "common/error.hpp"
#include "common/number.hpp"
#include "common/text.hpp"

namespace foilcad {

namespace {

template <class Visit>
void for_each_line(std::string_view text, Visit visit) {
  std::size_t number = 1;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    visit(trim(line, " \t"), number++);
  }
}

bool yes(std::string_view value) { return value == "YES" || value == "Y"; }

}  // namespace

NcParameters read_nc_parameters(std::string_view text, const std::filesystem::path& name) {
  NcParameters p;
  std::optional<long long> integer;
  std::optional<long long> decimal;
  std::optional<bool> lead_suppressed;
  std::optional<bool> trail_suppressed;
  for_each_line(text, [&](std::string_view line, std::size_t number) {
    const std::size_t blank = line.find_first_of(" \t");
    if (blank == std::string_view::npos) return;
    const std::string_view key = line.substr(0, blank);
    const std::string_view value = trim(line.substr(blank), " \t");
    const auto places = [&](std::optional<long long>& into) {
      into = parse_integer(value);
      if (!into || *into < 0 || *into > 9) {
        throw input_error(name, number, "cannot read the number of places", line);
      }
    };
    if (key == "INTEGER-PLACES") {
      places(integer);
    } else if (key == "DECIMAL-PLACES") {
      places(decimal);
    } else if (key == "OUTPUT-UNITS") {
      if (value.starts_with("ENGLISH") || value.starts_with("INCH")) {
        p.units = DrillUnits::inch;
      } else if (value.starts_with("METRIC") || value.starts_with("MILLIMETER")) {
        p.units = DrillUnits::millimetre;
      } else {
        throw input_error(name, number, "cannot read the output units", line);
      }
    } else if (key == "SUPPRESS-LEAD-ZEROES" || key == "SUPPRESS-LEAD-ZEROS") {
      lead_suppressed = yes(value);
    } else if (key == "SUPPRESS-TRAIL-ZEROES" || key == "SUPPRESS-TRAIL-ZEROS") {
      trail_suppressed = yes(value);
    } else if (key == "COORDINATES") {
      p.incremental = value.starts_with("INCREMENTAL");
    }
  });
  if (integer && decimal) {
    p.digits = {static_cast<int>(*integer), static_cast<int>(*decimal)};
  }
  // Suppressed leading zeros leave the trailing ones (TZ), and the other way
  // round; with neither suppressed every number has its full width and the
  // rule does not matter.
  if (lead_suppressed.value_or(false) && !trail_suppressed.value_or(false)) {
    p.zeros = Zeros::trailing;
  } else if (trail_suppressed.value_or(false) && !lead_suppressed.value_or(false)) {
    p.zeros = Zeros::leading;
  }
  return p;
}

ToolTable read_tool_table(std::string_view text, const std::filesystem::path& name) {
  ToolTable table;
  for_each_line(text, [&](std::string_view line, std::size_t number) {
    if (line.size() < 2 || (line[0] != 'T' && line[0] != 't') || !is_digit(line[1])) return;
    std::size_t i = 1;
    while (i < line.size() && is_digit(line[i])) ++i;
    const auto tool = parse_integer(line.substr(1, std::min<std::size_t>(i - 1, 9)));
    std::string_view rest = trim(line.substr(i), " \t");
    std::size_t n = 0;
    while (n < rest.size() && (is_digit(rest[n]) || rest[n] == '.')) ++n;
    const auto value = parse_free_number(rest.substr(0, n));
    if (!tool || !value) return;
    const std::string_view unit = rest.substr(n);
    double factor = 0;
    if (unit.starts_with("mm")) {
      factor = 1.0;
    } else if (unit.starts_with("mil")) {
      factor = 0.0254;
    } else if (unit.starts_with("in") || unit.starts_with("\"")) {
      factor = 25.4;
    } else {
      return;
    }
    const double diameter = *value * factor;
    if (*tool < 1 || *tool > kMaxToolNumber || !(diameter > 0 && diameter <= kMaxToolDiameter)) {
      throw input_error(name, number, "the tool or its size is out of range", line);
    }
    table[static_cast<std::uint32_t>(*tool)] = diameter;
  });
  return table;
}

std::optional<DrillFormat> parse_drill_format(std::string_view text) {
  std::string u;
  for (const char c : text) u += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  std::string_view s = trim(std::string_view(u), " \t");
  // A part left empty ("INCH,LZ,") is a typing slip, not a format.
  if (s.empty() || s.back() == ',') return std::nullopt;
  const auto next = [&]() {
    const std::size_t comma = s.find(',');
    const std::string_view part = trim(s.substr(0, comma), " \t");
    s.remove_prefix(comma == std::string_view::npos ? s.size() : comma + 1);
    return part;
  };
  const std::string_view units = next();
  DrillUnits unit;
  if (units == "INCH") {
    unit = DrillUnits::inch;
  } else if (units == "METRIC" || units == "MM") {
    unit = DrillUnits::millimetre;
  } else {
    return std::nullopt;
  }
  const std::string_view zeros = next();
  Zeros zero;
  if (zeros == "LZ") {
    zero = Zeros::leading;
  } else if (zeros == "TZ") {
    zero = Zeros::trailing;
  } else if (zeros == "DECIMAL") {
    zero = Zeros::decimal;
  } else {
    return std::nullopt;
  }
  DrillFormat format = customary_format(unit, zero);
  if (!s.empty()) {
    const std::string_view digits = next();
    if (!s.empty() || digits.size() != 3 || !is_digit(digits[0]) ||
        (digits[1] != ':' && digits[1] != '.') || !is_digit(digits[2])) {
      return std::nullopt;
    }
    format.integer_digits = digits[0] - '0';
    format.decimal_digits = digits[2] - '0';
    // No digits at all would read every coordinate as 0.
    if (format.integer_digits + format.decimal_digits == 0) return std::nullopt;
  }
  return format;
}

}  // namespace foilcad
