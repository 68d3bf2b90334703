// Running the platform's commands through the shell, each with a time limit.
#pragma once

#include <csignal>

enum command_result { command_done, command_failed, command_not_run, command_timed_out };

// The process group of the command running, 0 when none is: a stop ends it with the
// controller (see signals.h).
extern volatile sig_atomic_t command_group;

// Runs COMMAND as "sh -c COMMAND" in a process group of its own, which the TERM that
// stops the controller's group does not reach, and waits for it to end. One still running
// after command_limit_seconds is killed, its whole group with it. command_done once it has
// ended by itself with status 0; command_failed, with the status in *status as the shell
// gives it (128 and the signal for one ended by a signal), once it has ended otherwise.
command_result run_command(const char *command, int *status = nullptr);
