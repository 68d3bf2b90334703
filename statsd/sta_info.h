// The parser that fills the link statistics record from the wireless driver's station
// table.
#pragma once

#include "stats_record.h"

#include <cstdint>

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
