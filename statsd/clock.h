// linkstatd's clock for its waits: milliseconds of the monotonic clock in 32 bits. They wrap
// every 49.7 days, a router runs for months, so they are only ever compared by difference,
// for waits far shorter than the 24.8 days a difference spans.
#pragma once

#include <cstdint>
#include <ctime>

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
