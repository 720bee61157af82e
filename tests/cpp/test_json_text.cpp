#include <gtest/gtest.h>

#include <cmath>
#include <msgpack.hpp>
#include <string>
#include <utility>

#include "reader/json_text.h"

namespace vesk {
namespace {

// What repr() writes of each, as the interpreter writes it.
TEST(JsonText, FloatsAsReprWritesThem) {
    std::pair<double, const char*> cases[] = {
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e22, "1e+22"},
        {1e16, "1e+16"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e-4, "0.0001"},
        {1.5e-5, "1.5e-05"},
        {123456789012345680.0, "1.2345678901234568e+17"},
        {100.0, "100.0"},
        {-2.5e-7, "-2.5e-07"},
        {-0.0, "-0.0"},
        {-INFINITY, "-inf"},
        {NAN, "nan"},
    };
    for (auto [value, expected] : cases) {
        std::string out;
        append_float_repr(out, value);
        EXPECT_EQ(out, expected);
    }
}

// Scalars as export's _json_value makes them; anything else is left to the caller.
TEST(JsonText, ScalarsAsExportWritesThem) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack(std::string("a\"\\\n\x01\x7f\xc3\xa9"));
    packer.pack(std::int64_t{1} << 53);
    packer.pack((std::int64_t{1} << 53) + 1);
    packer.pack(INFINITY);
    packer.pack_nil();
    packer.pack(std::string(3, 'x') + "\xc3\xa9\xc3\xa9");  // five characters, seven bytes
    packer.pack_array(0);
    std::string bytes(buffer.data(), buffer.size());
    const char* expected[] = {R"("a\"\\\n\u0001)"
                              "\x7f\xc3\xa9\"",
                              "9007199254740992",
                              "\"9007199254740993\"",
                              "\"inf\"",
                              "null",
                              "\"xx\xe2\x80\xa6\""};
    MsgpackReader reader(bytes);
    for (const char* text : expected) {
        std::string out;
        ASSERT_TRUE(append_json_scalar(out, reader, text == expected[5] ? 3 : 200));
        EXPECT_EQ(out, text);
    }
    std::string out;
    EXPECT_FALSE(append_json_scalar(out, reader, 200));
    EXPECT_EQ(out, "");
}

// As values.py's clean() escapes them: \x for the C0 and C1 controls and DEL, \u for line
// separators and bidirectional controls; any other character, of any length, as it is.
TEST(JsonText, CleanTextEscapesWhatATerminalWouldObey) {
    std::pair<const char*, const char*> cases[] = {
        {"plain é \u4e2d \U0001F600", "plain é \u4e2d \U0001F600"},
        {"a\nb\x1b[0m\x7f", "a\\x0ab\\x1b[0m\\x7f"},
        {"\u0085\u00a0", "\\x85\u00a0"},
        {"\u202eevil\u2066\u2028\u061c\u200f", "\\u202eevil\\u2066\\u2028\\u061c\\u200f"},
        {"\u202f\u206a", "\u202f\u206a"},
    };
    for (auto [text, expected] : cases) {
        std::string out;
        append_clean_text(out, text);
        EXPECT_EQ(out, expected) << text;
    }
}

}  // namespace
}  // namespace vesk
