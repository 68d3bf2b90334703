#include "sta_info.h"

#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char *target_name[stat_count];

namespace {

constexpr char key_texts[stat_count][key_size] = {
    "rx_retrys:",  "tx_retrys:",       "rx_crc_errors:",  "rx_decache:",
    "rssi:",       "rssi_pathA:",      "rssi_pathB:",     "rssi_pathC:",
    "rssi_pathD:", "current_tx_rate:", "current_rx_rate:"};

// Only these keys are looked for; the rssi line also carries the four path figures.
constexpr stat_id searched[] = {rssi, current_tx_rate, current_rx_rate};

char table_buffer[table_size];

// The line shapes of the station table, as scan_numbers reads them.
constexpr char rssi_pattern[] = "%s %u (%u %u %u %u)\n";
constexpr char legacy_rate_pattern[] = "%s %d\n";
constexpr char mcs_fraction_pattern[] = "%s MCS%d (%d.%d)\n";
constexpr char mcs_whole_pattern[] = "%s MCS%d (%d)\n";

void fill(wlan0_stats_record *r, int id, uint32_t value) {
    r->entry[id].id = static_cast<uint32_t>(id);
    r->entry[id].value = value;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number with an optional sign, as %d and %u read it; the 32 bits are stored and
// the rest of a longer number is lost. Advances text past it.
bool scan_number(const char *&text, uint32_t &number) {
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (!is_digit(*text))
        return false;
    uint32_t magnitude = 0;
    for (; is_digit(*text); ++text)
        magnitude = magnitude * 10 + static_cast<uint32_t>(*text - '0');
    number = negative ? 0u - magnitude : magnitude;
    return true;
}

// A rate line: legacy "54", "MCS7 (72.2)" or "MCS15 (300)", in 500 kb/s units. A
// fractional figure is rounded up to the half above its whole part (72.2 is 72.5).
uint32_t rate_code(const char *line) {
    uint32_t n[3] = {}; // legacy: the figure; MCS: index, whole part, fraction
    if (!strstr_in1line(line, "MCS")) {
        scan_numbers(line, legacy_rate_pattern, n, 1);
        // A legacy 5 is 5.5 Mb/s.
        return 2u * n[0] + (n[0] == 5 ? 1u : 0u);
    }
    if (strstr_in1line(line, ".")) {
        scan_numbers(line, mcs_fraction_pattern, n, 3);
        return 2u * n[1] + 1u;
    }
    scan_numbers(line, mcs_whole_pattern, n, 2);
    return 2u * n[1];
}

} // namespace

int scan_numbers(const char *text, const char *pattern, uint32_t *numbers, int capacity) {
    int stored = 0;
    for (const char *p = pattern; *p; ++p) {
        if (is_space(*p)) {
            while (is_space(*text))
                ++text;
            continue;
        }
        if (*p != '%') {
            if (*text != *p)
                break;
            ++text;
            continue;
        }
        ++p;
        while (is_space(*text))
            ++text;
        if (*p == 's') {
            if (*text == '\0')
                break;
            while (*text && !is_space(*text))
                ++text;
            continue;
        }
        uint32_t number = 0;
        if (stored == capacity || !scan_number(text, number))
            break;
        numbers[stored++] = number;
    }
    return stored;
}

bool fill_target_names() {
    for (int i = 0; i < stat_count; ++i) {
        target_name[i] = static_cast<char *>(malloc(key_size));
        if (!target_name[i])
            return false;
        memcpy(target_name[i], key_texts[i], key_size);
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
            uint32_t v[5] = {};
            scan_numbers(line, rssi_pattern, v, 5);
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
    // fread stops short only at the end of the file (or on an error).
    size_t n = fread(table_buffer, 1, sizeof table_buffer, f);
    fclose(f);
    if (n == 0)
        return 0;
    // A table that fills the buffer was cut: its figures cannot be trusted.
    if (n == sizeof table_buffer)
        return -1;
    table_buffer[n] = '\0';
    return parse_sta_info(table_buffer, record);
}
