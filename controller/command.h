// Running the platform's commands through the shell, each with a time limit.
#pragma once

#include <csignal>

enum command_result { command_done, command_not_run, command_timed_out };

// The process group of the command running, 0 when none is: a stop ends it with the
// controller (see signals.h).
extern volatile sig_atomic_t command_group;

// Runs COMMAND as "sh -c COMMAND" in a process group of its own, which the TERM that
// stops the controller's group does not reach, and waits for it to end. One still running
// after command_limit_seconds is killed, its whole group with it. Whatever the command's
// exit status, command_done once it has ended by itself.
command_result run_command(const char *command);
