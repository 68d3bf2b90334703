// linkstat-exporter end to end: the shipped exporter, in a network namespace of its own,
// probing the shipped linkstatd in a simulated device and scripted bad routers, all on
// loopback addresses.
#include "device.h"
#include "exporter_harness.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

const char station_table[] = "1: stat_info...\n"
                             "    rssi: 40 (40 35 0 0)\n"
                             "    current_tx_rate: MCS7 (72.2)\n"
                             "    current_rx_rate: 54\n";

double seconds_since(clock_type::time_point began) {
    return std::chrono::duration<double>(clock_type::now() - began).count();
}

// A GET in the background, with how long its answer took.
std::future<std::pair<Answer, double>> get_later(const std::string &path, double scrape_s = 0,
                                                 int after_ms = 0) {
    return std::async(std::launch::async, [=] {
        usleep(after_ms * 1000);
        auto began = clock_type::now();
        Answer a = get(path, scrape_s);
        return std::make_pair(a, seconds_since(began));
    });
}

// The exporter alone, as a test sets it up.
class ExporterAlone : public testing::Test {
  protected:
    void start(const ExporterSetup &setup = {}) {
        exporter = std::make_unique<Exporter>(dev.dir + "/exporter.log", setup);
        ASSERT_TRUE(exporter->listening()) << exporter->log();
    }
    Device dev;
    std::unique_ptr<Exporter> exporter;
};

// Beside linkstatd, on 127.0.0.1:10000.
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
            bad.push_back(get_later(std::string("/probe?target=") + r.target, 1.5));
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
    // A router that kept its connection open after a failed ask finds it closed: the next ask
    // has a new one.
    for (const row &r : rows) {
        if (!r.router || std::string(r.reason) == "closed" || std::string(r.reason) == "short")
            continue;
        EXPECT_TRUE(wait_for([&] { return r.router->closed_by_exporter() == 2; }))
            << r.target << ": " << r.router->closed_by_exporter() << " of " << r.router->accepted();
    }
    EXPECT_EQ(exporter.logged("127.0.0.1:10005 does not answer: short\n", 1), 1u) << exporter.log();
    // The rows' routers are freed here; the analyzer loses them in the aggregate's array.
} // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)

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

TEST_F(ExporterAlone, EveryRequestKeepsItsOwnDeadlineAndAConnectionThatDidNotAnswerIsReplaced) {
    start();
    // A router silent on its first connection and answering on the next: a live reading
    // (2 s) and a scrape (5.5 s), one joining the other's ask 0.3 s later.
    struct row {
        const char *name;
        bool live_first;
    };
    int port = 10010;
    for (const row &r : {row{"the live reading first", true}, row{"the scrape first", false}}) {
        ScriptedRouter router(port, behaviour::silent_first);
        std::string target = "?target=127.0.0.1:" + std::to_string(port++);
        auto live = get_later("/live/reading" + target, 0, r.live_first ? 0 : 300);
        auto scrape = get_later("/probe" + target, 6, r.live_first ? 300 : 0);
        auto [reading, live_took] = live.get();
        EXPECT_NE(reading.body.find("\"reason\":\"timeout\""), std::string::npos) << r.name;
        EXPECT_LT(live_took, 4) << r.name << ": the reading waited past its own 2 s";
        auto [probe, probe_took] = scrape.get();
        if (r.live_first) {
            // The ask begun by the reading ended with it, its connection closed; the scrape
            // waits on, on a new one that answers.
            EXPECT_EQ(sample(probe.body, "linkstat_up"), 1) << r.name << "\n" << probe.body;
            EXPECT_LT(probe_took, 5) << r.name;
        } else {
            EXPECT_EQ(sample(probe.body, "linkstat_up"), 0) << r.name << "\n" << probe.body;
            // The next reading finds the silent connection closed and opens a new one.
            EXPECT_NE(get("/live/reading" + target).body.find("\"up\":true"), std::string::npos)
                << r.name;
        }
        EXPECT_EQ(router.accepted(), 2) << r.name;
        std::string name = target.substr(8);
        EXPECT_EQ(exporter->logged(name + " does not answer: timeout\n", 1), 1u) << r.name << "\n"
                                                                                 << exporter->log();
        EXPECT_EQ(exporter->logged(name + " answers again\n", 1), 1u) << r.name;
    }
    // Viewers that overlap do not keep an ask on a dead connection alive: each ask ends at
    // the deadline of the request that began it, and a new connection is tried.
    ScriptedRouter silent(10019, behaviour::silent);
    auto viewer = [](int offset_ms) {
        usleep(offset_ms * 1000);
        for (int i = 0; i < 3; ++i)
            get("/live/reading?target=127.0.0.1:10019");
    };
    auto a = std::async(std::launch::async, viewer, 0),
         b = std::async(std::launch::async, viewer, 250);
    a.get();
    b.get();
    EXPECT_TRUE(wait_for([&] { return silent.accepted() >= 2; }, 3000)) << silent.accepted();
    EXPECT_EQ(exporter->logged("127.0.0.1:10019 does not answer", 1), 1u) << exporter->log();
}

TEST_F(ExporterAlone, AKeptConnectionLostDuringAnAskIsReopenedWithinTheSameProbe) {
    start();
    ScriptedRouter router(10020, behaviour::drops_second_ask);
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            usleep(1100 * 1000); // past the shared reading
        Answer a = get("/probe?target=127.0.0.1:10020");
        EXPECT_EQ(sample(a.body, "linkstat_up"), 1) << i << "\n" << a.body;
    }
    EXPECT_EQ(router.accepted(), 3);
    EXPECT_EQ(exporter->log().find("does not answer"), std::string::npos) << exporter->log();
}

TEST_F(ExporterAlone,
       AnIdleRoutersConnectionClosesAfterThreeMinutesAndTheRouterIsForgottenAfterTen) {
    if (!Device::clock_can_move())
        GTEST_SKIP() << "the exporter's clock cannot be moved here";
    std::string clock_file = dev.dir + "/faketimerc";
    write_file(clock_file, "+0");
    ExporterSetup setup;
    setup.launcher = movable_clock_launcher(clock_file);
    start(setup);
    auto move_clock = [&](int seconds) {
        write_file(clock_file + ".new", "+" + std::to_string(seconds));
        ASSERT_EQ(rename((clock_file + ".new").c_str(), clock_file.c_str()), 0);
    };
    auto routers = [] { return sample(get("/metrics").body, "linkstat_exporter_routers"); };
    ScriptedRouter router(10021, behaviour::answers);
    EXPECT_EQ(sample(get("/probe?target=127.0.0.1:10021").body, "linkstat_up"), 1);
    move_clock(170);
    usleep(1500 * 1000);
    EXPECT_EQ(router.closed_by_exporter(), 0) << "closed before three minutes";
    move_clock(181);
    EXPECT_TRUE(wait_for([&] { return router.closed_by_exporter() == 1; })) << "kept open";
    EXPECT_EQ(routers(), 1);
    move_clock(601);
    EXPECT_TRUE(wait_for([&] { return routers() == 0; })) << "never forgotten";
    EXPECT_EQ(sample(get("/probe?target=127.0.0.1:10021").body, "linkstat_up"), 1);
    EXPECT_EQ(router.accepted(), 2);
}

// A DNS server on 127.0.0.1:53 that never answers, and keeps what it was asked.
class SilentResolver {
  public:
    SilentResolver() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    ~SilentResolver() { close(fd_); }
    SilentResolver(const SilentResolver &) = delete;
    SilentResolver &operator=(const SilentResolver &) = delete;
    // Every query so far, as its bytes.
    std::string asked() {
        char query[512];
        ssize_t n;
        while ((n = recv(fd_, query, sizeof query, MSG_DONTWAIT)) > 0)
            asked_.append(query, static_cast<size_t>(n));
        return asked_;
    }

  private:
    int fd_;
    std::string asked_;
};

TEST_F(ExporterAlone, NamesAreLookedUpOnlyWhereAllowedWithinTheProbesTimeAndNeverHoldUpOthers) {
    SilentResolver dns;
    ScriptedRouter router(10022, behaviour::answers);
    ExporterSetup setup;
    setup.args = {"--allow", "127.0.0.0/8", "--allow-name", "roof.test"};
    // The first answer for v6first is an IPv6 address, which a probe of IPv4 passes over.
    setup.hosts = "::1 v6first.roof.test\n127.0.0.1 v6first.roof.test\n"
                  "192.0.2.5 outside.roof.test\n127.0.0.1 elsewhere.test\n";
    setup.resolv = "nameserver 127.0.0.1\n";
    start(setup);
    struct row {
        const char *target;
        int status;
        double up; // -1: none
    };
    for (const row &r :
         {row{"v6first.roof.test:10022", 200, 1}, row{"V6FIRST.Roof.Test:10022", 200, 1},
          row{"elsewhere.test:10022", 403, -1}, row{"outside.roof.test:10022", 403, -1},
          row{"roof.test.evil:10022", 403, -1}}) {
        Answer a = get(std::string("/probe?target=") + r.target);
        EXPECT_EQ(a.status, r.status) << r.target << "\n" << a.body;
        EXPECT_EQ(sample(a.body, "linkstat_up"), r.up) << r.target << "\n" << a.body;
    }
    // 50 names the resolver never answers, at once, each scrape with 2 s: each answered by
    // its own time, while the exporter's other work goes on at once.
    std::vector<std::future<std::pair<Answer, double>>> lookups;
    lookups.reserve(50);
    for (int i = 0; i < 50; ++i)
        lookups.push_back(get_later("/probe?target=n" + std::to_string(i) + ".roof.test", 2));
    usleep(300 * 1000);
    for (const char *path : {"/-/healthy", "/probe?target=127.0.0.1:10022", "/metrics"}) {
        auto began = clock_type::now();
        EXPECT_EQ(get(path).status, 200) << path;
        EXPECT_LT(seconds_since(began), 1) << path;
    }
    for (auto &l : lookups) {
        auto [a, took] = l.get();
        EXPECT_EQ(sample(a.body, "linkstat_up"), 0) << a.body;
        EXPECT_LT(took, 3.5);
    }
    EXPECT_EQ(
        sample(get("/metrics").body, "linkstat_exporter_probe_failures_total{reason=\"resolve\"}"),
        50);
    std::string asked = dns.asked();
    EXPECT_NE(asked.find("\x03n49\x04roof\x04test"), std::string::npos) << "never asked";
    EXPECT_EQ(asked.find("elsewhere"), std::string::npos) << "a name not allowed was looked up";
    EXPECT_EQ(asked.find("evil"), std::string::npos) << "a name not allowed was looked up";
}

// Sends raw bytes as one HTTP client; what comes back until the exporter closes or timeout_ms.
std::string raw_exchange(const std::string &bytes, int timeout_ms, bool &closed) {
    StatsClient c;
    c.port = exporter_port;
    closed = false;
    if (!c.connect_once())
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
        {"a NUL after an allowed address", "/probe?target=127.0.0.1%00.example", 400},
        {"an address not allowed", "/probe?target=192.0.2.7", 403},
        {"a name, with none allowed", "/probe?target=localhost", 403},
        {"a live reading of an address not allowed", "/live/reading?target=192.0.2.7", 403},
        {"no such page", "/nothing", 404},
    };
    for (const row &r : rows)
        EXPECT_EQ(get(r.path).status, r.status) << r.name;

    // Over-long, endless and slow requests, and requests with a body, are refused and their
    // connections closed: nothing after them is read as a request of its own.
    struct raw_row {
        const char *name;
        std::string bytes;
        int wait_ms;
    };
    std::string endless_headers = "GET /-/healthy HTTP/1.1\r\nHost: x\r\n";
    while (endless_headers.size() < 200000)
        endless_headers += "X-Filler: " + std::string(100, 'x') + "\r\n";
    const std::string behind = "GET /-/healthy HTTP/1.1\r\nHost: x\r\n\r\n";
    const raw_row raws[] = {
        {"a 20 KB target", "GET /probe?target=" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n",
         5000},
        {"200 KB of headers", endless_headers, 5000},
        {"a 1 MB body",
         "POST /probe HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(100000, 'x'),
         5000},
        {"a GET whose body is a request",
         "GET /-/healthy HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(behind.size()) +
             "\r\n\r\n" + behind,
         5000},
        {"a request cut at 16 KiB with a request behind it",
         "GET /-/healthy HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(17000, 'x') + "\r\n\r\n" +
             behind,
         5000},
        {"not HTTP", "\x16\x03\x01 hello\r\n\r\n", 5000},
        // A request that stops halfway, as one sent a byte a minute does: closed after the
        // idle timeout.
        {"half a request", "GET /probe?target=127.0.0.1 HTTP/1.1\r\nHo", 8000},
    };
    std::vector<std::future<std::pair<std::string, bool>>> pending;
    for (const raw_row &r : raws)
        pending.push_back(std::async(std::launch::async, [&r] {
            bool closed;
            std::string got = raw_exchange(r.bytes, r.wait_ms, closed);
            return std::make_pair(got, closed);
        }));
    // A client sending a byte every 2 s, each within the idle timeout, is closed once its
    // request has taken 10 s.
    auto trickle = std::async(std::launch::async, [] {
        StatsClient c;
        c.port = exporter_port;
        if (!c.connect_once())
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
        bool client_error = got.rfind("HTTP/1.1 4", 0) == 0 && count_of(got, "HTTP/1.1 ") == 1;
        EXPECT_TRUE(closed) << raws[i].name << ": " << got;
        EXPECT_TRUE(client_error || got.empty()) << raws[i].name << ": " << got;
    }
    double trickled = trickle.get();
    EXPECT_GE(trickled, 9);
    EXPECT_LT(trickled, 14);
    EXPECT_EQ(get("/-/healthy").status, 200);
    EXPECT_EQ(sample(get("/probe?target=127.0.0.1").body, "linkstat_up"), 1);
    EXPECT_EQ(sample(get("/metrics").body, "linkstat_exporter_refused_targets_total"), 8);
}

TEST_F(ExporterAlone, AStalledLogHoldsUpNoProbeAndNoStop) {
    ExporterSetup setup;
    setup.log_stalled = true;
    start(setup);
    // Each refused router is a log line, none of which can be written.
    auto began = clock_type::now();
    for (int port = 10030; port < 10090; ++port)
        EXPECT_EQ(
            sample(get("/probe?target=127.0.0.1:" + std::to_string(port)).body, "linkstat_up"), 0);
    EXPECT_LT(seconds_since(began), 10);
    EXPECT_EQ(get("/metrics").status, 200);
    int status = exporter->terminate(3000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ExporterAlone,
       AtItsLimitsItRaisesItsDescriptorLimitOutlivesAcceptErrorsAndNamesTheRoutersLeftOut) {
    ExporterSetup setup;
    setup.preload = ACCEPT_FAULTS_LIBRARY;
    // ENOBUFS, ECONNABORTED, EMFILE, EINTR: the first accepts fail, each once.
    setenv("ACCEPT_FAULTS", "105,103,24,4", 1);
    // 96 descriptors: 64 kept, 16 for HTTP clients and 16 for routers' connections.
    setup.soft_fds = 40;
    setup.hard_fds = 96;
    start(setup);
    unsetenv("ACCEPT_FAULTS");
    EXPECT_EQ(sample(get("/metrics").body, "process_max_fds"), 96);
    EXPECT_GE(exporter->logged("accept", 1), 1u) << exporter->log();
    std::vector<std::unique_ptr<ScriptedRouter>> routers;
    for (int port = 10100; port < 10120; ++port)
        routers.push_back(std::make_unique<ScriptedRouter>(port, behaviour::answers));
    for (int round = 0; round < 2; ++round) {
        usleep(round * 1100 * 1000); // past the shared readings
        int up = 0;
        for (int port = 10100; port < 10120; ++port)
            up += sample(get("/probe?target=127.0.0.1:" + std::to_string(port)).body,
                         "linkstat_up") == 1;
        int left_out = static_cast<int>(sample(
            get("/metrics").body, "linkstat_exporter_probe_failures_total{reason=\"fd_limit\"}"));
        EXPECT_EQ(up, 16) << round;
        EXPECT_EQ(left_out, 4 * (round + 1)) << round;
    }
    EXPECT_EQ(exporter->logged("does not answer: fd_limit\n", 4), 4u) << exporter->log();
}

TEST_F(ExporterAlone, TermEndsItAtOnceAndCleanlyEvenWithAProbeWaitingAndHelpSaysEverything) {
    start();
    ScriptedRouter silent(10023, behaviour::silent);
    auto waiting = get_later("/probe?target=127.0.0.1:10023", 60);
    usleep(300 * 1000);
    auto began = clock_type::now();
    int status = exporter->terminate(5000);
    EXPECT_LT(seconds_since(began), 3);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(waiting.get().first.status, 200);
    EXPECT_EQ(exporter->logged("Terminated, stopping\n", 1), 1u) << exporter->log();
    std::string help_path = dev.dir + "/help.txt";
    std::string command =
        program_under_test("EXPORTER_BIN", EXPORTER_BUILT) + " --help >" + help_path;
    ASSERT_EQ(system(command.c_str()), 0);
    std::string help = read_file(help_path);
    for (const char *what : {"--listen ADDR:PORT", "--allow CIDR", "--allow-name DOMAIN",
                             "0.0.0.0:9742", "/probe?target=", "/live?target=", "/metrics", "TERM"})
        EXPECT_NE(help.find(what), std::string::npos) << what;
}

} // namespace
