#pragma once
// An owned byte string of fixed size, allocated once and never zero-filled: what a record is
// kept as. Smaller than a std::string, and written in place once its size is known.

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vesk {

class Bytes {
  public:
    Bytes() = default;

    // Contents to be written by the caller.
    static Bytes uninitialized(std::size_t size) {
        Bytes bytes;
        if (size > 0) bytes.data_.reset(new char[size]);
        bytes.size_ = size;
        return bytes;
    }
    static Bytes copy_of(std::string_view text) {
        Bytes bytes = uninitialized(text.size());
        if (!text.empty()) std::memcpy(bytes.data_.get(), text.data(), text.size());
        return bytes;
    }

    char* data() noexcept { return data_.get(); }
    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data_.get(), size_}; }

    void release_memory() noexcept {
        data_.reset();
        size_ = 0;
    }

  private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

// One complete MessagePack value, kept and embedded as opaque bytes.
using SerializedValue = Bytes;

}  // namespace vesk
