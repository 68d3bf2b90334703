// Figures for linkstat-exporter at fleet scale, side by side with the blackbox exporter's TCP
// module (sending "ask" and waiting for the reply) on the same stand-in routers in the same
// run. 10,000 routers on loopback addresses, each scraped every 15 s with a 10 s scrape
// timeout, in two loads: scrapes spread evenly with a tenth of the routers dead (nothing
// listens) and a tenth silent (they take the connection and never answer); and 1,000
// scrapes at once every 1.5 s with a third silent. For each exporter and load, one round
// measured (after a round that warms it up): whether every live router gave up 1 and every
// other up 0 in time, the live answers' times, CPU seconds per 1,000 probes, peak resident
// memory, and the load average.
// Usage: exporter_report EXPORTER_BINARY BLACKBOX_BINARY WORK_DIR   (in a network namespace
// of its own, sim/netns, each process with all the descriptors its hard limit allows)
#include "stats_record.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int routers = 10000;
constexpr int interval_ms = 15000; // each router scraped every 15 s
constexpr double scrape_timeout_s = 10;
constexpr int burst = 1000; // scrapes at once in the aligned load
constexpr int answer_wait_ms = 12000;
constexpr int exporter_port = 9742, blackbox_port = 9115;

// The two loads: which routers are silent; a tenth are always dead. The load in force is
// shared with the fleet's process.
enum load { spread, aligned };
std::atomic<int> &current_load = *static_cast<std::atomic<int> *>(mmap(
    nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
bool dead(int i) {
    return i % 10 == 0;
}
bool silent(int i) {
    return !dead(i) && (current_load == spread ? i % 10 == 5 : i % 3 == 1);
}

// Router i's loopback address, 127.1.X.Y with Y from 1 to 250.
std::string address_of(int i) {
    return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

void add(int epoll, int fd, uint32_t events, uint64_t data) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = data;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);
}

// The fleet: a listening socket for every router not dead and every connection accepted, in
// one epoll loop of a process of its own (with descriptors of its own); a live router answers
// each "ask" with a record of its own.
class Fleet {
  public:
    Fleet() {
        pid_ = fork();
        if (pid_ != 0)
            return;
        epoll_ = epoll_create1(0);
        for (int i = 0; i < routers; ++i) {
            if (dead(i))
                continue;
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(stats_port);
            inet_pton(AF_INET, address_of(i).c_str(), &a.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 256) != 0)
                perror(("fleet " + address_of(i)).c_str());
            add(epoll_, fd, EPOLLIN, (uint64_t(fd) << 32) | (uint64_t(i) << 1) | 1);
        }
        run();
        _exit(0);
    }
    ~Fleet() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

  private:
    void run() {
        epoll_event events[256];
        for (;;) {
            int n = epoll_wait(epoll_, events, 256, 100);
            for (int k = 0; k < n; ++k) {
                int fd = int(events[k].data.u64 >> 32);
                int router = int((events[k].data.u64 & 0xffffffff) >> 1);
                if (events[k].data.u64 & 1) {
                    for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;)
                        add(epoll_, c, EPOLLIN, (uint64_t(c) << 32) | (uint64_t(router) << 1));
                    continue;
                }
                char request[16];
                ssize_t got = recv(fd, request, sizeof request, 0);
                if (got <= 0) {
                    close(fd);
                    continue;
                }
                if (silent(router) || strncmp(request, stats_request, 3) != 0)
                    continue;
                wlan0_stats_record r{};
                r.length = record_size;
                const uint32_t figures[] = {uint32_t(router % 90 + 5), 40, 35, 0, 0, 145, 108};
                for (int id = rssi; id < stat_count; ++id)
                    r.entry[id] = {uint32_t(id), figures[id - rssi]};
                unsigned char wire[record_size];
                pack_record(r, wire);
                send(fd, wire, sizeof wire, MSG_NOSIGNAL);
            }
        }
    }
    pid_t pid_;
    int epoll_ = -1;
};

// A process's CPU seconds so far and its resident memory in bytes.
bool process_figures(pid_t pid, double &cpu_s, double &rss_bytes) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    unsigned long utime, stime;
    long rss;
    const char *after = strrchr(text, ')');
    if (!after || sscanf(after + 2,
                         "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d "
                         "%*d %*d %*u %*u %ld",
                         &utime, &stime, &rss) != 3)
        return false;
    cpu_s = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    rss_bytes = double(rss) * double(sysconf(_SC_PAGESIZE));
    return true;
}

double load_average() {
    double one = -1;
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &one) != 1)
            one = -1;
        fclose(f);
    }
    return one;
}

std::string machine() {
    FILE *f = fopen("/proc/cpuinfo", "r");
    std::string model = "unknown CPU";
    if (!f)
        return model;
    char line[512];
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "model name", 10) == 0) {
            model = strchr(line, ':') + 2;
            model.erase(model.find_last_not_of('\n') + 1);
            break;
        }
    fclose(f);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}

// One exporter under test: how it is asked and what a good answer holds.
struct tool {
    const char *name;
    pid_t pid;
    int port;
    std::string (*path)(int router);
    const char *up;
};

// What one round of scrapes gave.
struct round_figures {
    int live = 0, live_up = 0, others = 0, others_down = 0, unanswered = 0;
    double refused = 0, timeout = 0; // the reasons the exporter counted, where it counts them
    std::vector<double> live_ms;
    double cpu_s = 0, rss_max = 0, load = 0;
};

// One scrape in flight: its router and socket, when it began, and what came back.
struct scrape {
    int router;
    clock_type::time_point began;
    std::string got;
};

// The body of GET path on port, or empty.
std::string http_get(int port, const std::string &path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), 0) == ssize_t(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            got.append(buffer, size_t(n));
    }
    close(fd);
    size_t body = got.find("\r\n\r\n");
    return body == std::string::npos ? "" : got.substr(body + 4);
}

// The exporter's count of failed probes for reason.
double failures(const std::string &metrics, const char *reason) {
    std::string name =
        std::string("\nlinkstat_exporter_probe_failures_total{reason=\"") + reason + "\"} ";
    size_t at = metrics.find(name);
    return at == std::string::npos ? -1 : atof(metrics.c_str() + at + name.size());
}

// Scrapes every router once, as the load says, through t; each answer waited for up to
// answer_wait_ms.
round_figures run_round(const tool &t, load l) {
    current_load = l;
    int epoll = epoll_create1(0);
    std::map<int, scrape> open;
    round_figures f;
    double cpu_from = 0, rss = 0;
    std::string counted = t.port == exporter_port ? http_get(t.port, "/metrics") : "";
    process_figures(t.pid, cpu_from, rss);
    auto start = clock_type::now();
    auto due = [&](int i) {
        int ms =
            l == spread ? i * interval_ms / routers : (i / burst) * (interval_ms * burst / routers);
        return start + milliseconds(ms);
    };
    auto finish = [&](int fd, bool answered) {
        scrape &s = open[fd];
        bool up = answered && s.got.find(std::string("\n") + t.up + " 1\n") != std::string::npos;
        double ms = std::chrono::duration<double, std::milli>(clock_type::now() - s.began).count();
        bool live = !dead(s.router) && !silent(s.router);
        f.unanswered += !answered;
        if (live) {
            ++f.live;
            f.live_up += up;
            f.live_ms.push_back(ms);
        } else {
            ++f.others;
            f.others_down += answered && !up && ms < scrape_timeout_s * 1000;
        }
        epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        open.erase(fd);
    };
    auto next_sample = start;
    int next = 0;
    while (next < routers || !open.empty()) {
        auto now = clock_type::now();
        for (; next < routers && due(next) <= now; ++next) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(t.port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            open[fd] = {next, clock_type::now(), ""};
            add(epoll, fd, EPOLLOUT, uint64_t(fd));
        }
        for (auto it = open.begin(); it != open.end();) {
            int fd = it->first;
            ++it;
            if (now - open[fd].began > milliseconds(answer_wait_ms))
                finish(fd, false);
        }
        if (now >= next_sample) {
            if (process_figures(t.pid, f.cpu_s, rss))
                f.rss_max = std::max(f.rss_max, rss);
            next_sample = now + milliseconds(500);
        }
        int wait =
            next < routers ? int(std::chrono::ceil<milliseconds>(due(next) - now).count()) : 100;
        epoll_event events[256];
        int n = epoll_wait(epoll, events, 256, std::clamp(wait, 0, 100));
        for (int k = 0; k < n; ++k) {
            int fd = int(events[k].data.u64);
            scrape &s = open[fd];
            if (events[k].events & EPOLLOUT) {
                std::string request = "GET " + t.path(s.router) +
                                      " HTTP/1.1\r\nHost: exporter\r\nConnection: close\r\n"
                                      "X-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
                epoll_event e{};
                e.events = EPOLLIN;
                e.data.u64 = uint64_t(fd);
                epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &e);
                if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                    ssize_t(request.size()))
                    finish(fd, false);
                continue;
            }
            char buffer[4096];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
                s.got.append(buffer, size_t(got));
            if (got == 0 || (got < 0 && errno != EAGAIN))
                finish(fd, got == 0 && s.got.rfind("HTTP/1.1 200", 0) == 0);
        }
    }
    close(epoll);
    double cpu_to = 0;
    process_figures(t.pid, cpu_to, rss);
    f.cpu_s = cpu_to - cpu_from;
    f.load = load_average();
    if (!counted.empty()) {
        std::string now = http_get(t.port, "/metrics");
        f.refused = failures(now, "refused") - failures(counted, "refused");
        f.timeout = failures(now, "timeout") - failures(counted, "timeout");
    }
    std::sort(f.live_ms.begin(), f.live_ms.end());
    return f;
}

double quantile(const round_figures &f, double q) {
    return f.live_ms.empty() ? -1 : f.live_ms[size_t(q * double(f.live_ms.size() - 1))];
}

pid_t start(const std::vector<std::string> &argv, const std::string &log) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits until something answers HTTP on port.
bool answers(int port) {
    for (int i = 0; i < 200; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        if (up)
            return true;
        usleep(50 * 1000);
    }
    return false;
}

std::string probe_path(int router) {
    return "/probe?target=" + address_of(router);
}
std::string blackbox_path(int router) {
    return "/probe?module=linkstat_ask&target=" + address_of(router) + ":10000";
}

void print_pair(const char *what, const round_figures &a, const round_figures &b) {
    printf("  %-7s %-22s up %d/%d live, down in time %d/%d others (%.0f refused, %.0f timed "
           "out), %d unanswered\n",
           what, "linkstat-exporter:", a.live_up, a.live, a.others_down, a.others, a.refused,
           a.timeout, a.unanswered);
    printf("  %-7s %-22s up %d/%d live, down in time %d/%d others, %d unanswered\n", "",
           "blackbox (tcp, ask):", b.live_up, b.live, b.others_down, b.others, b.unanswered);
    printf("          live answer ms (median, p99, max): %.2f, %.2f, %.1f against %.2f, %.2f, "
           "%.1f\n",
           quantile(a, 0.5), quantile(a, 0.99), a.live_ms.empty() ? -1 : a.live_ms.back(),
           quantile(b, 0.5), quantile(b, 0.99), b.live_ms.empty() ? -1 : b.live_ms.back());
    double per_a = a.cpu_s * 1000 / routers, per_b = b.cpu_s * 1000 / routers;
    printf("          CPU s per 1,000 probes: %.3f against %.3f (ratio %.2f)\n", per_a, per_b,
           per_b > 0 ? per_a / per_b : 0);
    printf("          peak resident memory: %.1f MiB against %.1f MiB (ratio %.2f)\n",
           a.rss_max / (1 << 20), b.rss_max / (1 << 20), b.rss_max > 0 ? a.rss_max / b.rss_max : 0);
    printf("          load average at the end of each round: %.2f and %.2f\n", a.load, b.load);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: exporter_report EXPORTER_BINARY BLACKBOX_BINARY WORK_DIR\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string work = argv[3];
    FILE *config = fopen((work + "/blackbox.yml").c_str(), "w");
    if (!config)
        return 1;
    // The reply's tenth word ends in a newline byte: the line the module waits for is there.
    fputs("modules:\n  linkstat_ask:\n    prober: tcp\n    timeout: 10s\n    tcp:\n"
          "      query_response:\n        - send: \"ask\"\n        - expect: \"^\"\n",
          config);
    fclose(config);
    double load_before = load_average();
    Fleet fleet;
    tool ours{"linkstat-exporter",
              start({argv[1], "--listen", "127.0.0.1:" + std::to_string(exporter_port), "--allow",
                     "127.1.0.0/16"},
                    work + "/exporter.log"),
              exporter_port, probe_path, "linkstat_up"};
    tool blackbox{"blackbox",
                  start({argv[2], "--config.file=" + work + "/blackbox.yml",
                         "--web.listen-address=127.0.0.1:" + std::to_string(blackbox_port)},
                        work + "/blackbox.log"),
                  blackbox_port, blackbox_path, "probe_success"};
    if (!answers(exporter_port) || !answers(blackbox_port)) {
        fprintf(stderr, "exporter_report: an exporter did not start (see %s)\n", work.c_str());
        return 1;
    }
    printf("%d routers, each scraped every %d s with a %.0f s scrape timeout, on %s; load "
           "average %.2f before\n",
           routers, interval_ms / 1000, scrape_timeout_s, machine().c_str(), load_before);
    run_round(ours, spread);
    round_figures a = run_round(ours, spread);
    run_round(blackbox, spread);
    round_figures b = run_round(blackbox, spread);
    printf("spread: scrapes spread evenly, a tenth of the routers dead and a tenth silent\n");
    print_pair("", a, b);
    a = run_round(ours, aligned);
    b = run_round(blackbox, aligned);
    printf("aligned: %d scrapes at once every %.1f s, a tenth dead and a third silent\n", burst,
           interval_ms * burst / routers / 1000.0);
    print_pair("", a, b);
    for (pid_t pid : {ours.pid, blackbox.pid}) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}
