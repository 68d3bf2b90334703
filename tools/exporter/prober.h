// Asking routers: one kept connection per router, reopened when lost, one ask on it at a
// time, all in the event loop. An ask ends at the deadline of the request that began it:
// a connection that did not answer by then is closed, and the next ask opens a new one.
// Every request waits for its router until its own deadline, and no longer.
#pragma once

#include "event_loop.h"
#include "reading.h"
#include "router_table.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

// What the index page shows of a router.
struct router_summary {
    std::string target;
    reading last;
    double age_s; // since its last ask began
};

// The prober's own figures, for /metrics.
struct prober_figures {
    uint64_t asks = 0;        // asks sent to routers
    uint64_t connections = 0; // connections opened to routers
    size_t open = 0;          // connections held open now
    size_t routers = 0;       // routers known now
};

class prober {
  public:
    using answer = std::function<void(const reading &)>;

    // At most max_open connections to routers at once.
    prober(event_loop &loop, size_t max_open);
    ~prober();
    prober(const prober &) = delete;
    prober &operator=(const prober &) = delete;

    // Calls done once with a reading of the router at address, named target: one kept from
    // an ask begun at most max_age before now (at once), the one in flight or a new one, or
    // a timeout at deadline. False, done never called, when the router is not known and no
    // room can be made for it.
    bool ask(const std::string &target, const sockaddr_in &address, steady_time deadline,
             std::chrono::milliseconds max_age, answer done);
    // Forgets every waiting request without calling it: the exporter stops.
    void drop_waiters();

    std::vector<router_summary> recent() const;
    prober_figures figures() const;

  private:
    struct router;
    void begin_ask(router &r, steady_time deadline);
    void open_connection(router &r);
    void send_ask(router &r);
    void on_event(router &r);
    void take_reply(router &r);
    void lost_connection(router &r, failure why);
    void ask_timed_out(router &r);
    void finish(router &r, const reading &result);
    void waiter_timed_out(router &r, uint64_t id);
    void close_connection(router &r);
    void retire(std::unique_ptr<router> r);
    void housekeeping();

    event_loop &loop_;
    size_t max_open_;
    router_table<router> routers_;
    uint64_t next_waiter_ = 0;
    event_loop::timer housekeeping_;
    prober_figures figures_;
};
