#include "photoplot/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <string>

#include "common/arc.hpp"
#include "common/error.hpp"
#include "common/huge_pages.hpp"
#include "common/number.hpp"
#include "common/text.hpp"
#include "photoplot/macro.hpp"
#include "photoplot/plot_state.hpp"

namespace foilcad {

double power_factor(int d) {
  if (d == 0) return 1.0;
  // The converter these files come from squared the single-precision base and
  // stored it in single precision at every step but one: p(2) kept the
  // unrounded square in an extended-precision register.
  const float base = 0.1f;
  if (d == 2) return static_cast<double>(base) * static_cast<double>(base);
  float square = base;
  int remaining = d;
  while (remaining % 2 == 0) {
    square = square * square;
    remaining /= 2;
  }
  double result = square;
  remaining /= 2;
  while (remaining > 0) {
    square = square * square;
    if (remaining % 2 != 0) result *= static_cast<double>(square);
    remaining /= 2;
  }
  return result;
}

namespace {

enum class Operation { none, move, stroke, flash };

// The operation code s begins with: "D01", "D02" or "D03", also with the
// leading zero left out ("D1", as some tools write them) or with more of
// them. No further digit may follow, so that a selection such as "D012*" is
// not read as "D01". length receives the characters the code takes.
Operation operation_code(std::string_view s, std::size_t& length) {
  if (s.size() < 2 || s[0] != 'D') return Operation::none;
  std::size_t i = 1;
  while (i < s.size() && s[i] == '0') ++i;
  if (i == s.size() || s[i] < '1' || s[i] > '3') return Operation::none;
  const char digit = s[i++];
  if (i < s.size() && is_digit(s[i])) return Operation::none;
  length = i;
  return digit == '1' ? Operation::stroke : digit == '2' ? Operation::move : Operation::flash;
}

// "M02" ends the reading, also behind an operation code ("D02M02*").
bool ends_program(std::string_view s) { return s.starts_with("M02"); }

// Points along an arc, close enough that a chord never strays more than a
// micrometre from the arc; the end point is the last.
void append_arc_points(std::vector<Point>& points, double x0, double y0, double x1, double y1,
                       double cx, double cy, bool clockwise) {
  const double r = std::hypot(x0 - cx, y0 - cy);
  const ArcSweep arc = arc_sweep({x0, y0}, {x1, y1}, {cx, cy}, clockwise);
  const double start = arc.start;
  const double sweep = arc.sweep;
  constexpr double kSagitta = 0.001;
  const int chords = chord_count(sweep, r, kSagitta);
  for (int k = 1; k < chords; ++k) {
    const double a = start + (clockwise ? -1.0 : 1.0) * sweep * k / chords;
    points.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
  points.push_back({x1, y1});
}

// The value of n hexadecimal digits of s from at; none when one is not a
// hexadecimal digit or s ends before.
std::optional<std::uint32_t> hexadecimal(std::string_view s, std::size_t at, std::size_t n) {
  if (at > s.size() || s.size() - at < n) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : s.substr(at, n)) {
    const int digit = is_digit(c)            ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// An attribute's field with its escapes written out as UTF-8: "\uXXXX" (four
// hexadecimal digits) and "\UXXXXXXXX" (eight) stand for the character of
// that Unicode code point; fields carry the separators (",", "*", "%", "\")
// and characters beyond ASCII so. Tools that keep text in UTF-16 write a
// character beyond U+FFFF as two escapes, its surrogates: the pair is the one
// character. An escape of no character a name can hold (a control
// character, a surrogate alone, beyond U+10FFFF) and a backslash that begins
// no escape stay as written. Never longer than the field.
std::string decode_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size();) {
    if (field[i] == '\\' && i + 1 < field.size() && (field[i + 1] == 'u' || field[i + 1] == 'U')) {
      const std::size_t digits = field[i + 1] == 'u' ? 4 : 8;
      std::optional<std::uint32_t> code = hexadecimal(field, i + 2, digits);
      std::size_t length = 2 + digits;
      if (code && digits == 4 && *code >= 0xD800 && *code < 0xDC00 &&
          field.substr(i + 6).starts_with("\\u")) {
        const std::optional<std::uint32_t> low = hexadecimal(field, i + 8, 4);
        if (low && *low >= 0xDC00 && *low < 0xE000) {
          code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
          length = 12;
        }
      }
      const auto nameable = [](std::uint32_t c) {
        const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
        return !control && !(c >= 0xD800 && c < 0xE000) && c <= 0x10FFFF;
      };
      if (code && nameable(*code)) {
        append_utf8(out, *code);
        i += length;
        continue;
      }
    }
    out.push_back(field[i++]);
  }
  return out;
}

// The digit counts of one axis of a format statement.
struct AxisFormat {
  int integer_digits = 0;
  int decimal_digits = 0;
};

class Reader {
 public:
  explicit Reader(const std::filesystem::path& name) : name_(name) {}

  // Room for the objects of a file of size bytes: most statements of a large
  // file draw, and take 15 bytes and more.
  void reserve(std::size_t size) {
    constexpr std::size_t kMaxReserved = std::size_t{1} << 22;
    reserve_in_huge_pages(plot_.drawing.objects, std::min(size / 16, kMaxReserved));
  }

  // Reads one record. Returns false when it ends the reading ("M02").
  bool record(std::string_view line, std::size_t line_number);

  // The end of the file. An extended command still open means the file was
  // cut short: what it meant cannot be known. An open region is closed and
  // ended, an open step and repeat block closed.
  Drawing finish(std::size_t records);

 private:
  // What a statement handler made of a statement: nothing it handles (the
  // next handler looks), done, or the end of the file.
  enum class Handled { no, yes, end_of_file };

  // Reads one statement. Returns false when it ends the reading.
  bool statement(std::string_view s);
  bool parking_move(std::string_view s);
  Handled code_statement(std::string_view& s);
  void sequence_number(std::string_view& s);
  void unit_code(std::string_view& s);
  bool image_statement(std::string_view s);
  bool interpolation_mode(std::string_view& s);
  bool region_statement(std::string_view s);
  // Regions closed by G36/G37 from unreported_region_ on are reported at line.
  void report_regions(std::size_t line) {
    auto& regions = plot_.drawing.regions;
    for (std::size_t r = unreported_region_; r < regions.size(); ++r) regions[r].report_line = line;
    unreported_region_ = kNone;
  }
  void aperture_selection(std::string_view s);
  bool operation_statement(std::string_view s);
  double unit() const { return millimetres_ ? 1.0 : kInchFactor; }
  bool extended(std::string_view s);
  void macro_definition(std::string_view s);
  void step_and_repeat(std::string_view s);
  void draw(double offset_i, double offset_j);
  bool arc_centre(double x0, double y0, double x1, double y1, double i, double j, double& cx,
                  double& cy) const;
  void end_contour();
  void format_statement(std::string_view s);
  void aperture_definition(std::string_view s, double unit);
  void attribute(std::string_view s);
  void object_attribute(std::string_view s);
  void image_parameter(std::string_view s);
  double coordinate(std::string_view digits, const AxisFormat& format, std::string_view what) const;

  [[noreturn]] void fail(std::string_view what) const {
    throw input_error(name_, line_number_, what, line_);
  }
  void warn(WarningKind kind) {
    for (Warning& w : warnings_) {
      if (w.kind == kind) {
        ++w.count;
        return;
      }
    }
    warnings_.push_back({kind, 1, line_number_});
  }
  double number_field(std::string_view field, std::string_view what) const;
  long long integer_field(std::string_view field, std::string_view what) const;
  int aperture_code(std::string_view field) const;
  double size_field(std::string_view field, double unit) const;
  int format_digit(char c) const;
  // The position of the first of terminators in s at or after from; a missing
  // terminator leaves the field empty, which no number can be read from.
  std::size_t terminator(std::string_view s, std::size_t from, std::string_view terminators,
                         std::string_view what) const;
  void select_if_aperture(long long code) {
    // D-codes below 10 are operations (D01, D02, D03), never apertures.
    if (code >= 10) plot_.select_aperture(code);
  }

  std::filesystem::path name_;
  PlotState plot_;
  std::vector<Warning> warnings_;
  // Inch factors carry the inch factor from the start; the millimetre pair
  // starts at 1. Every format statement multiplies both pairs, so a file that
  // never names its units reads exactly as it did before units were honoured.
  double inch_factor_x_ = kInchFactor;
  double inch_factor_y_ = kInchFactor;
  double mm_factor_x_ = 1.0;
  double mm_factor_y_ = 1.0;
  bool millimetres_ = false;
  // With trailing zeros omitted, coordinates are padded to the full digit
  // count of the format statement before they are read.
  bool trailing_zeros_omitted_ = false;
  AxisFormat format_x_;
  AxisFormat format_y_;
  bool circular_ = false;  // G02/G03 in force
  bool clockwise_ = false;
  bool multi_quadrant_ = false;  // G75; single quadrant (G74) until it is said
  // Regions: the contour being gathered between G36 and G37.
  bool region_ = false;
  std::vector<Point> contour_;
  static constexpr std::size_t kNone = SIZE_MAX;
  std::size_t unreported_region_ = kNone;
  std::map<std::string, ApertureMacro, std::less<>> macros_;
  bool inches_used_ = false;
  bool millimetres_used_ = false;
  Operation last_operation_ = Operation::none;
  // A negative image, said by "%IPNEG" or by the attribute
  // ".FilePolarity,Negative": what the file draws is where copper is not.
  bool image_negative_ = false;
  bool polarity_negative_ = false;
  // An extended command that continues on the next record.
  std::string open_extended_;
  std::size_t open_extended_line_ = 0;
  std::string open_extended_record_;
  std::string_view line_;
  std::size_t line_number_ = 0;
  std::size_t record_number_ = 0;  // of line_, which an extended command may end
};

double Reader::number_field(std::string_view field, std::string_view what) const {
  const auto value = parse_free_number(field);
  if (!value) fail(std::string("cannot read the ") + std::string(what) + " as a number");
  return *value;
}

long long Reader::integer_field(std::string_view field, std::string_view what) const {
  const auto value = parse_integer(field);
  if (!value) fail(std::string("cannot read the ") + std::string(what) + " as an integer");
  return *value;
}

int Reader::aperture_code(std::string_view field) const {
  // Apertures are kept and selected by int everywhere after the reader; a
  // code beyond that range would otherwise alias another aperture.
  const long long code = integer_field(field, "aperture code");
  if (code < std::numeric_limits<int>::min() || code > std::numeric_limits<int>::max()) {
    fail("the aperture code is out of range");
  }
  return static_cast<int>(code);
}

double Reader::size_field(std::string_view field, double unit) const {
  const double size = number_field(field, "aperture size") * unit;
  // A negative size would make rectangles whose lower bound lies above the
  // upper one; an infinite one cannot be placed on a grid.
  if (!std::isfinite(size) || size < 0) fail("the aperture size is out of range");
  return size;
}

int Reader::format_digit(char c) const {
  if (!is_digit(c)) fail("the number of decimal digits in the format statement is not a digit");
  return c - '0';
}

std::size_t Reader::terminator(std::string_view s, std::size_t from, std::string_view terminators,
                               std::string_view what) const {
  // Compared character by character: find_first_of calls memchr on the
  // terminators for every character of s, which costs more than the few
  // comparisons (this runs for every coordinate of a file).
  for (std::size_t at = from; at < s.size(); ++at) {
    for (const char t : terminators) {
      if (s[at] == t) return at;
    }
  }
  fail(std::string("cannot read the ") + std::string(what) + ": its terminator is missing");
}

double Reader::coordinate(std::string_view digits, const AxisFormat& format,
                          std::string_view what) const {
  if (!trailing_zeros_omitted_) {
    // Nearly every coordinate is a plain integer of a few digits, perhaps
    // signed: read here the way parse_free_number reads one (up to 18 digits
    // through long long, exactly), without its trimming and checks.
    std::size_t i = 0;
    const bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) i = 1;
    if (digits.size() > i && digits.size() - i <= 18) {
      long long value = 0;
      std::size_t j = i;
      while (j < digits.size() && is_digit(digits[j])) value = value * 10 + (digits[j++] - '0');
      if (j == digits.size()) {
        const double magnitude = static_cast<double>(value);
        return negative ? -magnitude : magnitude;
      }
    }
  }
  if (trailing_zeros_omitted_ && digits.find('.') == std::string_view::npos) {
    std::string padded(digits);
    const std::size_t sign = !padded.empty() && (padded[0] == '+' || padded[0] == '-') ? 1 : 0;
    const auto full = static_cast<std::size_t>(format.integer_digits + format.decimal_digits);
    if (padded.size() - sign < full) padded.append(full - (padded.size() - sign), '0');
    return number_field(padded, what);
  }
  return number_field(digits, what);
}

bool Reader::record(std::string_view line, std::size_t line_number) {
  line_ = line;
  line_number_ = line_number;
  record_number_ = line_number;
  std::string_view rest = line;
  if (!open_extended_.empty()) {
    const std::size_t close = rest.find('%');
    if (close == std::string_view::npos) {
      open_extended_.append(rest);
      return true;
    }
    open_extended_.append(rest.substr(0, close + 1));
    rest.remove_prefix(close + 1);
    const std::string whole = std::move(open_extended_);
    open_extended_.clear();
    line_number_ = open_extended_line_;
    const bool go_on = extended(whole);
    line_number_ = line_number;
    if (!go_on) return false;
  } else if (line.starts_with("G04")) {
    // A comment runs to the end of its record, stars included.
    return statement(line);
  }
  bool first = rest.data() == line.data();
  while (!rest.empty()) {
    // A record that begins with a blank matches nothing (files written one
    // statement per line rely on it); blanks between statements of one
    // record only separate them.
    if (!first) {
      const std::size_t start = rest.find_first_not_of(' ');
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
    }
    first = false;
    std::string_view s;
    if (rest.front() == '%') {
      const std::size_t close = rest.find('%', 1);
      if (close == std::string_view::npos) {
        // An extended command without its closing "%" is complete at the end
        // of its record when it ends in "*" (the way single statements were
        // always written), except for a macro, whose primitives follow on
        // the next records.
        const std::string_view open = trim_trailing(rest);
        if (open.ends_with('*') && !open.starts_with("%AM")) return statement(rest);
        open_extended_.assign(rest);
        open_extended_line_ = line_number;
        open_extended_record_.assign(line);
        return true;
      }
      s = rest.substr(0, close + 1);
      rest.remove_prefix(close + 1);
      if (!extended(s)) return false;
      continue;
    }
    const std::size_t star = rest.find('*');
    s = rest.substr(0, star == std::string_view::npos ? rest.size() : star + 1);
    rest.remove_prefix(s.size());
    if (!statement(s)) return false;
  }
  return true;
}

// An extended command may hold several "*"-ended words ("%FSLAX24Y24*MOIN*%");
// each is read as a statement of its own. A macro definition is one whole.
bool Reader::extended(std::string_view s) {
  if (s.starts_with("%AM")) {
    macro_definition(s);
    return true;
  }
  std::string_view body = s.substr(1, s.size() >= 2 ? s.size() - 2 : 0);
  std::string word;
  while (!body.empty()) {
    const std::size_t star = body.find('*');
    const std::string_view w = body.substr(0, star);
    body.remove_prefix(star == std::string_view::npos ? body.size() : star + 1);
    if (trim_trailing(w).empty()) continue;
    word.clear();
    word.push_back('%');
    word.append(w).append("*%");
    if (!statement(word)) return false;
  }
  return true;
}

void Reader::format_statement(std::string_view s) {
  // Files written one statement per line with the letters in columns 4 and 5
  // ("%FSLAX24Y24*%") are read by their fixed columns: their coordinates
  // depend on that reading.
  if (s.size() >= 13 && (s[5] == 'X' || s[8] == 'Y')) {
    trailing_zeros_omitted_ = s[3] == 'T';
    if (s[4] == 'I') warn(WarningKind::incremental_coordinates);
    if (s[5] == 'X') {
      const double p = power_factor(format_digit(s[7]));
      inch_factor_x_ *= p;
      mm_factor_x_ *= p;
      format_x_ = {is_digit(s[6]) ? s[6] - '0' : 0, s[7] - '0'};
    }
    if (s[8] == 'Y') {
      const double p = power_factor(format_digit(s[10]));
      inch_factor_y_ *= p;
      mm_factor_y_ *= p;
      format_y_ = {is_digit(s[9]) ? s[9] - '0' : 0, s[10] - '0'};
    }
    return;
  }
  // Otherwise: an optional zero-omission letter, an optional notation letter,
  // then X and Y with their integer and decimal digit counts.
  std::size_t i = 3;
  bool trailing = false;
  bool incremental = false;
  const auto counted = [&](std::size_t at) { return at + 1 < s.size() && is_digit(s[at + 1]); };
  if (i < s.size() && (s[i] == 'L' || s[i] == 'T' || (s[i] == 'D' && !counted(i)))) {
    trailing = s[i++] == 'T';
  }
  if (i < s.size() && (s[i] == 'A' || s[i] == 'I')) incremental = s[i++] == 'I';
  // Older statements give the digit counts of sequence numbers and of G, D
  // and M codes before X ("%FSLAN2G2X34Y34*%"); coordinates do not need them.
  while (i < s.size() && std::string_view("NGDM").find(s[i]) != std::string_view::npos &&
         counted(i)) {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
  }
  const auto axis = [&](char letter, AxisFormat& format) {
    if (i + 2 >= s.size() || s[i] != letter || !is_digit(s[i + 1]) || !is_digit(s[i + 2])) {
      fail("cannot read the format statement");
    }
    format = {s[i + 1] - '0', s[i + 2] - '0'};
    i += 3;
  };
  AxisFormat x;
  AxisFormat y;
  axis('X', x);
  axis('Y', y);
  trailing_zeros_omitted_ = trailing;
  if (incremental) warn(WarningKind::incremental_coordinates);
  format_x_ = x;
  format_y_ = y;
  const double px = power_factor(x.decimal_digits);
  const double py = power_factor(y.decimal_digits);
  inch_factor_x_ *= px;
  mm_factor_x_ *= px;
  inch_factor_y_ *= py;
  mm_factor_y_ *= py;
}

void Reader::aperture_definition(std::string_view s, double unit) {
  long long code = 0;
  std::string_view shape;
  std::size_t modifiers_begin = 0;
  if (s.size() >= 10 && std::string_view("CROP").find(s[7]) != std::string_view::npos &&
      s[8] == ',' && parse_integer(s.substr(4, 3))) {
    // Three-digit codes at fixed columns: the shape letter in column 8 and the
    // modifiers from column 10 ("%ADD010C,0.0100*%"), as files always were read.
    // Anything else there begins a macro's name ("%ADD121THD121*%").
    code = aperture_code(s.substr(4, 3));
    shape = s.substr(7, 1);
    modifiers_begin = 9;
  } else {
    // Any number of code digits, the shape (a letter or a macro's name), then
    // "," and the modifiers separated by "X": "%ADD10R,1.016000X4.572000*%".
    std::size_t i = 4;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == 4) fail("cannot read the aperture code as an integer");
    code = aperture_code(s.substr(4, i - 4));
    const std::size_t shape_end = s.find_first_of(",*", i);
    if (shape_end == std::string_view::npos || shape_end == i) {
      fail("cannot read the shape of the aperture definition");
    }
    shape = s.substr(i, shape_end - i);
    modifiers_begin = s[shape_end] == ',' ? shape_end + 1 : shape_end;
  }
  plot_.select_aperture(code);
  const std::size_t star = terminator(s, modifiers_begin, "*", "aperture size");
  std::vector<std::string_view> modifiers;
  for (std::string_view rest = s.substr(modifiers_begin, star - modifiers_begin); !rest.empty();) {
    const std::size_t x = rest.find('X');
    modifiers.push_back(rest.substr(0, x));
    rest.remove_prefix(x == std::string_view::npos ? rest.size() : x + 1);
  }
  const bool standard =
      shape.size() == 1 && std::string_view("CROP").find(shape[0]) != std::string_view::npos;
  Aperture aperture;
  if (standard) {
    if (modifiers.empty()) fail("the aperture definition has no size");
    const char letter = shape[0];
    aperture.shape = letter == 'C'   ? Aperture::Shape::circle
                     : letter == 'R' ? Aperture::Shape::rectangle
                     : letter == 'O' ? Aperture::Shape::obround
                                     : Aperture::Shape::polygon;
    // The sizes the pad's extent depends on must be sizes: a circle's or
    // polygon's diameter, a rectangle's or obround's two sides. The rest (a
    // hole, a polygon's vertices and rotation) is read as far as it reads as
    // numbers.
    const std::size_t checked = letter == 'R' || letter == 'O' ? 2 : 1;
    for (std::size_t i = 0; i < modifiers.size(); ++i) {
      if (i < checked) {
        aperture.sizes.push_back(size_field(modifiers[i], unit));
        continue;
      }
      const std::optional<double> value = parse_free_number(modifiers[i]);
      if (!value || !std::isfinite(*value)) break;
      // A polygon's vertex count and rotation are no lengths.
      const bool length = !(letter == 'P' && (i == 1 || i == 2));
      aperture.sizes.push_back(length ? *value * unit : *value);
    }
    plot_.define_aperture(code, std::move(aperture));
    return;
  }
  // Names are matched as written; blanks around one are not part of it.
  const std::string_view name = trim(shape, kSpaceAndTab);
  aperture.shape = Aperture::Shape::macro;
  aperture.macro_name = name;
  aperture.unit = unit;
  const auto macro = macros_.find(name);
  if (macro == macros_.end()) {
    // Drawn with size 0.
    warn(WarningKind::unsized_apertures);
    aperture.macro_defined = false;
    plot_.define_aperture(code, std::move(aperture));
    return;
  }
  std::vector<double> parameters;
  for (const std::string_view m : modifiers)
    parameters.push_back(number_field(m, "macro parameter"));
  try {
    aperture.primitives = evaluate_aperture_macro(macro->second, parameters);
  } catch (const MacroError& e) {
    fail(e.what());
  }
  plot_.define_aperture(code, std::move(aperture));
}

void Reader::macro_definition(std::string_view s) {
  // The body between "%AM" and the closing "%".
  std::string_view body = s.substr(3);
  if (body.ends_with('%')) body.remove_suffix(1);
  try {
    ApertureMacro macro = parse_aperture_macro(body);
    std::string name = macro.name();
    macros_.insert_or_assign(std::move(name), std::move(macro));
  } catch (const MacroError& e) {
    fail(e.what());
  }
}

void Reader::attribute(std::string_view s) {
  // "TF.FileFunction,Copper,L1,Top" or the same in a "G04 #@! " comment.
  const std::size_t at = s.find("TF.FileFunction,");
  if (at != std::string_view::npos) {
    const std::string_view function = s.substr(at + 16);
    if (!function.starts_with("Copper")) warn(WarningKind::not_copper);
  }
  // "TF.FilePolarity,Negative": the image shows where the copper is removed.
  constexpr std::string_view kPolarity = "TF.FilePolarity,";
  const std::size_t polarity = s.find(kPolarity);
  if (polarity != std::string_view::npos) {
    const std::string_view value = s.substr(polarity + kPolarity.size());
    if (value.starts_with("Negative")) polarity_negative_ = true;
    if (value.starts_with("Positive")) polarity_negative_ = false;
  }
}

// Object attributes, s from "TO" or "TD" on: "TO.N,GND" (from "%TO.N,GND*%"
// or "G04 #@! TO.N,GND*") names the nets of the objects drawn from here on,
// one field a net ("TO.N,A,B": an object that joins two nets, such as a net
// tie); the empty name and "N/C" name none. "TD" deletes every object
// attribute, "TD.N" the nets alone; a TD of another attribute leaves them.
// The other object attributes (.P a pad, .C a component, ...) say nothing
// of the copper and are passed over.
void Reader::object_attribute(std::string_view s) {
  std::string_view body = s.substr(2);
  body = body.substr(0, body.find('*'));
  const std::size_t comma = body.find(',');
  const std::string_view name = body.substr(0, comma);
  if (s[1] == 'D') {
    if (name.empty() || name == ".N") plot_.set_nets({});
    return;
  }
  if (name.empty()) {
    warn(WarningKind::unreadable_object_attributes);
    return;
  }
  if (name != ".N") return;
  if (comma == std::string_view::npos) {
    warn(WarningKind::unreadable_object_attributes);
    plot_.set_nets({});
    return;
  }
  // Far more nets than any board has; each name costs a hundred bytes or so
  // besides its text, which a line of two bytes ("a,") could otherwise ask
  // for. Names of this statement count as new.
  constexpr std::size_t kMaxNets = 1'000'000;
  std::vector<std::string> nets;
  std::size_t count = plot_.net_count();
  for (std::string_view fields = body.substr(comma + 1);;) {
    const std::size_t next = fields.find(',');
    std::string net = decode_field(fields.substr(0, next));
    if (!net.empty() && net != "N/C") {
      if (++count > kMaxNets) fail("the file names more than 1000000 nets");
      nets.push_back(std::move(net));
    }
    if (next == std::string_view::npos) break;
    fields.remove_prefix(next + 1);
  }
  plot_.set_nets(std::move(nets));
}

// "%MIA1B0*%", "%SFA2B1*%", "%OFA1.5B-2*%", "%IR90*%", "%ASAYBX*%": each
// sets its part of the image transform, which places every object from here
// on (layout tools write them once, in the header).
void Reader::image_parameter(std::string_view s) {
  const std::string_view code = s.substr(1, 2);
  const std::size_t star =
      terminator(s, 3, "*", code == "IR" ? "image rotation" : "image parameter");
  const std::string_view body = s.substr(3, star - 3);
  ImageTransform& t = plot_.changing_transform();
  if (code == "AS") {
    if (body != "AXBY" && body != "AYBX") fail("cannot read the axis select statement");
    t.swap_axes = body == "AYBX";
    return;
  }
  if (code == "IR") {
    const long long degrees = integer_field(body, "image rotation");
    if (degrees % 90 != 0) fail("the image rotation is not 0, 90, 180 or 270 degrees");
    t.rotation = static_cast<int>(((degrees % 360) + 360) % 360);
    return;
  }
  // The A and B parts, each optional: a letter and its value up to the next.
  std::string_view values[2];
  bool given[2] = {false, false};
  for (std::size_t i = 0; i < body.size();) {
    const char letter = body[i];
    if (letter != 'A' && letter != 'B') fail("cannot read the image parameter");
    const std::size_t end = std::min(body.find_first_of("AB", i + 1), body.size());
    values[letter == 'B'] = body.substr(i + 1, end - i - 1);
    given[letter == 'B'] = true;
    i = end;
  }
  if (code == "MI") {
    bool mirror[2] = {false, false};  // a part left out is not mirrored
    for (int axis = 0; axis < 2; ++axis) {
      if (!given[axis]) continue;
      if (values[axis] != "0" && values[axis] != "1")
        fail("cannot read the mirror image statement");
      mirror[axis] = values[axis] == "1";
    }
    t.mirror_a = mirror[0];
    t.mirror_b = mirror[1];
  } else if (code == "SF") {
    double scale[2] = {1.0, 1.0};  // a part left out scales by 1
    for (int axis = 0; axis < 2; ++axis) {
      if (!given[axis]) continue;
      scale[axis] = number_field(values[axis], "scale factor");
      if (!std::isfinite(scale[axis]) || !(scale[axis] > 0))
        fail("the scale factor is out of range");
    }
    t.scale_a = scale[0];
    t.scale_b = scale[1];
  } else {
    // Offsets are in the file's units.
    const double unit = millimetres_ ? 1.0 : kInchFactor;
    double offset[2] = {0.0, 0.0};
    for (int axis = 0; axis < 2; ++axis) {
      if (!given[axis]) continue;
      offset[axis] = number_field(values[axis], "image offset") * unit;
      if (!std::isfinite(offset[axis])) fail("the image offset is out of range");
    }
    t.offset_a = offset[0];
    t.offset_b = offset[1];
  }
}

bool Reader::statement(std::string_view line) {
  plot_.line = line_number_;
  plot_.record_line = record_number_;
  // Trailing blanks do not count, leading blanks do (a statement that begins
  // with a blank matches nothing). Taken off here rather than by
  // trim_trailing, which calls memchr for every character it looks at.
  std::string_view s = line;
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);

  // Coordinate statements, nearly every statement of a file, begin with X,
  // Y or D; only codes that begin otherwise need the tests of
  // code_statement.
  const char lead = s.empty() ? ' ' : s.front();
  if (lead == 'X' || lead == 'Y' || lead == 'D') {
    if (s.size() < 3 || parking_move(s)) return true;
  } else {
    switch (code_statement(s)) {
      case Handled::yes:
        return true;
      case Handled::end_of_file:
        return false;
      case Handled::no:
        break;
    }
  }
  if (unreported_region_ != kNone) report_regions(line_number_);
  if (s.starts_with("%FS")) format_statement(s);
  if (s.size() >= 8 && s.starts_with("%ADD")) aperture_definition(s, unit());
  aperture_selection(s);
  return operation_statement(s);
}

// "X0Y0D02*", the move to the origin old tools write to park the plotter,
// neither moves the current point nor counts among the extremes.
bool Reader::parking_move(std::string_view s) {
  if (!s.starts_with("X0Y0D02*")) return false;
  last_operation_ = Operation::move;
  return true;
}

// Statements that begin with a code other than X, Y or D. Prefixes that may
// stand in front of other words are taken off s: a sequence number
// ("N123"), the old unit codes G70/G71, G01 linear interpolation, the
// quadrant modes G74/G75 and G02/G03 circular interpolation. The tests run
// in the order older files need: "G01*..." is nothing, "G04" a comment
// whatever follows.
Reader::Handled Reader::code_statement(std::string_view& s) {
  sequence_number(s);
  unit_code(s);
  if (s.size() < 3) return Handled::yes;
  if (s.starts_with("G01")) {  // G01 linear interpolation
    circular_ = false;
    if (s.size() < 6) return Handled::yes;
    s.remove_prefix(3);
  }
  if (s.front() == '*') return Handled::yes;
  if (s.starts_with("G04")) {  // G04 comment, which may carry an attribute
    if (s.starts_with("G04 #@! TF")) attribute(s);
    if (s.starts_with("G04 #@! TO") || s.starts_with("G04 #@! TD")) object_attribute(s.substr(8));
    return Handled::yes;
  }
  if (s.starts_with("%TO") || s.starts_with("%TD")) {
    // Read here, then left to the rest like every statement not handled
    // here: it ends the report of a region closed before it.
    object_attribute(s.substr(1));
    return Handled::no;
  }
  if (s.starts_with("%IN")) return Handled::yes;  // %IN image name
  if (ends_program(s)) return Handled::end_of_file;
  if (s.starts_with("%LP")) {  // %LP load polarity
    // Clear polarity removes copper that earlier objects made.
    plot_.set_clear_polarity(s.starts_with("%LPC"));
    return Handled::yes;
  }
  if (parking_move(s)) return Handled::yes;
  if (image_statement(s)) return Handled::yes;
  if (s.starts_with("%SR")) {
    step_and_repeat(s);
    return Handled::yes;
  }
  if (!interpolation_mode(s)) return Handled::yes;
  if (region_statement(s)) return Handled::yes;
  if (s.starts_with("G91")) {  // G91 incremental notation: read as absolute
    warn(WarningKind::incremental_coordinates);
    return Handled::yes;
  }
  return Handled::no;
}

// "N123": older files number their statements; the number means nothing
// for the picture.
void Reader::sequence_number(std::string_view& s) {
  if (s.size() > 1 && s[0] == 'N' && is_digit(s[1])) {
    std::size_t digits = 1;
    while (digits < s.size() && is_digit(s[digits])) ++digits;
    s.remove_prefix(digits);
  }
}

// G70 inches and G71 millimetres, the old unit codes, also in front of
// other words ("G71D10*").
void Reader::unit_code(std::string_view& s) {
  if (s.starts_with("G70") || s.starts_with("G71")) {
    millimetres_ = s[2] == '1';
    s.remove_prefix(3);
  }
}

// The statements of the image and the file as a whole: %MO mode (units), %TF
// file attributes, %IP image polarity, and the image transforms %MI, %SF,
// %OF, %IR and %AS.
bool Reader::image_statement(std::string_view s) {
  if (s.starts_with("%MOMM")) {
    millimetres_ = true;
    return true;
  }
  if (s.starts_with("%MOIN")) {
    millimetres_ = false;
    return true;
  }
  if (s.starts_with("%TF")) {
    attribute(s);
    return true;
  }
  if (s.starts_with("%IP")) {
    if (s.starts_with("%IPNEG")) image_negative_ = true;
    if (s.starts_with("%IPPOS")) image_negative_ = false;
    return true;
  }
  if (s.starts_with("%MI") || s.starts_with("%SF") || s.starts_with("%OF") ||
      s.starts_with("%IR") || s.starts_with("%AS")) {
    image_parameter(s);
    return true;
  }
  return false;
}

// G74 single and G75 multi quadrant mode, G02 clockwise and G03
// counterclockwise circular interpolation: modes in force from here, alone
// or in front of coordinates. False when nothing follows them.
bool Reader::interpolation_mode(std::string_view& s) {
  if (s.starts_with("G74") || s.starts_with("G75")) {
    multi_quadrant_ = s[2] == '5';
    s.remove_prefix(3);
    if (s.size() < 3) return false;
  }
  if (s.starts_with("G02") || s.starts_with("G03")) {
    circular_ = true;
    clockwise_ = s[2] == '2';
    s.remove_prefix(3);
    if (s.size() < 3) return false;
  }
  return true;
}

// G36 begins a region, G37 ends it: the contour drawn between them is filled.
bool Reader::region_statement(std::string_view s) {
  if (!s.starts_with("G36") && !s.starts_with("G37")) return false;
  const std::size_t regions = plot_.drawing.regions.size();
  end_contour();
  if (plot_.drawing.regions.size() > regions && unreported_region_ == kNone) {
    unreported_region_ = regions;
  }
  region_ = s[2] == '6';
  return true;
}

// Dnn (nn 10 or more) and G54Dnn select the current aperture. An operation
// code alone ("D1*", "D02*") or followed by the end ("D02M02*") selects
// nothing.
void Reader::aperture_selection(std::string_view s) {
  if (s.front() == 'D') {
    std::size_t length = 0;
    const Operation operation = operation_code(s, length);
    const std::string_view after = s.substr(length);
    if (operation == Operation::none || (after != "*" && !ends_program(after))) {
      const std::size_t end = terminator(s, 1, "*", "aperture code");
      select_if_aperture(aperture_code(s.substr(1, end - 1)));
    }
  }
  if (s.starts_with("G54D")) {
    const std::size_t end = terminator(s, 4, "*", "aperture code");
    select_if_aperture(aperture_code(s.substr(4, end - 4)));
  }
}

// The coordinate data X, Y, I and J, then the operation: D01 interpolate
// (stroke, or arc under G02/G03), D02 move, D03 flash. Returns false when
// the statement ends the file ("D02M02*").
bool Reader::operation_statement(std::string_view s) {
  bool coordinates = false;
  if (s.front() == 'X' || s.front() == 'Y')
    (millimetres_ ? millimetres_used_ : inches_used_) = true;
  const double factor_x = millimetres_ ? mm_factor_x_ : inch_factor_x_;
  const double factor_y = millimetres_ ? mm_factor_y_ : inch_factor_y_;
  if (s.front() == 'X') {
    const std::size_t end = terminator(s, 1, "YIJD*", "X coordinate");
    const double x = coordinate(s.substr(1, end - 1), format_x_, "X coordinate") * factor_x;
    if (!std::isfinite(x)) fail("the X coordinate is out of range");
    // The image transform may carry it beyond the range too.
    if (!std::isfinite(plot_.set_x(x))) fail("the X coordinate is out of range");
    s.remove_prefix(end);
    coordinates = true;
  }
  if (!s.empty() && s.front() == 'Y') {
    const std::size_t end = terminator(s, 1, "IJD*", "Y coordinate");
    const double y = coordinate(s.substr(1, end - 1), format_y_, "Y coordinate") * factor_y;
    if (!std::isfinite(y)) fail("the Y coordinate is out of range");
    // The image transform may carry it beyond the range too.
    if (!std::isfinite(plot_.set_y(y))) fail("the Y coordinate is out of range");
    s.remove_prefix(end);
    coordinates = true;
  }
  // Arc centre offsets hold for this statement only.
  double offset_i = 0.0;
  double offset_j = 0.0;
  for (const char letter : {'I', 'J'}) {
    if (!s.empty() && s.front() == letter) {
      const bool is_i = letter == 'I';
      const std::size_t end = terminator(s, 1, is_i ? "JD*" : "D*", "arc centre offset");
      const double v =
          coordinate(s.substr(1, end - 1), is_i ? format_x_ : format_y_, "arc centre offset") *
          (is_i ? factor_x : factor_y);
      if (!std::isfinite(v)) fail("the arc centre offset is out of range");
      (is_i ? offset_i : offset_j) = v;
      s.remove_prefix(end);
    }
  }
  std::size_t operation_length = 0;
  Operation operation = operation_code(s, operation_length);
  if (operation != Operation::none) {
    last_operation_ = operation;
  } else if (coordinates && s.starts_with("*")) {
    // Coordinates without an operation code repeat the last one: tools
    // write "X..Y..D02*" and then "X..Y..*" for the next move. Before any
    // code was given they stroke.
    operation = last_operation_;
    if (operation == Operation::none) {
      warn(WarningKind::coordinates_without_operation);
      operation = Operation::stroke;
    }
  }
  switch (operation) {
    case Operation::move:
      if (region_) end_contour();
      plot_.plot_move();
      break;
    case Operation::stroke:
      draw(offset_i, offset_j);
      break;
    case Operation::flash:
      if (!region_) plot_.plot_flash();
      break;
    case Operation::none:
      break;
  }
  return operation_length == 0 || !ends_program(s.substr(operation_length));
}

void Reader::step_and_repeat(std::string_view s) {
  // "%SRX3Y2I5.0J4.0*%" opens a block placed 3 x 2 times, 5.0 and 4.0 apart
  // (in the file's units); "%SR*%" or the next "%SR" closes it.
  plot_.close_step_and_repeat();
  long long steps[2] = {1, 1};
  double distances[2] = {0.0, 0.0};
  std::size_t i = 3;
  while (i < s.size() && s[i] != '*' && s[i] != '%') {
    const char letter = s[i];
    const std::size_t end = s.find_first_of("XYIJ*%", i + 1);
    const std::string_view field =
        s.substr(i + 1, (end == std::string_view::npos ? s.size() : end) - i - 1);
    if (letter == 'X' || letter == 'Y') {
      const long long n = integer_field(field, "step and repeat count");
      if (n < 1) fail("the step and repeat count is out of range");
      steps[letter == 'Y'] = n;
    } else if (letter == 'I' || letter == 'J') {
      const double d =
          number_field(field, "step and repeat distance") * (millimetres_ ? 1.0 : kInchFactor);
      if (!std::isfinite(d)) fail("the step and repeat distance is out of range");
      distances[letter == 'J'] = d;
    } else {
      fail("cannot read the step and repeat statement");
    }
    if (end == std::string_view::npos) break;
    i = end;
  }
  // The copies are rectangles of their own; a count that would exhaust the
  // memory is refused before any is made.
  constexpr long long kMaxPlacements = 1'000'000;
  if (steps[0] > kMaxPlacements / steps[1]) fail("the step and repeat counts are too large");
  if (steps[0] > 1 || steps[1] > 1) {
    plot_.open_step_and_repeat(steps[0], steps[1], distances[0], distances[1]);
  }
}

void Reader::draw(double offset_i, double offset_j) {
  const double x0 = plot_.previous_x();
  const double y0 = plot_.previous_y();
  const double x1 = plot_.x();
  const double y1 = plot_.y();
  double cx = 0.0;
  double cy = 0.0;
  const bool arc = circular_ && arc_centre(x0, y0, x1, y1, offset_i, offset_j, cx, cy);
  if (!region_) {
    if (arc) {
      plot_.plot_arc(cx, cy, clockwise_);
    } else {
      plot_.plot_stroke();
    }
    return;
  }
  // In a region the path is the contour; arcs are followed by short chords.
  if (contour_.empty()) contour_.push_back({x0, y0});
  if (arc) {
    append_arc_points(contour_, x0, y0, x1, y1, cx, cy, clockwise_);
  } else {
    contour_.push_back({x1, y1});
  }
  plot_.plot_move();
}

bool Reader::arc_centre(double x0, double y0, double x1, double y1, double i, double j, double& cx,
                        double& cy) const {
  if (i == 0.0 && j == 0.0) return false;
  if (multi_quadrant_) {
    cx = x0 + i;
    cy = y0 + j;
    return true;
  }
  // Single quadrant: the offsets carry no sign. The centre is the candidate
  // from which the arc, in its direction, turns at most a quarter, with both
  // end points at the same distance as nearly as the file's digits allow.
  if (x0 == x1 && y0 == y1) return false;
  double best = std::numeric_limits<double>::infinity();
  for (const double si : {1.0, -1.0}) {
    for (const double sj : {1.0, -1.0}) {
      const double px = x0 + si * std::fabs(i);
      const double py = y0 + sj * std::fabs(j);
      const double sweep = arc_sweep({x0, y0}, {x1, y1}, {px, py}, clockwise_).sweep;
      const double mismatch =
          std::fabs(std::hypot(x0 - px, y0 - py) - std::hypot(x1 - px, y1 - py));
      const double score = mismatch + (sweep <= std::numbers::pi / 2 + 1e-9 ? 0.0 : 1e300);
      if (score < best) {
        best = score;
        cx = px;
        cy = py;
      }
    }
  }
  return true;
}

void Reader::end_contour() {
  // A contour of fewer than three points encloses nothing.
  if (contour_.size() >= 3) {
    plot_.line = line_number_;
    plot_.add_region(contour_);
  }
  contour_.clear();
}

Drawing Reader::finish(std::size_t records) {
  if (!open_extended_.empty()) {
    throw input_error(name_, open_extended_line_,
                      "the extended command that begins here is never closed by \"%\"",
                      open_extended_record_);
  }
  // A region still open is closed by the end of the file, and reported there.
  if (!contour_.empty() && unreported_region_ == kNone) {
    unreported_region_ = plot_.drawing.regions.size();
  }
  end_contour();
  if (unreported_region_ != kNone) report_regions(records);
  plot_.line = line_number_;
  Drawing drawing = plot_.finish();
  drawing.name = name_;
  drawing.records = records;
  drawing.negative = image_negative_ || polarity_negative_;
  drawing.inches_used = inches_used_;
  drawing.millimetres_used = millimetres_used_;
  std::stable_sort(warnings_.begin(), warnings_.end(),
                   [](const Warning& a, const Warning& b) { return a.first_line < b.first_line; });
  drawing.warnings = std::move(warnings_);
  return drawing;
}

// Splits text into records at LF; a CR before the LF belongs to the line
// ending. Returns the number of records read when reading stopped.
std::size_t for_each_record(std::string_view text, std::size_t first_number, Reader& reader,
                            bool& stopped) {
  std::size_t number = first_number;
  while (!text.empty() && !stopped) {
    const std::size_t lf = text.find('\n');
    std::string_view record = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!record.empty() && record.back() == '\r') record.remove_suffix(1);
    stopped = !reader.record(record, number);
    ++number;
  }
  return number;
}

}  // namespace

Drawing read_photoplot_text(std::string_view text, const std::filesystem::path& name) {
  Reader reader(name);
  reader.reserve(text.size());
  bool stopped = false;
  const std::size_t next = for_each_record(text, 1, reader, stopped);
  Drawing drawing = reader.finish(next - 1);
  drawing.text = std::make_shared<const std::string>(text);
  return drawing;
}

namespace {

// What is left to read of an open file, plus already bytes; just already
// when the size is not known (a pipe).
std::size_t rest_of_file(int fd, std::size_t already) {
  struct stat st {};
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || at < 0 || st.st_size < at) return already;
  return already + static_cast<std::size_t>(st.st_size - at);
}

}  // namespace

Drawing read_photoplot(const std::filesystem::path& input_path) {
  const int fd = ::open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw file_error(input_path, "cannot open the photoplot", errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // Records are taken from 1 MiB chunks; a record that spans chunks (or is
  // longer than one) is gathered in carry before it is read.
  Reader reader(input_path);
  reader.reserve(rest_of_file(fd, 0));
  std::string chunk(1 << 20, '\0');
  std::string carry;
  std::size_t number = 1;
  bool stopped = false;
  while (!stopped) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      throw file_error(input_path, "cannot read the photoplot", errno);
    }
    if (got == 0) break;
    std::string_view data(chunk.data(), static_cast<std::size_t>(got));
    if (!carry.empty()) {
      const std::size_t lf = data.find('\n');
      if (lf == std::string_view::npos) {
        // A record longer than a chunk: room for the rest of the file at
        // once, instead of copying it over and over as it grows.
        if (carry.capacity() < (std::size_t{4} << 20)) {
          carry.reserve(rest_of_file(fd, carry.size()));
          advise_huge_pages(carry.data(), carry.capacity());
        }
        carry.append(data);
        continue;
      }
      carry.append(data.substr(0, lf + 1));
      data.remove_prefix(lf + 1);
      number = for_each_record(carry, number, reader, stopped);
      carry.clear();
    }
    const std::size_t last_lf = data.rfind('\n');
    const std::string_view whole =
        last_lf == std::string_view::npos ? std::string_view() : data.substr(0, last_lf + 1);
    if (!stopped) {
      number = for_each_record(whole, number, reader, stopped);
    }
    carry.assign(data.substr(whole.size()));
  }
  if (!stopped && !carry.empty()) {
    number = for_each_record(carry, number, reader, stopped);
  }
  return reader.finish(number - 1);
}

}  // namespace foilcad
