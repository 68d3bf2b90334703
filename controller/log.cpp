#include "log.h"

#include "platform.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One line's limit: when it was last printed, and how many times it came since, unlogged.
// A line is known by a hash of its text, so that the same fault repeating is counted while
// two keys failing one after the other are both named.
struct line_limit {
    time_t logged_at; // 0: the place is free
    uint32_t line;
    unsigned unlogged;
};
line_limit limits[16];
unsigned dropped;

time_t now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec;
}

uint32_t hash_of(const char *text, int n) {
    uint32_t h = 2166136261u;
    for (int i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
    return h;
}

// The line's place, or the one logged longest ago, which it takes over.
line_limit &limit_of(uint32_t line) {
    line_limit *oldest = &limits[0];
    for (auto &l : limits) {
        if (l.logged_at && l.line == line)
            return l;
        if (l.logged_at < oldest->logged_at)
            oldest = &l;
    }
    *oldest = {0, line, 0};
    return *oldest;
}

// The output is non-blocking (see log_open): a line is written whole at once (a pipe takes
// a line far shorter than its atomic write whole or not at all), or not.
bool written(const char *text, int n) {
    return write(STDOUT_FILENO, text, n) == n;
}

} // namespace

void log_open() {
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0)
        fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
}

void log_dropped() {
    if (dropped == 0)
        return;
    char line[64];
    int n = snprintf(line, sizeof line, "log output full: %u line%s dropped\n", dropped,
                     dropped == 1 ? "" : "s");
    if (written(line, n))
        dropped = 0;
}

void log_line(const char *format, ...) {
    char line[log_line_size];
    va_list args;
    va_start(args, format);
    // The analyzer does not see va_start initialise the list on x86-64.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    // A line cut to fit still ends as one; the count goes before its line end.
    n = n < log_line_size ? n : log_line_size - 1;
    if (n > 0 && line[n - 1] == '\n')
        --n;
    line_limit &l = limit_of(hash_of(line, n));
    time_t t = now();
    if (l.logged_at && t - l.logged_at < static_cast<time_t>(log_interval_seconds)) {
        ++l.unlogged;
        return;
    }
    if (l.unlogged > 0)
        n += snprintf(line + n, sizeof line - n, " (%u more unlogged)", l.unlogged);
    n = n < log_line_size - 1 ? n : log_line_size - 2;
    line[n++] = '\n';
    // Never 0, which marks a free place.
    l.logged_at = t > 0 ? t : 1;
    l.unlogged = 0;
    log_dropped();
    if (!written(line, n))
        ++dropped;
}
