#include <gtest/gtest.h>

#include "exact/solids.hpp"

namespace foilcad::exact {
namespace {

TEST(ExactSolids, Placeholder) { SUCCEED(); }

}  // namespace
}  // namespace foilcad::exact
