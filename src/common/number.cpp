#include "common/number.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "common/text.hpp"

namespace foilcad {

std::optional<long long> parse_integer(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned long long magnitude = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / 10)
      return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  if (negative)
    return magnitude == kMax + 1 ? std::numeric_limits<long long>::min()
                                 : -static_cast<long long>(magnitude);
  return static_cast<long long>(magnitude);
}

std::optional<double> parse_free_number(std::string_view text) {
  text = trim(text);
  std::size_t i = 0;
  const std::size_t size = text.size();
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  // Coordinates are nearly always short plain integers: an integer of up to
  // 18 digits converts to the nearest double exactly through long long.
  {
    std::size_t j = i;
    long long value = 0;
    while (j < size && is_digit(text[j]) && j - i < 18) value = value * 10 + (text[j++] - '0');
    if (j == size && j > i) {
      const double magnitude = static_cast<double>(value);
      return negative ? -magnitude : magnitude;
    }
  }

  const std::size_t integer_begin = i;
  while (i < size && is_digit(text[i])) ++i;
  const std::string_view integer_digits = text.substr(integer_begin, i - integer_begin);
  std::string_view fraction_digits;
  if (i < size && text[i] == '.') {
    const std::size_t fraction_begin = ++i;
    while (i < size && is_digit(text[i])) ++i;
    fraction_digits = text.substr(fraction_begin, i - fraction_begin);
  }
  if (integer_digits.empty() && fraction_digits.empty()) return std::nullopt;

  bool exponent_negative = false;
  std::string_view exponent_digits;
  if (i < size) {
    const char c = text[i];
    const bool letter = c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
    if (!letter && c != '+' && c != '-') return std::nullopt;
    if (letter) ++i;
    if (i < size && (text[i] == '+' || text[i] == '-')) exponent_negative = text[i++] == '-';
    const std::size_t exponent_begin = i;
    while (i < size && is_digit(text[i])) ++i;
    exponent_digits = text.substr(exponent_begin, i - exponent_begin);
    if (exponent_digits.empty() || i != size) return std::nullopt;
  }

  // std::from_chars gives the correctly rounded value and is independent of
  // the C locale, which the form's toolkit may change. It reads "123.45"
  // as it stands; other spellings (".5", "1D3", "1+3") are put into its
  // form first, and a copy of a hostile number of millions of digits is
  // worth avoiding where it is not needed.
  std::string normal;
  std::string_view digits = text.substr(integer_begin, i - integer_begin);
  if (integer_digits.empty() || digits.back() == '.' || !exponent_digits.empty()) {
    normal.reserve(size + 4);
    normal.append(integer_digits.empty() ? std::string_view("0") : integer_digits);
    if (!fraction_digits.empty()) normal.append(".").append(fraction_digits);
    if (!exponent_digits.empty()) {
      normal.append(exponent_negative ? "e-" : "e");
      normal.append(exponent_digits);
    }
    digits = normal;
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Out of range is either an overflow or an underflow. The decimal order of
    // magnitude tells which: digits before the point count up, zeros right
    // after the point count down, the exponent (clamped) adds.
    long long order = 0;
    std::size_t k = 0;
    while (k < integer_digits.size() && integer_digits[k] == '0') ++k;
    if (k < integer_digits.size()) {
      order = static_cast<long long>(integer_digits.size() - k);
    } else {
      std::size_t zeros = 0;
      while (zeros < fraction_digits.size() && fraction_digits[zeros] == '0') ++zeros;
      if (zeros == fraction_digits.size()) return negative ? -0.0 : 0.0;
      order = -static_cast<long long>(zeros);
    }
    long long exponent = 0;
    for (const char c : exponent_digits) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > 1'000'000'000) break;
    }
    order += exponent_negative ? -exponent : exponent;
    value = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::optional<double> read_number_item(std::string_view text) {
  text = trim_leading(text);
  text = text.substr(0, text.find_first_of(" ,/"));
  if (text.empty()) return std::nullopt;
  const std::optional<double> value = parse_free_number(text);
  // A thickness of 1e400 mm would put every top face at infinity.
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

}  // namespace foilcad
