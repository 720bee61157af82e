#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "reader/export_track.h"

namespace vesk {
namespace {

struct ShapeCase {
    std::vector<std::int64_t> depths, sizes, parents;
};

class TreeShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(TreeShape, FromDepths) {
    std::vector<std::int64_t> sizes, parents;
    tree_shape(GetParam().depths, sizes, parents);
    EXPECT_EQ(sizes, GetParam().sizes);
    EXPECT_EQ(parents, GetParam().parents);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, TreeShape,
    testing::Values(
        ShapeCase{{}, {}, {}},
        // Two top-level calls, the first with a child that has one.
        ShapeCase{{0, 1, 2, 0}, {3, 2, 1, 1}, {-1, 0, 1, -1}},
        // Still open at the end.
        ShapeCase{{0, 1, 1, 2}, {4, 1, 2, 1}, {-1, 0, 0, 2}},
        // A depth past the open nodes' (a file from elsewhere) goes inside the innermost.
        ShapeCase{{0, 3, 1, 0}, {3, 1, 1, 1}, {-1, 0, 0, -1}},
        ShapeCase{{2, 0}, {1, 1}, {-1, -1}}));

TEST(JsonSpill, BytesAddedAgainGoWhereTheyWentBefore) {
    JsonSpill spill;
    auto first = spill.add_once("abc");
    auto text = spill.add("abc");  // a text is added whatever it holds
    auto other = spill.add_once("xy");
    EXPECT_EQ(spill.add_once("abc"), first);
    EXPECT_EQ(spill.add_once("xy"), other);
    EXPECT_EQ(first, (JsonSpill::Where{0, 3}));
    EXPECT_EQ(text, (JsonSpill::Where{3, 3}));
    EXPECT_EQ(other, (JsonSpill::Where{6, 2}));
    EXPECT_EQ(spill.take(), "abcabcxy");
}

TEST(JsonSpill, ForgetsWhatItHandedOn) {
    JsonSpill spill;
    auto first = spill.add_once("abc");
    EXPECT_EQ(spill.take(), "abc");
    EXPECT_EQ(spill.add_once("abc"), (JsonSpill::Where{3, 3}));
    EXPECT_EQ(spill.add_once("abc"), (JsonSpill::Where{3, 3}));
    EXPECT_NE(first, (JsonSpill::Where{3, 3}));
}

}  // namespace
}  // namespace vesk
