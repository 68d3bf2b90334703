// What linkstat-exporter relies on: where it listens, how long it waits for a router and for
// an HTTP client, how gently it asks, and what it holds at most.
#pragma once

#include <cstddef>
#include <cstdint>

// Listens on every interface at a port of its own, in the range Prometheus's exporters use.
inline constexpr char default_listen[] = "0.0.0.0:9742";
// A target without a port is linkstatd's.
inline constexpr uint16_t default_router_port = 10000;

// Prometheus sends its scrape timeout in this header; the probe ends this much sooner, so
// the answer still reaches Prometheus in time.
inline constexpr char scrape_timeout_header[] = "X-Prometheus-Scrape-Timeout-Seconds";
inline constexpr int scrape_timeout_offset_ms = 500;
// Without the header, Prometheus's own default scrape timeout.
inline constexpr int default_scrape_timeout_ms = 10000;
// Whatever the header says, a probe waits at least this long and at most this long.
inline constexpr int min_probe_timeout_ms = 100;
inline constexpr int max_probe_timeout_ms = 60000;
// The live page asks once a second and waits this long for each answer.
inline constexpr int live_timeout_ms = 2000;

// One ask answers every request for the same router that comes within this long of it:
// Prometheus servers scraping at once and every viewer of a live page share it, so the
// router is asked at most once a second whoever watches.
inline constexpr int shared_reading_ms = 1000;
// A router nobody asked about for this long has its kept connection closed (a scrape
// interval is at most a few minutes); after this long it is forgotten, and leaves the index.
inline constexpr int idle_close_s = 180;
inline constexpr int forget_s = 600;
// At most this many routers are known at once (1,000 routers are the design load); a probe
// of one more, with none to forget, is answered 503.
inline constexpr size_t max_routers = 4096;

// HTTP clients: each connection holds a worker thread while it is open, and a probe of a
// silent router holds one until its timeout. 1,000 routers scraped every 15 s with a tenth
// of them silent keep about 70 busy; the rest answer at once.
inline constexpr size_t http_threads = 192;
// A client that sends nothing for this long is closed (one that sends a byte a minute
// included); an idle kept-alive connection sooner, so it does not hold its thread.
inline constexpr int http_read_timeout_s = 5;
inline constexpr int http_write_timeout_s = 5;
inline constexpr int http_keep_alive_s = 2;
inline constexpr size_t http_keep_alive_requests = 100;
// Nothing the exporter serves takes a body.
inline constexpr size_t http_max_body = 1024;
// A request, line, headers and body, is at most this long and must have come whole this
// long after its first byte: a client sending headers without end, or a byte every few
// seconds, is closed instead of holding memory or a thread for good.
inline constexpr size_t http_max_request = 16384;
inline constexpr int http_request_deadline_s = 10;

// A reply is 92 bytes; this much room shows a longer one for what it is.
inline constexpr size_t reply_buffer = 512;
// The epoll loop's housekeeping (idle connections, forgotten routers) runs this often.
inline constexpr int housekeeping_ms = 1000;
// glibc gives each thread that allocates an arena of its own; two keep the resident
// memory of 192 threads small.
inline constexpr int malloc_arenas = 2;

// A rate code counts 500 kb/s, which is 62,500 bytes a second.
inline constexpr uint64_t bytes_per_second_per_code = 500000 / 8;
