#pragma once
// The large blocks that records are kept in, with their pages already in memory. A thread that
// records fills a block in a few milliseconds; had it to fault in each page of a fresh one itself,
// a fifth of its time would go to the kernel. A filler thread of its own (which the program does
// not see, never takes the interpreter lock and blocks every signal) maps blocks ahead and faults
// their pages in, on another core; written blocks come back to be used again. Neither side ever
// waits for the other: when the pool is busy or empty, a block is mapped on the spot.

#include <cstddef>

namespace vesk::blocks {

inline constexpr std::size_t kBlockSize = 1024 * 1024;

// A block of kBlockSize bytes; null when memory runs out.
char* take() noexcept;

// Gives a block from take() back, to be used again or unmapped.
void give(char* block) noexcept;

// Gives a block back to the system at once, touching none of its pages.
void unmap(char* block) noexcept;

// How many blocks are ready now (for tests).
std::size_t ready() noexcept;

}  // namespace vesk::blocks
