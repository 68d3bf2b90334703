// linkstat: asks linkstatd for the link statistics record and shows it readably, as raw
// bytes, or as a live view for someone aligning an antenna.

#include "linkstat.h"

#include "../statsd/stats_record.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum exit_code : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };
enum view : int { view_text, view_raw, view_watch };

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) {
    interrupted = 1;
}

long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// Waits for fd to become ready for events until deadline; false on timeout or interrupt.
bool wait_ready(int fd, short events, long deadline) {
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0 || interrupted)
            return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// The connected socket, or -1 after printing why not.
int open_connection(const char *host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    char port[8];
    snprintf(port, sizeof port, "%u", static_cast<unsigned>(stats_port));
    if (int rc = getaddrinfo(host, port, &hints, &found); rc != 0) {
        fprintf(stderr, "linkstat: %s: %s\n", host, gai_strerror(rc));
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        int err = errno;
        freeaddrinfo(found);
        fprintf(stderr, "linkstat: socket: %s\n", strerror(err));
        return -1;
    }
    int rc = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        err = ETIMEDOUT;
        if (wait_ready(fd, POLLOUT, now_ms() + reply_timeout_ms)) {
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
    }
    if (err != 0) {
        close(fd);
        fprintf(stderr, "linkstat: cannot connect to %s port %u: %s\n", host,
                static_cast<unsigned>(stats_port), strerror(err));
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Sends "ask" and reads one whole record; false after printing why not.
bool ask(int fd, wlan0_stats_record &record) {
    if (send(fd, stats_request, stats_request_size, MSG_NOSIGNAL) != stats_request_size) {
        fprintf(stderr, "linkstat: sending the request failed: %s\n", strerror(errno));
        return false;
    }
    unsigned char wire[record_size];
    size_t got = 0;
    long deadline = now_ms() + reply_timeout_ms;
    while (got < sizeof wire) {
        if (!wait_ready(fd, POLLIN, deadline)) {
            if (!interrupted)
                fprintf(stderr, "linkstat: no reply within %d s (%zu of %zu bytes)\n",
                        reply_timeout_ms / 1000, got, record_size);
            return false;
        }
        ssize_t n = recv(fd, wire + got, sizeof wire - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        // A daemon serving all the connections it takes closes a new one unanswered (as a
        // reset when the request was still unread).
        if (n <= 0 && got == 0) {
            fprintf(stderr, "linkstat: the connection was closed without a reply (the daemon "
                            "may be serving all the connections it takes)\n");
            return false;
        }
        if (n <= 0) {
            fprintf(stderr, "linkstat: short reply: %zu of %zu bytes, then the connection %s\n",
                    got, record_size, n == 0 ? "closed" : "failed");
            return false;
        }
        got += static_cast<size_t>(n);
    }
    unpack_record(wire, record);
    if (record.length != record_size) {
        fprintf(stderr, "linkstat: malformed reply: length word %u, expected %zu\n", record.length,
                record_size);
        return false;
    }
    return true;
}

struct path_row {
    stat_id id;
    const char *label;
};
constexpr path_row paths[] = {{rssi_path_a, "path A"},
                              {rssi_path_b, "path B"},
                              {rssi_path_c, "path C"},
                              {rssi_path_d, "path D"}};

struct rate_row {
    stat_id id;
    const char *label;
};
constexpr rate_row rates[] = {{current_tx_rate, "tx rate"}, {current_rx_rate, "rx rate"}};

void print_rates(const wlan0_stats_record &r) {
    // A rate code counts half-megabits: 145 is 72.5 Mb/s.
    for (const rate_row &row : rates) {
        uint32_t code = r.entry[row.id].value;
        printf("%-8s %6u.%u Mb/s  (code %u)\n", row.label, code / 2, code % 2 ? 5u : 0u, code);
    }
}

void print_text(const wlan0_stats_record &r) {
    printf("%-8s %6u\n", "rssi", r.entry[rssi].value);
    for (const path_row &row : paths)
        printf("  %-6s %6u\n", row.label, r.entry[row.id].value);
    print_rates(r);
}

// The length word on the first line, then one entry (identifier, value) a line.
void print_raw(const unsigned char (&wire)[record_size]) {
    for (size_t i = 0; i < record_size; ++i)
        printf("%02x%c", wire[i], (i + 1) % 8 == 4 ? '\n' : ' ');
}

void draw_watch(const wlan0_stats_record &r, const char *host) {
    char bar[bar_width + 1];
    printf("%slinkstat %s  (Ctrl-C ends)\n\n%-8s %6u\n", screen_clear_home, host, "rssi",
           r.entry[rssi].value);
    for (const path_row &row : paths) {
        unsigned v = r.entry[row.id].value;
        unsigned filled = (v > bar_full_scale ? bar_full_scale : v) * bar_width / bar_full_scale;
        memset(bar, '#', filled);
        memset(bar + filled, '.', bar_width - filled);
        bar[bar_width] = '\0';
        printf("  %-6s %6u  [%s]\n", row.label, v, bar);
    }
    print_rates(r);
    fflush(stdout);
}

int watch(int fd, const char *host) {
    printf("%s", cursor_hide);
    int result = exit_ok;
    while (!interrupted) {
        wlan0_stats_record record{};
        if (!ask(fd, record)) {
            result = interrupted ? exit_ok : exit_failed;
            break;
        }
        draw_watch(record, host);
        timespec pause{0, watch_interval_us * 1000};
        while (!interrupted && nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    printf("%s\n", cursor_show);
    return result;
}

} // namespace

int main(int argc, char **argv) {
    view mode = view_text;
    const char *host = default_host;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--raw") == 0) {
            mode = view_raw;
        } else if (strcmp(argv[i], "--watch") == 0) {
            mode = view_watch;
        } else if (argv[i][0] != '-' && host == default_host) {
            host = argv[i];
        } else {
            fprintf(stderr, "usage: linkstat [--raw|--watch] [HOST]\n");
            return exit_usage;
        }
    }
    // Ctrl-C must cut a wait short, so the terminal is restored and the exit is clean.
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int fd = open_connection(host);
    if (fd < 0)
        return exit_failed;
    int result = exit_ok;
    if (mode == view_watch) {
        result = watch(fd, host);
    } else {
        wlan0_stats_record record{};
        if (!ask(fd, record)) {
            result = exit_failed;
        } else if (mode == view_raw) {
            unsigned char wire[record_size];
            pack_record(record, wire);
            print_raw(wire);
        } else {
            print_text(record);
        }
    }
    close(fd);
    return result;
}
