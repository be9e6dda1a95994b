// Aperture macros (%AM): reading a definition and finding the box around what
// it exposes.
//
// The rectangle model turns every pad into one axis-aligned rectangle, so all a
// macro aperture has to yield is the extent of its exposed primitives once the
// parameters of its aperture definition are put in. Macro text comes from any
// file, so reading and evaluating are bounded by the size of the text: nesting
// is limited, counts written in the file are checked against the modifiers
// actually present, and no result is ever NaN or infinite.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/box.hpp"

namespace foilcad {

// Thrown for a macro that cannot be read or evaluated. The message is one
// sentence naming the macro and the statement (counted from 1 after the name),
// without file or line: the caller adds those.
class MacroError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {
struct MacroProgram;
}

// A parsed macro: its name and its statements compiled for evaluation. Cheap to
// copy; the compiled statements are shared and never change.
class ApertureMacro {
 public:
  const std::string& name() const { return name_; }

 private:
  friend ApertureMacro parse_aperture_macro(std::string_view body);
  friend std::optional<Box> macro_extent(const ApertureMacro& macro,
                                                 std::span<const double> parameters);

  std::string name_;
  std::shared_ptr<const detail::MacroProgram> program_;
};

// Reads body, the text between "%AM" and the closing "%": "NAME*statement*...*".
// The name is all up to the first '*' but the blanks around it, and must not
// begin with a digit. Line breaks are ignored everywhere, blanks everywhere
// after the name except in comments.
// Statements are comments (0 ...), variable definitions ($n=expression) and the
// primitives 1 (circle), 2 and 20 (vector line), 21 (centre line), 22
// (lower-left line), 4 (outline), 5 (polygon), 6 (moire) and 7 (thermal).
// Expressions take decimal numbers, variables $n, + - x / (also X), unary signs
// and parentheses. Throws MacroError for anything it cannot read.
ApertureMacro parse_aperture_macro(std::string_view body);

// The bounding box of the primitives whose exposure is on, evaluated with
// parameters as $1..$n (a variable neither given nor defined counts as 0).
// Statements run in order, so a variable definition affects the statements
// after it. nullopt when nothing is exposed. Throws MacroError when a value is
// out of range or divides by zero, or when a primitive's counts do not fit.
// The box is relative to the aperture's origin, in the file's units.
std::optional<Box> macro_extent(const ApertureMacro& macro,
                                std::span<const double> parameters);

}  // namespace foilcad
