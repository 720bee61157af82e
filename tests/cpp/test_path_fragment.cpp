#include <gtest/gtest.h>

#include "filters/path_fragment.h"

namespace vesk {
namespace {

struct FragmentCase {
    const char* fragment;
    const char* filename;
    bool found;
};

class Fragment : public ::testing::TestWithParam<FragmentCase> {};

TEST_P(Fragment, IsAByteExactSubstringTest) {
    PathFragment fragment(GetParam().fragment);
    EXPECT_EQ(fragment.found_in(GetParam().filename), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Fragment,
    ::testing::Values(FragmentCase{"", "", true}, FragmentCase{"", "/any/file.py", true},
                      FragmentCase{"myapp/views", "/src/myapp/views.py", true},
                      FragmentCase{"MyApp", "/src/myapp/views.py", false},
                      FragmentCase{"views.py", "views.py", true},
                      FragmentCase{"/src/myapp/views.py!", "/src/myapp/views.py", false},
                      FragmentCase{"py", "/src/myapp/views.p", false}));

TEST(Fragments, KeepConfiguredOrderAndTextOnASlashHost) {
    auto fragments = compile_fragments({"a/b", "", "a/b", "c\\d"});
    ASSERT_EQ(fragments.size(), 4u);
    EXPECT_EQ(fragments[0].text(), "a/b");
    EXPECT_EQ(fragments[1].text(), "");
    EXPECT_EQ(fragments[3].text(), "c\\d");
    EXPECT_TRUE(any_found_in(fragments, "x"));  // through the empty fragment
    EXPECT_FALSE(any_found_in({}, "x"));
}

}  // namespace
}  // namespace vesk
