#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "values/text_encoding.h"

namespace vesk {
namespace {

template <class Char>
std::string encoded(const std::vector<Char>& chars) {
    TextSize size = measure_chars(chars.data(), static_cast<std::ptrdiff_t>(chars.size()));
    std::string out(size.bytes, '\0');
    encode_chars(out.data(), chars.data(), static_cast<std::ptrdiff_t>(chars.size()));
    return out;
}

TEST(ValueText, EncodesEachWidthAsUtf8) {
    EXPECT_EQ(encoded(std::vector<std::uint8_t>{'a', 0xe9}), "a\xc3\xa9");
    EXPECT_EQ(encoded(std::vector<std::uint16_t>{0x20ac}), "\xe2\x82\xac");
    EXPECT_EQ(encoded(std::vector<std::uint32_t>{0x1f600}), "\xf0\x9f\x98\x80");
}

TEST(ValueText, EscapesLoneSurrogatesAsBackslashreplaceDoes) {
    std::vector<std::uint16_t> chars{'x', 0xdc80, 'y'};
    TextSize size = measure_chars(chars.data(), 3);
    EXPECT_TRUE(size.surrogates);
    EXPECT_EQ(encoded(chars), "x\\udc80y");
}

struct Header {
    std::size_t size;
    std::string expected;
};

class ValueStrHeader : public testing::TestWithParam<Header> {};

TEST_P(ValueStrHeader, IsTheShortestForm) {
    char header[5];
    std::size_t length = str_header(header, GetParam().size);
    EXPECT_EQ(std::string(header, length), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, ValueStrHeader,
                         testing::Values(Header{31, "\xbf"}, Header{32, std::string("\xd9\x20")},
                                         Header{256, std::string("\xda\x01\x00", 3)},
                                         Header{65536, std::string("\xdb\x00\x01\x00\x00", 5)}));

TEST(ValueText, BinHeadersByLength) {
    std::string out;
    put_bin(out, "ab", 2);
    EXPECT_EQ(out, std::string("\xc4\x02"
                               "ab"));
    std::string wide;
    std::string data(300, 'z');
    put_bin(wide, data.data(), data.size());
    EXPECT_EQ(wide.substr(0, 3), std::string("\xc5\x01\x2c"));
    EXPECT_EQ(wide.size(), 303u);
}

}  // namespace
}  // namespace vesk
