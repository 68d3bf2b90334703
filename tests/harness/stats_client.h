// A test's side of linkstatd's TCP exchange: connecting to port 10000 on loopback (or a port
// of its choosing), sending bytes, and reading what comes back within a deadline.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct StatsClient {
    int fd = -1;
    // The loopback address connected from, so that tests can be several peers.
    std::string source = "127.0.0.1";
    // The loopback port connected to: linkstatd's, or another server's under test.
    int port = 10000;
    // A receive buffer set before connecting, so the handshake already offers its window.
    int receive_buffer = 0;
    StatsClient() = default;
    explicit StatsClient(std::string from) : source(std::move(from)) {}
    ~StatsClient();
    StatsClient(const StatsClient &) = delete;
    StatsClient &operator=(const StatsClient &) = delete;

    // One connection attempt; whether it succeeded.
    bool connect_once();
    // Retries until the daemon listens (it may run under an emulator that starts slowly).
    bool connect_within(int timeout_ms = 20000);
    bool send_text(const std::string &bytes) const;
    // Whatever arrives until want bytes are in or timeout_ms has passed.
    std::string receive(size_t want, int timeout_ms = 5000) const;
    // Whether the peer closes or resets the connection within timeout_ms, sending nothing
    // first (a reset when it left bytes unread).
    bool closed_by_peer(int timeout_ms = 10000) const;
    void close_now();
    // The port connected from, as the daemon's lines name it.
    int local_port() const;
};

// The record as its big-endian words, for building expected bytes.
std::string words_be(const std::vector<unsigned> &words);
// Word i of a received record.
unsigned word_at(const std::string &bytes, size_t i);
// The processes whose parent is pid (zombies included).
std::vector<pid_t> children_of(pid_t pid);
// How many of pid's open descriptors are sockets.
int socket_fds_of(pid_t pid);
// The descriptor number pid would be given next, or -1.
int lowest_free_fd(pid_t pid);
// Whether pid is a zombie, and then its wait status.
bool zombie_status(pid_t pid, int &wait_status);
// When pid started, in milliseconds since boot (to the kernel's tick), or -1.
long started_ms(pid_t pid);
// Whether what succeeded, run in a child process with uid and gid as its only ids: such a
// process may act on the daemon's processes without the capabilities the test may lack.
bool as_user(uid_t uid, gid_t gid, const std::function<bool()> &what);
