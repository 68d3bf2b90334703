#include "command.h"

#include "clock.h"
#include "platform.h"
#include "signals.h"

#include <cerrno>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

volatile sig_atomic_t command_group;

namespace {

// Whether the child pid has ended, left unreaped: while it is a zombie its pid, the
// group a stop kills, cannot be given to another process.
bool has_ended(pid_t pid, int flags) {
    siginfo_t info{};
    return waitid(P_PID, pid, &info, WEXITED | WNOWAIT | flags) == 0 && info.si_pid == pid;
}

// Waits for the child pid to end, for at most command_limit_seconds: true if it did.
// SIGCHLD is blocked, so its arrival is waited for rather than polled.
bool ends_in_time(pid_t pid, const sigset_t &child) {
    const uint32_t began = now_s();
    while (!has_ended(pid, WNOHANG)) {
        uint32_t waited = now_s() - began;
        timespec left{static_cast<time_t>(command_limit_seconds - waited), 0};
        // A stop's handler interrupts the wait (EINTR): look again.
        if (waited >= command_limit_seconds ||
            (sigtimedwait(&child, nullptr, &left) < 0 && errno == EAGAIN))
            return false;
    }
    return true;
}

} // namespace

command_result run_command(const char *command, int *status) {
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
        // The controller's stop handler is not the command's.
        set_stop_actions(SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        execl(shell_path, "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    bool ended = false;
    int code = 0;
    if (pid > 0) {
        // Also here, so the group exists whichever of the two runs first.
        setpgid(pid, pid);
        command_group = pid;
        sigset_t waiting = before;
        sigaddset(&waiting, SIGCHLD);
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        ended = ends_in_time(pid, child);
        if (!ended)
            kill(-pid, SIGKILL);
        command_group = 0;
        siginfo_t info{};
        waitid(P_PID, pid, &info, WEXITED);
        code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    }
    // A SIGCHLD left pending is dropped once it is unblocked: its default is to be ignored.
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0)
        return command_not_run;
    if (!ended)
        return command_timed_out;
    if (status)
        *status = code;
    return code == 0 ? command_done : command_failed;
}
