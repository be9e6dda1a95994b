// The input form's number reading. Whatever the text, a number it gives is
// finite and the same every time; an item ends at a blank, comma or slash, so
// what follows one cannot change the number; and a plain integer reads as the
// same value as an integer and as a number.
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/number.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using foilcad::fuzz::check;
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::optional<double> item = foilcad::read_number_item(text);
  const std::optional<double> again = foilcad::read_number_item(std::string(text));
  check(item.has_value() == again.has_value(), "the same text read twice differs");
  if (item) {
    check(std::isfinite(*item), "a number item that is not finite");
    check(std::bit_cast<std::uint64_t>(*item) == std::bit_cast<std::uint64_t>(*again),
          "the same text read twice gives two values");
    const std::optional<double> followed = foilcad::read_number_item(text + ",9/8 7");
    check(followed && *followed == *item, "text after the item changed the number");
  }

  const std::optional<double> number = foilcad::parse_free_number(text);
  if (number && std::isfinite(*number) && text.find_first_of(" \t,/") == std::string::npos) {
    check(item && *item == *number, "an item and the whole text read as different numbers");
  }
  if (const std::optional<long long> integer = foilcad::parse_integer(text)) {
    check(number && *number == static_cast<double>(*integer),
          "an integer that reads as another number");
  }
  return 0;
}
