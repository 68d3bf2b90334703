// What linkstat-exporter relies on: where it listens, how long it waits for a router, for a
// name and for an HTTP client, how gently it asks, and what it holds at most.
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
// interval is at most a few minutes); after this long it is forgotten.
inline constexpr int idle_close_s = 180;
inline constexpr int forget_s = 600;
// At most this many routers are known at once (10,000 routers are the design load). When
// the table is full, a router that never answered makes room first, so junk targets only
// push out each other.
inline constexpr size_t max_routers = 16384;

// The descriptor limit is raised to its hard limit at start. This many descriptors are
// kept for the log, the resolver and the listening socket; of the rest, HTTP clients may
// hold at most half (and at most http_max_connections), routers' connections the others.
inline constexpr size_t reserved_fds = 64;
inline constexpr size_t http_max_connections = 8192;
// One client (one address) holds at most this share of the HTTP connections: a Prometheus
// server aligning 1,000 scrapes needs 1,000 at once, and another client keeps the rest.
inline constexpr size_t http_client_share = 2;
// Connections waiting to be accepted: the kernel's own limit, as Prometheus aligns scrapes.
inline constexpr int http_listen_backlog = 4096;
// A client that sends nothing for this long is closed, an idle kept-alive one too.
inline constexpr unsigned http_idle_timeout_s = 5;
// A request, line and headers, is at most this long and must have come whole this long
// after the connection opened or the previous answer went: a client sending headers without
// end, or a byte every few seconds, is closed instead of holding memory or a connection.
inline constexpr size_t http_max_request = 16384;
inline constexpr int http_request_deadline_s = 10;

// Names are resolved without a thread, each lookup bounded by its probe's deadline; each
// try waits this long, and at most this many lookups are under way at once.
inline constexpr int lookup_try_ms = 2000;
inline constexpr int lookup_tries = 2;
inline constexpr size_t max_lookups = 1024;

// Log lines wait for standard error in a queue of this many; past it they are counted and
// dropped, so a stalled log holds up nothing. A stop waits this long for the queue to drain.
inline constexpr size_t log_queue_lines = 1024;
inline constexpr int log_drain_ms = 1000;

// A reply is 92 bytes; this much room shows a longer one for what it is.
inline constexpr size_t reply_buffer = 128;
// Idle connections are closed and old routers forgotten this often.
inline constexpr int housekeeping_ms = 1000;

// A rate code counts 500 kb/s, which is 62,500 bytes a second.
inline constexpr uint64_t bytes_per_second_per_code = 500000 / 8;
