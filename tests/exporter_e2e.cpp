// linkstat-exporter end to end: the shipped exporter, in a network namespace of its own,
// probing the shipped linkstatd in a simulated device and scripted bad routers, all on
// loopback addresses.
#include "device.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

const char station_table[] = "1: stat_info...\n"
                             "    rssi: 40 (40 35 0 0)\n"
                             "    current_tx_rate: MCS7 (72.2)\n"
                             "    current_rx_rate: 54\n";
// The exporter listens here and may probe all of loopback.
constexpr int exporter_port = 9742;

double seconds_since(clock_type::time_point began) {
    return std::chrono::duration<double>(clock_type::now() - began).count();
}

// The shipped exporter, started with args, its standard error kept in a file.
class Exporter {
  public:
    explicit Exporter(const std::string &log) : log_(log) {
        std::string path = program_under_test("EXPORTER_BIN", EXPORTER_BUILT);
        pid_ = fork();
        if (pid_ == 0) {
            int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            close_range(3, ~0U, 0);
            execl(path.c_str(), path.c_str(), "--listen", "127.0.0.1:9742", "--allow",
                  "127.0.0.0/8", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Exporter() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Exporter(const Exporter &) = delete;
    Exporter &operator=(const Exporter &) = delete;

    bool listening() const {
        return wait_for([] {
            return httplib::Client("127.0.0.1", exporter_port).Get("/-/healthy") != nullptr;
        });
    }
    // TERM, then the exit status within timeout_ms, or -1.
    int terminate(int timeout_ms) {
        kill(pid_, SIGTERM);
        int status = -1;
        bool ended = wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
        if (ended)
            pid_ = -1;
        return ended ? status : -1;
    }
    std::string log() const { return read_file(log_); }
    pid_t pid() const { return pid_; }

  private:
    std::string log_;
    pid_t pid_ = -1;
};

struct Answer {
    int status = 0; // 0: no HTTP answer
    std::string body;
};

Answer get(const std::string &path, double scrape_timeout_s = 0) {
    httplib::Client client("127.0.0.1", exporter_port);
    client.set_read_timeout(70, 0);
    httplib::Headers headers;
    if (scrape_timeout_s > 0)
        headers.emplace("X-Prometheus-Scrape-Timeout-Seconds", std::to_string(scrape_timeout_s));
    auto res = client.Get(path.c_str(), headers);
    return res ? Answer{res->status, res->body} : Answer{};
}

// The value of the sample named (with its labels) in an exposition text, or -1.
double sample(const std::string &text, const std::string &name) {
    size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + name.size() + 2);
}

// A router that answers "ask" as it is told to, on 127.0.0.1:port (linkstatd has 10000 of
// every address); one thread per connection.
enum class behaviour { silent, reset, slow, short_reply, long_reply, length_91, wrong_id };

class ScriptedRouter {
  public:
    ScriptedRouter(int port, behaviour b) : behaviour_(b) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << port;
        listen(listener_, 16);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~ScriptedRouter() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (auto &t : served_)
            t.join();
        close(listener_);
    }
    ScriptedRouter(const ScriptedRouter &) = delete;
    ScriptedRouter &operator=(const ScriptedRouter &) = delete;

  private:
    void accept_loop() {
        for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            served_.emplace_back([this, fd] { serve(fd); });
    }
    void serve(int fd) {
        std::vector<unsigned> words = {92, 0, 0,  0, 0, 0, 0, 0, 0,   4,  40, 5,
                                       40, 6, 35, 7, 0, 8, 0, 9, 145, 10, 108};
        char request[10];
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (poll(&p, 1, 100) == 0)
                continue;
            if (recv(fd, request, sizeof request, 0) <= 0)
                break;
            std::string reply = words_be(words);
            switch (behaviour_) {
            case behaviour::silent:
                continue;
            case behaviour::reset: {
                linger reset{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                close(fd);
                return;
            }
            case behaviour::slow:
                for (int i = 0; i < 30 && !stop_; ++i)
                    usleep(100 * 1000);
                break;
            case behaviour::short_reply:
                reply.resize(50);
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                close(fd);
                return;
            case behaviour::long_reply:
                reply += std::string(8, '\0');
                break;
            case behaviour::length_91:
                reply = words_be({91}) + reply.substr(4);
                break;
            case behaviour::wrong_id:
                words[11] = 6;
                reply = words_be(words);
                break;
            }
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        close(fd);
    }

    behaviour behaviour_;
    int listener_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> served_;
};

class ExporterE2e : public testing::Test {
  protected:
    void SetUp() override {
        dev.write_proc("wlan0/sta_info", station_table);
        dev.start(program_under_test("LINKSTATD_BIN", LINKSTATD_BUILT));
        StatsClient probe;
        ASSERT_TRUE(probe.connect_within()) << dev.err();
        probe.close_now();
        ASSERT_TRUE(exporter.listening()) << exporter.log();
    }
    Device dev;
    Exporter exporter{dev.dir + "/exporter.log"};
};

TEST_F(ExporterE2e, AGoodRouterGivesItsFiguresInBaseUnitsAndARestartedOneIsAskedAtOnce) {
    Answer a = get("/probe?target=127.0.0.1");
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(sample(a.body, "linkstat_up"), 1) << a.body;
    EXPECT_EQ(sample(a.body, "linkstat_path_rssi{path=\"b\"}"), 35) << a.body;
    EXPECT_EQ(sample(a.body, "linkstat_transmit_rate_bytes_per_second"), 9062500) << a.body;
    // The router restarts between two scrapes: the kept connection is gone, and the next
    // scrape is answered on a new one all the same.
    dev.stop();
    Device again(".again");
    again.write_proc("wlan0/sta_info", "rssi: 61 (61 58 0 0)\ncurrent_tx_rate: 1\n"
                                       "current_rx_rate: 1\n");
    again.start(program_under_test("LINKSTATD_BIN", LINKSTATD_BUILT));
    StatsClient probe;
    ASSERT_TRUE(probe.connect_within()) << again.err();
    probe.close_now();
    usleep(1100 * 1000); // past the shared reading
    a = get("/probe?target=127.0.0.1:10000");
    EXPECT_EQ(sample(a.body, "linkstat_up"), 1) << a.body;
    EXPECT_EQ(sample(a.body, "linkstat_rssi"), 61) << a.body;
}

TEST_F(ExporterE2e, BadRoutersGiveUpZeroWithTheReasonCountedWithinTheTimeoutAndNeverDelayAGoodOne) {
    // Nothing answers the connection to 127.0.0.9, nothing listens on port 10001.
    ASSERT_EQ(system("nft 'table ip silent { chain out { type filter hook output priority 0; "
                     "ip daddr 127.0.0.9 drop; }; }'"),
              0);
    struct row {
        const char *target;
        std::unique_ptr<ScriptedRouter> router;
        const char *reason;
    };
    auto scripted = [](int port, behaviour b) { return std::make_unique<ScriptedRouter>(port, b); };
    row rows[] = {
        {"127.0.0.9", nullptr, "timeout"},
        {"127.0.0.1:10001", nullptr, "refused"},
        {"127.0.0.1:10002", scripted(10002, behaviour::silent), "timeout"},
        {"127.0.0.1:10003", scripted(10003, behaviour::reset), "closed"},
        {"127.0.0.1:10004", scripted(10004, behaviour::slow), "timeout"},
        {"127.0.0.1:10005", scripted(10005, behaviour::short_reply), "short"},
        {"127.0.0.1:10006", scripted(10006, behaviour::long_reply), "malformed"},
        {"127.0.0.1:10007", scripted(10007, behaviour::length_91), "malformed"},
        {"127.0.0.1:10008", scripted(10008, behaviour::wrong_id), "malformed"},
    };
    // The good router's connection is made first: linkstatd serves a new one a second after
    // the one before.
    ASSERT_EQ(sample(get("/probe?target=127.0.0.1").body, "linkstat_up"), 1);
    // Scrapes with a 1.5 s timeout leave the probe 1 s; all of them at once, twice. The probe's
    // own time holds it to its second; the answer's, taken by a client a busy host may hold
    // up, only to the scrape's time and a margin.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::future<std::pair<Answer, double>>> bad;
        for (row &r : rows)
            bad.push_back(std::async(std::launch::async, [&r] {
                auto began = clock_type::now();
                Answer a = get(std::string("/probe?target=") + r.target, 1.5);
                return std::make_pair(a, seconds_since(began));
            }));
        // Meanwhile the good router is asked again and again (each ask past linkstatd's
        // 500 ms pause after a reply), each answer at once.
        for (int i = 0; i < 3; ++i) {
            usleep(600 * 1000);
            auto began = clock_type::now();
            Answer good = get("/live/reading?target=127.0.0.1");
            EXPECT_LT(seconds_since(began), 0.5) << i;
            EXPECT_NE(good.body.find("\"up\":true"), std::string::npos) << good.body;
        }
        for (size_t i = 0; i < bad.size(); ++i) {
            auto [a, took] = bad[i].get();
            EXPECT_EQ(sample(a.body, "linkstat_up"), 0) << rows[i].target << "\n" << a.body;
            EXPECT_LT(sample(a.body, "linkstat_probe_duration_seconds"), 1.3) << rows[i].target;
            EXPECT_LT(took, 2.5) << rows[i].target;
        }
    }
    std::string metrics = get("/metrics").body;
    std::map<std::string, int> expected;
    for (const row &r : rows)
        expected[r.reason] += 2;
    for (const auto &[reason, count] : expected)
        EXPECT_EQ(
            sample(metrics, "linkstat_exporter_probe_failures_total{reason=\"" + reason + "\"}"),
            count)
            << reason << "\n"
            << metrics;
    EXPECT_EQ(sample(metrics, "linkstat_exporter_probes_total"), 1 + 2.0 * std::size(rows));
    EXPECT_NE(exporter.log().find("127.0.0.1:10005 does not answer: short\n"), std::string::npos)
        << exporter.log();
}

TEST_F(ExporterE2e, TwoScrapersOfOneRouterAndTwoViewersShareOneConnectionAndOneAskASecond) {
    auto scraper = [](int offset_ms) {
        int up = 0;
        usleep(offset_ms * 1000);
        for (int i = 0; i < 6; ++i) {
            up += sample(get("/probe?target=127.0.0.1", 10).body, "linkstat_up") == 1;
            usleep(1000 * 1000);
        }
        return up;
    };
    auto first = std::async(std::launch::async, scraper, 0);
    auto second = std::async(std::launch::async, scraper, 400);
    EXPECT_EQ(first.get(), 6);
    EXPECT_EQ(second.get(), 6);

    double asks = sample(get("/metrics").body, "linkstat_exporter_asks_total");
    auto viewer = [] {
        for (int i = 0; i < 12; ++i) {
            get("/live/reading?target=127.0.0.1");
            usleep(250 * 1000);
        }
    };
    auto began = clock_type::now();
    auto a = std::async(std::launch::async, viewer), b = std::async(std::launch::async, viewer);
    a.get();
    b.get();
    std::string metrics = get("/metrics").body;
    EXPECT_LE(sample(metrics, "linkstat_exporter_asks_total") - asks, seconds_since(began) + 1)
        << metrics;
    EXPECT_EQ(sample(metrics, "linkstat_exporter_router_connections_opened_total"), 1) << metrics;
    EXPECT_EQ(sample(metrics, "linkstat_exporter_router_connections"), 1) << metrics;
    // linkstatd served one connection, and refused none.
    EXPECT_EQ(lines_of(dev.out()).size(), 2u) << dev.out();
    EXPECT_EQ(dev.out().find("refused"), std::string::npos) << dev.out();
}

// Sends raw bytes as one HTTP client; what comes back until the exporter closes or timeout_ms.
std::string raw_exchange(const std::string &bytes, int timeout_ms, bool &closed) {
    StatsClient c; // only its socket helpers; connected by hand to the exporter
    c.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(exporter_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    closed = false;
    if (connect(c.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return "";
    c.send_text(bytes);
    std::string got = c.receive(1 << 20, timeout_ms);
    pollfd p{c.fd, POLLIN, 0};
    char byte;
    closed = poll(&p, 1, 0) == 1 && recv(c.fd, &byte, 1, MSG_DONTWAIT) <= 0;
    return got;
}

TEST_F(ExporterE2e, BadRequestsGetA4xxOrAClosedConnectionAndEverythingElseIsStillServed) {
    struct row {
        const char *name;
        std::string path;
        int status;
    };
    const row rows[] = {
        {"no target", "/probe", 400},
        {"not a host", "/probe?target=roof%20three", 400},
        {"port out of range", "/probe?target=127.0.0.1:65536", 400},
        {"port 0", "/probe?target=127.0.0.1:0", 400},
        {"an address not allowed", "/probe?target=192.0.2.7", 403},
        {"a live reading of an address not allowed", "/live/reading?target=192.0.2.7", 403},
        {"no such page", "/nothing", 404},
    };
    for (const row &r : rows)
        EXPECT_EQ(get(r.path).status, r.status) << r.name;

    // Over-long and endless requests are cut off; slow ones are closed.
    struct raw_row {
        const char *name;
        std::string bytes;
        int wait_ms;
    };
    std::string endless_headers = "GET /-/healthy HTTP/1.1\r\nHost: x\r\n";
    while (endless_headers.size() < 200000)
        endless_headers += "X-Filler: " + std::string(100, 'x') + "\r\n";
    const raw_row raws[] = {
        {"a 20 KB target", "GET /probe?target=" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n",
         5000},
        {"200 KB of headers", endless_headers, 5000},
        {"a 1 MB body",
         "POST /probe HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(100000, 'x'),
         5000},
        {"not HTTP", "\x16\x03\x01 hello\r\n\r\n", 5000},
        // A request that stops halfway, as one sent a byte a minute does: closed after the
        // read timeout.
        {"half a request", "GET /probe?target=127.0.0.1 HTTP/1.1\r\nHo", 8000},
    };
    std::vector<std::future<std::pair<std::string, bool>>> pending;
    for (const raw_row &r : raws)
        pending.push_back(std::async(std::launch::async, [&r] {
            bool closed;
            std::string got = raw_exchange(r.bytes, r.wait_ms, closed);
            return std::make_pair(got, closed);
        }));
    // A client sending a byte every 2 s, each within the read timeout, is closed once its
    // request has taken 10 s.
    auto trickle = std::async(std::launch::async, [] {
        StatsClient c;
        c.fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(exporter_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(c.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return -1.0;
        auto began = clock_type::now();
        for (char byte : std::string("GET /-/healthy HTTP/1.1\r\n")) {
            if (!c.send_text(std::string(1, byte)) || c.closed_by_peer(2000))
                break;
        }
        return seconds_since(began);
    });
    for (size_t i = 0; i < pending.size(); ++i) {
        auto [got, closed] = pending[i].get();
        bool client_error = got.rfind("HTTP/1.1 4", 0) == 0;
        EXPECT_TRUE(client_error || (got.empty() && closed)) << raws[i].name << ": " << got;
    }
    double trickled = trickle.get();
    EXPECT_GE(trickled, 9);
    EXPECT_LT(trickled, 14);
    EXPECT_EQ(get("/-/healthy").status, 200);
    EXPECT_EQ(sample(get("/probe?target=127.0.0.1").body, "linkstat_up"), 1);
    EXPECT_EQ(sample(get("/metrics").body, "linkstat_exporter_refused_targets_total"), 6);
}

TEST_F(ExporterE2e, TermEndsItCleanlyAndHelpSaysEverything) {
    EXPECT_EQ(get("/").status, 200);
    int status = exporter.terminate(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(exporter.log().find("stopping\n"), std::string::npos) << exporter.log();
    std::string help_path = dev.dir + "/help.txt";
    std::string command =
        program_under_test("EXPORTER_BIN", EXPORTER_BUILT) + " --help >" + help_path;
    ASSERT_EQ(system(command.c_str()), 0);
    std::string help = read_file(help_path);
    for (const char *what : {"--listen ADDR:PORT", "--allow CIDR", "0.0.0.0:9742",
                             "/probe?target=", "/live?target=", "/metrics", "TERM"})
        EXPECT_NE(help.find(what), std::string::npos) << what;
}

} // namespace
