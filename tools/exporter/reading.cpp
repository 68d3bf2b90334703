#include "reading.h"

namespace {

constexpr const char *failure_names[] = {"none",  "resolve", "refused",   "connect", "closed",
                                         "short", "timeout", "malformed", "fd_limit"};
static_assert(sizeof failure_names / sizeof *failure_names == size_t(failure::count),
              "a name for every failure");

} // namespace

const char *failure_name(failure f) {
    return failure_names[static_cast<int>(f)];
}

reading failed_reading(failure why) {
    reading r;
    r.why = why;
    return r;
}

void check_record(const unsigned char *bytes, size_t n, reading &r) {
    r = reading{};
    r.why = failure::malformed;
    if (n != record_size)
        return;
    unsigned char wire[record_size];
    memcpy(wire, bytes, record_size);
    wlan0_stats_record record;
    unpack_record(wire, record);
    if (!length_word_right(record) || misshapen_entry(record) >= 0)
        return;
    for (int i = 0; i < stat_count; ++i) {
        const stat_entry &e = record.entry[i];
        r.filled[i] = entry_filled(e);
        r.value[i] = e.value;
    }
    r.up = true;
    r.why = failure::none;
}
