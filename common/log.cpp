#include "log.h"

#include "backoff.h"
#include "clock.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t own_count;
uint32_t *dropped_lines = &own_count;
// The last write failed for another reason than a full output (no reader, no descriptor):
// no room will come to watch for.
bool output_gone;

// The kinds of line log_repeating has seen, each known by a hash of its format: when one was
// last printed, when it last came and how often since, unlogged, and its wait before the next
// printing. A new kind takes the place of the one printed longest ago.
struct repeating_line {
    uint32_t hash;
    bool used;
    uint32_t logged_at, seen_at, unlogged;
    backoff wait;
};
repeating_line repeating[16];

// Writes the whole text at once, or nothing that counts: a pipe takes a line far shorter than
// its atomic write whole or not at all.
bool put(int fd, const char *text, size_t n) {
    ssize_t w = write(fd, text, n);
    output_gone = w < 0 && errno != EAGAIN;
    return w == static_cast<ssize_t>(n);
}

// How much of a text of length n went into a buffer of size room.
size_t fitted(int n, size_t room) {
    return n < 0 ? 0 : static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

// Ends the used characters of line with the count and the line end and puts it, the report
// of those dropped first.
void emit(int fd, char (&line)[log_line_size], size_t used, uint32_t unlogged, const char *more) {
    constexpr size_t room = sizeof line - 1;
    if (unlogged > 0)
        used += fitted(snprintf(line + used, room - used, " (%u more %s)", unlogged, more),
                       room - used);
    line[used++] = '\n';
    log_dropped();
    if (!put(fd, line, used))
        __atomic_add_fetch(dropped_lines, 1, __ATOMIC_RELAXED);
}

void format_and_emit(int fd, const char *format, va_list args, uint32_t unlogged,
                     const char *more) {
    int saved = errno;
    char line[log_line_size];
    // The analyzer does not see va_start initialise the list on x86-64.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    emit(fd, line, fitted(vsnprintf(line, sizeof line - 1, format, args), sizeof line - 1),
         unlogged, more);
    errno = saved;
}

uint32_t hash_of(const char *text) {
    uint32_t h = 2166136261u;
    for (; *text; ++text)
        h = (h ^ static_cast<unsigned char>(*text)) * 16777619u;
    return h;
}

// The kind's place. One not seen for the longest wait starts afresh: printed at once, with
// what is still unlogged, then waiting the shortest.
repeating_line &repeating_of(uint32_t hash, uint32_t now_s) {
    repeating_line *oldest = &repeating[0];
    for (auto &r : repeating) {
        if (r.used && r.hash == hash) {
            if (now_s - r.seen_at > log_interval_max_s)
                r.wait.reset();
            return r;
        }
        if (!r.used || (oldest->used && now_s - r.logged_at > now_s - oldest->logged_at))
            oldest = &r;
    }
    *oldest = {hash, true, now_s, now_s, 0, {log_interval_s, log_interval_max_s}};
    return *oldest;
}

} // namespace

void open_log(uint32_t *dropped) {
    dropped_lines = dropped ? dropped : &own_count;
    // A pipe, FIFO or terminal opened anew through /proc gets a description of its own that
    // can be non-blocking. A file never holds a write up, and keeps the offset it shares with
    // whoever else writes it; a socket cannot be opened so.
    char path[] = "/proc/self/fd/1";
    for (char fd = '1'; fd <= '2'; ++fd) {
        path[sizeof path - 2] = fd;
        struct stat st;
        if (fstat(fd - '0', &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)))
            continue;
        if (int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY); own >= 0) {
            dup2(own, fd - '0');
            close(own);
        }
    }
}

void log_line(int fd, const char *format, ...) {
    va_list args;
    va_start(args, format);
    format_and_emit(fd, format, args, 0, nullptr);
    va_end(args);
}

void log_counted(uint32_t unlogged, const char *more, const char *format, ...) {
    va_list args;
    va_start(args, format);
    format_and_emit(1, format, args, unlogged, more);
    va_end(args);
}

bool log_limited(line_limit &limit, uint32_t now_s, const char *more, const char *format, ...) {
    uint32_t last = __atomic_load_n(&limit.logged_at, __ATOMIC_RELAXED);
    if (now_s - last < log_interval_s ||
        !__atomic_compare_exchange_n(&limit.logged_at, &last, now_s, false, __ATOMIC_RELAXED,
                                     __ATOMIC_RELAXED)) {
        __atomic_add_fetch(&limit.unlogged, 1, __ATOMIC_RELAXED);
        return false;
    }
    va_list args;
    va_start(args, format);
    format_and_emit(1, format, args, __atomic_exchange_n(&limit.unlogged, 0, __ATOMIC_RELAXED),
                    more);
    va_end(args);
    return true;
}

void prime(line_limit &limit, uint32_t now_s) {
    limit.logged_at = now_s - log_interval_s;
}

void log_repeating(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vlog_repeating(now_s(), format, args);
    va_end(args);
}

void vlog_repeating(uint32_t now_s, const char *format, va_list args) {
    int saved = errno;
    // A format of "%s" alone prints a fixed text of the caller's, which is then the kind.
    va_list kind_args;
    va_copy(kind_args, args);
    // The analyzer does not see va_copy initialise the list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const char *kind = strcmp(format, "%s") == 0 ? va_arg(kind_args, const char *) : format;
    va_end(kind_args);
    repeating_line &r = repeating_of(hash_of(kind), now_s);
    r.seen_at = now_s;
    if (now_s - r.logged_at < r.wait.current) {
        ++r.unlogged;
    } else {
        char line[log_line_size];
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        size_t used = fitted(vsnprintf(line, sizeof line - 1, format, args), sizeof line - 1);
        if (used > 0 && line[used - 1] == '\n')
            --used;
        r.logged_at = now_s;
        r.wait.next();
        emit(1, line, used, r.unlogged, "unlogged");
        r.unlogged = 0;
    }
    errno = saved;
}

void log_error(const char *what) {
    log_line(2, "%s: %s", what, strerror(errno));
}

int log_backlog_fd() {
    return __atomic_load_n(dropped_lines, __ATOMIC_RELAXED) > 0 && !output_gone ? 1 : -1;
}

void log_dropped() {
    uint32_t n = __atomic_exchange_n(dropped_lines, 0, __ATOMIC_RELAXED);
    if (n == 0)
        return;
    char line[48];
    int len =
        snprintf(line, sizeof line, "log output full: %u line%s dropped\n", n, n == 1 ? "" : "s");
    if (!put(1, line, static_cast<size_t>(len)))
        __atomic_add_fetch(dropped_lines, n, __ATOMIC_RELAXED);
}
