#include "photoplot/macro.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace foilcad {

namespace detail {

// One step of an expression in postfix order, run on a small value stack, so
// evaluation needs no recursion however the expression was nested.
struct MacroOp {
  enum class Kind : std::uint8_t { constant, variable, negate, add, subtract, multiply, divide };
  Kind kind;
  std::uint32_t slot = 0;  // variable: its place in the evaluation's value table
  double value = 0.0;      // constant
};

struct MacroExpression {
  std::size_t first_op = 0;
  std::size_t op_count = 0;
};

struct MacroStatement {
  int code = 0;              // primitive code, or kAssignment
  std::size_t number = 0;    // counted from 1 after the name, for messages
  std::uint32_t target = 0;  // assignment: the slot it writes
  std::size_t first_expression = 0;
  std::size_t expression_count = 0;
};

struct MacroProgram {
  std::vector<MacroOp> ops;
  std::vector<MacroExpression> expressions;
  std::vector<MacroStatement> statements;
  // The variable number ($n) behind each slot. Slots are handed out densely in
  // order of appearance, so a "$999999999" in the text costs one slot, not a
  // table that large.
  std::vector<std::uint32_t> slot_variables;
  std::size_t stack_depth = 0;  // the deepest any expression's value stack goes
};

}  // namespace detail

namespace {

using detail::MacroExpression;
using detail::MacroOp;
using detail::MacroProgram;
using detail::MacroStatement;

constexpr int kAssignment = -1;

// Deeper nesting than any generator writes; the limit keeps the recursive
// reader's stack use small and fixed.
constexpr int kMaxNesting = 64;

// Variable numbers up to nine digits; more is certainly not a real macro.
constexpr std::uint32_t kMaxVariableNumber = 999'999'999;

// A primitive's form: which code, what to call it, how many modifiers it takes.
// The rotation is the last modifier; it is optional (0 when left out) because
// older files omit it, and the circle only gained it late.
struct PrimitiveForm {
  int code;
  const char* name;  // with its article, for messages
  std::size_t min_modifiers;
  std::size_t max_modifiers;
};

constexpr PrimitiveForm kForms[] = {
    {1, "a circle", 4, 5},
    {2, "a vector line", 6, 7},  // the old code of the vector line
    {20, "a vector line", 6, 7},
    {21, "a centre line", 5, 6},
    {22, "a lower-left line", 5, 6},
    // Exposure, vertex count, at least two points, rotation; the exact count
    // follows from the vertex count, which may be an expression.
    {4, "an outline", 6, std::numeric_limits<std::size_t>::max()},
    {5, "a polygon", 5, 6},
    {6, "a moire", 8, 9},
    {7, "a thermal", 5, 6},
};

const PrimitiveForm* find_form(int code) {
  for (const auto& form : kForms) {
    if (form.code == code) return &form;
  }
  return nullptr;
}

// "aperture macro "NAME"" with long names shortened. A name may hold any
// byte; those that do not print are shown by their code.
std::string describe_macro(std::string_view name) {
  constexpr std::size_t kMaxShown = 40;
  std::string out = "aperture macro \"";
  for (const char c : name.substr(0, kMaxShown)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out.append("\\x").append(1, kHex[u >> 4]).append(1, kHex[u & 15]);
    }
  }
  if (name.size() > kMaxShown) out += "...";
  out += '"';
  return out;
}

std::string describe_place(std::string_view name, std::size_t statement, std::size_t modifier) {
  std::string out = describe_macro(name);
  out += ", statement " + std::to_string(statement);
  if (modifier > 0) out += ", modifier " + std::to_string(modifier);
  return out;
}

std::string describe_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u > 0x20 && u < 0x7f) return std::string("'") + c + "'";
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("byte 0x") + kHex[u >> 4] + kHex[u & 15];
}

std::string without_blanks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c != ' ' && c != '\t') out += c;
  }
  return out;
}

// A comment is "0" followed by anything but another digit; blanks may precede it.
bool is_comment(std::string_view statement) {
  const std::string_view text = trim_leading(statement, kSpaceAndTab);
  if (text.empty() || text.front() != '0') return false;
  return text.size() == 1 || !is_digit(text[1]);
}

// Turns one modifier's text into postfix ops appended to the program.
class ExpressionReader {
 public:
  ExpressionReader(std::string_view text, MacroProgram& program,
                   std::map<std::uint32_t, std::uint32_t>& slots, std::string place)
      : text_(text), program_(program), slots_(slots), place_(std::move(place)) {}

  void read() {
    read_sum(0);
    if (pos_ < text_.size()) {
      fail(text_[pos_] == ')' ? std::string("a closing parenthesis has no opening one")
                              : "unexpected " + describe_char(text_[pos_]));
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw MacroError(place_ + ": " + what); }

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void emit(MacroOp::Kind kind, std::uint32_t slot = 0, double value = 0.0) {
    program_.ops.push_back(MacroOp{kind, slot, value});
    switch (kind) {
      case MacroOp::Kind::constant:
      case MacroOp::Kind::variable:
        ++height_;
        program_.stack_depth = std::max(program_.stack_depth, height_);
        break;
      case MacroOp::Kind::negate:
        break;
      default:
        --height_;
        break;
    }
  }

  void read_sum(int depth) {
    read_product(depth);
    while (at('+') || at('-')) {
      const auto kind = text_[pos_] == '+' ? MacroOp::Kind::add : MacroOp::Kind::subtract;
      ++pos_;
      read_product(depth);
      emit(kind);
    }
  }

  void read_product(int depth) {
    read_factor(depth);
    while (at('x') || at('X') || at('/')) {
      const auto kind = text_[pos_] == '/' ? MacroOp::Kind::divide : MacroOp::Kind::multiply;
      ++pos_;
      read_factor(depth);
      emit(kind);
    }
  }

  void read_factor(int depth) {
    // Signs are collected in a loop rather than by recursion, so a run of
    // thousands of them costs no stack.
    bool negative = false;
    while (at('+') || at('-')) {
      if (text_[pos_] == '-') negative = !negative;
      ++pos_;
    }
    if (pos_ == text_.size()) fail("a number or variable is missing");
    const char c = text_[pos_];
    if (c == '(') {
      if (depth >= kMaxNesting) {
        fail("parentheses are nested more than " + std::to_string(kMaxNesting) + " deep");
      }
      ++pos_;
      read_sum(depth + 1);
      if (!at(')')) fail("a closing parenthesis is missing");
      ++pos_;
    } else if (c == '$') {
      ++pos_;
      emit(MacroOp::Kind::variable, slot_for(read_variable_number()));
    } else if (is_digit(c) || c == '.') {
      emit(MacroOp::Kind::constant, 0, read_number());
    } else {
      fail("unexpected " + describe_char(c));
    }
    if (negative) emit(MacroOp::Kind::negate);
  }

  std::uint32_t read_variable_number() {
    const std::size_t start = pos_;
    std::uint64_t number = 0;
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
      number = number * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
      if (number > kMaxVariableNumber) fail("a variable number is too large");
      ++pos_;
    }
    if (pos_ == start) fail("'$' is not followed by a variable number");
    if (number == 0) fail("variables are numbered from $1");
    return static_cast<std::uint32_t>(number);
  }

  std::uint32_t slot_for(std::uint32_t variable) {
    const auto [it, added] =
        slots_.try_emplace(variable, static_cast<std::uint32_t>(program_.slot_variables.size()));
    if (added) program_.slot_variables.push_back(variable);
    return it->second;
  }

  // Unsigned decimal: digits with an optional point, at least one digit. No
  // exponent: "1e5" is not a macro number, and '+' and '-' are operators here.
  double read_number() {
    const std::size_t start = pos_;
    bool nonzero_whole = false;
    std::size_t digits = 0;
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
      nonzero_whole = nonzero_whole || text_[pos_] != '0';
      ++digits;
      ++pos_;
    }
    if (at('.')) {
      ++pos_;
      while (pos_ < text_.size() && is_digit(text_[pos_])) {
        ++digits;
        ++pos_;
      }
    }
    if (digits == 0) fail("a decimal point has no digits");
    std::string_view number = text_.substr(start, pos_ - start);
    if (number.back() == '.') number.remove_suffix(1);  // "5." is 5
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::fixed);
    if (result.ec == std::errc::result_out_of_range) {
      // Only digits before the point can overflow; a long run of zeros after
      // the point merely gives a value too small to tell from zero.
      if (nonzero_whole) fail("a number is too large");
      return 0.0;
    }
    if (result.ec != std::errc() || result.ptr != number.data() + number.size()) {
      fail("a number cannot be read");
    }
    return value;
  }

  std::string_view text_;
  MacroProgram& program_;
  std::map<std::uint32_t, std::uint32_t>& slots_;
  std::string place_;
  std::size_t pos_ = 0;
  std::size_t height_ = 0;
};

class MacroReader {
 public:
  explicit MacroReader(std::string_view name) : name_(name) {}

  void read_statement(std::string_view text, std::size_t number) {
    if (is_comment(text)) return;
    const std::string statement = without_blanks(text);
    if (statement.empty()) return;
    if (statement.front() == '$') {
      read_assignment(statement, number);
    } else {
      read_primitive(statement, number);
    }
  }

  std::shared_ptr<const MacroProgram> finish() {
    return std::make_shared<const MacroProgram>(std::move(program_));
  }

 private:
  [[noreturn]] void fail(std::size_t number, const std::string& what) const {
    throw MacroError(describe_place(name_, number, 0) + ": " + what);
  }

  void read_expression(std::string_view text, std::size_t number, std::size_t modifier) {
    const std::string place = describe_place(name_, number, modifier);
    if (text.empty()) throw MacroError(place + ": the modifier is empty");
    MacroExpression expression;
    expression.first_op = program_.ops.size();
    ExpressionReader(text, program_, slots_, place).read();
    expression.op_count = program_.ops.size() - expression.first_op;
    program_.expressions.push_back(expression);
  }

  void read_assignment(std::string_view statement, std::size_t number) {
    const auto equals = statement.find('=');
    if (equals == std::string_view::npos) fail(number, "a variable definition has no '='");
    // The target is read like a one-variable expression, which checks its form.
    const std::size_t first_op = program_.ops.size();
    const std::size_t first_expression = program_.expressions.size();
    read_expression(statement.substr(0, equals), number, 0);
    if (program_.ops.size() != first_op + 1 ||
        program_.ops.back().kind != MacroOp::Kind::variable) {
      fail(number, "a variable definition must begin with $n=");
    }
    const std::uint32_t target = program_.ops.back().slot;
    program_.ops.pop_back();
    program_.expressions.pop_back();
    read_expression(statement.substr(equals + 1), number, 0);
    program_.statements.push_back(MacroStatement{kAssignment, number, target, first_expression, 1});
  }

  void read_primitive(std::string_view statement, std::size_t number) {
    const auto comma = std::min(statement.find(','), statement.size());
    const std::string_view code_text = statement.substr(0, comma);
    if (code_text.empty() || code_text.size() > 3 ||
        !std::all_of(code_text.begin(), code_text.end(), is_digit)) {
      fail(number, "a primitive must begin with its numeric code");
    }
    int code = 0;
    for (const char c : code_text) code = code * 10 + (c - '0');
    const PrimitiveForm* form = find_form(code);
    if (form == nullptr) fail(number, "unknown primitive code " + std::to_string(code));

    MacroStatement result{code, number, 0, program_.expressions.size(), 0};
    std::size_t pos = comma;
    while (pos < statement.size()) {
      ++pos;  // past the comma
      const auto next = std::min(statement.find(',', pos), statement.size());
      ++result.expression_count;
      if (result.expression_count > form->max_modifiers) {
        fail(number, std::string(form->name) + " takes at most " +
                         std::to_string(form->max_modifiers) + " modifiers");
      }
      read_expression(statement.substr(pos, next - pos), number, result.expression_count);
      pos = next;
    }
    if (result.expression_count < form->min_modifiers) {
      fail(number, std::string(form->name) + " needs at least " +
                       std::to_string(form->min_modifiers) + " modifiers but has " +
                       std::to_string(result.expression_count));
    }
    program_.statements.push_back(result);
  }

  std::string_view name_;
  MacroProgram program_;
  std::map<std::uint32_t, std::uint32_t> slots_;
};

// ---------------------------------------------------------------------------
// Evaluation

class Evaluator {
 public:
  Evaluator(const std::string& name, const MacroProgram& program,
            std::span<const double> parameters)
      : name_(name), program_(program) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (!std::isfinite(parameters[i])) {
        throw MacroError(describe_macro(name_) + ": parameter $" + std::to_string(i + 1) +
                         " is not a finite number");
      }
    }
    // Each slot starts as its parameter; a variable the aperture does not give is 0.
    values_.resize(program.slot_variables.size(), 0.0);
    for (std::size_t slot = 0; slot < values_.size(); ++slot) {
      const std::size_t index = program.slot_variables[slot] - 1;
      if (index < parameters.size()) values_[slot] = parameters[index];
    }
    stack_.reserve(program.stack_depth);
  }

  std::vector<MacroPrimitive> run() {
    std::vector<MacroPrimitive> primitives;
    for (const MacroStatement& statement : program_.statements) {
      statement_ = &statement;
      modifiers_.clear();
      for (std::size_t i = 0; i < statement.expression_count; ++i) {
        modifier_ = i + 1;
        modifiers_.push_back(evaluate(program_.expressions[statement.first_expression + i]));
      }
      modifier_ = 0;
      if (statement.code == kAssignment) {
        values_[statement.target] = modifiers_[0];
        continue;
      }
      MacroPrimitive& p = primitives.emplace_back();
      p.code = statement.code;
      p.statement = statement.number;
      p.rotation = primitive(p.exposed);
      p.modifiers = modifiers_;
    }
    return primitives;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw MacroError(describe_place(name_, statement_->number, modifier_) + ": " + what);
  }

  double evaluate(const MacroExpression& expression) {
    stack_.clear();
    for (std::size_t i = 0; i < expression.op_count; ++i) {
      const MacroOp& op = program_.ops[expression.first_op + i];
      double result = 0.0;
      switch (op.kind) {
        case MacroOp::Kind::constant:
          stack_.push_back(op.value);
          continue;
        case MacroOp::Kind::variable:
          stack_.push_back(values_[op.slot]);
          continue;
        case MacroOp::Kind::negate:
          stack_.back() = -stack_.back();
          continue;
        default:
          break;
      }
      const double right = stack_.back();
      stack_.pop_back();
      const double left = stack_.back();
      switch (op.kind) {
        case MacroOp::Kind::add:
          result = left + right;
          break;
        case MacroOp::Kind::subtract:
          result = left - right;
          break;
        case MacroOp::Kind::multiply:
          result = left * right;
          break;
        default:
          if (right == 0.0) fail("division by zero");
          result = left / right;
          break;
      }
      if (!std::isfinite(result)) fail("a value is beyond the range of numbers");
      stack_.back() = result;
    }
    return stack_.back();
  }

  // Exposure modifier: 1 exposes, 0 clears.
  bool exposed(std::size_t index) {
    const double value = modifiers_[index];
    if (value == 1.0) return true;
    if (value == 0.0) return false;
    modifier_ = index + 1;
    fail("the exposure must be 0 or 1");
  }

  // The rotation is the modifier after the fixed ones when present.
  double rotation(std::size_t index) const {
    return index < modifiers_.size() ? modifiers_[index] : 0.0;
  }

  // A count written as a modifier: a whole number of at least minimum.
  double count(std::size_t index, double minimum, const char* what) {
    const double value = modifiers_[index];
    if (value < minimum || value != std::floor(value)) {
      modifier_ = index + 1;
      fail(std::string("the number of ") + what + " must be a whole number of at least " +
           std::to_string(static_cast<int>(minimum)));
    }
    return value;
  }

  // Checks the primitive's modifiers: its exposure and its counts. Returns
  // its rotation in degrees (0 when not written).
  double primitive(bool& exposure) {
    const std::vector<double>& m = modifiers_;
    exposure = true;
    switch (statement_->code) {
      case 1:  // exposure, diameter, centre x, centre y, [rotation]
        exposure = exposed(0);
        return rotation(4);
      case 2:
      case 20:  // exposure, width, start x, start y, end x, end y, [rotation]
        exposure = exposed(0);
        return rotation(6);
      case 21:  // exposure, width, height, centre x, centre y, [rotation]
      case 22:  // exposure, width, height, lower-left x, lower-left y, [rotation]
        exposure = exposed(0);
        return rotation(5);
      case 4: {  // exposure, n, n + 1 points (x, y), [rotation]
        const double n = count(1, 1.0, "outline vertices");
        // The count is checked against the modifiers actually written before
        // it is trusted for anything.
        const double points_written = static_cast<double>((m.size() - 2) / 2);
        if (n + 1.0 > points_written || m.size() > 2 * static_cast<std::size_t>(n) + 5) {
          // n is a whole number here, but may be far beyond any integer type.
          char vertices[32];
          char points[32];
          std::snprintf(vertices, sizeof vertices, "%.15g", n);
          std::snprintf(points, sizeof points, "%.15g", n + 1.0);
          fail(std::string("an outline of ") + vertices + " vertices takes " + points +
               " points and a rotation, but its modifiers hold " +
               std::to_string(static_cast<std::size_t>(points_written)) + " points");
        }
        exposure = exposed(0);
        return rotation(2 + 2 * (static_cast<std::size_t>(n) + 1));
      }
      case 5:  // exposure, n, centre x, centre y, diameter, [rotation]
        count(1, 3.0, "polygon vertices");
        exposure = exposed(0);
        return rotation(5);
      case 6:  // centre x, centre y, outer diameter, ring thickness, gap, ring count,
               // cross-hair thickness, cross-hair length, [rotation]: always exposed
        return rotation(8);
      case 7:  // centre x, centre y, outer diameter, inner diameter, gap, [rotation]
        return rotation(5);
      default:
        fail("unknown primitive code " + std::to_string(statement_->code));
    }
  }

  const std::string& name_;
  const MacroProgram& program_;
  std::vector<double> values_;
  std::vector<double> stack_;
  std::vector<double> modifiers_;
  const MacroStatement* statement_ = nullptr;
  std::size_t modifier_ = 0;
};

}  // namespace

ApertureMacro parse_aperture_macro(std::string_view body) {
  // Statements end at '*'; line breaks are dropped wherever they fall. Text
  // after the last '*' still counts as a statement.
  std::vector<std::string> statements;
  std::string current;
  for (const char c : body) {
    if (c == '\r' || c == '\n') continue;
    if (c == '*') {
      statements.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!is_blank(current, kSpaceAndTab)) statements.push_back(current);

  ApertureMacro macro;
  // The name is everything up to the first '*' as written, blanks and
  // punctuation included ("Rect-W1650000-H1650000-RO1.500"); only blanks
  // around it are dropped.
  if (!statements.empty()) {
    macro.name_ = trim(statements.front(), kSpaceAndTab);
  }
  if (macro.name_.empty()) throw MacroError("an aperture macro has no name");
  if (is_digit(macro.name_.front())) {
    throw MacroError("an aperture macro name must not begin with a digit");
  }

  MacroReader reader(macro.name_);
  std::size_t number = 0;
  for (std::size_t i = 1; i < statements.size(); ++i) {
    if (is_blank(statements[i], kSpaceAndTab)) continue;
    reader.read_statement(statements[i], ++number);
  }
  macro.program_ = reader.finish();
  return macro;
}

std::vector<MacroPrimitive> evaluate_aperture_macro(const ApertureMacro& macro,
                                                    std::span<const double> parameters) {
  if (!macro.program_) return {};
  return Evaluator(macro.name_, *macro.program_, parameters).run();
}

std::string describe_macro_statement(std::string_view name, std::size_t statement) {
  return describe_place(name, statement, 0);
}

}  // namespace foilcad
