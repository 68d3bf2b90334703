// What linkstatd relies on from the device and its own fixed figures, in one place.
#pragma once

#include <cstddef>
#include <sys/types.h>

// The wireless driver's station table.
constexpr char sta_info_path[] = "/proc/wlan0/sta_info";
// One read of the station table; a table this large or larger is not parsed.
constexpr size_t table_size = 2048;
// Each key of the station table is held in a buffer of this size.
constexpr size_t key_size = 20;
// A request is one receive of at most this many bytes.
constexpr size_t request_size = 10;
constexpr int listen_backlog = 5;
// At most two replies a second per connection, one connection served a second (and one
// failed accept retried a second).
constexpr unsigned reply_pause_ms = 500;
constexpr unsigned serve_interval_ms = 1000;
constexpr unsigned accept_pause_ms = 1000;
// A connection refused at either limit costs no second of its own, or a host reconnecting as
// fast as it is refused would keep everyone else queued behind it; this pause after each
// bounds the refusals to 250 a second, and the CPU they take.
constexpr unsigned refusal_pause_ms = 4;
// Each connection process costs about 50 KiB; this many bound the whole service to well
// under a MiB however many peers connect and stay. One more is refused unserved.
constexpr int max_connections = 8;
// One peer address may hold half of them, so a single host cannot lock the others out.
constexpr int max_per_peer = 4;
// With all of them taken, the connection longest without an "ask" is closed to make room
// for a new one once it has gone this long without one; one that asks keeps its place.
constexpr unsigned idle_limit_s = 60;
// A peer that sends this much without an "ask" is not a client: its connection is closed,
// so that its process cannot spend minutes draining 20 bytes a second after it has gone.
constexpr unsigned max_unasked_bytes = 1024;
// Socket buffers of every connection, set on the listening socket so that each accepted one
// inherits them and even the handshake offers the small window. A request is at most 10
// bytes and a reply 92: the kernel doubles these figures and raises them to its minimum of
// a few KiB, which is what a peer that streams or never reads can tie up, not megabytes.
constexpr int receive_buffer_bytes = 1024;
constexpr int send_buffer_bytes = 1024;
// A peer silent this long is probed (the processes of phones that walked out of range
// must not pile up)...
constexpr int keepalive_idle_s = 30;
// ...again this often...
constexpr int keepalive_interval_s = 10;
// ...and given up after this many unanswered probes: 60 s after its last sign of life.
constexpr int keepalive_probes = 3;
// A reply left unacknowledged this long ends the connection too; the kernel also ends a
// probed connection at this point, so the window is 60 s either way.
constexpr unsigned user_timeout_ms = 60000;
// After listen the daemon needs no privilege: port 10000 is bound, the station table is
// world-readable and nothing is written but its output. It runs on as this user and group,
// with no supplementary groups, so a fault in the only process that talks to the network
// gains nothing from root. 65534 is "nobody" and "nogroup" (or "nobody") on busybox,
// Buildroot and Debian systems alike and owns no file; a firmware that has a user of its own
// for the daemon sets its ids here.
constexpr uid_t run_as_uid = 65534;
constexpr gid_t run_as_gid = 65534;
