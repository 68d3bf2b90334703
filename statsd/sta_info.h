// The link statistics record that linkstatd sends for every "ask", and the parser that
// fills it from the wireless driver's station table. The wire facts here are shared with
// clients: the record is 23 big-endian 32-bit words.
#pragma once

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr unsigned short stats_port = 10000;
constexpr char stats_request[] = "ask"; // the first three bytes of a request
constexpr int stats_request_size = 3;

// Statistic identifiers: the index of each key in target_name.
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

// The key table: 11 buffers of 20 bytes, filled once by fill_target_names.
extern char *target_name[stat_count];
// Allocates and fills the key table; false if memory ran out.
bool fill_target_names();

// Reads the station table and fills the entries of a cleared record whose length is set.
// 0, or -1 when the table cannot be read, holds 2048 bytes or more, or lacks a key.
int get_wlan0_stats(wlan0_stats_record *record);
// The parsing half of get_wlan0_stats, on a NUL-terminated table.
int parse_sta_info(const char *table, wlan0_stats_record *record);
// Reads numbers from text as sscanf would with a pattern of white space (any run, even none),
// "%s" (a token, skipped), "%d" and "%u" (decimal numbers, stored) and literal characters.
// Stops where the text departs from the pattern; returns how many numbers it stored.
int scan_numbers(const char *text, const char *pattern, uint32_t *numbers, int capacity);
// The position in subject where pattern starts, searching only the line subject starts in.
const char *strstr_in1line(const char *subject, const char *pattern);
