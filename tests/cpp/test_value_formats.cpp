#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "values/formats.h"

namespace vesk {
namespace {

TEST(ValueFormats, UuidTextIsGroupedHex) {
    EXPECT_EQ(uuid_text(0, 5), "00000000-0000-0000-0000-000000000005");
    EXPECT_EQ(uuid_text(0x123456789abcdef0ULL, 0x0fedcba987654321ULL),
              "12345678-9abc-def0-0fed-cba987654321");
}

struct Joined {
    std::vector<std::string_view> pieces;
    std::string expected;
};

class ValueJoinedPath : public testing::TestWithParam<Joined> {};

TEST_P(ValueJoinedPath, ReadsAsStrOfThePath) {
    EXPECT_EQ(joined_path(GetParam().pieces), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ValueJoinedPath,
                         testing::Values(Joined{{}, "."}, Joined{{"a//b/./c/"}, "a/b/c"},
                                         Joined{{"a", "/x", "y"}, "/x/y"},
                                         Joined{{"//net/share"}, "//net/share"},
                                         Joined{{"///x"}, "/x"}, Joined{{"."}, "."},
                                         Joined{{"/"}, "/"}));

TEST(ValueFormats, OlderPathsDropTheirDriveAndRootPart) {
    std::vector<std::string_view> parts{"/", "usr", "lib"};
    EXPECT_EQ(joined_parts("", "/", parts), "/usr/lib");
    std::vector<std::string_view> relative{"a", "b"};
    EXPECT_EQ(joined_parts("", "", relative), "a/b");
    EXPECT_EQ(joined_parts("", "", {}), ".");
}

TEST(ValueFormats, ClockArgumentsStopAtTheLastNonZeroField) {
    std::vector<long long> date{2024, 1, 2, 3, 4};
    EXPECT_EQ(clock_arguments(date, 0, 0), "2024, 1, 2, 3, 4");
    EXPECT_EQ(clock_arguments(date, 5, 0), "2024, 1, 2, 3, 4, 5");
    EXPECT_EQ(clock_arguments(date, 0, 6), "2024, 1, 2, 3, 4, 0, 6");
}

}  // namespace
}  // namespace vesk
