// The exporter's log: lines on standard error, written by a thread of their own from a
// bounded queue, so a stalled standard error (a hung journal or terminal) holds up no probe
// and no stop. Lines past the queue are counted and dropped; a line saying how many follows.
#pragma once

#include <cstdarg>

// Starts the writer; lines logged before are queued.
void log_start();
// One line, "linkstat-exporter: " and the formatted text.
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_vline(const char *format, va_list args);
// Waits a short while (log_drain_ms at most) for the queued lines to be written.
void log_drain();
