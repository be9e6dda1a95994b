// Aperture macro extents: each primitive against boxes worked out by hand, the
// expression language, and hostile definitions that must fail cleanly.
#include "photoplot/macro.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "geometry/boxes.hpp"
#include "photoplot/extent.hpp"

namespace foilcad {
namespace {

// The box of a macro aperture's exposed primitives: the reader evaluates the
// primitives, the grid model bounds them.
std::optional<Box> macro_extent(const ApertureMacro& macro, std::span<const double> parameters) {
  return macro_box(evaluate_aperture_macro(macro, parameters), macro.name());
}

const double kS = std::sqrt(0.5);        // sin 45 = cos 45
const double kH = std::sqrt(3.0) / 2.0;  // sin 60 = cos 30

std::optional<Box> extent(const std::string& body, const std::vector<double>& params = {}) {
  return macro_extent(parse_aperture_macro(body), params);
}

void expect_box(const std::optional<Box>& got, const Box& want, double tolerance,
                const std::string& what) {
  ASSERT_TRUE(got.has_value()) << what;
  EXPECT_NEAR(got->min_x, want.min_x, tolerance) << what;
  EXPECT_NEAR(got->max_x, want.max_x, tolerance) << what;
  EXPECT_NEAR(got->min_y, want.min_y, tolerance) << what;
  EXPECT_NEAR(got->max_y, want.max_y, tolerance) << what;
}

struct ShapeCase {
  const char* what;
  const char* body;
  Box want;
  double tolerance;  // 0 where quarter turns and axis-aligned data must be exact
};

TEST(MacroExtent, EachPrimitiveGivesTheBoxOfItsShape) {
  const ShapeCase cases[] = {
      {"circle off the origin", "C*1,1,2,3,4*", {2, 4, 3, 5}, 0},
      {"circle centre turns about the origin", "C*1,1,2,3,4,90*", {-5, -3, 2, 4}, 0},
      {"negative diameter spans the same", "C*1,1,-2,3,4*", {2, 4, 3, 5}, 0},
      {"vector line along x", "L*20,1,0.5,1,2,5,2,0*", {1, 5, 1.75, 2.25}, 0},
      {"vector line along y", "L*20,1,0.5,1,2,1,6,0*", {0.75, 1.25, 2, 6}, 0},
      {"vector line at 45 degrees",
       "L*20,1,0.2,0,0,1,1,0*",
       {-0.1 * kS, 1 + 0.1 * kS, -0.1 * kS, 1 + 0.1 * kS},
       1e-12},
      {"vector line turned 90", "L*20,1,0.5,1,2,5,2,90*", {-2.25, -1.75, 1, 5}, 0},
      {"vector line turned 45",
       "L*20,1,0.2,0,0,1,0,45*",
       {-0.1 * kS, 1.1 * kS, -0.1 * kS, 1.1 * kS},
       1e-12},
      {"old code 2 is a vector line", "L*2,1,0.5,1,2,5,2,0*", {1, 5, 1.75, 2.25}, 0},
      {"zero-length line holds its half width", "L*20,1,0.4,1,1,1,1,0*", {0.8, 1.2, 0.8, 1.2}, 0},
      {"centre line", "R*21,1,2,1,3,4,0*", {2, 4, 3.5, 4.5}, 0},
      {"centre line turned 90", "R*21,1,2,1,3,4,90*", {-4.5, -3.5, 2, 4}, 0},
      {"centre line turned 30",
       "R*21,1,2,1,0,0,30*",
       {-(kH + 0.25), kH + 0.25, -(0.5 + 0.5 * kH), 0.5 + 0.5 * kH},
       1e-12},
      {"lower-left line", "R*22,1,2,1,3,4,0*", {3, 5, 4, 5}, 0},
      {"lower-left line turned 180", "R*22,1,2,1,3,4,180*", {-5, -3, -5, -4}, 0},
      {"outline triangle", "T*4,1,3,0,0,1,0,0,1,0,0,0*", {0, 1, 0, 1}, 0},
      {"outline triangle turned 90", "T*4,1,3,0,0,1,0,0,1,0,0,90*", {-1, 0, 0, 1}, 0},
      {"outline without rotation", "T*4,1,3,0,0,1,0,0,1,0,0*", {0, 1, 0, 1}, 0},
      {"hexagon", "P*5,1,6,0,0,2,0*", {-1, 1, -kH, kH}, 1e-12},
      {"hexagon turned 30", "P*5,1,6,0,0,2,30*", {-kH, kH, -1, 1}, 1e-12},
      {"square polygon off the origin turned 90", "P*5,1,4,1,0,1,90*", {-0.5, 0.5, 0.5, 1.5}, 0},
      {"polygon with a billion sides uses its circle",
       "P*5,1,1000000000,0,0,2,0*",
       {-1, 1, -1, 1},
       0},
      {"thermal", "H*7,0,0,0.8,0.5,0.1,45*", {-0.4, 0.4, -0.4, 0.4}, 0},
      {"thermal centre turned 90", "H*7,1,0,0.8,0.5,0.1,90*", {-0.4, 0.4, 0.6, 1.4}, 0},
      {"moire inside its ring", "M*6,0,0,1,0.1,0.1,3,0.02,0.8,0*", {-0.5, 0.5, -0.5, 0.5}, 0},
      {"moire cross hair beyond the ring",
       "M*6,0,0,1,0.1,0.1,3,0.02,1.5,0*",
       {-0.75, 0.75, -0.75, 0.75},
       0},
      {"moire cross hair turned 45",
       "M*6,0,0,1,0.1,0.1,3,0.02,1.5,45*",
       {-0.76 * kS, 0.76 * kS, -0.76 * kS, 0.76 * kS},
       1e-12},
      {"union of two primitives", "U*1,1,2,-3,0*21,1,1,4,0,2,0*", {-4, 0.5, -1, 4}, 0},
  };
  for (const auto& c : cases) expect_box(extent(c.body), c.want, c.tolerance, c.what);
}

// KiCad 6 writes rounded-rectangle pads with this macro.
constexpr const char* kRoundRect =
    "RoundRect*\n0 Rectangle with rounded corners*\n0 $1 Rounding radius*\n"
    "0 $2 $3 $4 $5 $6 $7 $8 $9 X,Y pos of 4 corners*\n"
    "0 Add a 4 corners polygon primitive as box body*\n"
    "4,1,4,$2,$3,$4,$5,$6,$7,$8,$9,$2,$3,0*\n"
    "0 Add four circle primitives for the rounded corners*\n"
    "1,1,$1+$1,$2,$3*\n1,1,$1+$1,$4,$5*\n1,1,$1+$1,$6,$7*\n1,1,$1+$1,$8,$9*\n"
    "0 Add four rect primitives between the rounded corners*\n"
    "20,1,$1+$1,$2,$3,$4,$5,0*\n20,1,$1+$1,$4,$5,$6,$7,0*\n"
    "20,1,$1+$1,$6,$7,$8,$9,0*\n20,1,$1+$1,$8,$9,$2,$3,0*";

TEST(MacroExtent, KicadRoundRectIsItsCornersGrownByTheRadius) {
  const ApertureMacro macro = parse_aperture_macro(kRoundRect);
  EXPECT_EQ(macro.name(), "RoundRect");
  // %ADD12RoundRect,0.250000X-0.450000X0.262500X0.450000X0.262500X0.450000X-0.262500X
  //   -0.450000X-0.262500X0*%: corners at x = +-0.45, y = +-0.2625, radius 0.25.
  const std::vector<double> pad{0.25, -0.45,   0.2625, 0.45,    0.2625,
                                0.45, -0.2625, -0.45,  -0.2625, 0};
  expect_box(macro_extent(macro, pad), {-0.7, 0.7, -0.5125, 0.5125}, 1e-12, "radius 0.25");
  // The same macro serves every pad; a zero radius leaves the corner box.
  std::vector<double> sharp = pad;
  sharp[0] = 0;
  expect_box(macro_extent(macro, sharp), {-0.45, 0.45, -0.2625, 0.2625}, 1e-12, "radius 0");
}

struct ValueCase {
  std::string expression;
  std::vector<double> params;
  double want;
};

TEST(MacroExtent, ExpressionsFollowArithmeticPrecedence) {
  const std::string signs(10001, '-');  // an odd run of signs, read without recursion
  const std::string tiny = "0." + std::string(400, '0') + "1";  // below the double range
  const ValueCase cases[] = {
      {"2+3x4-(1+1)/4", {}, 13.5},
      {"(2+3)x4", {}, 20},
      {"8-2-1", {}, 5},
      {"8/2/2", {}, 2},
      {"2X3", {}, 6},
      {"-$1", {1.5}, -1.5},
      {"--2", {}, 2},
      {"2x-3", {}, -6},
      {"-(1-3)", {}, 2},
      {"$1x2+$2/4", {1, 2}, 2.5},
      {"$7", {1}, 0},  // not given: 0
      {".5", {}, 0.5},
      {"5.", {}, 5},
      {" 1 +\t2 ", {}, 3},
      {"((((1))))", {}, 1},
      {signs + "1", {}, -1},
      {tiny, {}, 0},
  };
  for (const auto& c : cases) {
    // A zero-diameter circle puts the value on min_x.
    const auto got = extent("E*1,1,0," + c.expression + ",0*", c.params);
    ASSERT_TRUE(got.has_value()) << c.expression;
    EXPECT_EQ(got->min_x, c.want) << c.expression;
  }
}

TEST(MacroExtent, VariableDefinitionsTakeEffectInStatementOrder) {
  expect_box(extent("V*$3=$1x2+$2/4*1,1,$3,0,0*", {1, 2}), {-1.25, 1.25, -1.25, 1.25}, 0,
             "definition from parameters");
  expect_box(extent("V*$2=$1+1*1,1,0,$2,0*$2=$2x10*1,1,0,$2,0*", {1}), {2, 20, 0, 0}, 0,
             "redefinition");
  expect_box(extent("V*1,1,0,$1,0*$1=5*1,1,0,$1,0*", {1}), {1, 5, 0, 0}, 0,
             "parameter overwritten afterwards");
}

TEST(MacroExtent, OnlyExposedPrimitivesCount) {
  expect_box(extent("X*1,1,2,0,0*1,0,100,0,0*21,0,50,50,0,0,0*4,0,3,9,9,10,9,9,10,9,9,0*"),
             {-1, 1, -1, 1}, 0, "cleared primitives ignored");
  EXPECT_FALSE(extent("X*1,0,2,0,0*").has_value());
  EXPECT_FALSE(extent("X*0 only a comment*").has_value());
  EXPECT_FALSE(extent("X*1,$1,2,0,0*", {0}).has_value());
  EXPECT_TRUE(extent("X*1,$1,2,0,0*", {1}).has_value());
}

TEST(MacroParse, ReadsLayoutAsFilesWriteIt) {
  // Line breaks anywhere, blanks between tokens, comments holding anything but '*'.
  expect_box(extent("OLD.NAME_2*\r\n0 $1 (((x/0,,, %AM ?*\r\n1, 1,\r\n 2 ,0,0*\r\n"),
             {-1, 1, -1, 1}, 0, "layout");
  EXPECT_EQ(parse_aperture_macro("$Mac.1*1,1,1,0,0*").name(), "$Mac.1");
  EXPECT_TRUE(extent("N*1,1,2,0,0").has_value());  // last '*' missing
  // Names as tools write them: blanks and punctuation inside are kept, blanks
  // around are not.
  EXPECT_EQ(parse_aperture_macro("VB_Custom_Obstruct Trace/Via Round 5.0 Both*1,1,1,0,0*").name(),
            "VB_Custom_Obstruct Trace/Via Round 5.0 Both");
  EXPECT_EQ(parse_aperture_macro(" Rect-W1650000-H1650000-RO1.500 \r\n*1,1,1,0,0*").name(),
            "Rect-W1650000-H1650000-RO1.500");
  // A byte that does not print is named by its code in messages.
  try {
    parse_aperture_macro(std::string("A\x01") + "B*1,1,1*");
    ADD_FAILURE() << "no error";
  } catch (const MacroError& e) {
    EXPECT_NE(std::string(e.what()).find("aperture macro \"A\\x01B\""), std::string::npos)
        << e.what();
  }
}

TEST(MacroParse, RejectsMalformedDefinitions) {
  const std::string deep = std::string(100000, '(') + "1" + std::string(100000, ')');
  const std::string huge = "1" + std::string(400, '0');
  const std::string cases[] = {
      "",
      "*1,1,1,0,0*",                // no name
      "1ABC*1,1,1,0,0*",            // name starts with a digit
      "N*1,1,0.5*",                 // circle short of its centre
      "N*21,1,1,1,0*",              // centre line short of a coordinate
      "N*6,0,0,1,0.1,0.1,3,0.02*",  // moire without cross-hair length
      "N*4,1,3,0,0*",               // outline with one point
      "N*1,1,1,0,0,0,0*",           // circle with too many modifiers
      "N*9,1,1,0,0*",               // unknown primitive
      "N*3*",                       // unknown primitive
      "N*X,1,1,0,0*",               // no code
      "N*1,1,,0,0*",                // empty modifier
      "N*1,1,1,0,0,*",              // trailing comma
      "N*1,1,1e5,0,0*",             // exponents are not macro numbers
      "N*1,1,.,0,0*",               // point without digits
      "N*1,1,(1,0,0*",              // unclosed parenthesis
      "N*1,1,1),0,0*",              // stray parenthesis
      "N*1,1,1#,0,0*",              // stray character
      "N*1,1,1+,0,0*",              // operand missing
      "N*1,1,$,0,0*",               // variable without number
      "N*1,1,$0,0,0*",              // variables start at $1
      "N*1,1,$12345678901,0,0*",    // variable number too large
      "N*$3*",                      // definition without '='
      "N*$3+1=2*",                  // definition of an expression
      "N*1,1," + huge + ",0,0*",    // literal beyond the double range
      "N*1,1," + deep + ",0,0*",    // nesting that would exhaust the stack
  };
  for (const auto& body : cases) {
    EXPECT_THROW(parse_aperture_macro(body), MacroError) << body.substr(0, 60);
  }
}

struct EvaluationCase {
  const char* body;
  std::vector<double> params;
};

TEST(MacroExtent, RejectsValuesThatCannotBeEvaluated) {
  const double inf = std::numeric_limits<double>::infinity();
  const EvaluationCase cases[] = {
      {"N*1,1,1/0,0,0*", {}},
      {"N*1,1,1/$3,0,0*", {}},                         // undefined variable is 0
      {"N*1,1,$1x$1,0,0*", {1e200}},                   // overflow in an expression
      {"N*1,1,$1,$1,0*", {1.7e308}},                   // overflow in the box
      {"N*1,1,1,$1,0*", {inf}},                        // parameter not finite
      {"N*1,1,1,$1,0*", {std::nan("")}},               // parameter not a number
      {"N*1,2,1,0,0*", {}},                            // exposure neither 0 nor 1
      {"N*4,1,1000000000000,0,0,1,0,0,1,0,0,0*", {}},  // count far beyond the points
      {"N*4,1,$1,0,0,1,0,0,1,0,0,0*", {1e12}},         // the same from a parameter
      {"N*4,1,3,0,0,1,0,0,1*", {}},                    // one point short
      {"N*4,1,3,0,0,1,0,0,1,0,0,0,5,5*", {}},          // points beyond the count
      {"N*4,1,2.5,0,0,1,0,0,1,0,0*", {}},              // count not whole
      {"N*4,1,-1,0,0,1,0,0,1,0,0*", {}},               // count negative
      {"N*5,1,2,0,0,1,0*", {}},                        // polygon of two sides
      {"N*5,1,3.5,0,0,1,0*", {}},                      // polygon count not whole
  };
  for (const auto& c : cases) {
    const ApertureMacro macro = parse_aperture_macro(c.body);
    EXPECT_THROW(macro_extent(macro, c.params), MacroError) << c.body;
  }
}

TEST(MacroError, NamesTheMacroAndStatementInOneSentence) {
  try {
    parse_aperture_macro("BAD*0 c*1,1,0.5*");
    FAIL() << "no error";
  } catch (const MacroError& e) {
    EXPECT_STREQ(e.what(),
                 "aperture macro \"BAD\", statement 2: a circle needs at least 4 modifiers but "
                 "has 2");
  }
  try {
    macro_extent(parse_aperture_macro("Q*$2=1*1,1,3/($1-1),0,0*"), std::vector<double>{1});
    FAIL() << "no error";
  } catch (const MacroError& e) {
    EXPECT_STREQ(e.what(), "aperture macro \"Q\", statement 2, modifier 2: division by zero");
  }
}

}  // namespace
}  // namespace foilcad
