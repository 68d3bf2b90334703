// The daemon's output. Every line is written whole at once or dropped and counted, so a log
// reader that stops reading (a hung logger, a console held by flow control) never holds up
// the daemon or a connection process; the count is logged once the output takes lines again.
#pragma once

#include <cstdint>

// A kind of line that comes at most once per log_interval_s, with the count of its events
// left unlogged since the previous one. It lives where every process that logs it can write.
struct line_limit {
    uint32_t logged_at;
    uint32_t unlogged;
};

// Gives standard output and error open file descriptions of their own that never block (the
// inherited ones are the launcher's too and stay as they are). Lines dropped are counted in
// *dropped, which every process shares.
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
// "WHAT: the error's text" on standard error, as perror prints it; errno is kept.
void log_error(const char *what);

// The descriptor to watch for room while dropped lines wait to be reported, or -1.
int log_backlog_fd();
// Reports the lines dropped so far, if the output takes the line now.
void log_dropped();
