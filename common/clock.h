// The daemons' clock for their waits and limits: the monotonic clock, which setting the date
// does not move. Both figures are kept in 32 bits, so they are only ever compared by
// difference: seconds wrap after 136 years; milliseconds wrap every 49.7 days, and a router
// runs for months, so they serve waits far shorter than the 24.8 days a difference spans.
#pragma once

#include <cstdint>
#include <ctime>

inline uint32_t now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec);
}

inline uint32_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec) * 1000u + static_cast<uint32_t>(t.tv_nsec / 1000000);
}

// Milliseconds from now until deadline, 0 once it has passed.
inline uint32_t ms_until(uint32_t deadline, uint32_t now) {
    auto left = static_cast<int32_t>(deadline - now);
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}
