// Figures for a running linkstatd: the latency from "ask" to the whole 92-byte reply over
// loopback, the private memory of the process serving that connection, and that of the
// whole service at its worst: the daemon and as many connection processes as it serves, and
// how much a peer that sends without pause gets the kernel to take for its connection.
// Usage: linkstatd_report DAEMON_PID
#include "linkstatd.h"
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
    return 0;
}
