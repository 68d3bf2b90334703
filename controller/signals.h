// How leverwatch takes signals. TERM, INT and HUP stop it at once, with the command in
// flight and the flash output file of a read in flight, except while a mode change is
// being written: it is finished first, so that the restart that follows a stop finds every
// write taken rather than half-moved profiles for the next controller to finish.
#pragma once

#include <csignal>

// The signals that stop the controller.
constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// Set while the flash output file holds a value being read: a stop removes it.
extern volatile sig_atomic_t output_in_use;

// Sets sig's handler (or SIG_DFL, SIG_IGN), run with every stop signal blocked.
void set_action(int sig, void (*handler)(int));
// Sets handler for each stop signal but those the launcher passed ignored, which stay
// ignored as they did before: a shell starts its background commands with INT ignored.
void set_stop_actions(void (*handler)(int));
// Installs the handlers; resets SIGCHLD and SIGPIPE, whatever the launcher passed on.
void install_signal_handlers();
// From the start of a mode change until it is written, stops are only noted.
void hold_stops(bool hold);
// The stop noted while they were held, 0 if none was.
int held_stop();
// Ends the process by sig, as its default would, so that whoever waits for it sees how it
// ended.
[[noreturn]] void end_by(int sig);
