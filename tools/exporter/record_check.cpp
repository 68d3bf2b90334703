#include "record_check.h"

namespace {

constexpr const char *failure_names[] = {"none",   "resolve", "refused", "connect",
                                         "closed", "short",   "timeout", "malformed"};
static_assert(sizeof failure_names / sizeof *failure_names == size_t(failure::count),
              "a name for every failure");

// Entries 0 to 3 are never filled; an unfilled entry is all zero.
constexpr int first_figure = rssi;

} // namespace

const char *failure_name(failure f) {
    return failure_names[static_cast<int>(f)];
}

void check_record(const unsigned char *bytes, size_t n, reading &r) {
    reading malformed;
    malformed.why = failure::malformed;
    r = malformed;
    if (n != record_size)
        return;
    unsigned char wire[record_size];
    memcpy(wire, bytes, record_size);
    wlan0_stats_record record;
    unpack_record(wire, record);
    if (record.length != record_size)
        return;
    for (int i = 0; i < stat_count; ++i) {
        const stat_entry &e = record.entry[i];
        bool unfilled = e.id == 0 && e.value == 0;
        if (!unfilled && (i < first_figure || e.id != static_cast<uint32_t>(i))) {
            r = malformed;
            return;
        }
        r.filled[i] = !unfilled;
        r.value[i] = e.value;
    }
    r.up = true;
    r.why = failure::none;
}
