#pragma once
// Frame ids and trace ids: a four-character prefix and a ULID in its 26-character Crockford text.
// Ids live in fixed-size values, so making, storing and comparing them never allocates.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk {

struct Ulid {
    std::uint64_t high;  // 48 bits of milliseconds, then 16 random bits
    std::uint64_t low;   // 64 random bits
};

inline constexpr std::size_t kUlidTextLength = 26;
inline constexpr std::size_t kIdLength = 4 + kUlidTextLength;

// Layout: milliseconds truncated to their low 48 bits, then the random parts.
Ulid make_ulid(std::uint64_t unix_millis, std::uint16_t random16, std::uint64_t random64) noexcept;

std::array<char, kUlidTextLength> ulid_to_text(Ulid ulid) noexcept;

Ulid new_ulid();
// A fresh ULID for a clock reading the caller already took.
Ulid new_ulid(std::uint64_t unix_millis);

// "frm_" or "trc_" followed by the ULID text.
class Id {
  public:
    std::string_view view() const noexcept { return {chars_.data(), chars_.size()}; }
    std::string str() const { return std::string(view()); }
    friend bool operator==(const Id&, const Id&) = default;

    static Id with_prefix(const char (&prefix)[5], Ulid ulid) noexcept;

  private:
    std::array<char, kIdLength> chars_{};
};

Id new_frame_id();
Id new_frame_id(std::uint64_t unix_millis);
Id new_trace_id();

// The recorded frame below the one an event belongs to, and its line at the time.
struct CallSite {
    Id call_frame_id;
    std::int32_t line_number;
};

// Fills `out` from the calling thread's generator: ChaCha20 keyed from the operating system's
// random source, rekeyed from its own output after every block (so earlier output cannot be
// recomputed from the state) and reseeded from the operating system after a fixed amount of
// output and in the child after fork().
void thread_random_bytes(void* out, std::size_t length);

}  // namespace vesk
