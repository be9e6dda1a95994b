// Aperture macros (%AM): reading a definition and evaluating it for an
// aperture into its primitives.
//
// Macro text comes from any file, so reading and evaluating are bounded by the
// size of the text: nesting is limited, counts written in the file are checked
// against the modifiers actually present, and no value is ever NaN or
// infinite.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "photoplot/drawing.hpp"

namespace foilcad {

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
  friend std::vector<MacroPrimitive> evaluate_aperture_macro(const ApertureMacro& macro,
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

// The primitives of the macro, evaluated with parameters as $1..$n (a
// variable neither given nor defined counts as 0), exposed or not, in the
// order of their statements; a variable definition affects the statements
// after it. Throws MacroError when a value is out of range or divides by
// zero, when an exposure is neither 0 nor 1, or when a primitive's counts do
// not fit.
std::vector<MacroPrimitive> evaluate_aperture_macro(const ApertureMacro& macro,
                                                    std::span<const double> parameters);

}  // namespace foilcad
