// leverwatch's lines, on standard output: normally a pipe to the system log, whose ring
// holds a few KiB for the whole device and whose reader may hang.
#pragma once

// Prints one line, formatted as printf would. The same line printed less than
// log_interval_seconds ago is only counted, and its next printing says how many went
// unlogged, so that a fault that repeats every poll cannot flood the log. A line the output
// cannot take at once (a log reader that stopped reading) is dropped and counted: nothing
// the controller does waits for its log.
// Makes the output non-blocking: a log reader that has hung cannot hold the controller (nor,
// as they share the output, the commands it runs or its supervisor) in a write.
void log_open();
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Logs how many lines were dropped, once the output takes lines again.
void log_dropped();
