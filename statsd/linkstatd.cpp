// linkstatd: answers "ask" on TCP port 10000 with the 92-byte link statistics record.

#include "linkstatd.h"
#include "sta_info.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int sockfd = -1;
int clientfd = -1;
sockaddr_in client_addr;
socklen_t addrlen = sizeof client_addr;
char stdout_buffer[256];
// Live connection processes: counted at each fork, uncounted as each one is reaped.
volatile sig_atomic_t connections = 0;

struct socket_option {
    int level;
    int name;
    int value;
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
void pause_for(long us) {
    timespec left{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void reap_children(int) {
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        --connections;
    errno = saved;
}

// Reports a failed start-up call and ends with its errno, kept before perror may change it.
[[noreturn]] void fail(const char *what) {
    int err = errno;
    perror(what);
    exit(err);
}

[[noreturn]] void report() {
    unsigned char request[request_size];
    for (;;) {
        memset(request, 0, sizeof request);
        ssize_t got = recv(clientfd, request, sizeof request, 0);
        if (got < 0 && errno == EINTR)
            continue;
        // The peer has gone or the connection failed: nothing more to serve.
        if (got <= 0)
            exit(0);
        if (strncmp(reinterpret_cast<char *>(request), stats_request, stats_request_size) == 0) {
            wlan0_stats_record record{};
            record.length = record_size;
            if (get_wlan0_stats(&record) != 0)
                fputs("get proc data failed\n", stdout);
            unsigned char wire[record_size];
            pack_record(record, wire);
            if (send(clientfd, wire, sizeof wire, MSG_NOSIGNAL) !=
                static_cast<ssize_t>(sizeof wire))
                exit(0);
        }
        pause_for(reply_pause_us);
    }
}

// A kernel that lacks an option still gets the connection served: the cap bounds what a
// connection that outlives its peer can hold.
void watch_connection() {
    for (const socket_option &o : connection_options)
        if (setsockopt(clientfd, o.level, o.name, &o.value, sizeof o.value) != 0)
            perror("setsockopt");
}

// Forks the process that serves clientfd. SIGCHLD waits until the new process is counted,
// so it cannot be uncounted first.
void start_connection_process() {
    sigset_t chld, before;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &before);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // It ends with the daemon. SIGKILL, because a launcher may have left SIGTERM ignored;
        // a daemon that ended before this line is seen as a new parent.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            exit(0);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        close(sockfd);
        watch_connection();
        report();
    }
    if (pid > 0)
        ++connections;
    else
        perror("fork");
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

} // namespace

int main() {
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
    if (!fill_target_names())
        fail("malloc");

    // A peer that has gone must not kill a connection's process.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction chld {};
    chld.sa_handler = reap_children;
    chld.sa_flags = SA_NOCLDSTOP;
    sigemptyset(&chld.sa_mask);
    sigaction(SIGCHLD, &chld, nullptr);

    sockfd = socket(AF_INET, SOCK_STREAM, 0);
    if (sockfd < 0)
        fail("Socket");
    // A restarted daemon binds at once, even while the old one's connections linger.
    int on = 1;
    if (setsockopt(sockfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        perror("setsockopt");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(stats_port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sockfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("socket--bind");
    if (listen(sockfd, listen_backlog) != 0)
        fail("socket--listen");
    fputs("Auto Cable Link Test daemon start...\n", stdout);

    for (;;) {
        addrlen = sizeof client_addr;
        clientfd = accept(sockfd, reinterpret_cast<sockaddr *>(&client_addr), &addrlen);
        if (clientfd < 0) {
            if (errno == EINTR)
                continue;
            perror("accept");
            pause_for(accept_pause_us);
            continue;
        }
        const char *peer = inet_ntoa(client_addr.sin_addr);
        int port = ntohs(client_addr.sin_port);
        int served = connections;
        if (served >= max_connections) {
            printf("%s:%d refused: %d connections being served\n", peer, port, served);
        } else {
            printf("%s:%d connected\n", peer, port);
            start_connection_process();
        }
        close(clientfd);
        pause_for(accept_pause_us);
    }
}
