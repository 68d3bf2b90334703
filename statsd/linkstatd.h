// What linkstatd relies on from the device and its own fixed figures, in one place.
#pragma once

#include <cstddef>

// The wireless driver's station table.
constexpr char sta_info_path[] = "/proc/wlan0/sta_info";
// One read of the station table; a table this large or larger is not parsed.
constexpr size_t table_size = 2048;
// Each key of the station table is held in a buffer of this size.
constexpr size_t key_size = 20;
// A request is one receive of at most this many bytes.
constexpr size_t request_size = 10;
constexpr int listen_backlog = 5;
// At most two replies a second per connection, one accepted connection a second.
constexpr long reply_pause_us = 500000;
constexpr long accept_pause_us = 1000000;
