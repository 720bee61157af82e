#pragma once
// The records of one list, kept back to back in a few large blocks: keeping a record is a copy
// into the current block, not an allocation of its own, and the memory held stays close to the
// records' own size. A record never spans two blocks; the trace embeds the blocks in order.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/block_pool.h"

namespace vesk {

class RecordChunks {
  public:
    RecordChunks() = default;
    RecordChunks(RecordChunks&&) noexcept = default;
    RecordChunks& operator=(RecordChunks&&) noexcept = default;

    std::size_t count() const noexcept { return count_; }
    std::size_t bytes() const noexcept { return bytes_; }
    bool empty() const noexcept { return count_ == 0; }

    // Room for `size` bytes at the end, to be written and then committed. Leaves the records as
    // they were if memory runs out.
    char* reserve(std::size_t size) {
        if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < size) {
            std::size_t last = blocks_.empty() ? 0 : blocks_.back().capacity;
            std::size_t capacity = std::max(size, std::clamp(last * 2, kFirstBlock, kLargestBlock));
            blocks_.push_back(Block{allocate(capacity), capacity, 0});
        }
        Block& block = blocks_.back();
        return block.data.get() + block.used;
    }
    void commit(std::size_t size) noexcept {
        blocks_.back().used += size;
        bytes_ += size;
        ++count_;
    }
    void append(std::string_view record) {
        std::memcpy(reserve(record.size()), record.data(), record.size());
        commit(record.size());
    }
    // Moves the other list's records after these.
    void append(RecordChunks&& other) {
        blocks_.reserve(blocks_.size() + other.blocks_.size());
        for (Block& block : other.blocks_) blocks_.push_back(std::move(block));
        count_ += other.count_;
        bytes_ += other.bytes_;
        other.clear();
    }
    // Gives back the room left in the last block (a list that is complete, such as that of a
    // thread that ended): many short lists would otherwise hold a block each, mostly empty.
    void shrink_to_fit() {
        if (blocks_.empty()) return;
        Block& last = blocks_.back();
        if (last.capacity - last.used < kShrinkGain) return;
        Data data(new char[last.used], Memory{false});
        std::memcpy(data.get(), last.data.get(), last.used);
        last.data = std::move(data);
        last.capacity = last.used;
    }
    void clear() noexcept {
        blocks_.clear();
        count_ = bytes_ = 0;
    }

    // In a fork's child, whose copy of its parent's records is never used: their pooled blocks go
    // back to the system at once, and nothing else of them is touched (written to, the parent's
    // backlog would be copied into the child page by page first). The list is left to the
    // process's end, and must never be used or destroyed.
    void unmap_pooled() const noexcept {
        for (const Block& block : blocks_) {
            if (block.data.get_deleter().pooled) blocks::unmap(block.data.get());
        }
    }

    // The records' bytes in order. With `release`, each block goes as soon as it is copied, so
    // that a trace never exists twice in memory; the list is empty afterwards.
    template <class Stream>
    void write_to(Stream& out, bool release) {
        for (Block& block : blocks_) {
            out.write(block.data.get(), block.used);
            if (release) block.data.reset();
        }
        if (release) clear();
    }

  private:
    static constexpr std::size_t kFirstBlock = 4 * 1024;
    static constexpr std::size_t kLargestBlock = blocks::kBlockSize;
    static constexpr std::size_t kShrinkGain = 256;

    // The largest blocks come from the pool, their pages already in memory; smaller ones (the
    // first of a list, a list that stays short) from the heap.
    struct Memory {
        bool pooled;
        void operator()(char* data) const noexcept {
            if (pooled) {
                blocks::give(data);
            } else {
                delete[] data;
            }
        }
    };
    using Data = std::unique_ptr<char[], Memory>;

    static Data allocate(std::size_t capacity) {
        if (capacity == blocks::kBlockSize) {
            char* block = blocks::take();
            if (block == nullptr) throw std::bad_alloc();
            return Data(block, Memory{true});
        }
        return Data(new char[capacity], Memory{false});
    }

    struct Block {
        Data data;
        std::size_t capacity;
        std::size_t used;
    };

    std::vector<Block> blocks_;
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace vesk
