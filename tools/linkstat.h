// What linkstat relies on: where it asks, how long it waits, how it draws.
#pragma once

#include <cstddef>

inline constexpr char default_host[] = "127.0.0.1";
// Both the connect and the wait for a whole reply give up after this long.
inline constexpr unsigned reply_timeout_ms = 3000;
// --json asks this many hosts at most, all at once: a site's routers, each one's exchange
// held in a fixed table.
inline constexpr size_t max_hosts = 16;
// Room for the longest failure text, with a host name of the longest a DNS name can be.
inline constexpr size_t error_size = 320;
// --watch asks twice a second, the rate the daemon answers one connection at.
inline constexpr long watch_interval_us = 500000;
// A receive path's rssi is drawn as a bar; 100 fills it.
inline constexpr unsigned bar_full_scale = 100;
inline constexpr int bar_width = 40;

inline constexpr char screen_clear_home[] = "\033[H\033[2J";
inline constexpr char cursor_hide[] = "\033[?25l";
inline constexpr char cursor_show[] = "\033[?25h";
