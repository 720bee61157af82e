#include <gtest/gtest.h>

#include <msgpack.hpp>
#include <string>
#include <vector>

#include "profiler/frame_record.h"

namespace vesk {
namespace {

struct Record {
    std::string_view arg = "\xc0";              // None
    std::string_view locals = "\x81\xa1x\x01";  // {"x": 1}
    Id id = Id::with_prefix("frm_", make_ulid(1, 2, 3));
    CallSite site{Id::with_prefix("frm_", make_ulid(4, 5, 6)), -7};
    FrameRecordFields fields;

    Record() {
        fields.filename = "app/views.py";
        fields.line = 42;
        fields.co_name = "index";
        fields.qualname = QualName{"app.views", "Index.get"};
        fields.event = "call";
        fields.frame_id = &id;
        fields.arg = arg;
        fields.locals = locals;
        fields.thread_name = "MainThread";
        fields.thread_native_id = 128;
        fields.timestamp = 1.0;
        fields.call_site = &site;
    }
};

std::vector<std::pair<std::string, msgpack::object>> entries(const msgpack::object& map) {
    std::vector<std::pair<std::string, msgpack::object>> out;
    for (std::uint32_t i = 0; i < map.via.map.size; ++i) {
        out.emplace_back(map.via.map.ptr[i].key.as<std::string>(), map.via.map.ptr[i].val);
    }
    return out;
}

TEST(FrameRecord, HasTwelveEntriesInTheFixedOrder) {
    Record record;
    std::string bytes(write_frame_record(record.fields).view());
    EXPECT_EQ(bytes.substr(0, 6), "\x8c\xa4path");
    auto handle = msgpack::unpack(bytes.data(), bytes.size());
    auto map = entries(handle.get());
    std::vector<std::string> keys;
    for (auto& [key, value] : map) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"path", "co_name", "qualname", "event", "frame_id",
                                              "arg", "locals", "thread", "thread_native_id",
                                              "timestamp", "type", "user_code_call_site"}));
    EXPECT_EQ(map[0].second.as<std::string>(), "app/views.py:42");
    EXPECT_EQ(map[2].second.as<std::string>(), "app.views.Index.get");
    EXPECT_EQ(map[4].second.as<std::string>(), record.id.str());
    EXPECT_EQ(map[5].second.type, msgpack::type::NIL);
    auto locals = map[6].second.as<std::map<std::string, int>>();
    EXPECT_EQ(locals.at("x"), 1);
    EXPECT_EQ(map[8].second.as<std::uint64_t>(), 128u);
    EXPECT_EQ(map[9].second.type, msgpack::type::FLOAT64);
    EXPECT_EQ(map[10].second.as<std::string>(), "frame");
    auto site = entries(map[11].second);
    ASSERT_EQ(site.size(), 2u);
    EXPECT_EQ(site[0].first, "call_frame_id");
    EXPECT_EQ(site[0].second.as<std::string>(), record.site.call_frame_id.str());
    EXPECT_EQ(site[1].first, "line_number");
    EXPECT_EQ(site[1].second.as<int>(), -7);
}

TEST(FrameRecord, MeasuresItsSizeExactly) {
    // write_frame_record faults if its measured size and the bytes written differ.
    for (std::size_t name_length : {0, 31, 32, 255, 256, 70000}) {
        Record record;
        std::string name(name_length, 'n');
        record.fields.thread_name = name;
        record.fields.co_name = name;
        EXPECT_NO_THROW(write_frame_record(record.fields));
        record.fields.qualname.reset();
        record.fields.frame_id = nullptr;
        record.fields.thread_native_id.reset();
        record.fields.call_site = nullptr;
        EXPECT_NO_THROW(write_frame_record(record.fields));
    }
}

TEST(FrameRecord, AbsentValuesAreNilAndTheRecordKeepsTwelveEntries) {
    Record record;
    record.fields.qualname.reset();
    record.fields.frame_id = nullptr;
    record.fields.thread_native_id.reset();
    record.fields.call_site = nullptr;
    record.fields.event = "return";
    std::string bytes(write_frame_record(record.fields).view());
    auto handle = msgpack::unpack(bytes.data(), bytes.size());
    auto map = entries(handle.get());
    ASSERT_EQ(map.size(), 12u);
    for (int i : {2, 4, 8, 11}) EXPECT_EQ(map[i].second.type, msgpack::type::NIL) << map[i].first;
    // The last entry: 0xb3 and the 19 letters of its key, then nil.
    EXPECT_EQ(bytes.substr(bytes.size() - 21), std::string("\xb3user_code_call_site\xc0"));
}

TEST(FrameRecord, EncodesLengthsInBytes) {
    Record record;
    record.fields.co_name = "gr\xc3\xbc\xc3\x9f";  // five bytes, four letters
    record.fields.thread_native_id = 65536;
    std::string bytes(write_frame_record(record.fields).view());
    EXPECT_NE(bytes.find("\xa7"
                         "co_name\xa6gr\xc3\xbc\xc3\x9f"),
              std::string::npos);
    EXPECT_NE(bytes.find(std::string("\xb0thread_native_id\xce\x00\x01\x00\x00", 22)),
              std::string::npos);
    // "timestamp" followed by float 64: nine bytes.
    EXPECT_NE(bytes.find("\xa9timestamp\xcb\x3f\xf0"), std::string::npos);
}

}  // namespace
}  // namespace vesk
