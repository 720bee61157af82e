#include <gtest/gtest.h>

#include <msgpack.hpp>
#include <string>

#include "reader/msgpack_reader.h"

namespace vesk {
namespace {

// Every kind of value, each followed by a marker: skipping it must land exactly on the marker.
TEST(MsgpackReader, SkipsEveryKindOfValue) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    int values = 0;
    auto mark = [&] {
        packer.pack(std::string("mark"));
        ++values;
    };
    packer.pack_nil(), mark();
    packer.pack(true), mark();
    packer.pack(-5), mark();
    packer.pack(200), mark();
    packer.pack(70000), mark();
    packer.pack(-70000), mark();
    packer.pack(std::uint64_t{1} << 40), mark();
    packer.pack(1.5f), mark();
    packer.pack(2.5), mark();
    packer.pack(std::string(40, 'x')), mark();
    packer.pack(std::string(300, 'y')), mark();
    packer.pack(std::string(70000, 'z')), mark();
    packer.pack_bin(3), packer.pack_bin_body("abc", 3), mark();
    packer.pack_bin(300), packer.pack_bin_body(std::string(300, 'b').data(), 300), mark();
    for (std::size_t size : {1u, 2u, 4u, 8u, 16u, 3u, 300u, 70000u}) {
        std::string data(size, 'e');
        packer.pack_ext(size, 7), packer.pack_ext_body(data.data(), size), mark();
    }
    packer.pack_array(20);
    for (int i = 0; i < 20; ++i) packer.pack_map(1), packer.pack(i), packer.pack_array(0);
    mark();
    std::string bytes(buffer.data(), buffer.size());

    MsgpackReader reader(bytes);
    for (int i = 0; i < values; ++i) {
        ASSERT_TRUE(reader.skip()) << i;
        auto marker = reader.str();
        ASSERT_TRUE(marker && *marker == "mark") << i;
    }
    EXPECT_TRUE(reader.at_end());
    MsgpackReader cut(std::string_view(bytes).substr(0, bytes.size() - 3));
    for (int i = 0; i < values && cut.skip(); ++i) cut.str();
    EXPECT_FALSE(cut.ok());
}

// What a decoder into interpreter objects refuses, or may: the checked skip refuses it too, and
// tells of the keys of a map as it passes them.
TEST(MsgpackReader, CheckedSkipRefusesWhatMightNotDecode) {
    auto packed = [](auto&& pack) {
        msgpack::sbuffer buffer;
        msgpack::packer<msgpack::sbuffer> packer(buffer);
        pack(packer);
        return std::string(buffer.data(), buffer.size());
    };
    std::string fine = packed([](auto& p) {
        p.pack_map(3), p.pack(std::string("a")), p.pack(std::string("\xc3\xa9"));
        p.pack(7), p.pack_array(1), p.pack_map(0);
        p.pack(std::string("b")), p.pack_ext(1, 5), p.pack_ext_body("x", 1);
    });
    std::string keys;
    MsgpackReader reader(fine);
    EXPECT_TRUE(reader.skip_checked([&](std::string_view key, std::size_t at) {
        keys += std::string(key) + "@" + std::to_string(at) + " ";
    }));
    EXPECT_TRUE(reader.at_end());
    EXPECT_EQ(keys, "a@3 b@11 ");

    std::string refused[] = {
        packed([](auto& p) { p.pack(std::string("\xed\xa0\x80")); }),  // a surrogate
        packed([](auto& p) { p.pack(std::string("\xc0\xaf")); }),      // overlong
        packed([](auto& p) { p.pack_map(1), p.pack_array(0), p.pack(1); }),
        packed([](auto& p) { p.pack_map(1), p.pack_map(0), p.pack(1); }),
        packed([](auto& p) { p.pack_ext(4, -1), p.pack_ext_body("\0\0\0\0", 4); }),
        std::string(MsgpackReader::max_nesting + 1, '\x91') + '\x00',
        std::string("\xc1"),
    };
    for (const std::string& bytes : refused) {
        MsgpackReader checked(bytes);
        EXPECT_FALSE(checked.skip_checked()) << bytes.size();
        MsgpackReader plain(bytes);
        EXPECT_TRUE(plain.skip()) << bytes.size();  // the plain skip passes over them all
    }
    std::string deepest = std::string(MsgpackReader::max_nesting, '\x91') + '\x00';
    EXPECT_TRUE(MsgpackReader(deepest).skip_checked());
}

}  // namespace
}  // namespace vesk
