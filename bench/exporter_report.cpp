// Figures for linkstat-exporter at the design load: one exporter, 1,000 routers each scraped
// every 15 s, a tenth of them dead (nothing listens) or silent (they take the connection and
// never answer). The routers are stand-ins answering "ask" as linkstatd does, from 1,000
// loopback addresses, all in one epoll loop; the scrapes are spread evenly over the 15 s,
// each with Prometheus's scrape timeout header. After a first round that opens the
// connections, two rounds are measured: the answer times of the live routers' scrapes, the
// exporter's share of one core and its resident memory.
// Usage: exporter_report EXPORTER_BINARY   (in a network namespace of its own: sim/netns)
#include "stats_record.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <httplib.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int routers = 1000;
constexpr int dead_every = 20;     // every 20th nothing listens...
constexpr int silent_every = 20;   // ...and every 20th, offset by 10, never answers
constexpr int interval_ms = 15000; // each router scraped every 15 s
constexpr int scrapers = 160;      // scrapes in flight at most, as Prometheus's workers
constexpr int warm_rounds = 1;     // opens the connections, not measured
constexpr int measured_rounds = 2;
constexpr char exporter_address[] = "127.0.0.1";
constexpr int exporter_port = 9742;

enum kind { live, dead, silent };

kind kind_of(int i) {
    return i % dead_every == 0 ? dead : i % silent_every == 10 ? silent : live;
}

// Router i's loopback address, 127.1.X.Y with Y from 1 to 200.
std::string address_of(int i) {
    return "127.1." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
}

// The fleet: a listening socket for every live and silent router and every connection
// accepted, in one epoll loop; a live router answers each "ask" with a record of its own.
class Fleet {
  public:
    Fleet() {
        epoll_ = epoll_create1(0);
        for (int i = 0; i < routers; ++i) {
            if (kind_of(i) == dead)
                continue;
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(stats_port);
            inet_pton(AF_INET, address_of(i).c_str(), &a.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0)
                perror(("fleet " + address_of(i)).c_str());
            add(fd, i, true);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Fleet() {
        stop_ = true;
        thread_.join();
    }
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

  private:
    // A socket's router and whether it listens, packed in the epoll data.
    void add(int fd, int router, bool listening) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = (uint64_t(fd) << 32) | (uint64_t(router) << 1) | (listening ? 1 : 0);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
    }
    void run() {
        epoll_event events[256];
        while (!stop_) {
            int n = epoll_wait(epoll_, events, 256, 100);
            for (int k = 0; k < n; ++k) {
                int fd = int(events[k].data.u64 >> 32);
                int router = int((events[k].data.u64 & 0xffffffff) >> 1);
                if (events[k].data.u64 & 1) {
                    int c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK);
                    if (c >= 0)
                        add(c, router, false);
                    continue;
                }
                char request[16];
                ssize_t got = recv(fd, request, sizeof request, 0);
                if (got <= 0) {
                    close(fd);
                    continue;
                }
                if (kind_of(router) != live || strncmp(request, stats_request, 3) != 0)
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
    int epoll_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The exporter's CPU seconds so far and its resident memory in bytes.
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

struct scrape {
    int router;
    clock_type::time_point due;
    bool measured;
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: exporter_report EXPORTER_BINARY\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Fleet fleet;
    pid_t exporter = fork();
    if (exporter == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(argv[1], argv[1], "--listen", "127.0.0.1:9742", "--allow", "127.0.0.0/8",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !httplib::Client(exporter_address, exporter_port).Get("/-/healthy");
         ++i)
        usleep(50 * 1000);

    // Every scrape of every round, in the order due.
    std::deque<scrape> schedule;
    auto start = clock_type::now() + std::chrono::milliseconds(100);
    for (int round = 0; round < warm_rounds + measured_rounds; ++round)
        for (int i = 0; i < routers; ++i)
            schedule.push_back(
                {i,
                 start + std::chrono::milliseconds(round * interval_ms + i * interval_ms / routers),
                 round >= warm_rounds});
    auto measure_from = start + std::chrono::milliseconds(warm_rounds * interval_ms);

    std::mutex mutex;
    std::vector<double> live_ms;
    int live_up = 0, bad_down = 0, bad_total = 0, live_total = 0;
    std::vector<std::thread> workers;
    workers.reserve(scrapers);
    for (int w = 0; w < scrapers; ++w)
        workers.emplace_back([&] {
            for (;;) {
                scrape s;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (schedule.empty())
                        return;
                    s = schedule.front();
                    schedule.pop_front();
                }
                std::this_thread::sleep_until(s.due);
                httplib::Client client(exporter_address, exporter_port);
                client.set_read_timeout(15, 0);
                auto began = clock_type::now();
                auto res = client.Get(("/probe?target=" + address_of(s.router)).c_str(),
                                      {{"X-Prometheus-Scrape-Timeout-Seconds", "10"}});
                double ms =
                    std::chrono::duration<double, std::milli>(clock_type::now() - began).count();
                bool up = res && res->body.find("\nlinkstat_up 1\n") != std::string::npos;
                if (!s.measured)
                    continue;
                std::lock_guard<std::mutex> lock(mutex);
                if (kind_of(s.router) == live) {
                    live_ms.push_back(ms);
                    live_up += up;
                    ++live_total;
                } else {
                    bad_down += res && !up;
                    ++bad_total;
                }
            }
        });

    // The exporter's CPU over the measured rounds, and its memory every second.
    std::this_thread::sleep_until(measure_from);
    double cpu_from = 0, cpu_to = 0, rss = 0, rss_max = 0;
    process_figures(exporter, cpu_from, rss);
    auto measure_to = measure_from + std::chrono::milliseconds(measured_rounds * interval_ms);
    while (clock_type::now() < measure_to) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (process_figures(exporter, cpu_to, rss))
            rss_max = std::max(rss_max, rss);
    }
    for (auto &w : workers)
        w.join();
    auto metrics = httplib::Client(exporter_address, exporter_port).Get("/metrics");
    kill(exporter, SIGTERM);
    waitpid(exporter, nullptr, 0);

    std::sort(live_ms.begin(), live_ms.end());
    auto at = [&](double q) {
        return live_ms.empty() ? -1 : live_ms[size_t(q * double(live_ms.size() - 1))];
    };
    double seconds = measured_rounds * interval_ms / 1000.0;
    printf("linkstat-exporter at %d routers scraped every %d s (%d dead, %d silent), on %s\n",
           routers, interval_ms / 1000, routers / dead_every, routers / silent_every,
           machine().c_str());
    printf("live scrapes:     %d, %d with linkstat_up 1\n", live_total, live_up);
    printf("answer time:      median %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n", at(0.5),
           at(0.9), at(0.99), live_ms.empty() ? -1 : live_ms.back());
    printf("dead and silent:  %d scrapes, %d answered with linkstat_up 0\n", bad_total, bad_down);
    printf("exporter CPU:     %.1f %% of one core over %.0f s\n",
           100 * (cpu_to - cpu_from) / seconds, seconds);
    printf("exporter memory:  %.1f MiB resident at most\n", rss_max / (1 << 20));
    if (metrics)
        for (const char *name : {"linkstat_exporter_router_connections_opened_total ",
                                 "linkstat_exporter_router_connections "}) {
            size_t p = metrics->body.find(std::string("\n") + name);
            if (p != std::string::npos)
                printf("%s%s\n", name,
                       metrics->body
                           .substr(p + 1 + strlen(name),
                                   metrics->body.find('\n', p + 1) - p - 1 - strlen(name))
                           .c_str());
        }
    return 0;
}
