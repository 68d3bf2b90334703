#include "stats_client.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "device.h"

StatsClient::~StatsClient() {
    close_now();
}

void StatsClient::close_now() {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool StatsClient::connect_once() {
    close_now();
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (fd >= 0 && receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return true;
    close_now();
    return false;
}

bool StatsClient::connect_within(int timeout_ms) {
    return wait_for([&] { return connect_once(); }, timeout_ms);
}

bool StatsClient::send_text(const std::string &bytes) const {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

static long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

std::string StatsClient::receive(size_t want, int timeout_ms) const {
    std::string got;
    long end = now_ms() + timeout_ms;
    while (got.size() < want) {
        long left = end - now_ms();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0)
            break;
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

bool StatsClient::closed_by_peer(int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return poll(&p, 1, timeout_ms) == 1 && recv(fd, &byte, 1, 0) <= 0;
}

int StatsClient::local_port() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

std::string words_be(const std::vector<unsigned> &words) {
    std::string bytes;
    for (unsigned w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(char((w >> shift) & 0xff));
    return bytes;
}

unsigned word_at(const std::string &bytes, size_t i) {
    unsigned w = 0;
    for (size_t k = 0; k < 4; ++k)
        w = (w << 8) | static_cast<unsigned char>(bytes.at(4 * i + k));
    return w;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> kids;
    DIR *d = opendir("/proc");
    if (!d)
        return kids;
    while (dirent *e = readdir(d)) {
        pid_t p = atoi(e->d_name);
        if (p <= 0)
            continue;
        std::string stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
        // The command name may hold spaces; the fields after its ')' are fixed.
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        char state;
        int ppid;
        if (sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
            kids.push_back(p);
    }
    closedir(d);
    return kids;
}

int socket_fds_of(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int sockets = 0;
    while (dirent *e = readdir(d)) {
        char target[128] = {};
        if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
            strncmp(target, "socket:", 7) == 0)
            ++sockets;
    }
    closedir(d);
    return sockets;
}

int lowest_free_fd(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    std::vector<bool> used;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        size_t n = size_t(atoi(e->d_name));
        if (n >= used.size())
            used.resize(n + 1);
        used[n] = true;
    }
    closedir(d);
    int fd = 0;
    while (size_t(fd) < used.size() && used[size_t(fd)])
        ++fd;
    return fd;
}

// The fields of pid's stat after the command name, the state first.
static std::vector<std::string> stat_fields(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return fields;
    ++at;
    while ((at = stat.find_first_not_of(" \n", at)) != std::string::npos) {
        size_t end = stat.find_first_of(" \n", at);
        fields.push_back(stat.substr(at, end - at));
        at = end;
    }
    return fields;
}

bool zombie_status(pid_t pid, int &wait_status) {
    // The state is field 3, the exit code field 52.
    std::vector<std::string> fields = stat_fields(pid);
    if (fields.size() < 50 || fields[0] != "Z")
        return false;
    wait_status = atoi(fields[49].c_str());
    return true;
}

long started_ms(pid_t pid) {
    std::vector<std::string> fields = stat_fields(pid); // the start time is field 22
    return fields.size() < 20 ? -1 : atol(fields[19].c_str()) * 1000 / sysconf(_SC_CLK_TCK);
}

bool as_user(uid_t uid, gid_t gid, const std::function<bool()> &what) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 && what() ? 0 : 1);
    int status = -1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && status == 0;
}
