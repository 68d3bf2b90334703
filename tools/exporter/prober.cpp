#include "prober.h"

#include "exporter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

struct prober::router {
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
    steady_time ask_began, ask_deadline, last_wanted;
    bool answered_before = false; // a reading exists
    bool was_up = false;          // its state as last logged
    steady_time reading_began;
    reading last;
    uint64_t generation = 0;
    int waiting = 0;
    std::condition_variable done;
};

prober::prober() = default;

prober::~prober() {
    stop();
    for (auto &[key, r] : routers_)
        if (r->fd >= 0)
            close(r->fd);
    if (epoll_ >= 0)
        close(epoll_);
    if (wake_ >= 0)
        close(wake_);
}

bool prober::start() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0)
        return false;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e) != 0)
        return false;
    loop_ = std::thread([this] { run(); });
    return true;
}

void prober::stop() {
    if (!loop_.joinable())
        return;
    stopping_ = true;
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0)
        perror("linkstat-exporter: eventfd");
    loop_.join();
}

bool prober::ask(const std::string &target, const sockaddr_in &address, steady_time deadline,
                 milliseconds max_age, reading &out) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
    std::string key = std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
    std::unique_lock<std::mutex> lock(mutex_);
    auto now = steady_clock::now();
    std::shared_ptr<router> &slot = routers_[key];
    if (!slot) {
        if (routers_.size() > max_routers) {
            routers_.erase(key);
            return false;
        }
        slot = std::make_shared<router>();
        slot->key = key;
        slot->address = address;
    }
    std::shared_ptr<router> r = slot;
    r->target = target;
    r->last_wanted = now;
    if (r->answered_before && !r->asking && now - r->reading_began <= max_age) {
        out = r->last;
        return true;
    }
    if (!r->asking) {
        r->asking = true;
        r->ask_began = now;
        r->ask_deadline = deadline;
        starts_.push_back(r);
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0)
            perror("linkstat-exporter: eventfd");
    } else {
        r->ask_deadline = std::max(r->ask_deadline, deadline);
    }
    uint64_t generation = r->generation;
    ++r->waiting;
    bool answered = r->done.wait_until(lock, deadline, [&] { return r->generation != generation; });
    --r->waiting;
    out = answered ? r->last : reading{};
    if (!answered)
        out.why = failure::timeout;
    return true;
}

std::vector<router_summary> prober::recent() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = steady_clock::now();
    std::vector<router_summary> list;
    for (auto &[key, r] : routers_)
        if (r->answered_before)
            list.push_back({r->target, r->last,
                            std::chrono::duration<double>(now - r->reading_began).count()});
    return list;
}

prober_figures prober::figures() {
    std::lock_guard<std::mutex> lock(mutex_);
    prober_figures f = figures_;
    f.routers = routers_.size();
    return f;
}

void prober::run() {
    auto next_housekeeping = steady_clock::now();
    epoll_event events[64];
    while (!stopping_) {
        // Until the nearest deadline of an ask, or the next housekeeping.
        int64_t wait_ms = housekeeping_ms;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto now = steady_clock::now();
            for (auto &[key, r] : routers_)
                if (r->asking)
                    wait_ms = std::min<int64_t>(
                        wait_ms,
                        std::chrono::duration_cast<milliseconds>(r->ask_deadline - now).count() +
                            1);
        }
        int n = epoll_wait(epoll_, events, 64, static_cast<int>(std::max<int64_t>(wait_ms, 0)));
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == nullptr) {
                uint64_t count;
                while (read(wake_, &count, sizeof count) > 0) {
                }
                continue;
            }
            on_event(*static_cast<router *>(events[i].data.ptr));
        }
        std::vector<std::shared_ptr<router>> starts;
        starts.swap(starts_);
        for (auto &r : starts)
            begin_ask(*r);
        auto now = steady_clock::now();
        for (auto &[key, r] : routers_)
            if (r->asking && now >= r->ask_deadline) {
                close_connection(*r);
                reading late;
                late.why = failure::timeout;
                finish(*r, late);
            }
        if (now >= next_housekeeping) {
            housekeeping(now);
            next_housekeeping = now + milliseconds(housekeeping_ms);
        }
    }
}

void prober::begin_ask(router &r) {
    r.got = 0;
    r.retried = false;
    r.reused = r.fd >= 0 && !r.connecting;
    if (r.reused)
        send_ask(r);
    else if (r.fd < 0)
        open_connection(r);
}

void prober::open_connection(router &r) {
    r.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (r.fd < 0) {
        perror("linkstat-exporter: socket");
        reading failed;
        failed.why = failure::connect;
        finish(r, failed);
        return;
    }
    ++figures_.connections;
    ++figures_.open;
    int err = connect(r.fd, reinterpret_cast<const sockaddr *>(&r.address), sizeof r.address) == 0
                  ? 0
                  : errno;
    if (err == 0) {
        watch(r, EPOLLIN | EPOLLRDHUP, true);
        send_ask(r);
    } else if (err == EINPROGRESS) {
        r.connecting = true;
        watch(r, EPOLLOUT, true);
    } else {
        lost_connection(r, err == ECONNREFUSED ? failure::refused : failure::connect);
    }
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
    if (r.connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            lost_connection(r, err == ECONNREFUSED ? failure::refused : failure::connect);
            return;
        }
        r.connecting = false;
        watch(r, EPOLLIN | EPOLLRDHUP, false);
        if (r.asking)
            send_ask(r);
        return;
    }
    // Between asks a router sends nothing: bytes, a close or an error end the connection,
    // and the next ask opens a new one.
    if (!r.asking) {
        close_connection(r);
        return;
    }
    take_reply(r);
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
    if (r.reused && !r.retried && r.got == 0) {
        r.retried = true;
        r.reused = false;
        open_connection(r);
        return;
    }
    reading failed;
    failed.why = why;
    finish(r, failed);
}

void prober::finish(router &r, const reading &result) {
    if (!r.asking)
        return;
    r.asking = false;
    r.last = result;
    r.reading_began = r.ask_began;
    r.answered_before = true;
    ++r.generation;
    r.done.notify_all();
    // A line when a router stops answering and when it answers again, not for every probe.
    bool first = r.generation == 1;
    if (!result.up && (first || r.was_up))
        fprintf(stderr, "linkstat-exporter: %s does not answer: %s\n", r.target.c_str(),
                failure_name(result.why));
    else if (result.up && !first && !r.was_up)
        fprintf(stderr, "linkstat-exporter: %s answers again\n", r.target.c_str());
    r.was_up = result.up;
}

void prober::close_connection(router &r) {
    if (r.fd < 0)
        return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, r.fd, nullptr);
    close(r.fd);
    r.fd = -1;
    r.connecting = false;
    --figures_.open;
}

void prober::watch(router &r, uint32_t events, bool add) {
    epoll_event e{};
    e.events = events;
    e.data.ptr = &r;
    if (epoll_ctl(epoll_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, r.fd, &e) != 0)
        perror("linkstat-exporter: epoll_ctl");
}

// Connections of routers nobody asked about for a while are closed; routers asked about
// still longer ago are forgotten.
void prober::housekeeping(steady_time now) {
    for (auto it = routers_.begin(); it != routers_.end();) {
        router &r = *it->second;
        if (!r.asking && now - r.last_wanted >= seconds(idle_close_s))
            close_connection(r);
        if (!r.asking && r.waiting == 0 && now - r.last_wanted >= seconds(forget_s))
            it = routers_.erase(it);
        else
            ++it;
    }
}
