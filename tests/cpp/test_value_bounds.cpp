#include <gtest/gtest.h>

#include "values/bounds.h"

namespace vesk {
namespace {

TEST(ValueBounds, ScalingMultipliesAllButCapsTheDepth) {
    Bounds three = full_bounds.scaled(3);
    EXPECT_EQ(three.items, 3 * full_bounds.items);
    EXPECT_EQ(three.chars, 3 * full_bounds.chars);
    EXPECT_EQ(three.text, 3 * full_bounds.text);
    EXPECT_EQ(three.values, 3 * full_bounds.values);
    EXPECT_EQ(three.depth, 36);
    EXPECT_EQ(full_bounds.scaled(100).depth, Bounds::max_depth);
    EXPECT_EQ(full_bounds.scaled(0).items, full_bounds.items);  // never below the form's own
}

struct Kept {
    std::ptrdiff_t length, bound, left, expected;
};

class ValueItemsKept : public testing::TestWithParam<Kept> {};

TEST_P(ValueItemsKept, NeverPastTheBoundAndOneWhileAnyIsLeft) {
    const Kept& kept = GetParam();
    EXPECT_EQ(items_kept(kept.length, kept.bound, kept.left), kept.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ValueItemsKept,
                         testing::Values(Kept{10, 64, 500, 10}, Kept{100000, 64, 500, 64},
                                         Kept{100, 64, 20, 20}, Kept{100, 64, 0, 1},
                                         Kept{100, 64, -5, 1}, Kept{0, 64, 0, 0}));

TEST(ValueBounds, TextKeptIsNeverNegative) {
    EXPECT_EQ(text_kept(300, 200, 5000), 200);
    EXPECT_EQ(text_kept(300, 1000, 120), 120);
    EXPECT_EQ(text_kept(300, 1000, 0), 0);
    EXPECT_EQ(text_kept(300, 1000, -7), 0);
    EXPECT_EQ(text_kept(12, 1000, 5000), 12);
}

}  // namespace
}  // namespace vesk
