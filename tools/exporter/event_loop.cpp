#include "event_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

event_loop::event_loop() = default;

event_loop::~event_loop() {
    if (epoll_ >= 0)
        close(epoll_);
}

bool event_loop::start() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    return epoll_ >= 0;
}

bool event_loop::watch(int fd, uint32_t events, pollable *p) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0)
        return false;
    if (static_cast<size_t>(fd) >= by_fd_.size())
        by_fd_.resize(static_cast<size_t>(fd) + 1, nullptr);
    by_fd_[static_cast<size_t>(fd)] = p;
    return true;
}

bool event_loop::rewatch(int fd, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    return epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e) == 0;
}

void event_loop::unwatch(int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    if (static_cast<size_t>(fd) < by_fd_.size())
        by_fd_[static_cast<size_t>(fd)] = nullptr;
}

event_loop::timer event_loop::at(steady_time when, std::function<void()> what) {
    return timers_.emplace(when, std::move(what));
}

void event_loop::cancel(timer t) {
    if (t != timers_.end())
        timers_.erase(t);
}

void event_loop::every_turn(std::function<int64_t()> what) {
    turns_.push_back(std::move(what));
}

std::string event_loop::run() {
    epoll_event events[256];
    int64_t wait_ms = 0;
    while (!stopping_) {
        if (!timers_.empty()) {
            int64_t until = std::max<int64_t>(
                0, std::chrono::ceil<milliseconds>(timers_.begin()->first - steady_clock::now())
                       .count());
            wait_ms = wait_ms < 0 ? until : std::min(wait_ms, until);
        }
        int n = epoll_wait(epoll_, events, 256,
                           static_cast<int>(std::clamp<int64_t>(wait_ms, -1, 60000)));
        if (n < 0 && errno != EINTR)
            return std::string("epoll_wait: ") + strerror(errno);
        for (int i = 0; i < n; ++i) {
            auto fd = static_cast<size_t>(events[i].data.fd);
            if (fd < by_fd_.size() && by_fd_[fd])
                by_fd_[fd]->ready(events[i].data.fd, events[i].events);
        }
        // Timers due by now, those that a timer sets for now among them.
        auto now = steady_clock::now();
        for (auto due = timers_.upper_bound(now); !timers_.empty() && timers_.begin() != due;) {
            auto what = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            what();
            due = timers_.upper_bound(now);
        }
        wait_ms = -1;
        for (auto &turn : turns_) {
            int64_t limit = turn();
            if (limit >= 0)
                wait_ms = wait_ms < 0 ? limit : std::min(wait_ms, limit);
        }
    }
    return failure_;
}
