// linkstatd: answers "ask" on TCP port 10000 with the 92-byte link statistics record.

#include "clock.h"
#include "connections.h"
#include "log.h"
#include "platform.h"
#include "sta_info.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int sockfd = -1;
int clientfd = -1;
sockaddr_in client_addr;
socklen_t addrlen = sizeof client_addr;
// In a connection's process: its slot in the connection table.
int own_slot = -1;

struct socket_option {
    int level;
    int name;
    int value;
};

// Bound to at once after a restart, even while the old daemon's connections linger; and the
// small buffers that every accepted connection inherits.
constexpr socket_option listener_options[] = {
    {SOL_SOCKET, SO_REUSEADDR, 1},
    {SOL_SOCKET, SO_RCVBUF, receive_buffer_bytes},
    {SOL_SOCKET, SO_SNDBUF, send_buffer_bytes},
};

// Keepalive and the limit on unacknowledged data end a connection whose peer vanished
// without closing: recv or send then fails.
constexpr socket_option connection_options[] = {
    {SOL_SOCKET, SO_KEEPALIVE, 1},
    {IPPROTO_TCP, TCP_KEEPIDLE, keepalive_idle_s},
    {IPPROTO_TCP, TCP_KEEPINTVL, keepalive_interval_s},
    {IPPROTO_TCP, TCP_KEEPCNT, keepalive_probes},
    {IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(user_timeout_ms)},
};

// Sleeps the whole time even when a finished child's signal cuts the sleep short.
void pause_for(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void reap_children(int) {
    int saved = errno;
    for (pid_t pid; (pid = waitpid(-1, nullptr, WNOHANG)) > 0;)
        release_slot(pid);
    errno = saved;
}

// Reports a failed start-up call and ends with its errno.
[[noreturn]] void fail(const char *what) {
    log_error(what);
    exit(errno);
}

// Waits up to ms (-1: until input is queued) and says whether the connection still stands:
// the kernel's report that it failed or was reset ends it at once, bytes queued or not.
bool connection_stands(short events, int ms) {
    uint64_t began = now_ms();
    for (;;) {
        pollfd p{clientfd, events, 0};
        int left = ms < 0 ? -1 : static_cast<int>(ms_left(began, ms, now_ms()));
        int n = poll(&p, 1, left);
        if (n >= 0)
            return n == 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
        if (errno != EINTR)
            return false;
    }
}

[[noreturn]] void report() {
    unsigned char request[request_size];
    size_t unasked = 0;
    for (;;) {
        if (!connection_stands(POLLIN, -1))
            exit(0);
        memset(request, 0, sizeof request);
        ssize_t got = recv(clientfd, request, sizeof request, 0);
        if (got < 0 && errno == EINTR)
            continue;
        // The peer has gone or the connection failed: nothing more to serve.
        if (got <= 0)
            exit(0);
        if (strncmp(reinterpret_cast<char *>(request), stats_request, stats_request_size) == 0) {
            stamp_ask(own_slot);
            unasked = 0;
            wlan0_stats_record record{};
            record.length = record_size;
            note_table_read(get_wlan0_stats(&record) != 0);
            unsigned char wire[record_size];
            pack_record(record, wire);
            if (send(clientfd, wire, sizeof wire, MSG_NOSIGNAL) !=
                static_cast<ssize_t>(sizeof wire))
                exit(0);
        } else if ((unasked += static_cast<size_t>(got)) > max_unasked_bytes) {
            exit(0);
        }
        if (!connection_stands(0, reply_pause_ms))
            exit(0);
    }
}

template <size_t n> void set_options(int fd, const socket_option (&options)[n]) {
    for (const socket_option &o : options)
        if (setsockopt(fd, o.level, o.name, &o.value, sizeof o.value) != 0)
            log_error("setsockopt");
}

// A kernel that lacks an option still gets the connection served: the cap bounds what a
// connection that outlives its peer can hold.
void watch_connection() {
    set_options(clientfd, connection_options);
}

// Forks the process that serves clientfd in slot; called with SIGCHLD blocked, so the new
// process is in its slot before it can be reaped.
void start_connection_process(int slot, const sigset_t &before) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // It ends with the daemon. SIGKILL, because a launcher may have left SIGTERM ignored;
        // a daemon that ended before this line is seen as a new parent.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            exit(0);
        own_slot = slot;
        sigprocmask(SIG_SETMASK, &before, nullptr);
        close(sockfd);
        watch_connection();
        report();
    }
    if (pid > 0)
        bind_slot(slot, pid);
    else
        log_error("fork");
}

// After listen nothing needs root: the daemon goes on as an unprivileged user, and neither
// it nor a connection process can gain privilege again, whatever it were made to run. A drop
// that fails as root ends the daemon before it serves anyone.
void drop_privileges() {
    if (geteuid() == 0) {
        if (setgroups(0, nullptr) != 0)
            fail("setgroups");
        if (setgid(run_as_gid) != 0)
            fail("setgid");
        if (setuid(run_as_uid) != 0)
            fail("setuid");
    }
    // Kernels before 3.5 lack it; the daemon has no privilege to lose there either.
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// Waits for a connection to accept; meanwhile the count of log lines dropped is reported as
// soon as the output has room for it.
void wait_for_connection() {
    for (;;) {
        pollfd p[2] = {{sockfd, POLLIN, 0}, {log_backlog_fd(), POLLOUT, 0}};
        if (poll(p, 2, -1) <= 0)
            continue;
        if (p[1].revents != 0)
            log_dropped();
        if (p[0].revents != 0)
            return;
    }
}

} // namespace

int main() {
    if (!map_connections())
        fail("mmap");
    if (!fill_target_names())
        fail("malloc");

    // A peer that has gone must not kill a connection's process.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    action.sa_handler = reap_children;
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);

    // Non-blocking: a connection gone between poll and accept must not hold the loop.
    sockfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (sockfd < 0)
        fail("Socket");
    set_options(sockfd, listener_options);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(stats_port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sockfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("socket--bind");
    if (listen(sockfd, listen_backlog) != 0)
        fail("socket--listen");
    drop_privileges();
    log_line(1, "Auto Cable Link Test daemon start...");

    // A refused connection is closed at once, a served one waits for its second: one host
    // reconnecting as fast as it is refused cannot keep the others queued behind it.
    uint64_t last_serve = now_ms() - serve_interval_ms;
    for (;;) {
        wait_for_connection();
        addrlen = sizeof client_addr;
        clientfd = accept(sockfd, reinterpret_cast<sockaddr *>(&client_addr), &addrlen);
        if (clientfd < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            log_error("accept");
            pause_for(accept_pause_ms);
            continue;
        }
        // Slots are claimed and bound with no process reaped meanwhile.
        sigset_t chld, before;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &before);
        int slot = claim_slot(client_addr);
        if (slot >= 0) {
            pause_for(ms_left(last_serve, serve_interval_ms, now_ms()));
            start_connection_process(slot, before);
            last_serve = now_ms();
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        close(clientfd);
        if (slot < 0)
            pause_for(refusal_pause_ms);
    }
}
