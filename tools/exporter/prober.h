// Asking routers: one kept connection per router, reopened when lost, asks on it one at a
// time, all of them driven by one thread's epoll loop. Requests for a router wait for its
// ask with deadlines of their own, so a router that never answers holds only the requests
// for it.
#pragma once

#include "record_check.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

using steady_time = std::chrono::steady_clock::time_point;

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
    prober();
    ~prober();
    prober(const prober &) = delete;
    prober &operator=(const prober &) = delete;

    // Starts the loop; false when its epoll or eventfd could not be had.
    bool start();
    void stop();

    // A reading of the router at address, named target, from an ask begun at most max_age
    // before now (one in flight is joined) or, failing that, by deadline: then a timeout.
    // False when the router is not known and no more can be.
    bool ask(const std::string &target, const sockaddr_in &address, steady_time deadline,
             std::chrono::milliseconds max_age, reading &out);

    std::vector<router_summary> recent();
    prober_figures figures();

  private:
    struct router;
    void run();
    void begin_ask(router &r);
    void open_connection(router &r);
    void send_ask(router &r);
    void on_event(router &r);
    void take_reply(router &r);
    void lost_connection(router &r, failure why);
    void finish(router &r, const reading &result);
    void close_connection(router &r);
    void watch(router &r, uint32_t events, bool add);
    void housekeeping(steady_time now);

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<router>> routers_;
    std::vector<std::shared_ptr<router>> starts_;
    int epoll_ = -1;
    int wake_ = -1;
    std::thread loop_;
    std::atomic<bool> stopping_{false};
    prober_figures figures_;
};
