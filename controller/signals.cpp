#include "signals.h"

#include "command.h"
#include "platform.h"

#include <unistd.h>

volatile sig_atomic_t output_in_use;

namespace {

volatile sig_atomic_t holding;
volatile sig_atomic_t held;

void on_stop(int sig) {
    if (holding) {
        held = sig;
        return;
    }
    if (command_group > 0)
        kill(-command_group, SIGKILL);
    // It may hold a pre-shared key.
    if (output_in_use)
        unlink(flash_output_path);
    end_by(sig);
}

// A write to a standard output whose reader has gone then fails instead of ending the
// process. A handler rather than SIG_IGN, so the commands it starts get the default back.
void ignore_signal(int) {}

} // namespace

// Inside the handler the signal stays blocked until the handler returns; elsewhere a
// signal that stop_signals block is let through.
void end_by(int sig) {
    set_action(sig, SIG_DFL);
    raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + sig);
}

void set_action(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    for (int stop : stop_signals)
        sigaddset(&sa.sa_mask, stop);
    sigaction(sig, &sa, nullptr);
}

void install_signal_handlers() {
    // A launcher may pass SIGCHLD ignored: the end of a command could then not be waited
    // for, and every read would count as failed.
    set_action(SIGCHLD, SIG_DFL);
    set_action(SIGPIPE, ignore_signal);
    set_stop_actions(on_stop);
}

void set_stop_actions(void (*handler)(int)) {
    struct sigaction was {};
    for (int sig : stop_signals)
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            set_action(sig, handler);
}

void hold_stops(bool hold) {
    holding = hold;
}

int held_stop() {
    return held;
}
