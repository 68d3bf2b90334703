#include "sta_info.h"

#include "linkstatd.h"

#include <cstdio>
#include <cstdlib>

char *target_name[stat_count];

namespace {

constexpr const char *key_texts[stat_count] = {
    "rx_retrys:",  "tx_retrys:",       "rx_crc_errors:",  "rx_decache:",
    "rssi:",       "rssi_pathA:",      "rssi_pathB:",     "rssi_pathC:",
    "rssi_pathD:", "current_tx_rate:", "current_rx_rate:"};
constexpr size_t key_size = 20;

// Only these keys are looked for; the rssi line also carries the four path figures.
constexpr stat_id searched[] = {rssi, current_tx_rate, current_rx_rate};

char table_buffer[table_size];

void fill(wlan0_stats_record *r, int id, uint32_t value) {
    r->entry[id].id = static_cast<uint32_t>(id);
    r->entry[id].value = value;
}

// A rate line: legacy "54", "MCS7 (72.2)" or "MCS15 (300)", in 500 kb/s units. A
// fractional figure is rounded up to the half above its whole part (72.2 is 72.5).
uint32_t rate_code(const char *line) {
    int mcs = 0, whole = 0, fraction = 0;
    if (!strstr_in1line(line, "MCS")) {
        sscanf(line, "%*s %d\n", &whole);
        // A legacy 5 is 5.5 Mb/s.
        return 2u * static_cast<uint32_t>(whole) + (whole == 5 ? 1u : 0u);
    }
    if (strstr_in1line(line, ".")) {
        sscanf(line, "%*s MCS%d (%d.%d)\n", &mcs, &whole, &fraction);
        return 2u * static_cast<uint32_t>(whole) + 1u;
    }
    sscanf(line, "%*s MCS%d (%d)\n", &mcs, &whole);
    return 2u * static_cast<uint32_t>(whole);
}

} // namespace

bool fill_target_names() {
    for (int i = 0; i < stat_count; ++i) {
        target_name[i] = static_cast<char *>(malloc(key_size));
        if (!target_name[i])
            return false;
        snprintf(target_name[i], key_size, "%s", key_texts[i]);
    }
    return true;
}

const char *strstr_in1line(const char *subject, const char *pattern) {
    if (*pattern == '\0')
        return subject;
    size_t n = strlen(pattern);
    size_t r = strlen(subject);
    for (const char *p = subject;;) {
        if (r < n)
            return nullptr;
        --r;
        if (strncmp(p, pattern, n) == 0)
            return p;
        ++p;
        if (*p == '\n' || *p == '\r')
            return nullptr;
    }
}

int parse_sta_info(const char *table, wlan0_stats_record *record) {
    for (stat_id id : searched) {
        // Every figure comes from the first station listed.
        const char *line = strstr(table, target_name[id]);
        if (!line)
            return -1;
        if (id == rssi) {
            unsigned v[5] = {};
            sscanf(line, "%*s %u (%u %u %u %u)\n", &v[0], &v[1], &v[2], &v[3], &v[4]);
            for (int i = 0; i < 5; ++i)
                fill(record, rssi + i, v[i]);
        } else {
            fill(record, id, rate_code(line));
        }
    }
    return 0;
}

int get_wlan0_stats(wlan0_stats_record *record) {
    FILE *f = fopen(sta_info_path, "r");
    if (!f)
        return -1;
    size_t n = 0;
    while (n < sizeof table_buffer) {
        size_t got = fread(table_buffer + n, 1, sizeof table_buffer - n, f);
        if (got == 0)
            break;
        n += got;
    }
    fclose(f);
    if (n == 0)
        return 0;
    // A table that fills the buffer was cut: its figures cannot be trusted.
    if (n == sizeof table_buffer)
        return -1;
    table_buffer[n] = '\0';
    return parse_sta_info(table_buffer, record);
}
