#include <gtest/gtest.h>

#include "exact/outlines.hpp"

namespace foilcad::exact {
namespace {

TEST(ExactOutlines, Placeholder) { SUCCEED(); }

}  // namespace
}  // namespace foilcad::exact
