#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <msgpack.hpp>
#include <string>
#include <vector>

#include "utils/msgpack_writer.h"

namespace vesk {
namespace {

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

template <class Write>
std::string written(Write&& write) {
    MsgpackBuffer buffer;
    write(buffer);
    return buffer.take();
}

struct HeaderCase {
    std::size_t length;
    const char* header;  // hex of the bytes before the payload
};

class StrHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(StrHeader, UsesTheShortestStrForm) {
    std::string text(GetParam().length, 'x');
    std::string bytes = written([&](auto& b) { write_str(b, text); });
    std::string header = GetParam().header;
    ASSERT_EQ(bytes.size(), header.size() / 2 + text.size());
    EXPECT_EQ(hex(bytes.substr(0, header.size() / 2)), header);
    EXPECT_EQ(str_size(text.size()), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Boundaries, StrHeader,
                         ::testing::Values(HeaderCase{0, "a0"}, HeaderCase{31, "bf"},
                                           HeaderCase{32, "d920"}, HeaderCase{255, "d9ff"},
                                           HeaderCase{256, "da0100"}, HeaderCase{65535, "daffff"},
                                           HeaderCase{65536, "db00010000"}));

struct IntCase {
    std::int64_t value;
    const char* bytes;
};

class IntForm : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntForm, UsesTheShortestForm) {
    std::string bytes = written([&](auto& b) { write_int(b, GetParam().value); });
    EXPECT_EQ(hex(bytes), GetParam().bytes);
    EXPECT_EQ(int_size(GetParam().value), bytes.size());
    std::string tree = written([&](auto& b) { write_value(b, Value{GetParam().value}); });
    EXPECT_EQ(hex(tree), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, IntForm,
    ::testing::Values(IntCase{0, "00"}, IntCase{127, "7f"}, IntCase{128, "cc80"},
                      IntCase{200, "ccc8"}, IntCase{255, "ccff"}, IntCase{256, "cd0100"},
                      IntCase{65535, "cdffff"}, IntCase{65536, "ce00010000"}, IntCase{-1, "ff"},
                      IntCase{-32, "e0"}, IntCase{-33, "d0df"}, IntCase{-128, "d080"},
                      IntCase{-129, "d1ff7f"}, IntCase{-32768, "d18000"},
                      IntCase{-32769, "d2ffff7fff"}, IntCase{INT32_MIN, "d280000000"},
                      IntCase{std::int64_t{INT32_MIN} - 1, "d3ffffffff7fffffff"}));

struct UintCase {
    std::uint64_t value;
    const char* bytes;
};

class UintForm : public ::testing::TestWithParam<UintCase> {};

TEST_P(UintForm, UsesTheShortestUnsignedForm) {
    std::string bytes = written([&](auto& b) { write_uint(b, GetParam().value); });
    EXPECT_EQ(hex(bytes), GetParam().bytes);
    EXPECT_EQ(uint_size(GetParam().value), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Boundaries, UintForm,
                         ::testing::Values(UintCase{127, "7f"}, UintCase{128, "cc80"},
                                           UintCase{255, "ccff"}, UintCase{256, "cd0100"},
                                           UintCase{65535, "cdffff"}, UintCase{65536, "ce00010000"},
                                           UintCase{0xFFFFFFFFull, "ceffffffff"},
                                           UintCase{0x100000000ull, "cf0000000100000000"},
                                           UintCase{~0ull, "cfffffffffffffffff"}));

struct CountCase {
    std::uint32_t count;
    const char* map;
    const char* array;
};

class Headers : public ::testing::TestWithParam<CountCase> {};

TEST_P(Headers, MapAndArrayUseTheShortestForm) {
    EXPECT_EQ(hex(written([&](auto& b) { write_map_len(b, GetParam().count); })), GetParam().map);
    EXPECT_EQ(hex(written([&](auto& b) { write_array_len(b, GetParam().count); })),
              GetParam().array);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Headers,
                         ::testing::Values(CountCase{0, "80", "90"}, CountCase{15, "8f", "9f"},
                                           CountCase{16, "de0010", "dc0010"},
                                           CountCase{65535, "deffff", "dcffff"},
                                           CountCase{65536, "df00010000", "dd00010000"}));

TEST(Floats, KeepTheirWidthEvenWhenIntegral) {
    // msgpack-cxx on its own would write these two as the integers 0 and 1.
    EXPECT_EQ(hex(written([](auto& b) { write_timestamp(b, 0.0); })),
              "a974696d657374616d70cb0000000000000000");
    EXPECT_EQ(hex(written([](auto& b) { write_f64(b, 1.0); })), "cb3ff0000000000000");
    EXPECT_EQ(hex(written([](auto& b) { write_f32(b, 1.0f); })), "ca3f800000");
    EXPECT_EQ(hex(written([](auto& b) { write_value(b, Value{0.0f}); })), "ca00000000");
    EXPECT_EQ(hex(written([](auto& b) { write_value(b, Value{-2.5}); })), "cbc004000000000000");
}

TEST(KeyedValues, AbsentValuesAreNilAndKeepTheirKey) {
    EXPECT_EQ(hex(written([](auto& b) { write_key_optional_str(b, "q", std::nullopt); })),
              "a171c0");
    EXPECT_EQ(hex(written([](auto& b) { write_key_optional_str(b, "q", "ab"); })), "a171a26162");
    EXPECT_EQ(hex(written([](auto& b) { write_key_optional_uint(b, "n", std::nullopt); })),
              "a16ec0");
    EXPECT_EQ(hex(written([](auto& b) { write_key_optional_uint(b, "n", 128); })), "a16ecc80");
}

TEST(RawValues, AreAppendedVerbatimAndTheSourceIsEmptied) {
    std::string_view raw("\x92\x01\xa1z", 4);  // [1, "z"]
    EXPECT_EQ(hex(written([&](auto& b) { write_key_raw(b, "arg", raw); })), "a36172679201a17a");

    std::vector<SerializedValue> none;
    EXPECT_EQ(hex(written([&](auto& b) { write_raw_array(b, none); })), "90");
    std::vector<SerializedValue> values;
    for (std::string_view value : {"\xc0", "\x01", "\xa1x"}) {
        values.push_back(Bytes::copy_of(value));
    }
    EXPECT_EQ(hex(written([&](auto& b) { write_raw_array(b, values); })), "93c001a178");
}

TEST(ValueTree, WritesEveryKind) {
    Value tree{Map{
        {Value{std::string("nil")}, Value{}},
        {Value{std::string("flags")}, Value{Array{Value{true}, Value{false}}}},
        {Value{std::string("bad utf8")}, Value{std::string("\xff\xfe")}},
        {Value{std::string("surrogate")}, Value{std::string("\xed\xa0\x80")}},
        {Value{std::string("bin")}, Value{Binary{"ab"}}},
    }};
    EXPECT_EQ(hex(written([&](auto& b) { write_value(b, tree); })),
              "85"
              "a36e696cc0"
              "a5666c61677392c3c2"
              "a862616420757466"
              "38c402fffe"
              "a9737572726f67617465c403eda080"
              "a362696ec4026162");
}

struct ExtCase {
    std::size_t length;
    const char* header;
};

class ExtensionForm : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtensionForm, UsesFixextForExactSizes) {
    Value value{Extension{5, std::string(GetParam().length, '\0')}};
    std::string bytes = written([&](auto& b) { write_value(b, value); });
    std::string header = GetParam().header;
    EXPECT_EQ(hex(bytes.substr(0, header.size() / 2)), header);
    EXPECT_EQ(bytes.size(), header.size() / 2 + GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExtensionForm,
                         ::testing::Values(ExtCase{1, "d405"}, ExtCase{2, "d505"},
                                           ExtCase{4, "d605"}, ExtCase{8, "d705"},
                                           ExtCase{16, "d805"}, ExtCase{3, "c70305"},
                                           ExtCase{256, "c8010005"},
                                           ExtCase{65536, "c90001000005"}));

TEST(Binary, UsesTheShortestBinForm) {
    for (auto [length, header] : {std::pair<std::size_t, const char*>{255, "c4ff"},
                                  {256, "c50100"},
                                  {65536, "c600010000"}}) {
        std::string bytes =
            written([&](auto& b) { write_value(b, Value{Binary{std::string(length, 'b')}}); });
        EXPECT_EQ(hex(bytes.substr(0, std::string(header).size() / 2)), header);
    }
}

TEST(Streams, MeasureAndWriteTheSameBytes) {
    auto write_all = [](auto& out) {
        write_map_len(out, 2);
        write_str(out, std::string(300, 'k'));
        write_int(out, -129);
        write_timestamp(out, 2.5);
        write_value(out, Value{Map{{Value{std::string("x")}, Value{Binary{"\x01"}}}}});
    };
    MsgpackBuffer buffer;
    write_all(buffer);
    SizeCounter counter;
    write_all(counter);
    ASSERT_EQ(counter.size(), buffer.size());
    std::string memory(counter.size(), '\0');
    SpanStream span(memory.data(), memory.size());
    write_all(span);
    EXPECT_EQ(span.remaining(), 0u);
    EXPECT_EQ(memory, buffer.bytes());

    SpanStream too_small(memory.data(), 3);
    EXPECT_THROW(write_str(too_small, "four"), InternalFault);
}

TEST(RoundTrip, DecodesWithMsgpackCxx) {
    MsgpackBuffer buffer;
    write_map_len(buffer, 3);
    write_str(buffer, "n");
    write_int(buffer, -70000);
    write_str(buffer, "t");
    write_f64(buffer, 1.0);
    write_str(buffer, "list");
    std::vector<SerializedValue> records;
    records.push_back(Bytes::copy_of("\x01"));
    records.push_back(Bytes::copy_of("\xa2hi"));
    write_raw_array(buffer, records);

    auto handle = msgpack::unpack(buffer.bytes().data(), buffer.bytes().size());
    auto map = handle.get().as<std::map<std::string, msgpack::object>>();
    EXPECT_EQ(map.at("n").as<std::int64_t>(), -70000);
    EXPECT_EQ(map.at("t").type, msgpack::type::FLOAT64);
    EXPECT_EQ(map.at("t").as<double>(), 1.0);
    auto list = map.at("list").as<std::vector<msgpack::object>>();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].as<int>(), 1);
    EXPECT_EQ(list[1].as<std::string>(), "hi");
}

// A length that MessagePack's 32 bits cannot hold is refused, never wrapped around.
TEST(MsgpackWriter, LengthsBeyondThirtyTwoBitsAreRefused) {
    EXPECT_EQ(checked_length(0xffffffffU), 0xffffffffU);
    EXPECT_THROW(checked_length(std::size_t{1} << 32), TooLarge);
    SizeCounter counter;
    EXPECT_THROW(write_array_len(counter, checked_length(std::size_t{5} << 32)), TooLarge);
    EXPECT_EQ(counter.size(), 0u);
}

}  // namespace
}  // namespace vesk
