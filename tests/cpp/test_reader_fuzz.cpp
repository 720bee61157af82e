#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <msgpack.hpp>
#include <string>
#include <string_view>

// The fuzz target of the readers of stored parts (fuzz/reader_fuzz.cpp), which aborts on a
// broken promise, run over a part of every kind of record, each of its prefixes and its bytes
// flipped, and the inputs it found faults with: the harness builds and holds here, between
// fuzzing sessions (scripts/fuzz).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

void run(std::string_view bytes) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void text(Packer& packer, std::string_view value) {
    packer.pack_str(static_cast<std::uint32_t>(value.size()));
    packer.pack_str_body(value.data(), static_cast<std::uint32_t>(value.size()));
}

void frame(Packer& packer, std::string_view event, std::string_view name, std::string_view id,
           double ts) {
    packer.pack_map(9);
    text(packer, "type"), text(packer, "frame");
    text(packer, "event"), text(packer, event);
    text(packer, "frame_id"), text(packer, id);
    text(packer, "timestamp"), packer.pack(ts);
    text(packer, "thread"), text(packer, "MainThread");
    text(packer, "path"), text(packer, "/app/a.py:3");
    text(packer, "qualname"), text(packer, name);
    text(packer, "locals");
    packer.pack_map(2);
    text(packer, "x"), packer.pack(1.5);
    text(packer, "ys"), packer.pack_array(1), text(packer, "\xe2\x80\xae odd\n");
    text(packer, "user_code_call_site");
    packer.pack_map(1), text(packer, "line_number"), packer.pack(7);
}

void fact(Packer& packer, std::string_view type, std::string_view id, double ts) {
    packer.pack_map(6);
    text(packer, "type"), text(packer, type);
    text(packer, "frame_id"), text(packer, id);
    text(packer, "timestamp"), packer.pack(ts);
    text(packer, "exception"), text(packer, "builtins.ValueError");
    text(packer, "origin"), text(packer, "raised");
    text(packer, "yielded"), packer.pack(true);
}

std::string part() {
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    packer.pack_map(4);
    text(packer, "meta");
    packer.pack_map(1), text(packer, "source"), text(packer, "vesk run a.py");
    text(packer, "timestamp"), packer.pack(1.7e9);
    text(packer, "frames_of_interest");
    packer.pack_array(9);
    frame(packer, "call", "main", "a", 1.0);
    frame(packer, "call", "gen", "b", 2.0);
    fact(packer, "generator", "b", 3.0);
    frame(packer, "return", "gen", "b", 4.0);
    frame(packer, "call", "bad", "c", 5.0);
    fact(packer, "exception", "c", 6.0);
    frame(packer, "return", "bad", "c", 7.0);
    frame(packer, "return", "lost", "z", 8.0);
    packer.pack_map(2), text(packer, "type"), text(packer, "mark"), text(packer, "subtype"),
        text(packer, "x");
    text(packer, "frames");
    packer.pack_map(1);
    packer.pack(200);
    packer.pack_array(2);
    frame(packer, "call", "work", "w", 1.5);
    frame(packer, "return", "work", "w", 2.5);
    return std::string(buffer.data(), buffer.size());
}

TEST(ReaderFuzzTarget, TakesAWholePartItsPrefixesAndFlippedBytes) {
    std::string whole = part();
    run(whole);
    for (std::size_t size = 0; size < whole.size(); ++size) run(whole.substr(0, size));
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::string flipped = whole;
        flipped[at] = static_cast<char>(~flipped[at]);
        run(flipped);
    }
}

}  // namespace
