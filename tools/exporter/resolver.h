// Names resolved without a thread: c-ares queries driven by the event loop. Each lookup is
// answered by its deadline whatever the resolver does, so a resolver that is down holds up
// only the probes of names, each for its own time.
#pragma once

#include "event_loop.h"

#include <ares.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <set>
#include <string>

class resolver final : pollable {
  public:
    using answer = std::function<void(bool found, in_addr address)>;

    explicit resolver(event_loop &loop);
    ~resolver();
    resolver(const resolver &) = delete;
    resolver &operator=(const resolver &) = delete;

    // Reads the system's resolver configuration; false, with the reason logged, when it
    // cannot.
    bool start();
    // Calls done once: with the first IPv4 address of name, or not found (no such name, no
    // answer, too many lookups under way, or the deadline passed first).
    void lookup(const std::string &name, steady_time deadline, answer done);
    // Forgets every waiting lookup without calling it: the exporter stops.
    void drop_waiters();

  private:
    struct pending;
    static void socket_state(void *self, ares_socket_t fd, int readable, int writable);
    static void on_result(void *arg, int status, int timeouts, ares_addrinfo *found);
    void ready(int fd, uint32_t events) override;
    int64_t turn();

    event_loop &loop_;
    ares_channel channel_ = nullptr;
    std::map<int, uint32_t> sockets_; // c-ares's sockets, with the events they wait for
    std::set<pending *> pending_;
};
