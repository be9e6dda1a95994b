#include "photoplot/reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "common/error.hpp"
#include "common/number.hpp"

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

std::string_view describe(WarningKind kind) {
  switch (kind) {
    case WarningKind::arcs:
      return "arcs (G02/G03) are not drawn as arcs";
    case WarningKind::regions:
      return "regions (G36/G37) are stroked along their contour, not filled";
    case WarningKind::clear_polarity:
      return "clear polarity (%LPC) is not drawn: cleared areas stay copper";
    case WarningKind::step_and_repeat:
      return "step and repeat (%SR) is not drawn: the block is placed once";
    case WarningKind::incremental_coordinates:
      return "incremental coordinates are read as absolute";
    case WarningKind::unsized_apertures:
      return "apertures of a shape without a known size are drawn with size 0";
    case WarningKind::coordinates_without_operation:
      return "coordinates without an operation code after a move or flash are stroked";
    case WarningKind::not_copper:
      return "the file says it is not a copper layer";
  }
  return "unknown warning";
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Rules 15 to 17 match an operation code only when no further digit follows,
// so that a selection such as "D012*" is not read as "D01".
bool starts_with_code(std::string_view s, std::string_view code) {
  return s.starts_with(code) && (s.size() == code.size() || !is_digit(s[code.size()]));
}

std::string_view trim_trailing_blanks(std::string_view s) {
  const std::size_t n = s.find_last_not_of(' ');
  return s.substr(0, n == std::string_view::npos ? 0 : n + 1);
}

// The digit counts of one axis of a format statement.
struct AxisFormat {
  int integer_digits = 0;
  int decimal_digits = 0;
};

class Reader {
 public:
  explicit Reader(const std::filesystem::path& name) : name_(name) {}

  // Reads one record. Returns false when it ends the reading ("M02").
  bool record(std::string_view line, std::size_t line_number);

  // The end of the file. An extended command still open means the file was
  // cut short: what it meant cannot be known.
  Photoplot finish(std::size_t records) {
    if (!open_extended_.empty()) {
      throw input_error(name_, open_extended_line_,
                        "the extended command that begins here is never closed by \"%\"",
                        open_extended_record_);
    }
    return Photoplot{std::move(plot_.rectangles), plot_.extremes, records, std::move(warnings_)};
  }

 private:
  enum class Operation { none, move, stroke, flash };

  bool statement(std::string_view s);
  bool extended(std::string_view s);
  void format_statement(std::string_view s);
  void aperture_definition(std::string_view s, double unit);
  void attribute(std::string_view s);
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
  Operation last_operation_ = Operation::none;
  // An extended command that continues on the next record.
  std::string open_extended_;
  std::size_t open_extended_line_ = 0;
  std::string open_extended_record_;
  std::string_view line_;
  std::size_t line_number_ = 0;
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
  const std::size_t at = s.find_first_of(terminators, from);
  if (at == std::string_view::npos) {
    fail(std::string("cannot read the ") + std::string(what) + ": its terminator is missing");
  }
  return at;
}

double Reader::coordinate(std::string_view digits, const AxisFormat& format,
                          std::string_view what) const {
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
    // A record that begins with a blank matches nothing, as it always did;
    // blanks between statements of one record only separate them.
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
        const std::string_view open = trim_trailing_blanks(rest);
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
  std::string_view body = s.substr(1, s.size() >= 2 ? s.size() - 2 : 0);
  if (body.starts_with("AM")) return true;
  std::string word;
  while (!body.empty()) {
    const std::size_t star = body.find('*');
    const std::string_view w = body.substr(0, star);
    body.remove_prefix(star == std::string_view::npos ? body.size() : star + 1);
    if (trim_trailing_blanks(w).empty()) continue;
    word.clear();
    word.push_back('%');
    word.append(w).append("*%");
    if (!statement(word)) return false;
  }
  return true;
}

void Reader::format_statement(std::string_view s) {
  // Files written one statement per line with the letters in columns 4 and 5
  // ("%FSLAX24Y24*%") are read by their fixed columns, as they always were.
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
  if (i < s.size() && (s[i] == 'L' || s[i] == 'T' || s[i] == 'D')) trailing = s[i++] == 'T';
  if (i < s.size() && (s[i] == 'A' || s[i] == 'I')) incremental = s[i++] == 'I';
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
  // Three-digit codes at fixed columns: the shape letter in column 8 and the
  // size from column 10 ("%ADD010C,0.0100*%"), as files were always read.
  if (s.size() >= 10 && !is_digit(s[7]) && parse_integer(s.substr(4, 3))) {
    const long long code = integer_field(s.substr(4, 3), "aperture code");
    plot_.select_aperture(code);
    const char shape = s[7];
    if (shape == 'C' || shape == 'R') {
      // A circle's size ends at its "*" or, with a hole, at the "X" before it.
      const std::size_t end = terminator(s, 9, shape == 'C' ? "X*" : "X", "aperture size");
      plot_.define_aperture(code, size_field(s.substr(9, end - 9), unit));
    } else {
      warn(WarningKind::unsized_apertures);
    }
    return;
  }
  // Any number of code digits, the shape (a letter or a macro's name), then
  // "," and the modifiers separated by "X": "%ADD10R,1.016000X4.572000*%".
  std::size_t i = 4;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i == 4) fail("cannot read the aperture code as an integer");
  const long long code = integer_field(s.substr(4, i - 4), "aperture code");
  const std::size_t shape_end = s.find_first_of(",*", i);
  if (shape_end == std::string_view::npos || shape_end == i) {
    fail("cannot read the shape of the aperture definition");
  }
  const std::string_view shape = s.substr(i, shape_end - i);
  plot_.select_aperture(code);
  if ((shape == "C" || shape == "R") && s[shape_end] == ',') {
    const std::size_t end = s.find_first_of("X*", shape_end + 1);
    if (end == std::string_view::npos) fail("cannot read the aperture size: its terminator is missing");
    plot_.define_aperture(code, size_field(s.substr(shape_end + 1, end - shape_end - 1), unit));
    return;
  }
  if (shape == "C" || shape == "R") fail("the aperture definition has no size");
  warn(WarningKind::unsized_apertures);
}

void Reader::attribute(std::string_view s) {
  // "TF.FileFunction,Copper,L1,Top" or the same in a "G04 #@! " comment.
  const std::size_t at = s.find("TF.FileFunction,");
  if (at == std::string_view::npos) return;
  const std::string_view function = s.substr(at + 16);
  if (!function.starts_with("Copper")) warn(WarningKind::not_copper);
}

bool Reader::statement(std::string_view line) {
  // n is the position of the last non-blank character: trailing blanks do not
  // count, leading blanks do (a statement that begins with a blank matches
  // nothing).
  std::string_view s = trim_trailing_blanks(line);

  // The old unit codes may stand in front of other words ("G71D10*").
  if (s.starts_with("G70") || s.starts_with("G71")) {
    millimetres_ = s[2] == '1';
    s.remove_prefix(3);
  }
  if (s.size() < 3) return true;                           // 1
  if (s.starts_with("G01")) {                               // 2
    circular_ = false;
    if (s.size() < 6) return true;
    s.remove_prefix(3);
  }
  if (s.front() == '*') return true;                        // 3
  if (s.starts_with("G04")) {                               // 4: comment
    if (s.starts_with("G04 #@! TF")) attribute(s);
    return true;
  }
  if (s.starts_with("%IN")) return true;                    // 5
  if (s.starts_with("M02")) return false;                   // 6
  if (s.starts_with("%LP")) {                               // 7
    if (s.starts_with("%LPC")) warn(WarningKind::clear_polarity);
    return true;
  }
  if (s.starts_with("X0Y0D02*")) {                          // 8
    last_operation_ = Operation::move;
    return true;
  }
  if (s.starts_with("%MOMM")) {                             // units
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
  if (s.starts_with("%SR")) {
    // "%SRX1Y1*%" (and the closing "%SR*%") place the block once: harmless.
    const std::size_t x = s.find('X');
    const std::size_t y = s.find('Y');
    const auto repeats = [&](std::size_t at) {
      if (at == std::string_view::npos) return false;
      std::size_t end = at + 1;
      while (end < s.size() && is_digit(s[end])) ++end;
      const auto count = parse_integer(s.substr(at + 1, end - at - 1));
      return count && *count > 1;
    };
    if (repeats(x) || repeats(y)) warn(WarningKind::step_and_repeat);
    return true;
  }
  if (s.starts_with("G02") || s.starts_with("G03")) {
    // Arcs are not drawn: a statement that begins with the code is skipped
    // whole, and later coordinates in that mode are stroked straight.
    circular_ = true;
    if (s.size() > 4) warn(WarningKind::arcs);
    return true;
  }
  if (s.starts_with("G36") || s.starts_with("G37")) {
    if (s.starts_with("G36")) warn(WarningKind::regions);
    return true;
  }
  if (s.starts_with("G91")) {
    warn(WarningKind::incremental_coordinates);
    return true;
  }

  const double unit = millimetres_ ? 1.0 : kInchFactor;
  if (s.starts_with("%FS")) format_statement(s);            // 9: format
  if (s.size() >= 8 && s.starts_with("%ADD")) {             // 10: aperture definition
    aperture_definition(s, unit);
  }
  if (s.front() == 'D') {                                   // 11: selection
    const std::size_t end = terminator(s, 1, "*", "aperture code");
    select_if_aperture(integer_field(s.substr(1, end - 1), "aperture code"));
  }
  if (s.starts_with("G54D")) {                              // 12: selection
    const std::size_t end = terminator(s, 4, "*", "aperture code");
    select_if_aperture(integer_field(s.substr(4, end - 4), "aperture code"));
  }
  bool coordinates = false;
  const double factor_x = millimetres_ ? mm_factor_x_ : inch_factor_x_;
  const double factor_y = millimetres_ ? mm_factor_y_ : inch_factor_y_;
  if (s.front() == 'X') {                                   // 13: X field
    const std::size_t end = terminator(s, 1, "YIJD*", "X coordinate");
    const double x = coordinate(s.substr(1, end - 1), format_x_, "X coordinate") * factor_x;
    if (!std::isfinite(x)) fail("the X coordinate is out of range");
    plot_.set_x(x);
    s.remove_prefix(end);
    coordinates = true;
  }
  if (!s.empty() && s.front() == 'Y') {                     // 14: Y field
    const std::size_t end = terminator(s, 1, "IJD*", "Y coordinate");
    const double y = coordinate(s.substr(1, end - 1), format_y_, "Y coordinate") * factor_y;
    if (!std::isfinite(y)) fail("the Y coordinate is out of range");
    plot_.set_y(y);
    s.remove_prefix(end);
    coordinates = true;
  }
  // Arc centre offsets are read for their syntax and not drawn.
  for (const char letter : {'I', 'J'}) {
    if (!s.empty() && s.front() == letter) {
      const std::size_t end = terminator(s, 1, letter == 'I' ? "JD*" : "D*", "arc centre offset");
      coordinate(s.substr(1, end - 1), letter == 'I' ? format_x_ : format_y_, "arc centre offset");
      s.remove_prefix(end);
    }
  }
  if (starts_with_code(s, "D02")) {                         // 15
    plot_.plot_move();
    last_operation_ = Operation::move;
  }
  const bool bare = coordinates && s.starts_with("*");
  if (starts_with_code(s, "D01") || bare) {                 // 16
    if (bare && (last_operation_ == Operation::move || last_operation_ == Operation::flash)) {
      warn(WarningKind::coordinates_without_operation);
    }
    if (circular_) warn(WarningKind::arcs);
    plot_.plot_stroke();
    last_operation_ = Operation::stroke;
  }
  if (starts_with_code(s, "D03")) {                         // 17
    plot_.plot_flash();
    last_operation_ = Operation::flash;
  }
  return true;
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

Photoplot read_photoplot_text(std::string_view text, const std::filesystem::path& name) {
  Reader reader(name);
  bool stopped = false;
  const std::size_t next = for_each_record(text, 1, reader, stopped);
  return reader.finish(next - 1);
}

Photoplot read_photoplot(const std::filesystem::path& input_path) {
  const int fd = ::open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw file_error(input_path, "cannot open the photoplot", errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // Records are taken from 1 MiB chunks; a record that spans chunks (or is
  // longer than one) is gathered in carry before it is read.
  Reader reader(input_path);
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
        carry.append(data);
        continue;
      }
      carry.append(data.substr(0, lf + 1));
      data.remove_prefix(lf + 1);
      number = for_each_record(carry, number,
                               reader,
                               stopped);
      carry.clear();
    }
    const std::size_t last_lf = data.rfind('\n');
    const std::string_view whole = last_lf == std::string_view::npos ? std::string_view()
                                                                     : data.substr(0, last_lf + 1);
    if (!stopped) {
      number = for_each_record(whole, number,
                               reader,
                               stopped);
    }
    carry.assign(data.substr(whole.size()));
  }
  if (!stopped && !carry.empty()) {
    number = for_each_record(carry, number,
                             reader,
                             stopped);
  }
  return reader.finish(number - 1);
}

}  // namespace foilcad
