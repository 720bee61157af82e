#pragma once
// Wall-clock time as the engine records it: seconds since the Unix epoch in a 64-bit float.

#include <cstdint>

namespace vesk {

// One reading of the wall clock, normalised like a timespec: nanos is always in [0, 1e9), so a
// moment before the epoch has a negative seconds part.
struct ClockReading {
    std::int64_t seconds;
    std::int64_t nanos;
};

ClockReading read_wall_clock() noexcept;

// Seconds since the epoch; an InternalFault for a reading before the epoch.
double timestamp_from(ClockReading reading);

// Whole milliseconds since the epoch; 0 for a reading before it.
std::uint64_t unix_millis_from(ClockReading reading) noexcept;

inline double current_timestamp() {
    return timestamp_from(read_wall_clock());
}

}  // namespace vesk
