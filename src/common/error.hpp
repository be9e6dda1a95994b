// The one error type of the conversion core.
//
// Bad input and failed I/O are reported by throwing foilcad::Error with a
// sentence a user understands; the message already names the file and, for
// input, the line ("board.gbr:12: ..."). The mains decide how to show it.
// Programmer errors are asserts, not Errors.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace foilcad {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Output that cannot fit onto the disk it is meant for.
class DiskSpaceError : public Error {
 public:
  using Error::Error;
};

// "path:line: what: "text"" for a statement of an input file that cannot be
// read. The line's text is shortened when it is very long, so that a message
// about a binary file or a megabyte-long record stays readable.
Error input_error(const std::filesystem::path& file, std::size_t line, std::string_view what,
                  std::string_view text);

// "path: what: reason" for a file that cannot be opened, read or written;
// reason is the system's own text for errno_value.
Error file_error(const std::filesystem::path& file, std::string_view what, int errno_value);

}  // namespace foilcad
