// The one thread every part of the exporter runs in: an epoll loop over HTTP clients,
// routers and lookups, with timers. Nothing in it blocks, so no probe holds a thread while
// it waits, and a slow router, name or client holds up only the requests that wait for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

using steady_time = std::chrono::steady_clock::time_point;

// What a watched descriptor's events go to. An event may come for a descriptor closed and
// opened anew in the same turn, so every handler takes one that finds nothing to do.
class pollable {
  public:
    virtual void ready(int fd, uint32_t events) = 0;

  protected:
    ~pollable() = default;
};

class event_loop {
  public:
    using timer = std::multimap<steady_time, std::function<void()>>::iterator;

    event_loop();
    ~event_loop();
    event_loop(const event_loop &) = delete;
    event_loop &operator=(const event_loop &) = delete;

    // False, with errno, when the epoll descriptor cannot be had.
    bool start();
    // Events of fd go to p until unwatch, which comes before fd is closed.
    bool watch(int fd, uint32_t events, pollable *p);
    bool rewatch(int fd, uint32_t events);
    void unwatch(int fd);

    // Calls what at when, in the loop; cancel before it has been called (or never).
    timer at(steady_time when, std::function<void()> what);
    void cancel(timer t);
    timer no_timer() { return timers_.end(); }

    // Called once every turn, after the events and timers; gives the longest it may wait
    // before its next call, in milliseconds (-1: no limit).
    void every_turn(std::function<int64_t()> what);

    // Turns until stop; the text of what failed, or empty after a stop.
    std::string run();
    void stop() { stopping_ = true; }
    // Stops with why as run's answer.
    void fail(const std::string &why) {
        failure_ = why;
        stopping_ = true;
    }

  private:
    int epoll_ = -1;
    bool stopping_ = false;
    std::string failure_;
    std::vector<pollable *> by_fd_;
    std::multimap<steady_time, std::function<void()>> timers_;
    std::vector<std::function<int64_t()>> turns_;
};
