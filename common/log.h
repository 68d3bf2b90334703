// The daemons' output: lines on standard output (or error), normally a pipe to the system
// log, whose ring holds a few KiB for the whole device and whose reader may hang. Every line
// is written whole at once or dropped and counted, so a log reader that stops reading never
// holds up a daemon, a connection process or a mode change; the count is logged once the
// output takes lines again.
#pragma once

#include <cstdarg>
#include <cstdint>

// A line of one kind comes at most once in this many seconds, with the count of those left
// unlogged since the previous one.
constexpr unsigned log_interval_s = 10;
// A text that keeps repeating waits twice as long before each printing, up to this.
constexpr unsigned log_interval_max_s = 3600;
// One log line, whole, with its count; longer ones are cut, their line end kept.
constexpr int log_line_size = 256;

// When a kind of line was last logged, and how many came since, unlogged. It lives where
// every process that logs the kind can write.
struct line_limit {
    uint32_t logged_at;
    uint32_t unlogged;
};

// Gives a standard output and error that are pipes, FIFOs or terminals open file descriptions
// of their own that never block: the inherited ones are shared with the launcher, its log
// pipe and every command a daemon starts, and stay as they are. Lines dropped are counted in
// *dropped, which every process of a daemon shares (nullptr: a count of this process's own).
void open_log(uint32_t *dropped);

// One line (the text without its line end) on descriptor fd, 1 or 2.
__attribute__((format(printf, 2, 3))) void log_line(int fd, const char *format, ...);
// The same on standard output, ending with " (N more MORE)" when unlogged is N, not 0.
__attribute__((format(printf, 3, 4))) void log_counted(uint32_t unlogged, const char *more,
                                                       const char *format, ...);
// The line of limit's kind if it is due at now_s, counted for the next otherwise; whether it
// was logged. Of processes racing for the same line one wins; the others are counted.
__attribute__((format(printf, 4, 5))) bool log_limited(line_limit &limit, uint32_t now_s,
                                                       const char *more, const char *format, ...);
// Lets the first line of limit's kind be logged at once, however soon after boot.
void prime(line_limit &limit, uint32_t now_s);
// A line whose kind is its format, whatever it is filled with (a key, a reading, a wait): the
// same kind repeating is counted (" (N more unlogged)") and printed again after
// log_interval_s, then after twice as long each time, up to once in log_interval_max_s, so
// that a fault that lasts for weeks costs a few lines a day however its text varies. One line
// end at the end of the text is the line's own; a second one stays.
__attribute__((format(printf, 1, 2))) void log_repeating(const char *format, ...);
// The same at now_s, seconds of the monotonic clock.
void vlog_repeating(uint32_t now_s, const char *format, va_list args);
// "WHAT: the error's text" on standard error, as perror prints it; errno is kept.
void log_error(const char *what);

// The descriptor to watch for room while dropped lines wait to be reported, or -1.
int log_backlog_fd();
// Reports the lines dropped so far, if the output takes the line now.
void log_dropped();
