#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "profiler/record_chunks.h"
#include "utils/block_pool.h"

namespace vesk {
namespace {

bool eventually(auto&& condition) {
    for (int i = 0; i < 400; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// As the kernel counts them.
int threads_of_this_process() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 20 && fields >> field; ++i) {
    }
    return std::stoi(field);
}

TEST(BlockPool, FillsAheadTakesBackAndServesAForkedChild) {
    char* first = blocks::take();
    ASSERT_NE(first, nullptr);
    std::memset(first, 0xab, blocks::kBlockSize);
    // Taking starts the filler, which maps blocks ahead.
    ASSERT_TRUE(eventually([] { return blocks::ready() >= 4; }));
    std::vector<char*> taken;
    for (int i = 0; i < 40; ++i) {
        char* block = blocks::take();
        ASSERT_NE(block, nullptr);
        block[0] = block[blocks::kBlockSize - 1] = static_cast<char>(i);
        taken.push_back(block);
    }
    for (char* block : taken) blocks::give(block);
    blocks::give(first);
    EXPECT_LE(blocks::ready(), 16u);  // the rest went back to the system

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The parent's filler is gone here; the child's blocks still come, and fill ahead.
        char* block = blocks::take();
        bool ok = block != nullptr;
        if (ok) std::memset(block, 1, blocks::kBlockSize);
        blocks::give(block);
        ok = ok && eventually([] { return blocks::ready() >= 4; });
        _exit(ok ? 0 : 1);
    }
    // The filler ended before the fork: the process that forked runs its own threads only (3.12
    // warns of a fork in a process with more than one).
    EXPECT_EQ(threads_of_this_process(), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // And the parent's next blocks are mapped ahead again.
    blocks::give(blocks::take());
    EXPECT_TRUE(eventually([] { return blocks::ready() >= 4; }));
}

// Blocks given back while the filler maps one must not push the list past what it holds: the
// filler's block is then spare.
TEST(BlockPool, NeverHoldsMoreThanItKeepsWhenBlocksComeBackWhileTheFillerMaps) {
    std::vector<char*> taken;
    for (int round = 0; round < 300; ++round) {
        while (taken.size() < 20) taken.push_back(blocks::take());
        for (char* block : taken) blocks::give(block);
        taken.clear();
        ASSERT_LE(blocks::ready(), 16u) << "round " << round;
    }
}

TEST(RecordChunks, KeepsRecordsInOrderAcrossPooledBlocks) {
    RecordChunks chunks;
    std::string expected;
    for (int i = 0; i < 30000; ++i) {
        std::string record(50 + i % 200, static_cast<char>('a' + i % 26));
        expected += record;
        chunks.append(record);
    }
    chunks.append(std::string(3 * blocks::kBlockSize, 'z'));  // larger than any block
    expected += std::string(3 * blocks::kBlockSize, 'z');
    EXPECT_EQ(chunks.count(), 30001u);
    struct Out {
        std::string text;
        void write(const char* data, std::size_t size) { text.append(data, size); }
    } out;
    chunks.write_to(out, true);
    EXPECT_EQ(out.text, expected);
    EXPECT_TRUE(chunks.empty());
}

}  // namespace
}  // namespace vesk
