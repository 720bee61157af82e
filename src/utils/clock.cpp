#include "utils/clock.h"

#include <time.h>

#include "utils/fault.h"

namespace vesk {

ClockReading read_wall_clock() noexcept {
    timespec ts{};
    // CLOCK_REALTIME is served from the vDSO: no system call on Linux.
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int64_t>(ts.tv_nsec)};
}

double timestamp_from(ClockReading reading) {
    if (reading.seconds < 0) {
        internal_fault("System time is before unix epoch: SystemTimeError");
    }
    return static_cast<double>(reading.seconds) + static_cast<double>(reading.nanos) / 1e9;
}

std::uint64_t unix_millis_from(ClockReading reading) noexcept {
    if (reading.seconds < 0) return 0;
    return static_cast<std::uint64_t>(reading.seconds) * 1000u +
           static_cast<std::uint64_t>(reading.nanos) / 1000000u;
}

}  // namespace vesk
