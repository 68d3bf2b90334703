// The reading model: what one probe of a router gave, checked, or why nothing usable did.
#pragma once

#include "../../common/stats_record.h"

#include <cstddef>
#include <cstdint>

// Why a probe failed; the exporter counts each.
enum class failure : int {
    none,
    resolve,     // the target's name does not resolve
    refused,     // nothing listens at the port
    connect,     // the connection could not be made otherwise (unreachable, no route)
    closed,      // closed or reset before any byte of a reply
    short_reply, // closed or reset in the middle of a reply
    timeout,     // no whole reply within the probe's time
    malformed,   // a reply that is not a record: length word, identifiers or size wrong
    fd_limit,    // no descriptor left for its connection (the exporter's limit, not the router)
    count
};
// The reason label of each failure, in the order above.
const char *failure_name(failure f);

struct reading {
    bool up = false; // a whole, well-formed record came back
    failure why = failure::none;
    // An entry counts only when the router filled it (its identifier is its index); a table
    // the router could not read leaves every entry 0, which is no figure, not a 0 signal.
    bool filled[stat_count] = {};
    uint32_t value[stat_count] = {};

    // Whether the record held the station's figures at all.
    bool present() const { return filled[rssi]; }
};

// A probe that failed for why, with no figures.
reading failed_reading(failure why);

// Checks n received bytes as one reply and fills r: up, or failure::malformed.
void check_record(const unsigned char *bytes, size_t n, reading &r);
