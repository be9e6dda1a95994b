#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "common/number.hpp"
#include "common/text.hpp"
#include "drill/drill.hpp"
#include "drill/side_files.hpp"

namespace foilcad {

namespace {

constexpr double kMmPerInch = 25.4;
constexpr double kMmPerMil = 0.0254;

double unit_factor(DrillUnits units) { return units == DrillUnits::inch ? kMmPerInch : 1.0; }

// 10 to the power e, exactly for the powers a number's digits can ask for.
double power_of_ten(int e) {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  return kPowers[std::clamp(e, 0, 22)];
}

bool starts_with_word(std::string_view s, std::string_view word) {
  if (!s.starts_with(word)) return false;
  return s.size() == word.size() || !(s[word.size()] >= 'A' && s[word.size()] <= 'Z');
}

// The number at the start of s: a sign, digits, a point and digits. Returns
// its length (0 when s starts with none).
std::size_t number_length(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && (is_digit(s[i]) || s[i] == '.')) ++i;
  return i;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The fallbacks of one reading: what is taken for what the file does not say.
struct Fallback {
  DrillUnits units = DrillUnits::inch;
  Zeros zeros = Zeros::leading;
};

// What comes from outside the drill file.
struct Outside {
  const DrillOptions* options = nullptr;
  const NcParameters* parameters = nullptr;  // nc_param.txt, when read
  const ToolTable* tool_table = nullptr;
};

struct Tool {
  double diameter = 0;          // mm; 0 while the file has given no size
  double comment_diameter = 0;  // from a comment (";T01 Holesize ..."): used when no size is given
  Plating plating = Plating::unknown;
  HoleUse use = HoleUse::unknown;
};

// One reading of a drill file with given fallbacks. It records which
// fallbacks it needed, so that the caller can tell a file that says all it
// means from one whose reading rests on an assumption.
class Parser {
 public:
  Parser(const std::filesystem::path& name, const Outside& outside, Fallback fallback)
      : name_(name), outside_(outside), fallback_(fallback) {
    const DrillOptions& options = *outside.options;
    if (options.format) {
      locked_ = true;
      units_ = options.format->units;
      zeros_ = options.format->zeros;
      digits_ = {options.format->integer_digits, options.format->decimal_digits};
      units_from_ = zeros_from_ = digits_from_ = FormatSource::option;
    } else if (outside.parameters != nullptr) {
      const NcParameters& p = *outside.parameters;
      if (p.units) set_units(*p.units, FormatSource::parameter_file);
      if (p.zeros) set_zeros(*p.zeros, FormatSource::parameter_file);
      if (p.digits) set_digits(p.digits->first, p.digits->second, FormatSource::parameter_file);
      incremental_ = p.incremental;
    }
  }

  void run(std::string_view text);

  DrillFile result() {
    DrillFile file;
    file.name = name_;
    file.holes = std::move(holes_);
    file.format = found_ ? *found_ : found_now();
    file.warnings = std::move(warnings_);
    file.lines = line_number_;
    return file;
  }

  const std::vector<Hole>& result_holes() const { return holes_; }

  // The fallbacks this reading needed, and the first line that needed one.
  bool units_assumed() const { return units_assumed_; }
  bool zeros_assumed() const { return zeros_assumed_; }
  std::size_t first_assumption_line() const { return assumption_line_; }
  const std::string& first_assumption_text() const { return assumption_text_; }
  Plating file_plating() const { return file_plating_; }
  bool kicad() const { return kicad_; }
  int first_layer() const { return first_layer_; }
  int last_layer() const { return last_layer_; }

 private:
  enum class Mode { drill, route };
  enum class Motion { rapid, linear, clockwise, counterclockwise };

  bool record(std::string_view line);
  void comment(std::string_view text);
  bool statement(std::string_view s);
  void units_statement(std::string_view s);
  void tool_statement(std::string_view s);
  void coordinate_statement(std::string_view s);
  void repeat_statement(std::string_view s);
  bool g_code(std::string_view& s);
  bool m_code(std::string_view s);

  // A coordinate word's number read in the format in force, in mm.
  double coordinate(std::string_view number);
  double size(std::string_view number, std::string_view what);
  DrillUnits units_in_force();
  void note_assumption();
  FoundFormat found_now() const;

  void set_units(DrillUnits units, FormatSource source) {
    if (locked_) {
      if (units != units_) warn(DrillWarningKind::format_overridden);
      return;
    }
    units_ = units;
    units_from_ = source;
  }
  void set_zeros(Zeros zeros, FormatSource source) {
    if (locked_) {
      if (zeros != zeros_) warn(DrillWarningKind::format_overridden);
      return;
    }
    zeros_ = zeros;
    zeros_from_ = source;
  }
  void set_digits(int integer, int decimal, FormatSource source) {
    if (integer < 0 || decimal < 0 || integer + decimal > kMaxDrillDigits || integer > 9 ||
        decimal > 9) {
      fail("the digit counts of the number format are out of range");
    }
    if (locked_) {
      if (std::pair{integer, decimal} != digits_) warn(DrillWarningKind::format_overridden);
      return;
    }
    digits_ = {integer, decimal};
    digits_from_ = source;
  }

  // The tool a hole is made with, sized: its own size, the size its comment
  // gives, or the tool table's; an error that names the tool otherwise.
  const Tool& sized_tool();
  void add_hole(Point from, Point to);
  void add_arc(Point from, Point to, Point centre, bool clockwise);
  void end_plunge();

  [[noreturn]] void fail(std::string_view what) const {
    throw input_error(name_, line_number_, what, line_);
  }
  void warn(DrillWarningKind kind) {
    for (DrillWarning& w : warnings_) {
      if (w.kind == kind) {
        ++w.count;
        return;
      }
    }
    warnings_.push_back({kind, 1, line_number_});
  }

  std::filesystem::path name_;
  Outside outside_;
  Fallback fallback_;
  bool locked_ = false;  // the user's format: the file's statements do not change it
  std::optional<DrillUnits> units_;
  std::optional<Zeros> zeros_;
  std::optional<std::pair<int, int>> digits_;
  FormatSource units_from_ = FormatSource::not_needed;
  FormatSource zeros_from_ = FormatSource::not_needed;
  FormatSource digits_from_ = FormatSource::not_needed;
  bool units_assumed_ = false;
  bool zeros_assumed_ = false;
  bool digits_assumed_ = false;
  std::size_t assumption_line_ = 0;
  std::string assumption_text_;
  std::optional<FoundFormat> found_;

  bool header_ = false;
  bool incremental_ = false;
  Point zero_set_{0, 0};  // G93
  Point at_{0, 0};        // the current position
  Mode mode_ = Mode::drill;
  Motion motion_ = Motion::linear;
  bool plunged_ = false;  // M15 without M16 yet
  bool cut_since_plunge_ = false;
  Point plunge_at_{0, 0};

  std::vector<Tool> tools_;
  std::uint32_t tool_ = 0;  // selected; 0 for none
  // Attributes said before a tool definition, for the tools that follow.
  Plating next_plating_ = Plating::unknown;
  HoleUse next_use_ = HoleUse::unknown;
  Plating section_plating_ = Plating::unknown;  // Altium's ";TYPE=PLATED" sections
  Plating file_plating_ = Plating::unknown;     // TF.FileFunction
  std::uint32_t plated_from_ = 0;               // Fritzing's first plated tool
  std::uint32_t non_plated_from_ = 0;
  int first_layer_ = 0;
  int last_layer_ = 0;
  bool kicad_ = false;

  std::vector<Hole> holes_;
  std::vector<DrillWarning> warnings_;
  std::string_view line_;
  std::size_t line_number_ = 0;
};

void Parser::run(std::string_view text) {
  // Room for the holes at once: a hole takes 12 bytes and more of a file,
  // and growing the list as it fills costs more than the reading.
  holes_.reserve(std::min(text.size() / 12, std::size_t{1} << 20));
  std::size_t number = 1;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view record_text = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!record_text.empty() && record_text.back() == '\r') record_text.remove_suffix(1);
    line_ = record_text;
    line_number_ = number++;
    if (!record(record_text)) break;
  }
  if (plunged_) end_plunge();
}

bool Parser::record(std::string_view line) {
  std::string_view s = trim(line, kSpaceAndTab);
  if (s.empty()) return true;
  if (s.front() == ';') {
    comment(trim(s.substr(1), kSpaceAndTab));
    return true;
  }
  // A comment may follow a statement ("M48 ; header"); "(...)" is the CNC
  // comment some writers use.
  const std::size_t semicolon = s.find(';');
  if (semicolon != std::string_view::npos) {
    comment(trim(s.substr(semicolon + 1), kSpaceAndTab));
    s = trim(s.substr(0, semicolon), kSpaceAndTab);
  }
  if (!s.empty() && s.front() == '(') return true;
  // "N123": a block number, which means nothing for the holes.
  if (s.size() > 1 && s[0] == 'N' && is_digit(s[1])) {
    std::size_t i = 1;
    while (i < s.size() && is_digit(s[i])) ++i;
    s.remove_prefix(i);
  }
  if (s.empty()) return true;
  return statement(s);
}

// Comments carry much of what modern files say: X2 attributes, the digits
// and plating of Altium and KiCad, tool sizes of Allegro and OrCAD.
void Parser::comment(std::string_view text) {
  if (text.starts_with("#@!")) {
    text = trim(text.substr(3), kSpaceAndTab);
    if (text.starts_with("TF.FileFunction,")) {
      // "Plated,1,6,PTH", "NonPlated,1,6,NPTH", "MixedPlating,1,4"
      std::string_view rest = text.substr(16);
      const std::size_t comma = rest.find(',');
      const std::string_view kind = rest.substr(0, comma);
      file_plating_ = kind == "Plated"      ? Plating::plated
                      : kind == "NonPlated" ? Plating::non_plated
                                            : Plating::unknown;
      if (comma != std::string_view::npos) {
        rest.remove_prefix(comma + 1);
        const std::size_t second = rest.find(',');
        const auto from = parse_integer(rest.substr(0, second));
        const auto to =
            second == std::string_view::npos
                ? std::nullopt
                : parse_integer(rest.substr(second + 1, rest.find(',', second + 1) - second - 1));
        if (from && to && *from > 0 && *to > 0 && *from <= 1000 && *to <= 1000) {
          first_layer_ = static_cast<int>(std::min(*from, *to));
          last_layer_ = static_cast<int>(std::max(*from, *to));
        }
      }
    } else if (text.starts_with("TA.AperFunction,")) {
      // "Plated,PTH,ViaDrill", "NonPlated,NPTH,ComponentDrill": for the tools
      // that follow, until another one or "TD".
      const std::string_view rest = text.substr(16);
      next_plating_ = rest.starts_with("Plated,")      ? Plating::plated
                      : rest.starts_with("NonPlated,") ? Plating::non_plated
                                                       : Plating::unknown;
      next_use_ = rest.find("ViaDrill") != std::string_view::npos ? HoleUse::via
                  : rest.find("ComponentDrill") != std::string_view::npos ||
                          rest.find("CastellatedDrill") != std::string_view::npos ||
                          rest.find("PressFit") != std::string_view::npos
                      ? HoleUse::component
                  : rest.find("MechanicalDrill") != std::string_view::npos ||
                          rest.find("Slot") != std::string_view::npos
                      ? HoleUse::mechanical
                      : HoleUse::unknown;
    } else if (text.starts_with("TD")) {
      next_plating_ = Plating::unknown;
      next_use_ = HoleUse::unknown;
    }
    return;
  }
  const std::string u = upper(text);
  if (u.starts_with("TYPE=")) {
    // Altium: the tools that follow, up to the next section.
    const std::string_view type = std::string_view(u).substr(5);
    section_plating_ = type.starts_with("PLATED")       ? Plating::plated
                       : type.starts_with("NON_PLATED") ? Plating::non_plated
                                                        : Plating::unknown;
    return;
  }
  if (u.starts_with("FILE_FORMAT=")) {
    // Altium: ";FILE_FORMAT=2:5", integer and decimal digits.
    const std::string_view f = std::string_view(text).substr(12);
    const std::size_t colon = f.find(':');
    const auto integer = parse_integer(f.substr(0, colon));
    const auto decimal =
        colon == std::string_view::npos ? std::nullopt : parse_integer(f.substr(colon + 1));
    if (!integer || !decimal) fail("cannot read the digits of FILE_FORMAT");
    set_digits(static_cast<int>(std::clamp(*integer, -1LL, 99LL)),
               static_cast<int>(std::clamp(*decimal, -1LL, 99LL)), FormatSource::file);
    return;
  }
  if (u.starts_with("FORMAT={")) {
    // KiCad: ";FORMAT={3:3/ absolute / metric / suppress trailing zeros}",
    // "{-:-/ absolute / metric / decimal}" or "... / keep zeros}".
    const std::string_view f = std::string_view(u).substr(8);
    if (f.size() >= 3 && is_digit(f[0]) && f[1] == ':' && is_digit(f[2])) {
      set_digits(f[0] - '0', f[2] - '0', FormatSource::file);
    }
    if (f.find("METRIC") != std::string_view::npos)
      set_units(DrillUnits::millimetre, FormatSource::file);
    if (f.find("INCH") != std::string_view::npos) set_units(DrillUnits::inch, FormatSource::file);
    if (f.find("SUPPRESS TRAILING") != std::string_view::npos)
      set_zeros(Zeros::leading, FormatSource::file);
    if (f.find("SUPPRESS LEADING") != std::string_view::npos)
      set_zeros(Zeros::trailing, FormatSource::file);
    if (f.find("DECIMAL") != std::string_view::npos) set_zeros(Zeros::decimal, FormatSource::file);
    if (f.find("INCREMENTAL") != std::string_view::npos) incremental_ = true;
    return;
  }
  if (u.starts_with("NON-PLATED HOLES START AT T") ||
      u.starts_with("THROUGH (PLATED) HOLES START AT T")) {
    // Fritzing numbers its tools by plating: ";NON-PLATED HOLES START AT T1",
    // "; THROUGH (PLATED) HOLES START AT T100".
    const auto first = parse_integer(std::string_view(u).substr(u.rfind('T') + 1));
    if (first && *first >= 0 && *first <= kMaxToolNumber) {
      (u[0] == 'N' ? non_plated_from_ : plated_from_) = static_cast<std::uint32_t>(*first);
    }
    return;
  }
  if (u.starts_with("DRILL FILE {KICAD")) {
    kicad_ = true;
    return;
  }
  if (u.size() > 1 && u[0] == 'T' && is_digit(u[1]) && u.find("HOLESIZE") != std::string::npos) {
    // Allegro and OrCAD: ";T01 Holesize 1. = 12.000000 Tolerance = +2/-2
    // PLATED MILS Quantity = 59": the size after "=", in the unit named.
    std::size_t i = 1;
    while (i < u.size() && is_digit(u[i])) ++i;
    const auto number = parse_integer(std::string_view(u).substr(1, i - 1));
    const std::size_t equals = u.find('=');
    if (!number || *number < 1 || *number > kMaxToolNumber || equals == std::string::npos) return;
    const std::string_view after = trim(std::string_view(u).substr(equals + 1), kSpaceAndTab);
    const std::size_t length = number_length(after);
    const auto value = parse_free_number(after.substr(0, length));
    if (!value) return;
    double factor = 0;
    if (u.find(" MILS") != std::string::npos || u.find(" MIL ") != std::string::npos) {
      factor = kMmPerMil;
    } else if (u.find(" MM") != std::string::npos) {
      factor = 1.0;
    } else if (u.find(" INCH") != std::string::npos) {
      factor = kMmPerInch;
    }
    if (factor == 0) return;
    const double diameter = *value * factor;
    if (!(diameter >= 0 && diameter <= kMaxToolDiameter)) fail("the tool size is out of range");
    const auto t = static_cast<std::size_t>(*number);
    if (tools_.size() <= t) tools_.resize(t + 1);
    tools_[t].comment_diameter = diameter;
    if (u.find("NON_PLATED") != std::string::npos || u.find("NONPLATED") != std::string::npos) {
      tools_[t].plating = Plating::non_plated;
    } else if (u.find(" PLATED") != std::string::npos) {
      tools_[t].plating = Plating::plated;
    }
  }
}

bool Parser::statement(std::string_view s) {
  switch (s.front()) {
    case 'X':
    case 'Y':
      header_ = false;  // a header left open ends at the first coordinate
      coordinate_statement(s);
      return true;
    case 'T':
      tool_statement(s);
      return true;
    case 'R':
      if (s.size() > 1 && is_digit(s[1])) repeat_statement(s);
      return true;
    case 'G':
      if (!g_code(s)) return true;
      if (!s.empty() && (s.front() == 'X' || s.front() == 'Y')) coordinate_statement(s);
      return true;
    case '%':
      header_ = false;  // the end of the header; elsewhere a rewind stop
      return true;
    default:
      break;
  }
  if (starts_with_word(s, "METRIC") || starts_with_word(s, "INCH")) {
    units_statement(s);
    return true;
  }
  if (s.starts_with("ICI")) {
    // Incremental input of coordinates: "ICI", "ICI,ON" or "ICI,OFF".
    incremental_ = s.find("OFF") == std::string_view::npos;
    return true;
  }
  if (s.front() == 'M') return m_code(s);
  return true;
}

// "METRIC", "INCH,LZ", "METRIC,TZ,000.000", "INCH,00.0000": units, the zeros
// kept, and the digits as a pattern of zeros.
void Parser::units_statement(std::string_view s) {
  set_units(s.starts_with("METRIC") ? DrillUnits::millimetre : DrillUnits::inch,
            FormatSource::file);
  std::size_t comma = s.find(',');
  while (comma != std::string_view::npos) {
    s.remove_prefix(comma + 1);
    comma = s.find(',');
    const std::string_view part = trim(s.substr(0, comma), kSpaceAndTab);
    // KiCad's decimal files say "METRIC,TZ" after a FORMAT comment that says
    // "decimal": its numbers are decimal, a whole one without its point.
    if ((part == "LZ" || part == "TZ") && zeros_ == Zeros::decimal) continue;
    if (part == "LZ") {
      set_zeros(Zeros::leading, FormatSource::file);
    } else if (part == "TZ") {
      set_zeros(Zeros::trailing, FormatSource::file);
    } else if (!part.empty() && part.find_first_not_of("0.") == std::string_view::npos) {
      const std::size_t point = part.find('.');
      if (point == std::string_view::npos || part.find('.', point + 1) != std::string_view::npos) {
        fail("cannot read the digits of the units statement");
      }
      set_digits(static_cast<int>(std::min<std::size_t>(point, 99)),
                 static_cast<int>(std::min<std::size_t>(part.size() - point - 1, 99)),
                 FormatSource::file);
    }
  }
}

// "T1C0.250", "T01F00S00C0.2000", "T1C.015F095S3": a tool and its size (C)
// among feeds, speeds and counts. In the header it defines the tool; in the
// body it selects it too ("T0" unloads).
void Parser::tool_statement(std::string_view s) {
  std::size_t i = 1;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i == 1) return;  // a word such as "TYPE" in a header
  if (i - 1 > 5) fail("the tool number is out of range");
  bool defined = false;
  const auto number = static_cast<std::uint32_t>(*parse_integer(s.substr(1, i - 1)));
  if (number > kMaxToolNumber) fail("the tool number is out of range");
  if (number > 0) {
    if (tools_.size() <= number) tools_.resize(number + 1);
    Tool& tool = tools_[number];
    while (i < s.size()) {
      const char letter = s[i++];
      const std::size_t length = number_length(s.substr(i));
      if (letter == 'C') {
        if (length == 0) fail("cannot read the tool's size");
        tool.diameter = size(s.substr(i, length), "tool size");
        defined = true;
      } else if (!(letter >= 'A' && letter <= 'Z')) {
        break;
      }
      i += length;
    }
    if (defined || header_) {
      if (next_plating_ != Plating::unknown || next_use_ != HoleUse::unknown) {
        tool.plating = next_plating_;
        tool.use = next_use_;
      } else if (section_plating_ != Plating::unknown) {
        tool.plating = section_plating_;
      } else if (plated_from_ > 0 && number >= plated_from_) {
        tool.plating = Plating::plated;
      } else if (non_plated_from_ > 0 && number >= non_plated_from_) {
        tool.plating = Plating::non_plated;
      }
    }
  }
  if (!header_ || !defined) {
    if (plunged_) end_plunge();
    tool_ = number;
  }
}

bool Parser::g_code(std::string_view& s) {
  if (s.size() < 3 || !is_digit(s[1]) || !is_digit(s[2])) return false;
  const int code = (s[1] - '0') * 10 + (s[2] - '0');
  s.remove_prefix(3);
  switch (code) {
    case 0:  // rapid move: the route mode, the tool up
      if (plunged_) end_plunge();
      mode_ = Mode::route;
      motion_ = Motion::rapid;
      return true;
    case 1:
    case 2:
    case 3:
      mode_ = Mode::route;
      motion_ = code == 1   ? Motion::linear
                : code == 2 ? Motion::clockwise
                            : Motion::counterclockwise;
      return true;
    case 5:   // drill mode
    case 81:  // the drill cycle, the same
      if (plunged_) end_plunge();
      mode_ = Mode::drill;
      return true;
    case 90:
      incremental_ = false;
      return false;
    case 91:
      incremental_ = true;
      return false;
    case 93: {
      // Zero set: the coordinates given are where zero lies from now on.
      Point zero{0, 0};
      while (!s.empty() && (s.front() == 'X' || s.front() == 'Y')) {
        const bool x = s.front() == 'X';
        const std::size_t length = number_length(s.substr(1));
        const double v = coordinate(s.substr(1, length));
        (x ? zero.x : zero.y) = v;
        s.remove_prefix(1 + length);
      }
      zero_set_ = zero;
      return false;
    }
    case 32:
    case 33:
    case 34:
    case 35:
    case 84:
      // Routed and drilled circles, canned slots of other shapes.
      warn(DrillWarningKind::unsupported);
      return false;
    default:
      // Cutter compensation (G40-G42), dwell, and what changes no hole.
      return true;
  }
}

bool Parser::m_code(std::string_view s) {
  if (s.size() < 3 || !is_digit(s[1]) || !is_digit(s[2])) return true;
  const int code = (s[1] - '0') * 10 + (s[2] - '0');
  switch (code) {
    case 48:
      header_ = true;
      return true;
    case 95:
      header_ = false;
      return true;
    case 71:
      set_units(DrillUnits::millimetre, FormatSource::file);
      return true;
    case 72:
      set_units(DrillUnits::inch, FormatSource::file);
      return true;
    case 15:  // plunge: routing cuts from here
      if (plunged_) end_plunge();
      plunged_ = true;
      cut_since_plunge_ = false;
      plunge_at_ = at_;
      return true;
    case 16:  // retract
    case 17:
      if (plunged_) end_plunge();
      return true;
    case 30:  // the end of the program
    case 0:
      return false;
    case 2:
      // "M02X..Y..": a pattern repeated at an offset; "M02" alone ends the
      // pattern's program in some files.
      if (s.size() > 3) warn(DrillWarningKind::unsupported);
      return true;
    case 25:  // the start of a pattern
    case 97:  // canned text
    case 98:
      warn(DrillWarningKind::unsupported);
      return true;
    default:
      return true;
  }
}

void Parser::note_assumption() {
  if (assumption_line_ == 0) {
    assumption_line_ = line_number_;
    assumption_text_.assign(line_);
  }
}

DrillUnits Parser::units_in_force() {
  if (units_) return *units_;
  if (!units_assumed_) note_assumption();
  units_assumed_ = true;
  return fallback_.units;
}

FoundFormat Parser::found_now() const {
  FoundFormat f;
  const DrillUnits units = units_ ? *units_ : fallback_.units;
  const Zeros zeros = zeros_ ? *zeros_ : fallback_.zeros;
  f.format = customary_format(units, zeros);
  if (digits_) {
    f.format.integer_digits = digits_->first;
    f.format.decimal_digits = digits_->second;
  }
  f.units = units_           ? units_from_
            : units_assumed_ ? FormatSource::guessed
                             : FormatSource::not_needed;
  f.zeros = zeros_           ? zeros_from_
            : zeros_assumed_ ? FormatSource::guessed
                             : FormatSource::not_needed;
  f.digits = digits_           ? digits_from_
             : digits_assumed_ ? FormatSource::customary
                               : FormatSource::not_needed;
  return f;
}

double Parser::coordinate(std::string_view number) {
  const DrillUnits units = units_in_force();
  std::size_t i = 0;
  const bool negative = !number.empty() && number[0] == '-';
  if (!number.empty() && (number[0] == '+' || number[0] == '-')) i = 1;
  const std::string_view digits = number.substr(i);
  if (digits.empty()) fail("cannot read a coordinate: no digits");
  double value = 0;
  if (digits.find('.') != std::string_view::npos) {
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
      fail("cannot read a coordinate as a number");
    }
  } else {
    if (digits.size() > static_cast<std::size_t>(kMaxDrillDigits)) {
      fail("a coordinate has too many digits");
    }
    long long whole = 0;
    for (const char c : digits) whole = whole * 10 + (c - '0');
    const Zeros zeros = zeros_ ? *zeros_ : fallback_.zeros;
    if (zeros == Zeros::decimal) {
      value = static_cast<double>(whole);
    } else {
      if (!digits_ && !digits_assumed_) {
        digits_assumed_ = true;
        warn(DrillWarningKind::customary_digits);
      }
      const DrillFormat customary = customary_format(units, zeros);
      const int integer = digits_ ? digits_->first : customary.integer_digits;
      const int decimal = digits_ ? digits_->second : customary.decimal_digits;
      const int count = static_cast<int>(digits.size());
      if (count != integer + decimal && !zeros_) {
        // Only a number of the full width reads the same either way.
        if (!zeros_assumed_) note_assumption();
        zeros_assumed_ = true;
      }
      // Leading zeros kept: the first `integer` digits are the integer part,
      // whatever follows are decimals. Trailing zeros kept: the last
      // `decimal` digits are the decimals.
      const int shift = zeros == Zeros::leading ? count - integer : decimal;
      value = shift >= 0 ? static_cast<double>(whole) / power_of_ten(shift)
                         : static_cast<double>(whole) * power_of_ten(-shift);
    }
  }
  value *= unit_factor(units);
  if (!(value <= kMaxDrillCoordinate)) fail("a coordinate is out of range");
  if (!found_) found_ = found_now();
  return negative ? -value : value;
}

double Parser::size(std::string_view number, std::string_view what) {
  const auto value = parse_free_number(number);
  if (!value) fail(std::string("cannot read the ") + std::string(what));
  const double mm = *value * unit_factor(units_in_force());
  if (!(mm >= 0 && mm <= kMaxToolDiameter))
    fail(std::string("the ") + std::string(what) + " is out of range");
  return mm;
}

// "X..Y..", with either axis left out (it keeps its value), perhaps followed
// by "G85X..Y.." (a slot from the first point to the second), or with "A"
// (radius) or "I"/"J" (centre offsets) for an arc in the route mode.
void Parser::coordinate_statement(std::string_view s) {
  const auto read_point = [&](std::string_view& rest, Point from, bool& any, double* radius,
                              Point* centre_offset) {
    Point p = incremental_ ? from : Point{from.x - zero_set_.x, from.y - zero_set_.y};
    bool given[2] = {false, false};
    while (!rest.empty()) {
      const char letter = rest.front();
      if (letter != 'X' && letter != 'Y' && letter != 'A' && letter != 'I' && letter != 'J') break;
      const std::size_t length = number_length(rest.substr(1));
      if (length == 0) fail("cannot read a coordinate: no digits");
      const double v = coordinate(rest.substr(1, length));
      rest.remove_prefix(1 + length);
      if (letter == 'X' || letter == 'Y') {
        const int axis = letter == 'Y';
        if (given[axis]) fail("an axis is given twice");
        given[axis] = true;
        any = true;
        double& c = axis == 0 ? p.x : p.y;
        c = incremental_ ? c + v : v;
      } else if (letter == 'A' && radius != nullptr) {
        *radius = v;
      } else if (centre_offset != nullptr) {
        (letter == 'I' ? centre_offset->x : centre_offset->y) = v;
      }
    }
    if (!incremental_) {
      p.x += zero_set_.x;
      p.y += zero_set_.y;
    }
    if (!(std::fabs(p.x) <= kMaxDrillCoordinate && std::fabs(p.y) <= kMaxDrillCoordinate)) {
      fail("a coordinate is out of range");
    }
    return p;
  };

  bool any = false;
  double radius = -1;
  Point offset{0, 0};
  bool has_offset = false;
  const Point from = at_;
  Point to = read_point(s, from, any, &radius, &offset);
  has_offset = offset.x != 0 || offset.y != 0;
  if (s.starts_with("G85")) {
    // A slot from the point just read to the one after G85.
    s.remove_prefix(3);
    bool end_given = false;
    const Point end = read_point(s, to, end_given, nullptr, nullptr);
    if (!end_given) fail("a G85 slot without its end point");
    at_ = end;
    add_hole(to, end);
    return;
  }
  at_ = to;
  if (mode_ == Mode::drill) {
    if (!any) return;
    add_hole(to, to);
    return;
  }
  // The route mode: a move, or a cut while the tool is down.
  if (!plunged_ || motion_ == Motion::rapid) return;
  if (from == to && radius < 0 && !has_offset) return;
  if (motion_ == Motion::linear) {
    add_hole(from, to);
  } else {
    const bool clockwise = motion_ == Motion::clockwise;
    Point centre{};
    if (has_offset) {
      centre = {from.x + offset.x, from.y + offset.y};
    } else if (radius > 0) {
      if (radius > kMaxDrillCoordinate) fail("the arc's radius is out of range");
      // The centre from which the arc turns at most half a circle in its
      // direction: on the perpendicular bisector of the chord.
      const double dx = to.x - from.x;
      const double dy = to.y - from.y;
      const double chord = std::hypot(dx, dy);
      if (chord == 0) return;
      const double half = chord / 2;
      const double h = radius > half ? std::sqrt(radius * radius - half * half) : 0.0;
      const double side = clockwise ? -1.0 : 1.0;
      centre = {from.x + dx / 2 - side * h * dy / chord, from.y + dy / 2 + side * h * dx / chord};
    } else {
      fail("an arc without its radius (A) or centre (I, J)");
    }
    add_arc(from, to, centre, clockwise);
  }
  cut_since_plunge_ = true;
}

// "R05X001000": the last hole made again 5 times, each time moved by the
// offsets given.
void Parser::repeat_statement(std::string_view s) {
  std::size_t i = 1;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i - 1 > 9) fail("the repeat count is out of range");
  const long long count = *parse_integer(s.substr(1, i - 1));
  s.remove_prefix(i);
  Point step{0, 0};
  while (!s.empty() && (s.front() == 'X' || s.front() == 'Y')) {
    const bool x = s.front() == 'X';
    const std::size_t length = number_length(s.substr(1));
    if (length == 0) fail("cannot read a coordinate: no digits");
    (x ? step.x : step.y) = coordinate(s.substr(1, length));
    s.remove_prefix(1 + length);
  }
  if (holes_.empty()) fail("a repeat code before any hole");
  if (count < 1) return;
  if (static_cast<unsigned long long>(count) > kMaxDrillHoles - holes_.size()) {
    fail("the repeat count makes more holes than the reader takes (" +
         std::to_string(kMaxDrillHoles) + ")");
  }
  Hole hole = holes_.back();
  hole.line = line_number_;
  for (long long k = 0; k < count; ++k) {
    hole.from = {hole.from.x + step.x, hole.from.y + step.y};
    hole.to = {hole.to.x + step.x, hole.to.y + step.y};
    if (!(std::fabs(hole.from.x) <= kMaxDrillCoordinate &&
          std::fabs(hole.from.y) <= kMaxDrillCoordinate &&
          std::fabs(hole.to.x) <= kMaxDrillCoordinate &&
          std::fabs(hole.to.y) <= kMaxDrillCoordinate)) {
      fail("the repeat code carries holes out of range");
    }
    holes_.push_back(hole);
  }
  at_ = hole.to;
}

const Tool& Parser::sized_tool() {
  if (tool_ == 0) fail("a hole before any tool is selected");
  Tool& tool = tools_[tool_];
  if (tool.diameter > 0) return tool;
  if (tool.comment_diameter > 0) {
    tool.diameter = tool.comment_diameter;
    return tool;
  }
  if (outside_.tool_table != nullptr) {
    const auto found = outside_.tool_table->find(tool_);
    if (found != outside_.tool_table->end() && found->second > 0) {
      tool.diameter = found->second;
      return tool;
    }
  }
  fail("tool " + std::to_string(tool_) +
       " has no size (give it in the file, in a comment or in a tool table)");
}

void Parser::add_hole(Point from, Point to) {
  const Tool& tool = sized_tool();
  if (holes_.size() >= kMaxDrillHoles) {
    fail("the file makes more holes than the reader takes (" + std::to_string(kMaxDrillHoles) +
         ")");
  }
  Hole hole;
  hole.from = from;
  hole.to = to;
  hole.diameter = tool.diameter;
  hole.plating = tool.plating;
  hole.use = tool.use;
  hole.tool = tool_;
  hole.line = line_number_;
  holes_.push_back(hole);
}

// An arc cut as a chain of straight slots whose centre lines stand off the
// arc by at most the tolerance: the slots' union then differs from the
// routed groove by no more than that.
void Parser::add_arc(Point from, Point to, Point centre, bool clockwise) {
  const double r = std::hypot(from.x - centre.x, from.y - centre.y);
  // The whole circle within the range keeps every chord's end within it.
  if (!(r <= kMaxDrillCoordinate && std::fabs(centre.x) + r <= kMaxDrillCoordinate &&
        std::fabs(centre.y) + r <= kMaxDrillCoordinate)) {
    fail("the arc reaches out of range");
  }
  const ArcSweep arc = arc_sweep(from, to, centre, clockwise);
  const double tolerance =
      outside_.options->arc_tolerance > 0 ? outside_.options->arc_tolerance : 0.001;
  const int chords = chord_count(arc.sweep, r, tolerance);
  Point previous = from;
  for (int k = 1; k < chords; ++k) {
    const double a = arc.start + (clockwise ? -1.0 : 1.0) * arc.sweep * k / chords;
    const Point p{centre.x + r * std::cos(a), centre.y + r * std::sin(a)};
    add_hole(previous, p);
    previous = p;
  }
  add_hole(previous, to);
}

// The tool goes up: a plunge that cut nothing leaves a round hole.
void Parser::end_plunge() {
  plunged_ = false;
  if (!cut_since_plunge_) add_hole(plunge_at_, plunge_at_);
}

// Whether the holes fit the board: all within it (a margin allowed), and
// spread over at least half its width or height. A reading in the wrong
// units or with the wrong zeros is 25.4 or 10 and more times too large or too
// small: it leaves the board, or huddles in a corner of it.
bool fits(const std::vector<Hole>& holes, const Box& board) {
  if (holes.empty() || board.empty()) return false;
  Box extent = Box::nothing();
  for (const Hole& h : holes) {
    add(extent, h.from);
    add(extent, h.to);
  }
  const double margin = std::max(1.0, 0.02 * std::max(board.width(), board.height()));
  const Box grown{board.min_x - margin, board.max_x + margin, board.min_y - margin,
                  board.max_y + margin};
  if (!grown.contains(extent)) return false;
  return extent.width() >= 0.5 * board.width() || extent.height() >= 0.5 * board.height();
}

bool same_holes(const std::vector<Hole>& a, const std::vector<Hole>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i].from == b[i].from && a[i].to == b[i].to && a[i].diameter == b[i].diameter)) {
      return false;
    }
  }
  return true;
}

std::string fallback_name(Fallback f) {
  std::string s = f.units == DrillUnits::inch ? "INCH" : "METRIC";
  s += f.zeros == Zeros::leading ? ",LZ" : f.zeros == Zeros::trailing ? ",TZ" : ",DECIMAL";
  return s;
}

DrillFile read(std::string_view text, const std::filesystem::path& name, const Outside& outside) {
  const DrillOptions& options = *outside.options;
  Parser first(name, outside, Fallback{});
  first.run(text);
  Parser* chosen = &first;
  std::optional<Parser> guessed;
  if (first.units_assumed() || first.zeros_assumed()) {
    std::string what = "the drill file does not say ";
    what += first.units_assumed() ? "its units" : "which zeros its numbers keep";
    if (first.units_assumed() && first.zeros_assumed()) what += " nor which zeros its numbers keep";
    if (!options.board) {
      throw input_error(name, first.first_assumption_line(),
                        what + ": give them with --drill-format, e.g. INCH,LZ,2:4 or METRIC,TZ,3:3",
                        first.first_assumption_text());
    }
    // Every reading of what the file leaves open, each checked against the
    // board; exactly one must fit.
    std::vector<Fallback> candidates;
    for (const DrillUnits units : {DrillUnits::inch, DrillUnits::millimetre}) {
      if (!first.units_assumed() && units != DrillUnits::inch) continue;
      for (const Zeros zeros : {Zeros::leading, Zeros::trailing}) {
        if (!first.zeros_assumed() && zeros != Zeros::leading) continue;
        candidates.push_back({units, zeros});
      }
    }
    std::vector<std::string> fitting;
    for (const Fallback& candidate : candidates) {
      std::optional<Parser> reading;
      reading.emplace(name, outside, candidate);
      try {
        reading->run(text);
      } catch (const Error&) {
        continue;
      }
      if (!fits(reading->result_holes(), *options.board)) continue;
      if (guessed && same_holes(guessed->result_holes(), reading->result_holes())) continue;
      fitting.push_back(fallback_name(candidate));
      if (!guessed) guessed = std::move(reading);
    }
    if (fitting.size() != 1) {
      std::string why = fitting.empty() ? ", and no reading fits the board"
                                        : ", and more than one reading fits the board (";
      for (std::size_t i = 0; i < fitting.size(); ++i) why += (i ? ", " : "") + fitting[i];
      if (!fitting.empty()) why += ")";
      throw input_error(name, first.first_assumption_line(),
                        what + why + ": give them with --drill-format, e.g. INCH,LZ,2:4",
                        first.first_assumption_text());
    }
    chosen = &*guessed;
  }
  Parser& parser = *chosen;
  DrillFile file = parser.result();
  if (chosen != &first) {
    file.warnings.push_back({DrillWarningKind::format_guessed, 1, first.first_assumption_line()});
  }
  // Plating: the tool's, else the file's, else KiCad's file name, else the
  // user's; layer spans from the file function.
  Plating file_plating = parser.file_plating();
  std::size_t unknown_line = 0;
  std::size_t unknown = 0;
  for (const Hole& h : file.holes) {
    if (h.plating == Plating::unknown && unknown++ == 0) unknown_line = h.line;
  }
  if (unknown > 0 && file_plating == Plating::unknown) {
    const std::string stem = upper(name.filename().string());
    DrillWarningKind kind = DrillWarningKind::plating_unknown;
    // KiCad's files before X2 attributes say their plating only by name
    // ("-PTH.drl", "-NPTH.drl"), and so do gEDA's ("plated-drill.cnc",
    // "unplated-drill.cnc"); fabricators go by these names.
    if (stem.find("-NPTH") != std::string::npos || stem.find("_NPTH") != std::string::npos ||
        stem.find("UNPLATED-DRILL") != std::string::npos) {
      file_plating = Plating::non_plated;
      kind = DrillWarningKind::plating_from_name;
    } else if (stem.find("-PTH") != std::string::npos || stem.find("_PTH") != std::string::npos ||
               stem.find("PLATED-DRILL") != std::string::npos) {
      file_plating = Plating::plated;
      kind = DrillWarningKind::plating_from_name;
    } else if (options.plating != Plating::unknown) {
      file_plating = options.plating;
      kind = DrillWarningKind::plating_from_user;
    }
    file.warnings.push_back({kind, unknown, unknown_line});
  }
  for (Hole& h : file.holes) {
    if (h.plating == Plating::unknown) h.plating = file_plating;
    h.first_layer = parser.first_layer();
    h.last_layer = parser.last_layer();
  }
  if (outside.parameters != nullptr && !options.format) {
    file.warnings.push_back({DrillWarningKind::parameter_file, 1, 0});
  }
  if (options.board && !file.holes.empty()) {
    const double margin = 1.0;
    const Box& b = *options.board;
    const Box grown{b.min_x - margin, b.max_x + margin, b.min_y - margin, b.max_y + margin};
    std::size_t outside_count = 0;
    std::size_t first_line = 0;
    for (const Hole& h : file.holes) {
      if (!grown.contains(Box{std::min(h.from.x, h.to.x), std::max(h.from.x, h.to.x),
                              std::min(h.from.y, h.to.y), std::max(h.from.y, h.to.y)})) {
        if (outside_count++ == 0) first_line = h.line;
      }
    }
    if (outside_count > 0) {
      file.warnings.push_back({DrillWarningKind::outside_board, outside_count, first_line});
    }
  }
  std::stable_sort(
      file.warnings.begin(), file.warnings.end(),
      [](const DrillWarning& a, const DrillWarning& b) { return a.first_line < b.first_line; });
  return file;
}

std::string read_whole(const std::filesystem::path& path, std::string_view what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw file_error(path, std::string("cannot open the ") + std::string(what), errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    text.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw file_error(path, std::string("cannot read the ") + std::string(what), errno);
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

}  // namespace

DrillFormat customary_format(DrillUnits units, Zeros zeros) {
  return units == DrillUnits::inch ? DrillFormat{units, zeros, 2, 4}
                                   : DrillFormat{units, zeros, 3, 3};
}

std::string_view describe(FormatSource source) {
  switch (source) {
    case FormatSource::file:
      return "the file";
    case FormatSource::parameter_file:
      return "nc_param.txt";
    case FormatSource::option:
      return "--drill-format";
    case FormatSource::customary:
      return "customary";
    case FormatSource::guessed:
      return "guessed against the board";
    case FormatSource::not_needed:
      return "not needed";
  }
  return "unknown";
}

std::string_view describe(DrillWarningKind kind) {
  switch (kind) {
    case DrillWarningKind::format_overridden:
      return "the drill file's own units or number format are overridden by --drill-format";
    case DrillWarningKind::format_guessed:
      return "the drill file does not say its units or number format: the one reading that fits "
             "the board is used";
    case DrillWarningKind::customary_digits:
      return "the drill file does not give its digits: the customary 2:4 (inch) or 3:3 (mm) are "
             "used";
    case DrillWarningKind::parameter_file:
      return "the drill file's units or number format are taken from nc_param.txt beside it";
    case DrillWarningKind::plating_from_name:
      return "the drill file does not say whether its holes are plated: its name (-PTH, -NPTH, "
             "plated-drill, unplated-drill) is taken to say it";
    case DrillWarningKind::plating_from_user:
      return "the drill file does not say whether these holes are plated: they are taken as the "
             "user says";
    case DrillWarningKind::plating_unknown:
      return "the drill file does not say whether these holes are plated: their plating is "
             "unknown";
    case DrillWarningKind::outside_board:
      return "holes lie outside the photoplot's extent";
    case DrillWarningKind::unsupported:
      return "statements that make holes the reader does not read (canned text, patterns, "
             "circles) are skipped";
  }
  return "unknown warning";
}

DrillFile read_drill_text(std::string_view text, const std::filesystem::path& name,
                          const DrillOptions& options) {
  std::optional<ToolTable> table;
  if (options.tool_table) {
    table = read_tool_table(read_whole(*options.tool_table, "tool table"), *options.tool_table);
  }
  Outside outside{&options, nullptr, table ? &*table : nullptr};
  return read(text, name, outside);
}

DrillFile read_drill(const std::filesystem::path& path, const DrillOptions& options) {
  const std::string text = read_whole(path, "drill file");
  std::optional<ToolTable> table;
  if (options.tool_table) {
    table = read_tool_table(read_whole(*options.tool_table, "tool table"), *options.tool_table);
  }
  // Allegro writes the format of its drill files into nc_param.txt beside
  // them, not into the files.
  std::optional<NcParameters> parameters;
  std::optional<std::filesystem::path> parameter_path;
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  for (const char* candidate : {"nc_param.txt", "NC_PARAM.TXT"}) {
    std::error_code ignored;
    const std::filesystem::path p = folder / candidate;
    if (std::filesystem::is_regular_file(p, ignored)) {
      parameters = read_nc_parameters(read_whole(p, "parameter file"), p);
      parameter_path = p;
      break;
    }
  }
  Outside outside{&options, parameters ? &*parameters : nullptr, table ? &*table : nullptr};
  DrillFile file = read(text, path, outside);
  if (parameters) file.parameter_file = parameter_path;
  return file;
}

}  // namespace foilcad
