// Station tables as the driver might print them, up to the largest one that is parsed,
// judged against a plain reading of the line shapes with the C library's sscanf.
#include "sta_info.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// The line-limited search, written out again: a match must start before the first line
// end after the start, though its comparison may run past it.
const char *in_line(const char *subject, const char *pattern) {
    for (const char *p = subject;; ++p) {
        if (p != subject && (*p == '\0' || *p == '\n' || *p == '\r'))
            return nullptr;
        if (strncmp(p, pattern, strlen(pattern)) == 0)
            return p;
    }
}

void put(wlan0_stats_record &r, int id, uint32_t value) {
    r.entry[id].id = static_cast<uint32_t>(id);
    r.entry[id].value = value;
}

int expected_parse(const char *table, wlan0_stats_record &r) {
    const char *m = strstr(table, "rssi:");
    if (!m)
        return -1;
    unsigned v[5] = {};
    sscanf(m, "%*s %u (%u %u %u %u)", &v[0], &v[1], &v[2], &v[3], &v[4]);
    for (int i = 0; i < 5; ++i)
        put(r, rssi + i, v[i]);
    for (int id : {current_tx_rate, current_rx_rate}) {
        m = strstr(table, id == current_tx_rate ? "current_tx_rate:" : "current_rx_rate:");
        if (!m)
            return -1;
        int mcs = 0, whole = 0, fraction = 0;
        uint32_t code;
        if (!in_line(m, "MCS")) {
            sscanf(m, "%*s %d", &whole);
            code = 2u * static_cast<uint32_t>(whole) + (whole == 5 ? 1u : 0u);
        } else if (in_line(m, ".")) {
            sscanf(m, "%*s MCS%d (%d.%d)", &mcs, &whole, &fraction);
            code = 2u * static_cast<uint32_t>(whole) + 1u;
        } else {
            sscanf(m, "%*s MCS%d (%d)", &mcs, &whole);
            code = 2u * static_cast<uint32_t>(whole);
        }
        put(r, id, code);
    }
    return 0;
}

// Figures of ten digits or more overflow a 32-bit word, where sscanf itself differs
// between hosts: the comparison leaves them out.
bool has_long_figure(const char *text) {
    for (int run = 0; *text; ++text)
        if ((run = *text >= '0' && *text <= '9' ? run + 1 : 0) >= 10)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool keys = fill_target_names();
    if (!keys)
        abort();
    char table[2048] = {};
    memcpy(table, data, size < sizeof table - 1 ? size : sizeof table - 1);
    wlan0_stats_record record{};
    record.length = record_size;
    int result = parse_sta_info(table, &record);
    if (result != 0 && result != -1)
        abort();
    // Only the parsed entries are written: the length and entries 0 to 3 stay as set.
    if (record.length != record_size)
        abort();
    for (int i = rx_retrys; i <= rx_decache; ++i)
        if (record.entry[i].id != 0 || record.entry[i].value != 0)
            abort();

    if (has_long_figure(table))
        return 0;
    wlan0_stats_record expected{};
    expected.length = record_size;
    if (expected_parse(table, expected) != result || memcmp(&expected, &record, sizeof record) != 0)
        abort();
    return 0;
}
