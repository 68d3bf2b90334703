#include "command.h"

#include "platform.h"
#include "signals.h"

#include <cerrno>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

volatile sig_atomic_t command_group;

namespace {

// Seconds and nanoseconds left until deadline, or false once it has passed.
bool time_left(const timespec &deadline, timespec &left) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
    }
    return left.tv_sec >= 0;
}

// Waits for the child pid to end, or for the deadline: true if it ended. SIGCHLD is
// blocked, so its arrival is waited for rather than polled.
bool ended_by(pid_t pid, const timespec &deadline, const sigset_t &child) {
    timespec left;
    for (;;) {
        siginfo_t info{};
        // WNOWAIT keeps it a zombie: its pid, the group a stop kills, cannot be reused
        // until command_group no longer names it.
        if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (!time_left(deadline, left))
            return false;
        // A stop's handler interrupts the wait (EINTR): look again.
        if (sigtimedwait(&child, nullptr, &left) < 0 && errno == EAGAIN)
            return false;
    }
}

} // namespace

command_result run_command(const char *command) {
    sigset_t child, stops, before;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    stops = child;
    for (int sig : stop_signals)
        sigaddset(&stops, sig);
    // No stop between fork and command_group naming the child.
    sigprocmask(SIG_BLOCK, &stops, &before);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // The controller's stop handler is not the command's; what was ignored stays so.
        struct sigaction was {};
        for (int sig : stop_signals)
            if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
                signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        execl(shell_path, "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return command_not_run;
    }
    // Also here, so the group exists whichever of the two runs first.
    setpgid(pid, pid);
    command_group = pid;
    sigset_t waiting = before;
    sigaddset(&waiting, SIGCHLD);
    sigprocmask(SIG_SETMASK, &waiting, nullptr);

    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += command_limit_seconds;
    bool ended = ended_by(pid, deadline, child);
    if (!ended)
        kill(-pid, SIGKILL);
    command_group = 0;
    waitpid(pid, nullptr, 0);
    // A SIGCHLD left pending is dropped once it is unblocked: its default is to be ignored.
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return ended ? command_done : command_timed_out;
}
