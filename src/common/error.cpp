#include "common/error.hpp"

#include <cstring>

namespace foilcad {

namespace {

// Keeps messages about hostile or binary input printable and short.
std::string printable_excerpt(std::string_view text) {
  constexpr std::size_t kMaxShown = 120;
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (text.size() > kMaxShown) out += "...";
  return out;
}

}  // namespace

Error input_error(const std::filesystem::path& file, std::size_t line, std::string_view what,
                  std::string_view text) {
  std::string message = file.string();
  message.append(":").append(std::to_string(line)).append(": ").append(what);
  message.append(": \"").append(printable_excerpt(text)).append("\"");
  return Error(message);
}

Error file_error(const std::filesystem::path& file, std::string_view what, int errno_value) {
  std::string message = file.string();
  message.append(": ").append(what).append(": ").append(std::strerror(errno_value));
  return Error(message);
}

}  // namespace foilcad
