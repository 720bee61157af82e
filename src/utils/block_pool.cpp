#include "utils/block_pool.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>

namespace vesk::blocks {

namespace {

// Ready blocks: the filler tops the pool up to kTarget when it falls below kLow, and at most
// kKeep are kept (written blocks coming back beyond that are unmapped). A pool that nobody took
// from for kIdle is emptied: a process that stopped recording holds none of it.
constexpr std::size_t kLow = 4;
constexpr std::size_t kTarget = 8;
constexpr std::size_t kKeep = 16;
constexpr auto kIdle = std::chrono::seconds(2);
static_assert(kLow < kTarget && kTarget <= kKeep);

// A fixed list: nothing here allocates, so neither the recording thread's take and give (which
// may not fail) nor the filler can run out of memory for it.
struct Ready {
    std::array<char*, kKeep> blocks{};
    std::size_t count = 0;

    bool empty() const noexcept { return count == 0; }
    std::size_t size() const noexcept { return count; }
    char* back() const noexcept { return blocks[count - 1]; }
    void pop_back() noexcept { --count; }
    void push_back(char* block) noexcept { blocks[count++] = block; }
};

struct Pool {
    std::mutex mutex;
    std::condition_variable wake;
    Ready ready;
    bool wanted = false;
    bool taken = false;     // since the filler last looked
    bool running = false;   // a filler was started and has not been joined
    bool quitting = false;  // it ends now (a fork is under way)
    bool parked = false;    // the filler waits, with no timeout, for blocks to be wanted or given
    pthread_t thread{};
};

Pool& pool() {
    // Never destroyed: the filler may still be waiting on it while the process exits.
    static Pool* instance = new Pool();
    return *instance;
}

char* map_block(bool populate) noexcept {
    void* memory = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<char*>(memory);
}

void unmap_block(char* block) noexcept {
    munmap(block, kBlockSize);
}

void* filler_main(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    while (!p.quitting) {
        if (p.wanted) {
            p.wanted = false;
            while (p.ready.size() < kTarget && !p.quitting) {
                lock.unlock();
                char* block = map_block(true);
                lock.lock();
                if (block == nullptr) break;
                if (p.ready.size() >= kTarget) {
                    // Written blocks came back while this one was mapped: it is spare.
                    lock.unlock();
                    unmap_block(block);
                    lock.lock();
                    break;
                }
                p.ready.push_back(block);
            }
        } else if (p.ready.empty()) {
            p.parked = true;
            p.wake.wait(lock, [&p] { return p.wanted || !p.ready.empty() || p.quitting; });
            p.parked = false;
            p.taken = false;
        } else if (!p.wake.wait_for(lock, kIdle, [&p] { return p.wanted || p.quitting; })) {
            if (!p.taken) {
                Ready spare = p.ready;
                p.ready.count = 0;
                lock.unlock();
                for (std::size_t i = 0; i < spare.count; ++i) unmap_block(spare.blocks[i]);
                lock.lock();
            }
            p.taken = false;
        }
    }
    return nullptr;
}

// A fork ends the filler first (it never waits for anything but the list, which it holds only
// for a push): the program that forks is told about its own threads only (3.12 warns of a fork
// in a process with more than one). The parent and the child start one when they next need one;
// the ready blocks are the child's own copies.
void before_fork() {
    Pool& p = pool();
    p.mutex.lock();
    if (!p.running) return;
    p.quitting = true;
    p.wake.notify_one();
    p.mutex.unlock();
    pthread_join(p.thread, nullptr);
    p.mutex.lock();
    p.running = false;
    p.quitting = false;
}

void after_fork_in_parent() {
    pool().mutex.unlock();
}

void after_fork_in_child() {
    Pool& p = pool();
    new (&p.mutex) std::mutex();
    new (&p.wake) std::condition_variable();
    p.running = false;
    p.quitting = false;
    p.wanted = false;
    p.parked = false;
}

// With the mutex held.
void start_filler(Pool& p) {
    static bool at_fork =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    if (p.running || !at_fork) return;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    p.running = pthread_create(&p.thread, &attributes, filler_main, nullptr) == 0;
    pthread_attr_destroy(&attributes);
}

}  // namespace

char* take() noexcept {
    Pool& p = pool();
    char* block = nullptr;
    {
        // The recording thread holds the interpreter lock: it never waits here.
        std::unique_lock<std::mutex> lock(p.mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            if (!p.ready.empty()) {
                block = p.ready.back();
                p.ready.pop_back();
            }
            p.taken = true;
            if (p.ready.size() < kLow) {
                start_filler(p);
                p.wanted = true;
                p.wake.notify_one();
            }
        }
    }
    return block != nullptr ? block : map_block(false);
}

void give(char* block) noexcept {
    if (block == nullptr) return;
    Pool& p = pool();
    {
        std::unique_lock<std::mutex> lock(p.mutex, std::try_to_lock);
        if (lock.owns_lock() && p.ready.size() < kKeep) {
            p.ready.push_back(block);
            if (p.parked) p.wake.notify_one();
            return;
        }
    }
    unmap_block(block);
}

void unmap(char* block) noexcept {
    if (block != nullptr) unmap_block(block);
}

std::size_t ready() noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.ready.size();
}

}  // namespace vesk::blocks
