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

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Rules 15 to 17 match an operation code only when no further digit follows,
// so that a selection such as "D012*" is not read as "D01".
bool starts_with_code(std::string_view s, std::string_view code) {
  return s.starts_with(code) && (s.size() == code.size() || !is_digit(s[code.size()]));
}

class Reader {
 public:
  explicit Reader(const std::filesystem::path& name) : name_(name) {}

  // Applies the rules to one record. Returns false when the record ends the
  // reading ("M02").
  bool record(std::string_view line, std::size_t line_number);

  Photoplot finish(std::size_t records) {
    return Photoplot{std::move(plot_.rectangles), plot_.extremes, records};
  }

 private:
  [[noreturn]] void fail(std::string_view what) const {
    throw input_error(name_, line_number_, what, line_);
  }
  double number_field(std::string_view field, std::string_view what) const;
  long long integer_field(std::string_view field, std::string_view what) const;
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
  // Inch factors carry the inch factor from the start; the millimetre pair
  // starts at 1. Every format statement multiplies both pairs, so a file that
  // never says "%MOMM" reads exactly as it did before units were honoured.
  double inch_factor_x_ = kInchFactor;
  double inch_factor_y_ = kInchFactor;
  double mm_factor_x_ = 1.0;
  double mm_factor_y_ = 1.0;
  bool millimetres_ = false;
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

bool Reader::record(std::string_view line, std::size_t line_number) {
  line_ = line;
  line_number_ = line_number;
  // n is the position of the last non-blank character: trailing blanks do not
  // count, leading blanks do (a line that begins with a blank matches nothing).
  std::size_t n = line.find_last_not_of(' ');
  n = n == std::string_view::npos ? 0 : n + 1;
  std::string_view s = line.substr(0, n);

  if (s.size() < 3) return true;                           // 1
  if (s.starts_with("G01")) {                               // 2
    if (s.size() < 6) return true;
    s.remove_prefix(3);
  }
  if (s.front() == '*') return true;                        // 3
  if (s.starts_with("G04")) return true;                    // 4: comment
  if (s.starts_with("%IN")) return true;                    // 5
  if (s.starts_with("M02")) return false;                   // 6
  if (s.starts_with("%LP")) return true;                    // 7
  if (s.starts_with("X0Y0D02*")) return true;               // 8
  if (s.starts_with("%MOMM")) {                             // units
    millimetres_ = true;
    return true;
  }
  if (s.starts_with("%MOIN")) {
    millimetres_ = false;
    return true;
  }

  const double unit = millimetres_ ? 1.0 : kInchFactor;
  if (s.size() >= 13 && s.starts_with("%FS")) {             // 9: format
    if (s[5] == 'X') {
      const double p = power_factor(format_digit(s[7]));
      inch_factor_x_ *= p;
      mm_factor_x_ *= p;
    }
    if (s[8] == 'Y') {
      const double p = power_factor(format_digit(s[10]));
      inch_factor_y_ *= p;
      mm_factor_y_ *= p;
    }
  }
  if (s.size() >= 10 && s.starts_with("%ADD")) {            // 10: aperture definition
    const long long code = integer_field(s.substr(4, 3), "aperture code");
    plot_.select_aperture(code);
    const char shape = s[7];
    if (shape == 'C' || shape == 'R') {
      const std::size_t end = terminator(s, 9, shape == 'C' ? "*" : "X", "aperture size");
      const double size = number_field(s.substr(9, end - 9), "aperture size");
      if (!std::isfinite(size * unit) || size < 0) fail("the aperture size is out of range");
      plot_.define_aperture(code, size * unit);
    }
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
    const std::size_t end = terminator(s, 1, "YD*", "X coordinate");
    const double x = number_field(s.substr(1, end - 1), "X coordinate") * factor_x;
    if (!std::isfinite(x)) fail("the X coordinate is out of range");
    plot_.set_x(x);
    s.remove_prefix(end);
    coordinates = true;
  }
  if (!s.empty() && s.front() == 'Y') {                     // 14: Y field
    const std::size_t end = terminator(s, 1, "D*", "Y coordinate");
    const double y = number_field(s.substr(1, end - 1), "Y coordinate") * factor_y;
    if (!std::isfinite(y)) fail("the Y coordinate is out of range");
    plot_.set_y(y);
    s.remove_prefix(end);
    coordinates = true;
  }
  if (starts_with_code(s, "D02")) plot_.plot_move();  // 15
  if (starts_with_code(s, "D01") || (coordinates && s.starts_with("*"))) plot_.plot_stroke();  // 16
  if (starts_with_code(s, "D03")) plot_.plot_flash();        // 17
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
