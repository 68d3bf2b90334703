// linkstat-exporter: asks linkstatd on routers for their link figures and serves them to
// Prometheus (the multi-target pattern: GET /probe?target=HOST[:PORT]) and to a live page
// for aligning an antenna. Runs in the foreground on the operator's server or the
// installer's laptop, never on the router.

#include "allow_list.h"
#include "event_loop.h"
#include "exporter.h"
#include "http_server.h"
#include "log.h"
#include "prober.h"
#include "resolver.h"
#include "target.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum exit_code : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

constexpr char usage_text[] =
    "usage: linkstat-exporter [--listen ADDR:PORT] [--allow CIDR]... [--allow-name DOMAIN]...\n"
    "Asks linkstatd on routers for their link figures and serves them:\n"
    "  GET /probe?target=HOST[:PORT]  one router's figures for Prometheus (port 10000 if none)\n"
    "  GET /live?target=HOST[:PORT]   a live page of one router, for aligning its antenna\n"
    "  GET /                          the routers probed recently\n"
    "  GET /metrics, /-/healthy       the exporter's own figures, and a health check\n"
    "Options:\n"
    "  --listen ADDR:PORT   where to serve HTTP (default %s)\n"
    "  --allow CIDR         a range of router addresses that may be probed, such as\n"
    "                       10.20.0.0/16 or 192.0.2.7; repeat it for more ranges. Without\n"
    "                       one, every target is refused: an exporter that others can reach\n"
    "                       must not probe addresses of their choosing.\n"
    "  --allow-name DOMAIN  a DNS name that may be looked up, with every name under it, such\n"
    "                       as wisp.example; repeat it for more. Without one, only addresses\n"
    "                       are taken. A name's address must still be in an --allow range.\n"
    "  --help               this text\n"
    "It runs in the foreground, logs to standard error and ends on TERM or INT.\n";

int usage(FILE *to, int code) {
    fprintf(to, usage_text, default_listen);
    return code;
}

bool parse_listen(const std::string &text, sockaddr_in &out) {
    target t;
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    if (text.find(':') == std::string::npos || !parse_target(text, t) || t.is_name)
        return false;
    out.sin_port = htons(t.port);
    out.sin_addr = t.address;
    return true;
}

// The descriptor limit, raised as far as the hard limit allows.
size_t raise_descriptor_limit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    rlimit raised = files;
    raised.rlim_cur = raised.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
        files = raised;
    // Unlimited is still the kernel's own limit on a process's descriptors.
    return files.rlim_cur == RLIM_INFINITY ? size_t{1} << 20 : static_cast<size_t>(files.rlim_cur);
}

int listen_on(const sockaddr_in &address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        listen(fd, http_listen_backlog) == 0)
        return fd;
    int err = errno;
    if (fd >= 0)
        close(fd);
    errno = err;
    return -1;
}

// TERM and INT, blocked in every thread and taken as events of the loop.
class stop_signals final : pollable {
  public:
    stop_signals(event_loop &loop, const sigset_t &stops) : loop_(loop) {
        fd_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    ~stop_signals() {
        if (fd_ >= 0)
            close(fd_);
    }
    stop_signals(const stop_signals &) = delete;
    stop_signals &operator=(const stop_signals &) = delete;
    bool start() { return fd_ >= 0 && loop_.watch(fd_, EPOLLIN, this); }

  private:
    void ready(int, uint32_t) override {
        signalfd_siginfo info;
        if (read(fd_, &info, sizeof info) != sizeof info)
            return;
        log_line("%s, stopping", strsignal(static_cast<int>(info.ssi_signo)));
        loop_.stop();
    }
    event_loop &loop_;
    int fd_;
};

} // namespace

int main(int argc, char **argv) {
    std::string listen_text = default_listen;
    allow_list allow;
    for (int i = 1; i < argc; ++i) {
        ip_range range;
        std::string name;
        if (strcmp(argv[i], "--help") == 0)
            return usage(stdout, exit_ok);
        if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            listen_text = argv[++i];
        } else if (strcmp(argv[i], "--allow") == 0 && i + 1 < argc) {
            if (!parse_range(argv[++i], range)) {
                fprintf(stderr, "linkstat-exporter: --allow %s: not A.B.C.D/N or A.B.C.D\n",
                        argv[i]);
                return exit_usage;
            }
            allow.ranges.push_back(range);
        } else if (strcmp(argv[i], "--allow-name") == 0 && i + 1 < argc) {
            if (!parse_allowed_name(argv[++i], name)) {
                fprintf(stderr, "linkstat-exporter: --allow-name %s: not a DNS name\n", argv[i]);
                return exit_usage;
            }
            allow.names.push_back(name);
        } else {
            return usage(stderr, exit_usage);
        }
    }
    sockaddr_in address;
    if (!parse_listen(listen_text, address)) {
        fprintf(stderr, "linkstat-exporter: --listen %s: not ADDR:PORT\n", listen_text.c_str());
        return exit_usage;
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    log_start();

    // Of the descriptors, HTTP clients may hold half (or http_max_connections), routers the
    // rest, beyond those kept for the log, the resolver and the listener.
    size_t fds = raise_descriptor_limit();
    size_t spare = fds > reserved_fds ? fds - reserved_fds : 2;
    size_t clients = std::clamp<size_t>(spare / 2, 1, http_max_connections);
    size_t connections = std::max<size_t>(spare - clients, 1);

    event_loop loop;
    stop_signals stops(loop, stop_set);
    int listener = listen_on(address);
    if (listener < 0) {
        log_line("cannot listen on %s: %s", listen_text.c_str(), strerror(errno));
        log_drain();
        return exit_failed;
    }
    if (!loop.start() || !stops.start()) {
        log_line("cannot start: %s", strerror(errno));
        log_drain();
        return exit_failed;
    }
    resolver names(loop);
    prober probes(loop, connections);
    http_server server(loop, allow, probes, names);
    if (!names.start() || !server.start(listener, clients)) {
        log_drain();
        return exit_failed;
    }
    log_line("listening on %s, %zu allowed range%s and %zu allowed name%s%s; descriptor limit "
             "%zu: %zu HTTP clients and %zu router connections at most",
             listen_text.c_str(), allow.ranges.size(), allow.ranges.size() == 1 ? "" : "s",
             allow.names.size(), allow.names.size() == 1 ? "" : "s",
             allow.ranges.empty() ? " (every target is refused: see --allow)" : "", fds, clients,
             connections);
    std::string failure = loop.run();
    if (!failure.empty())
        log_line("stopping: %s", failure.c_str());
    probes.drop_waiters();
    names.drop_waiters();
    server.stop();
    log_line("stopped");
    log_drain();
    return failure.empty() ? exit_ok : exit_failed;
}
