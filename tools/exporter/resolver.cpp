#include "resolver.h"

#include "exporter.h"
#include "log.h"

#include <cstring>
#include <sys/epoll.h>

using std::chrono::steady_clock;

// A lookup, kept until c-ares answers it (which it always does, at the latest when the
// channel is destroyed), even when its deadline came first.
struct resolver::pending {
    resolver *owner;
    answer done; // empty once answered
    event_loop::timer timer;
};

resolver::resolver(event_loop &loop) : loop_(loop) {}

resolver::~resolver() {
    drop_waiters();
    if (channel_)
        ares_destroy(channel_);
    ares_library_cleanup();
}

bool resolver::start() {
    int status = ares_library_init(ARES_LIB_INIT_ALL);
    ares_options options{};
    options.sock_state_cb = socket_state;
    options.sock_state_cb_data = this;
    options.timeout = lookup_try_ms;
    options.tries = lookup_tries;
    if (status == ARES_SUCCESS)
        status = ares_init_options(&channel_, &options,
                                   ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
    if (status != ARES_SUCCESS) {
        log_line("resolver: %s", ares_strerror(status));
        return false;
    }
    loop_.every_turn([this] { return turn(); });
    return true;
}

void resolver::lookup(const std::string &name, steady_time deadline, answer done) {
    if (pending_.size() >= max_lookups) {
        done(false, in_addr{});
        return;
    }
    auto *p = new pending{this, std::move(done), loop_.no_timer()};
    pending_.insert(p);
    p->timer = loop_.at(deadline, [p] {
        p->timer = p->owner->loop_.no_timer();
        answer late = std::move(p->done);
        p->done = nullptr;
        late(false, in_addr{});
    });
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, on_result, p);
}

void resolver::drop_waiters() {
    for (pending *p : pending_) {
        loop_.cancel(p->timer);
        p->timer = loop_.no_timer();
        p->done = nullptr;
    }
}

void resolver::on_result(void *arg, int status, int, ares_addrinfo *found) {
    auto *p = static_cast<pending *>(arg);
    bool ok = false;
    in_addr address{};
    for (ares_addrinfo_node *n = found && status == ARES_SUCCESS ? found->nodes : nullptr; n;
         n = n->ai_next)
        if (n->ai_family == AF_INET) {
            address = reinterpret_cast<const sockaddr_in *>(n->ai_addr)->sin_addr;
            ok = true;
            break;
        }
    if (found)
        ares_freeaddrinfo(found);
    p->owner->pending_.erase(p);
    if (p->done) {
        p->owner->loop_.cancel(p->timer);
        p->done(ok, address);
    }
    delete p;
}

void resolver::socket_state(void *self, ares_socket_t fd, int readable, int writable) {
    auto *r = static_cast<resolver *>(self);
    uint32_t events = (readable ? uint32_t{EPOLLIN} : 0u) | (writable ? uint32_t{EPOLLOUT} : 0u);
    auto known = r->sockets_.find(fd);
    if (events == 0) {
        if (known != r->sockets_.end()) {
            r->loop_.unwatch(fd);
            r->sockets_.erase(known);
        }
    } else if (known == r->sockets_.end()) {
        r->sockets_[fd] = events;
        r->loop_.watch(fd, events, r);
    } else if (known->second != events) {
        known->second = events;
        r->loop_.rewatch(fd, events);
    }
}

void resolver::ready(int fd, uint32_t events) {
    if (sockets_.count(fd) == 0)
        return;
    bool in = events & (EPOLLIN | EPOLLERR | EPOLLHUP), out = events & EPOLLOUT;
    ares_process_fd(channel_, in ? fd : ARES_SOCKET_BAD, out ? fd : ARES_SOCKET_BAD);
}

// c-ares's own timeouts: its tries, and the next server.
int64_t resolver::turn() {
    if (pending_.empty())
        return -1;
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    timeval tv{};
    if (!ares_timeout(channel_, nullptr, &tv))
        return -1;
    return int64_t{tv.tv_sec} * 1000 + tv.tv_usec / 1000 + 1;
}
