// The clock of the daemons' and linkstat's waits and limits: the monotonic clock, which
// setting the date does not move. Seconds are kept in 32 bits and only ever compared by
// difference; they wrap after 136 years. Milliseconds are kept in 64 bits, which never wrap:
// a router runs for months, and a 32-bit figure wraps every 49.7 days, so a deadline taken
// before a quiet month would read as weeks away.
#pragma once

#include <cstdint>
#include <ctime>

inline uint32_t now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec);
}

inline uint64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint32_t>(t.tv_nsec / 1000000);
}

// What is left at now of an interval of ms that began at since: never more than the interval
// itself, whatever the clock did in between (a clock that went back, as a faked one can,
// counts as the interval over).
inline uint32_t ms_left(uint64_t since, uint32_t ms, uint64_t now) {
    uint64_t gone = now - since;
    return gone < ms ? ms - static_cast<uint32_t>(gone) : 0;
}
