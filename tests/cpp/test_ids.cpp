#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "utils/clock.h"
#include "utils/fault.h"
#include "utils/ids.h"

namespace vesk {
namespace {

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::string text_of(Ulid ulid) {
    auto text = ulid_to_text(ulid);
    return std::string(text.data(), text.size());
}

struct UlidCase {
    Ulid ulid;
    const char* text;
};

class UlidText : public ::testing::TestWithParam<UlidCase> {};

TEST_P(UlidText, EncodesCrockfordBase32MostSignificantFirst) {
    EXPECT_EQ(text_of(GetParam().ulid), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, UlidText,
    ::testing::Values(UlidCase{{0, 0}, "00000000000000000000000000"},
                      UlidCase{{~0ull, ~0ull}, "7ZZZZZZZZZZZZZZZZZZZZZZZZZ"},
                      // The lowest millisecond bit is the last bit of the 10th character.
                      UlidCase{make_ulid(1, 0, 0), "00000000010000000000000000"},
                      UlidCase{make_ulid(0, 0, 1), "00000000000000000000000001"},
                      UlidCase{make_ulid(0, 0x8000, 0), "0000000000G000000000000000"},
                      // Character 13 straddles the two words.
                      UlidCase{{1, 0}, "0000000000000G000000000000"},
                      UlidCase{{0, 1ull << 63}, "00000000000008000000000000"},
                      UlidCase{{0, 1ull << 59}, "00000000000000G00000000000"},
                      UlidCase{make_ulid(0, 0, 31ull << 5), "000000000000000000000000Z0"},
                      // Milliseconds keep only their low 48 bits.
                      UlidCase{make_ulid((1ull << 48) + 1, 0, 0), "00000000010000000000000000"}));

TEST(Ulid, LayoutPutsMillisecondsAboveTheRandomBits) {
    Ulid ulid = make_ulid(0x0123456789ABull, 0xCDEF, 0x1122334455667788ull);
    EXPECT_EQ(ulid.high, 0x0123456789ABCDEFull);
    EXPECT_EQ(ulid.low, 0x1122334455667788ull);
}

void expect_well_formed(const Id& id, std::string_view prefix) {
    auto text = id.view();
    ASSERT_EQ(text.size(), 30u);
    EXPECT_EQ(text.substr(0, 4), prefix);
    for (char c : text.substr(4)) EXPECT_NE(kAlphabet.find(c), std::string_view::npos) << c;
    EXPECT_LE(text[4], '7');  // the first character carries 3 bits only
}

TEST(Ids, FrameAndTraceIdsAreWellFormed) {
    for (int i = 0; i < 200; ++i) {
        expect_well_formed(new_frame_id(), "frm_");
        expect_well_formed(new_trace_id(), "trc_");
    }
}

TEST(Ids, CarryTheCurrentMillisecond) {
    std::uint64_t before = unix_millis_from(read_wall_clock());
    Id id = new_frame_id();
    std::uint64_t after = unix_millis_from(read_wall_clock());
    auto expected_low = text_of(make_ulid(before, 0, 0)).substr(0, 10);
    auto expected_high = text_of(make_ulid(after, 0, 0)).substr(0, 10);
    auto time_part = std::string(id.view().substr(4, 10));
    EXPECT_GE(time_part, expected_low);
    EXPECT_LE(time_part, expected_high);
}

TEST(Ids, SameMillisecondSharesTimePartAndDiffersAfterIt) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        Id a = new_frame_id();
        Id b = new_frame_id();
        if (a.view().substr(4, 10) != b.view().substr(4, 10)) continue;  // crossed a millisecond
        EXPECT_NE(a.view().substr(14), b.view().substr(14));
        return;
    }
    FAIL() << "never made two ids within one millisecond";
}

TEST(Ids, ThreadsMakeDistinctIds) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&made, t] {
            for (int i = 0; i < kPerThread; ++i) made[t].push_back(new_frame_id().str());
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> all;
    for (auto& ids : made) all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(Ids, ForkedChildDoesNotRepeatTheParentsStream) {
    new_frame_id();  // the parent's generator is seeded before the fork
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Id id = new_frame_id();
        ssize_t written = write(pipe_fds[1], id.view().data(), id.view().size());
        _exit(written == static_cast<ssize_t>(kIdLength) ? 0 : 1);
    }
    Id parent_id = new_frame_id();
    char child_id[kIdLength];
    ASSERT_EQ(read(pipe_fds[0], child_id, sizeof child_id), static_cast<ssize_t>(kIdLength));
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_NE(std::string_view(child_id, kIdLength).substr(14), parent_id.view().substr(14));
}

TEST(Ids, RandomStreamDoesNotRepeatAcrossReseeds) {
    // Well past the reseed interval: any repeated 16-byte chunk would betray a reused key.
    std::set<std::string> chunks;
    char chunk[16];
    for (int i = 0; i < 20000; ++i) {
        thread_random_bytes(chunk, sizeof chunk);
        chunks.emplace(chunk, sizeof chunk);
    }
    EXPECT_EQ(chunks.size(), 20000u);
}

struct TimestampCase {
    ClockReading reading;
    double seconds;
};

class Timestamp : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(Timestamp, IsSecondsSinceTheEpoch) {
    EXPECT_DOUBLE_EQ(timestamp_from(GetParam().reading), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Values, Timestamp,
                         ::testing::Values(TimestampCase{{0, 0}, 0.0},
                                           TimestampCase{{1, 500000000}, 1.5},
                                           TimestampCase{{1700000000, 100}, 1700000000.0000001}));

TEST(Timestamp, EpochIsExactlyZero) {
    EXPECT_EQ(timestamp_from({0, 0}), 0.0);
}

TEST(Timestamp, BeforeTheEpochIsAFault) {
    try {
        timestamp_from({-1, 999999999});
        FAIL() << "no fault";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "System time is before unix epoch: SystemTimeError");
    }
}

TEST(Timestamp, UlidMillisecondsBeforeTheEpochAreZero) {
    EXPECT_EQ(unix_millis_from({-1, 999999999}), 0u);
    EXPECT_EQ(unix_millis_from({0, 0}), 0u);
    EXPECT_EQ(unix_millis_from({1, 999999}), 1000u);
    EXPECT_EQ(unix_millis_from({1, 1000000}), 1001u);
}

TEST(Timestamp, CurrentTimeIsNow) {
    double now = current_timestamp();
    EXPECT_GT(now, 1.7e9);
    EXPECT_LT(now, 4.1e9);
}

}  // namespace
}  // namespace vesk
