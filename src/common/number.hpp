// Free-format decimal numbers, as people and old layout tools write them.
#pragma once

#include <optional>
#include <string_view>

namespace foilcad {

// Reads all of text (blanks around it allowed) as one number: an optional
// sign, digits with an optional decimal point (at least one digit), then an
// optional exponent: E, D or Q in either case with an optional sign and digits,
// or a sign directly followed by digits ("1.5+3" is 1500). The value is the
// nearest double; a magnitude beyond the double range gives an infinity, one
// below it zero. Anything else, the empty text included, gives no number.
std::optional<double> parse_free_number(std::string_view text);

// Reads all of text (blanks around it allowed) as an optional sign and
// decimal digits. No number when it is not such an integer or does not fit.
std::optional<long long> parse_integer(std::string_view text);

// The number that text starts with: its first item (after leading blanks, up
// to the first blank, comma or slash) read as a free-format number. No number
// when that item is not one, is empty, or is too large for a double. This is
// how the input form reads its fields.
std::optional<double> read_number_item(std::string_view text);

}  // namespace foilcad
