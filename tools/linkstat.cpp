// linkstat: asks linkstatd for the link statistics record and shows it readably, as raw
// bytes, as JSON for scripts (several hosts at once), or as a live view for someone
// aligning an antenna.

#include "linkstat.h"

#include "../common/clock.h"
#include "../common/stats_record.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum exit_code : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };
enum view : int { view_text, view_raw, view_watch, view_json };

volatile sig_atomic_t interrupted = 0;
// The errno of the first write to the output that failed, 0 while none has.
int output_error = 0;

void on_interrupt(int) {
    interrupted = 1;
}

// One host's exchange: connect, send "ask", read one whole record, each step within its
// own 3 s from when it began. Every host has one, and all of them run in one poll loop.
enum phase : int { connecting, replying, answered, failed };
struct query {
    const char *host;
    uint64_t began;
    size_t got;
    int fd;
    phase state;
    sockaddr_in address;
    wlan0_stats_record record;
    unsigned char wire[record_size];
    char error[error_size];
};

query queries[max_hosts];

// Ends q with the text that says why, without the program's name.
__attribute__((format(printf, 2, 3))) void fail_query(query &q, const char *format, ...) {
    va_list args;
    va_start(args, format);
    // The analyzer does not see va_start initialise the list on x86-64.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(q.error, sizeof q.error, format, args);
    va_end(args);
    q.state = failed;
    if (q.fd >= 0)
        close(q.fd);
    q.fd = -1;
}

void fail_connect(query &q, int err) {
    fail_query(q, "cannot connect to %s port %u: %s", q.host, static_cast<unsigned>(stats_port),
               strerror(err));
}

void send_ask(query &q) {
    if (send(q.fd, stats_request, stats_request_size, MSG_NOSIGNAL) != stats_request_size) {
        fail_query(q, "sending the request failed: %s", strerror(errno));
        return;
    }
    q.state = replying;
    q.got = 0;
    q.began = now_ms();
}

// Resolves the host; false after failing the query.
bool resolve(query &q) {
    q.fd = -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    char port[8];
    snprintf(port, sizeof port, "%u", static_cast<unsigned>(stats_port));
    if (int rc = getaddrinfo(q.host, port, &hints, &found); rc != 0) {
        fail_query(q, "%s: %s", q.host, gai_strerror(rc));
        return false;
    }
    memcpy(&q.address, found->ai_addr, sizeof q.address);
    freeaddrinfo(found);
    return true;
}

void start_connect(query &q) {
    q.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (q.fd < 0) {
        fail_query(q, "socket: %s", strerror(errno));
        return;
    }
    int err = connect(q.fd, reinterpret_cast<const sockaddr *>(&q.address), sizeof q.address) == 0
                  ? 0
                  : errno;
    q.state = connecting;
    q.began = now_ms();
    if (err == 0)
        send_ask(q);
    else if (err != EINPROGRESS)
        fail_connect(q, err);
}

void finish_connect(query &q) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(q.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0)
        fail_connect(q, err);
    else
        send_ask(q);
}

void take_reply(query &q) {
    ssize_t n = recv(q.fd, q.wire + q.got, sizeof q.wire - q.got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    // A daemon serving all the connections it takes closes a new one unanswered (as a
    // reset when the request was still unread).
    if (n <= 0 && q.got == 0) {
        fail_query(q, "the connection was closed without a reply (the daemon may be serving "
                      "all the connections it takes)");
        return;
    }
    if (n <= 0) {
        fail_query(q, "short reply: %zu of %zu bytes, then the connection %s", q.got, record_size,
                   n == 0 ? "closed" : "failed");
        return;
    }
    q.got += static_cast<size_t>(n);
    if (q.got < record_size)
        return;
    unpack_record(q.wire, q.record);
    int bad = misshapen_entry(q.record);
    if (!length_word_right(q.record))
        fail_query(q, "malformed reply: length word %u, expected %zu", q.record.length,
                   record_size);
    else if (bad >= 0)
        fail_query(q, "malformed reply: entry %d holds identifier %u and value %u", bad,
                   q.record.entry[bad].id, q.record.entry[bad].value);
    else
        q.state = answered;
}

void time_out(query &q) {
    if (q.state == connecting)
        fail_connect(q, ETIMEDOUT);
    else
        fail_query(q, "no reply within %u s (%zu of %zu bytes)", reply_timeout_ms / 1000, q.got,
                   record_size);
}

bool pending(const query &q) {
    return q.state == connecting || q.state == replying;
}

// Runs the exchanges until each is answered or failed, or Ctrl-C leaves them pending. What
// has come is taken before any deadline is judged.
void run_queries(query *qs, size_t count) {
    while (!interrupted) {
        pollfd polled[max_hosts];
        query *owner[max_hosts];
        size_t n = 0;
        uint64_t now = now_ms();
        uint32_t wait = reply_timeout_ms;
        for (size_t i = 0; i < count; ++i) {
            query &q = qs[i];
            if (!pending(q))
                continue;
            polled[n] = {q.fd, static_cast<short>(q.state == connecting ? POLLOUT : POLLIN), 0};
            owner[n++] = &q;
            uint32_t left = ms_left(q.began, reply_timeout_ms, now);
            wait = left < wait ? left : wait;
        }
        if (n == 0)
            return;
        if (poll(polled, n, static_cast<int>(wait)) > 0)
            for (size_t i = 0; i < n; ++i) {
                if (polled[i].revents == 0)
                    continue;
                if (owner[i]->state == connecting)
                    finish_connect(*owner[i]);
                else
                    take_reply(*owner[i]);
            }
        now = now_ms();
        for (size_t i = 0; i < n; ++i)
            if (pending(*owner[i]) && ms_left(owner[i]->began, reply_timeout_ms, now) == 0)
                time_out(*owner[i]);
    }
}

// One line on stderr for a failed exchange; Ctrl-C needs none.
bool succeeded(const query &q) {
    if (q.state == failed && !interrupted)
        fprintf(stderr, "linkstat: %s\n", q.error);
    return q.state == answered;
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

// A rate code counts half-megabits: 145 is 72.5 Mb/s; this gives the digit after the point.
unsigned tenths(uint32_t code) {
    return code % 2 ? 5u : 0u;
}

void print_rates(const wlan0_stats_record &r) {
    for (const rate_row &row : rates) {
        uint32_t code = r.entry[row.id].value;
        printf("%-8s %6u.%u Mb/s  (code %u)\n", row.label, code / 2, tenths(code), code);
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

// The members of each host's JSON object, in order; a failed host has them all null.
struct json_member {
    const char *key;
    stat_id id;
    bool megabits; // the rate in Mb/s rather than the figure itself
};
constexpr json_member json_members[] = {
    {"rssi", rssi, false},
    {"path_a", rssi_path_a, false},
    {"path_b", rssi_path_b, false},
    {"path_c", rssi_path_c, false},
    {"path_d", rssi_path_d, false},
    {"tx_rate_mbps", current_tx_rate, true},
    {"rx_rate_mbps", current_rx_rate, true},
    {"tx_rate_code", current_tx_rate, false},
    {"rx_rate_code", current_rx_rate, false},
};

// The length of the well-formed UTF-8 sequence that starts at p, or 0.
size_t utf8_length(const unsigned char *p) {
    unsigned char lead = p[0];
    if (lead < 0xc2 || lead > 0xf4)
        return 0;
    size_t n = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    // The second byte's range also refuses overlong forms, surrogates and code points past
    // U+10FFFF.
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return n;
}

// A JSON string: quotes and backslashes escaped, control characters as \u00XX, and bytes
// that are not UTF-8 (a host name is whatever the command line held) as U+FFFD.
void print_json_string(const char *text) {
    putchar('"');
    for (const auto *p = reinterpret_cast<const unsigned char *>(text); *p;) {
        if (*p == '"' || *p == '\\') {
            printf("\\%c", *p++);
        } else if (*p < 0x20 || *p == 0x7f) {
            printf("\\u%04x", *p++);
        } else if (*p < 0x80) {
            putchar(*p++);
        } else if (size_t n = utf8_length(p); n > 0) {
            fwrite(p, 1, n, stdout);
            p += n;
        } else {
            fputs("\\ufffd", stdout);
            ++p;
        }
    }
    putchar('"');
}

void print_json(const query &q) {
    fputs("{\"host\":", stdout);
    print_json_string(q.host);
    for (const json_member &m : json_members) {
        uint32_t v = q.record.entry[m.id].value;
        printf(",\"%s\":", m.key);
        if (q.state != answered)
            fputs("null", stdout);
        else if (m.megabits)
            printf("%u.%u", v / 2, tenths(v));
        else
            printf("%u", v);
    }
    fputs(",\"error\":", stdout);
    if (q.state == answered)
        fputs("null", stdout);
    else
        print_json_string(q.error);
    fputs("}\n", stdout);
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
}

// Whether all that was printed has reached the output, the first failure's errno kept.
bool output_ok() {
    if (fflush(stdout) == 0 && !ferror(stdout))
        return true;
    output_error = output_error ? output_error : errno;
    return false;
}

// The cursor is shown again wherever the terminal can still be reached: through the output,
// or once that has failed (a reader such as head that took the frames to the terminal and
// ended) through the controlling terminal.
void show_cursor() {
    printf("%s\n", cursor_show);
    if (output_ok())
        return;
    if (int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC); tty >= 0) {
        dprintf(tty, "%s", cursor_show);
        close(tty);
    }
}

int watch(query &q) {
    printf("%s", cursor_hide);
    int result = exit_ok;
    for (;;) {
        run_queries(&q, 1);
        if (!succeeded(q)) {
            result = interrupted ? exit_ok : exit_failed;
            break;
        }
        draw_watch(q.record, q.host);
        if (!output_ok()) {
            result = exit_failed;
            break;
        }
        timespec pause{0, watch_interval_us * 1000};
        while (!interrupted && nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        send_ask(q);
    }
    show_cursor();
    return result;
}

// Every host in the order given, each line whole: its figures, or why it has none.
int print_all_json(size_t count) {
    int result = exit_ok;
    for (size_t i = 0; i < count; ++i) {
        query &q = queries[i];
        if (q.state != answered && q.state != failed)
            fail_query(q, "interrupted");
        print_json(q);
        result = q.state == answered ? result : exit_failed;
    }
    return result;
}

// What was printed must have reached the output: a full disk or a closed pipe fails the run
// with a line that says so; a reader ended by the same Ctrl-C needs none.
int written(int result) {
    if (output_ok() || interrupted)
        return result;
    fprintf(stderr, "linkstat: cannot write the output: %s\n", strerror(output_error));
    return exit_failed;
}

int usage() {
    fputs("usage: linkstat [--raw|--watch] [HOST]\n"
          "       linkstat --json [HOST...]\n",
          stderr);
    return exit_usage;
}

} // namespace

int main(int argc, char **argv) {
    view mode = view_text;
    bool json = false;
    size_t hosts = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--raw") == 0)
            mode = view_raw;
        else if (strcmp(argv[i], "--watch") == 0)
            mode = view_watch;
        else if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (argv[i][0] != '-' && hosts < max_hosts)
            queries[hosts++].host = argv[i];
        else
            return usage();
    }
    if (json && mode != view_text)
        return usage();
    if (json)
        mode = view_json;
    else if (hosts > 1)
        return usage();
    if (hosts == 0)
        queries[hosts++].host = default_host;

    // Ctrl-C must cut a wait short, so the terminal is restored and the exit is clean.
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that has gone (linkstat | head) fails the write with EPIPE, reported as any
    // failed write is, rather than ending linkstat without a word.
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);

    // Every name first, so that a slow one takes nothing from another host's deadlines.
    bool resolved[max_hosts];
    for (size_t i = 0; i < hosts; ++i)
        resolved[i] = resolve(queries[i]);
    for (size_t i = 0; i < hosts; ++i)
        if (resolved[i])
            start_connect(queries[i]);
    if (mode == view_watch)
        return written(watch(queries[0]));
    run_queries(queries, hosts);
    if (mode == view_json)
        return written(print_all_json(hosts));
    query &q = queries[0];
    if (!succeeded(q))
        return exit_failed;
    if (mode == view_raw)
        print_raw(q.wire);
    else
        print_text(q.record);
    close(q.fd);
    return written(exit_ok);
}
