// The link statistics record that linkstatd sends for every "ask", as it travels on the
// wire: 23 big-endian 32-bit words. Shared with the clients; nothing here parses.
#pragma once

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr unsigned short stats_port = 10000;
constexpr char stats_request[] = "ask"; // the first three bytes of a request
constexpr int stats_request_size = 3;

// Statistic identifiers: the index of each key in the station table's key list.
enum stat_id : int {
    rx_retrys,
    tx_retrys,
    rx_crc_errors,
    rx_decache,
    rssi,
    rssi_path_a,
    rssi_path_b,
    rssi_path_c,
    rssi_path_d,
    current_tx_rate,
    current_rx_rate,
    stat_count
};

struct stat_entry {
    uint32_t id;
    uint32_t value;
};

// Held in host order; pack_record gives the bytes on the wire.
struct wlan0_stats_record {
    uint32_t length;
    stat_entry entry[stat_count];
};

constexpr size_t record_words = 1 + 2 * stat_count;
constexpr size_t record_size = 4 * record_words;
static_assert(record_size == 92, "the record is 92 bytes on the wire");
static_assert(sizeof(wlan0_stats_record) == record_size, "no padding in the record");

inline void record_words_of(const wlan0_stats_record &r, uint32_t (&w)[record_words]) {
    w[0] = r.length;
    for (int i = 0; i < stat_count; ++i) {
        w[1 + 2 * i] = r.entry[i].id;
        w[2 + 2 * i] = r.entry[i].value;
    }
}

// Every word goes out in network order, whatever the host's own order.
inline void pack_record(const wlan0_stats_record &r, unsigned char (&out)[record_size]) {
    uint32_t w[record_words];
    record_words_of(r, w);
    for (size_t i = 0; i < record_words; ++i) {
        uint32_t be = htonl(w[i]);
        memcpy(out + 4 * i, &be, 4);
    }
}

// The entries the daemon never fills: all zero in every record, identifiers included.
constexpr int unfilled_entries = rssi;

// Whether the record's length word is the record's own size.
inline bool length_word_right(const wlan0_stats_record &r) {
    return r.length == record_size;
}

// Whether the daemon filled an entry: one whose key the station table lacked is all zero,
// which is no figure, not a figure of 0.
inline bool entry_filled(const stat_entry &e) {
    return e.id != 0 || e.value != 0;
}

// The first entry of r that no record of linkstatd's holds, or -1: every entry is all zero
// (a key the station table lacked) or carries its own index as its identifier, and entries 0
// to 3 are always all zero.
inline int misshapen_entry(const wlan0_stats_record &r) {
    for (int i = 0; i < stat_count; ++i) {
        const stat_entry &e = r.entry[i];
        if (entry_filled(e) && (i < unfilled_entries || e.id != static_cast<uint32_t>(i)))
            return i;
    }
    return -1;
}

inline void unpack_record(const unsigned char (&in)[record_size], wlan0_stats_record &r) {
    uint32_t w[record_words];
    for (size_t i = 0; i < record_words; ++i) {
        uint32_t be;
        memcpy(&be, in + 4 * i, 4);
        w[i] = ntohl(be);
    }
    r.length = w[0];
    for (int i = 0; i < stat_count; ++i) {
        r.entry[i].id = w[1 + 2 * i];
        r.entry[i].value = w[2 + 2 * i];
    }
}
