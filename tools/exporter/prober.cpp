#include "prober.h"

#include "exporter.h"
#include "log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

// A request waiting for its router's ask, until its own deadline.
struct waiter {
    uint64_t id;
    steady_time deadline;
    prober::answer done;
    event_loop::timer timer;
};

} // namespace

struct prober::router final : pollable {
    prober *owner = nullptr;
    std::string key, target;
    sockaddr_in address{};
    int fd = -1;
    bool connecting = false;
    bool asking = false;
    // The ask went out on a connection kept from before, which the router may have closed
    // meanwhile (it restarted, say): it is tried once more on a new one.
    bool reused = false;
    bool retried = false;
    unsigned char reply[reply_buffer];
    size_t got = 0;
    steady_time ask_began;
    event_loop::timer ask_timer;
    bool has_reading = false;
    steady_time reading_began;
    reading last;
    bool was_up = false; // its state as last logged
    std::vector<waiter> waiters;

    bool busy() const { return asking || !waiters.empty(); }
    void ready(int, uint32_t) override { owner->on_event(*this); }
};

prober::prober(event_loop &loop, size_t max_open)
    : loop_(loop), max_open_(max_open), routers_(max_routers) {
    housekeeping_ =
        loop_.at(steady_clock::now() + milliseconds(housekeeping_ms), [this] { housekeeping(); });
}

prober::~prober() {
    drop_waiters();
    loop_.cancel(housekeeping_);
    routers_.each([this](router &r) {
        loop_.cancel(r.ask_timer);
        close_connection(r);
    });
}

bool prober::ask(const std::string &target, const sockaddr_in &address, steady_time deadline,
                 milliseconds max_age, answer done) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
    std::string key = std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
    auto now = steady_clock::now();
    std::unique_ptr<router> forgotten;
    router *found = routers_.want(key, now, forgotten);
    retire(std::move(forgotten));
    if (!found)
        return false;
    router &r = *found;
    if (!r.owner) {
        r.owner = this;
        r.key = key;
        r.address = address;
        r.ask_timer = loop_.no_timer();
    }
    r.target = target;
    if (!r.asking && r.has_reading && now - r.reading_began <= max_age) {
        done(r.last);
        return true;
    }
    uint64_t id = next_waiter_++;
    r.waiters.push_back({id, deadline, std::move(done),
                         loop_.at(deadline, [this, &r, id] { waiter_timed_out(r, id); })});
    if (!r.asking)
        begin_ask(r, deadline);
    return true;
}

void prober::drop_waiters() {
    routers_.each([this](router &r) {
        for (waiter &w : r.waiters)
            loop_.cancel(w.timer);
        r.waiters.clear();
    });
}

std::vector<router_summary> prober::recent() const {
    auto now = steady_clock::now();
    std::vector<router_summary> list;
    routers_.each([&](const router &r) {
        if (r.has_reading)
            list.push_back(
                {r.target, r.last, std::chrono::duration<double>(now - r.reading_began).count()});
    });
    return list;
}

prober_figures prober::figures() const {
    prober_figures f = figures_;
    f.routers = routers_.size();
    return f;
}

void prober::begin_ask(router &r, steady_time deadline) {
    r.asking = true;
    r.ask_began = steady_clock::now();
    r.ask_timer = loop_.at(deadline, [this, &r] { ask_timed_out(r); });
    r.got = 0;
    r.retried = false;
    r.reused = r.fd >= 0 && !r.connecting;
    if (r.reused)
        send_ask(r);
    else if (r.fd < 0)
        open_connection(r);
}

void prober::open_connection(router &r) {
    if (figures_.open >= max_open_) {
        lost_connection(r, failure::fd_limit);
        return;
    }
    r.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (r.fd < 0) {
        lost_connection(r,
                        errno == EMFILE || errno == ENFILE ? failure::fd_limit : failure::connect);
        return;
    }
    ++figures_.connections;
    ++figures_.open;
    int err = connect(r.fd, reinterpret_cast<const sockaddr *>(&r.address), sizeof r.address) == 0
                  ? 0
                  : errno;
    if (err != 0 && err != EINPROGRESS) {
        lost_connection(r, err == ECONNREFUSED ? failure::refused : failure::connect);
        return;
    }
    r.connecting = err == EINPROGRESS;
    loop_.watch(r.fd, r.connecting ? EPOLLOUT : EPOLLIN | EPOLLRDHUP, &r);
    if (!r.connecting)
        send_ask(r);
}

void prober::send_ask(router &r) {
    r.got = 0;
    if (send(r.fd, stats_request, stats_request_size, MSG_NOSIGNAL) != stats_request_size) {
        lost_connection(r, failure::closed);
        return;
    }
    ++figures_.asks;
}

void prober::on_event(router &r) {
    if (r.fd < 0)
        return;
    if (r.connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        if (err == 0 && getpeername(r.fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0)
            return; // an event of a descriptor before this one: still connecting
        if (err != 0) {
            lost_connection(r, err == ECONNREFUSED ? failure::refused : failure::connect);
            return;
        }
        r.connecting = false;
        loop_.rewatch(r.fd, EPOLLIN | EPOLLRDHUP);
        if (r.asking)
            send_ask(r);
        return;
    }
    if (r.asking) {
        take_reply(r);
        return;
    }
    // Between asks a router sends nothing: bytes, a close or an error end the connection,
    // and the next ask opens a new one.
    char byte;
    ssize_t n = recv(r.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EINTR))
        close_connection(r);
}

void prober::take_reply(router &r) {
    for (;;) {
        ssize_t n = recv(r.fd, r.reply + r.got, sizeof r.reply - r.got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            lost_connection(r, r.got == 0 ? failure::closed : failure::short_reply);
            return;
        }
        r.got += static_cast<size_t>(n);
        if (r.got == sizeof r.reply)
            break;
    }
    if (r.got < record_size)
        return;
    reading result;
    check_record(r.reply, r.got, result);
    if (!result.up)
        close_connection(r);
    finish(r, result);
}

// A connection that failed during an ask: a kept one is tried once more, new, within the
// same deadline; otherwise the ask fails for why.
void prober::lost_connection(router &r, failure why) {
    close_connection(r);
    if (r.reused && !r.retried && r.got == 0 && why != failure::fd_limit) {
        r.retried = true;
        r.reused = false;
        open_connection(r);
        return;
    }
    finish(r, failed_reading(why));
}

// The ask's own deadline passed: its connection is closed, and the requests that may
// still wait have a new ask, which ends at the latest of their deadlines.
void prober::ask_timed_out(router &r) {
    r.ask_timer = loop_.no_timer();
    close_connection(r);
    finish(r, failed_reading(failure::timeout));
    if (r.waiters.empty())
        return;
    steady_time latest = r.waiters.front().deadline;
    for (const waiter &w : r.waiters)
        latest = std::max(latest, w.deadline);
    begin_ask(r, latest);
}

void prober::finish(router &r, const reading &result) {
    if (!r.asking)
        return;
    r.asking = false;
    loop_.cancel(r.ask_timer);
    r.ask_timer = loop_.no_timer();
    bool first = !r.has_reading;
    r.last = result;
    r.has_reading = true;
    r.reading_began = r.ask_began;
    if (result.up)
        routers_.answered(r.key);
    // A line when a router stops answering and when it answers again, not for every probe.
    if (!result.up && (first || r.was_up))
        log_line("%s does not answer: %s", r.target.c_str(), failure_name(result.why));
    else if (result.up && !first && !r.was_up)
        log_line("%s answers again", r.target.c_str());
    r.was_up = result.up;
    // An ask that timed out answers only the requests whose own time is up.
    auto now = steady_clock::now();
    std::vector<waiter> done;
    auto keep = std::partition(r.waiters.begin(), r.waiters.end(), [&](const waiter &w) {
        return result.why == failure::timeout && w.deadline > now;
    });
    std::move(keep, r.waiters.end(), std::back_inserter(done));
    r.waiters.erase(keep, r.waiters.end());
    for (waiter &w : done) {
        loop_.cancel(w.timer);
        w.done(result);
    }
}

void prober::waiter_timed_out(router &r, uint64_t id) {
    auto w = std::find_if(r.waiters.begin(), r.waiters.end(),
                          [id](const waiter &x) { return x.id == id; });
    if (w == r.waiters.end())
        return;
    answer done = std::move(w->done);
    r.waiters.erase(w);
    done(failed_reading(failure::timeout));
}

void prober::close_connection(router &r) {
    if (r.fd < 0)
        return;
    loop_.unwatch(r.fd);
    close(r.fd);
    r.fd = -1;
    r.connecting = false;
    --figures_.open;
}

void prober::retire(std::unique_ptr<router> r) {
    if (!r)
        return;
    loop_.cancel(r->ask_timer);
    close_connection(*r);
}

// Connections of routers nobody asked about for a while are closed; routers asked about
// still longer ago are forgotten.
void prober::housekeeping() {
    auto now = steady_clock::now();
    routers_.each_wanted_before(now - seconds(idle_close_s), [this](router &r) {
        if (!r.asking)
            close_connection(r);
    });
    for (auto &r : routers_.forget_wanted_before(now - seconds(forget_s)))
        retire(std::move(r));
    housekeeping_ = loop_.at(now + milliseconds(housekeeping_ms), [this] { housekeeping(); });
}
