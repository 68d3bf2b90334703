#include "signals.h"

#include "command.h"
#include "platform.h"

#include <cstdio>
#include <unistd.h>

volatile sig_atomic_t output_in_use;

namespace {

volatile sig_atomic_t holding;
volatile sig_atomic_t held;

// Ends the process by sig, as its default would, so that whoever waits for it sees how it
// ended. Inside the handler the signal stays blocked until the handler returns.
void end_by(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

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

void install_signal_handlers() {
    // A launcher may pass SIGCHLD ignored: the end of a command could then not be waited
    // for, and every read would count as failed.
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, ignore_signal);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (int sig : stop_signals)
        sigaddset(&sa.sa_mask, sig);
    // One the launcher passed ignored stays ignored, as it did before: a shell starts its
    // background commands with INT ignored.
    struct sigaction was {};
    for (int sig : stop_signals)
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
}

void hold_stops(bool hold) {
    holding = hold;
}

void stop_if_held() {
    if (int sig = held) {
        fputs("mode change written; the restart is left to whoever stopped leverwatch\n", stdout);
        end_by(sig);
    }
}
