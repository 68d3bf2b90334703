// linkstat-exporter: asks linkstatd on routers for their link figures and serves them to
// Prometheus (the multi-target pattern: GET /probe?target=HOST[:PORT]) and to a live page
// for aligning an antenna. Runs in the foreground on the operator's server or the
// installer's laptop, never on the router.

#include "allow_list.h"
#include "exporter.h"
#include "http_server.h"
#include "prober.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

enum exit_code : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

constexpr char usage_text[] =
    "usage: linkstat-exporter [--listen ADDR:PORT] [--allow CIDR]...\n"
    "Asks linkstatd on routers for their link figures and serves them:\n"
    "  GET /probe?target=HOST[:PORT]  one router's figures for Prometheus (port 10000 if none)\n"
    "  GET /live?target=HOST[:PORT]   a live page of one router, for aligning its antenna\n"
    "  GET /                          the routers probed recently\n"
    "  GET /metrics, /-/healthy       the exporter's own figures, and a health check\n"
    "Options:\n"
    "  --listen ADDR:PORT  where to serve HTTP (default %s)\n"
    "  --allow CIDR        a range of router addresses that may be probed, such as\n"
    "                      10.20.0.0/16 or 192.0.2.7; repeat it for more ranges. Without\n"
    "                      one, every target is refused: an exporter that others can reach\n"
    "                      must not probe addresses of their choosing.\n"
    "  --help              this text\n"
    "It runs in the foreground, logs to standard error and ends on TERM or INT.\n";

int usage(FILE *to, int code) {
    fprintf(to, usage_text, default_listen);
    return code;
}

bool parse_listen(const std::string &text, std::string &address, int &port) {
    target t;
    in_addr unused;
    if (text.find(':') == std::string::npos || !parse_target(text, t) ||
        inet_pton(AF_INET, t.host.c_str(), &unused) != 1)
        return false;
    address = t.host;
    port = t.port;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string listen_text = default_listen;
    allow_list allow;
    for (int i = 1; i < argc; ++i) {
        ip_range range;
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
            allow.push_back(range);
        } else {
            return usage(stderr, exit_usage);
        }
    }
    std::string address;
    int port;
    if (!parse_listen(listen_text, address, port)) {
        fprintf(stderr, "linkstat-exporter: --listen %s: not ADDR:PORT\n", listen_text.c_str());
        return exit_usage;
    }
    mallopt(M_ARENA_MAX, malloc_arenas);

    // TERM and INT are taken by one thread of their own, which stops the server; every other
    // thread, started after this, has them blocked.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);

    prober probes;
    if (!probes.start()) {
        perror("linkstat-exporter: epoll");
        return exit_failed;
    }
    http_server server(allow, probes);
    if (!server.bind(address, port))
        return exit_failed;
    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stops, &signal_number);
        fprintf(stderr, "linkstat-exporter: %s, stopping\n", strsignal(signal_number));
        server.stop();
    });
    fprintf(stderr, "linkstat-exporter: listening on %s:%d, %zu allowed range%s%s\n",
            address.c_str(), port, allow.size(), allow.size() == 1 ? "" : "s",
            allow.empty() ? " (every target is refused: see --allow)" : "");
    server.run();
    // The server stopped by itself (it should not): the signal thread is woken to end too;
    // after a stop by signal the one sent here stays pending, blocked, until the exit.
    kill(getpid(), SIGTERM);
    stopper.join();
    probes.stop();
    fprintf(stderr, "linkstat-exporter: stopped\n");
    return exit_ok;
}
