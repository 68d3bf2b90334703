// Figures for a running linkstatd: the latency from "ask" to the whole 92-byte reply over
// loopback, the private memory of the process serving that connection, and that of the
// whole service at its worst: the daemon and as many connection processes as it serves, and
// how much a peer that sends without pause gets the kernel to take for its connection. Then
// its fairness: how far apart connections are served, and beside a host that reconnects as
// fast as it is refused, the refusals a second, the CPU they cost the daemon and how many
// one-shot asks from another address are answered within linkstat's 3 s.
// Usage: linkstatd_report DAEMON_PID
#include "platform.h"
#include "reconnecting_host.h"
#include "stats_record.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int samples = 15;
// Longer than the daemon's 500 ms pause after each reply, so every ask is received at once.
constexpr auto ask_interval = std::chrono::milliseconds(550);
// As many connection processes as the daemon keeps at once.
constexpr size_t most_served = max_connections;

// Connection n comes from 127.0.0.1 for the first few, then from 127.0.0.2 and on: the
// daemon serves only so many from one address.
int connect_daemon(size_t n) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + uint32_t(n / max_per_peer));
    for (int tries = 0; tries < 200; ++tries) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(stats_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
            connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// Microseconds from sending "ask" to holding all 92 bytes, or -1.
double ask_us(int fd) {
    auto start = std::chrono::steady_clock::now();
    if (send(fd, stats_request, stats_request_size, MSG_NOSIGNAL) != stats_request_size)
        return -1;
    unsigned char reply[record_size];
    size_t got = 0;
    while (got < sizeof reply) {
        pollfd p{fd, POLLIN, 0};
        // Long enough for a connection still waiting to be accepted.
        if (poll(&p, 1, 5000) <= 0)
            return -1;
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0)
            return -1;
        got += size_t(n);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> found;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string path = std::string("/proc/") + e->d_name + "/stat";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            continue;
        char line[512] = {};
        size_t n = fread(line, 1, sizeof line - 1, f);
        fclose(f);
        line[n] = '\0';
        const char *after = strrchr(line, ')');
        char state;
        int ppid;
        if (after && sscanf(after + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            found.push_back(atoi(e->d_name));
    }
    if (d)
        closedir(d);
    return found;
}

// Private_Clean + Private_Dirty in KiB, or -1.
long private_kib(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long total = 0, kib;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "Private_Clean: %ld", &kib) == 1 ||
            sscanf(line, "Private_Dirty: %ld", &kib) == 1)
            total += kib;
    fclose(f);
    return total;
}

// The CPU time pid has used, in seconds, or -1.
double cpu_seconds(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    char line[512] = {};
    size_t n = f ? fread(line, 1, sizeof line - 1, f) : 0;
    if (f)
        fclose(f);
    line[n] = '\0';
    const char *after = strrchr(line, ')');
    unsigned long user, system;
    // After the command name: state, then 10 fields, then utime and stime.
    if (!after || sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                         &system) != 2)
        return -1;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// One ask on a new connection from 127.0.0.1, as linkstat makes it: whether the whole
// reply came within its 3 s.
bool one_shot() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    auto left_ms = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return int(std::max<long long>(left.count(), 0));
    };
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(stats_port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool started =
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 || errno == EINPROGRESS;
    pollfd p{fd, POLLOUT, 0};
    bool ok = started && poll(&p, 1, left_ms()) == 1 &&
              send(fd, stats_request, stats_request_size, MSG_NOSIGNAL) == stats_request_size;
    size_t got = 0;
    unsigned char reply[record_size];
    while (ok && got < sizeof reply) {
        p = {fd, POLLIN, 0};
        ssize_t n = poll(&p, 1, left_ms()) == 1 ? recv(fd, reply + got, sizeof reply - got, 0) : -1;
        ok = n > 0;
        got += size_t(ok ? n : 0);
    }
    close(fd);
    return ok;
}

// Seconds between the replies to connections from different addresses that all ask at once.
void print_pacing() {
    std::vector<int> fds;
    for (size_t n = 0; n < 4; ++n)
        fds.push_back(connect_daemon(max_per_peer * (n + 10)));
    std::vector<double> at;
    auto start = std::chrono::steady_clock::now();
    for (int fd : fds)
        if (fd >= 0 && ask_us(fd) >= 0)
            at.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    printf("served pacing: 4 connections asking at once answered at");
    for (double t : at)
        printf(" %.2f", t);
    printf(" s (target: one a second)\n");
    for (int fd : fds)
        close(fd);
}

// A host at 127.0.0.2 that holds its 4 and reconnects as fast as it is refused, at each rate
// (0: as fast as it can): refusals and the daemon's CPU over a window alone, then ten
// one-shot asks from 127.0.0.1.
int print_fairness(pid_t daemon) {
    ReconnectingHost host("127.0.0.2", 8, 1);
    for (int tries = 0; host.held() < max_per_peer && tries < 200; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (host.held() < max_per_peer) {
        fprintf(stderr, "linkstatd_report: the reconnecting host was not served\n");
        return 1;
    }
    constexpr auto window = std::chrono::seconds(5);
    for (int rate : {1, 20, 200, 0}) {
        host.set_rate(rate ? rate : 1000000);
        long refused = host.closed();
        double cpu = cpu_seconds(daemon);
        std::this_thread::sleep_for(window);
        double per_second = double(host.closed() - refused) / double(window.count());
        double share = (cpu_seconds(daemon) - cpu) / double(window.count());
        int answered = 0;
        for (int i = 0; i < 10; ++i)
            answered += one_shot();
        char rate_text[32];
        snprintf(rate_text, sizeof rate_text, rate ? "%d a second" : "as fast as it can", rate);
        printf("a host holding its %d and reconnecting %s: %.0f refusals a second costing the "
               "daemon %.1f%% of a CPU; %d of 10 one-shot asks from another address answered "
               "within 3 s (target: refusals at most %u a second, 9 of 10 answered)\n",
               max_per_peer, rate_text, per_second, 100 * share, answered, 1000 / refusal_pause_ms);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: linkstatd_report DAEMON_PID\n");
        return 2;
    }
    pid_t daemon = atoi(argv[1]);
    int fd = connect_daemon(0);
    if (fd < 0) {
        fprintf(stderr, "linkstatd_report: cannot connect to the daemon\n");
        return 1;
    }
    std::vector<double> us;
    for (int i = 0; i < samples; ++i) {
        double t = ask_us(fd);
        if (t < 0) {
            fprintf(stderr, "linkstatd_report: no whole reply to ask %d\n", i + 1);
            return 1;
        }
        us.push_back(t);
        std::this_thread::sleep_for(ask_interval);
    }
    std::sort(us.begin(), us.end());
    printf("ask -> 92 bytes over loopback, one ask per %lld ms on one connection: median %.3f ms, "
           "max %.3f ms over %d asks (target: median at most 2 ms)\n",
           static_cast<long long>(ask_interval.count()), us[us.size() / 2] / 1000, us.back() / 1000,
           samples);
    std::vector<pid_t> children = children_of(daemon);
    long kib = children.size() == 1 ? private_kib(children[0]) : -1;
    if (kib < 0) {
        fprintf(stderr, "linkstatd_report: cannot read the connection process's memory\n");
        return 1;
    }
    printf("private memory of the process serving one connection: %ld KiB (target at most "
           "128 KiB)\n",
           kib);

    // Every connection process has served an ask, so each holds what serving takes.
    std::vector<int> fds = {fd};
    while (fds.size() < most_served) {
        fds.push_back(connect_daemon(fds.size()));
        if (fds.back() < 0 || ask_us(fds.back()) < 0) {
            fprintf(stderr, "linkstatd_report: connection %zu was not served\n", fds.size());
            return 1;
        }
    }
    children = children_of(daemon);
    long parent = private_kib(daemon), total = parent, least = LONG_MAX, most = -1;
    for (pid_t child : children) {
        kib = private_kib(child);
        least = std::min(least, kib);
        most = std::max(most, kib);
        total += kib;
    }
    // A process whose memory cannot be read gives -1, the least of all.
    if (children.size() != most_served || parent < 0 || least < 0) {
        fprintf(stderr, "linkstatd_report: cannot read the memory of %zu connection processes\n",
                most_served);
        return 1;
    }
    printf("worst-case private memory of the service, the daemon and %zu connection processes "
           "with %zu live connections: %ld KiB (the daemon %ld KiB, each connection process %ld "
           "to %ld KiB)\n",
           most_served, most_served, total, parent, least, most);
    for (int f : fds)
        close(f);

    // The streaming peer's own send queue holds what the daemon's side has not taken.
    fd = connect_daemon(most_served);
    if (fd < 0) {
        fprintf(stderr, "linkstatd_report: cannot connect a streaming peer\n");
        return 1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    static const char junk[4096] = {};
    size_t sent = 0;
    pollfd p{fd, POLLOUT, 0};
    while (sent < (size_t{8} << 20) && poll(&p, 1, 500) == 1) {
        ssize_t n = send(fd, junk, sizeof junk, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN)
            break;
        sent += size_t(n > 0 ? n : 0);
    }
    int queued = -1;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) {
        fprintf(stderr, "linkstatd_report: cannot measure a streaming peer\n");
        return 1;
    }
    printf("a peer that sends without pause gets %zu bytes taken for its connection (target "
           "well under 64 KiB)\n",
           sent - size_t(queued));
    close(fd);

    print_pacing();
    return print_fairness(daemon);
}
