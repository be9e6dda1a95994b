// Small text helpers the readers of numbers, statements and macros share.
#pragma once

#include <string_view>

namespace foilcad {

// Blank characters: the space alone, as fixed-column records are padded, or
// the space and the tab, as the text of aperture macros is laid out.
inline constexpr std::string_view kSpace = " ";
inline constexpr std::string_view kSpaceAndTab = " \t";

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// text without the blanks at its end.
constexpr std::string_view trim_trailing(std::string_view text, std::string_view blanks = kSpace) {
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

// text without the blanks at its beginning.
constexpr std::string_view trim_leading(std::string_view text, std::string_view blanks = kSpace) {
  const std::size_t first = text.find_first_not_of(blanks);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

// text without the blanks at either end.
constexpr std::string_view trim(std::string_view text, std::string_view blanks = kSpace) {
  return trim_trailing(trim_leading(text, blanks), blanks);
}

// True when text holds nothing but blanks.
constexpr bool is_blank(std::string_view text, std::string_view blanks = kSpace) {
  return text.find_first_not_of(blanks) == std::string_view::npos;
}

}  // namespace foilcad
