// linkstatd end to end: the shipped daemon in a simulated device, in a network namespace of
// its own, asked over loopback as a client on the network would ask it.
#include "device.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const char station_table[] = "-- STA info table -- (active: 1)\n"
                             "1: stat_info...\n"
                             "    hwaddr: 00e04c8196c1\n"
                             "    rx_retrys: 7\n"
                             "    tx_retrys: 12\n"
                             "    rssi: 40 (40 35 0 0)\n"
                             "    current_tx_rate: MCS7 (72.2)\n"
                             "    current_rx_rate: 54\n";

// 92, then entries 0 to 3 all zero, rssi and paths, tx 72.5 Mb/s, rx 54 Mb/s.
const std::vector<unsigned> station_record = {92, 0, 0,  0, 0, 0, 0, 0, 0,   4,  40, 5,
                                              40, 6, 35, 7, 0, 8, 0, 9, 145, 10, 108};

// Long enough for a second reply after the 500 ms pause to have come.
constexpr int silence_ms = 1500;

std::string daemon_path() {
    return program_under_test("LINKSTATD_BIN", LINKSTATD_BUILT);
}

long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Waits until the daemon has printed n "connected" lines; when that happened, or -1.
long connected_lines_at(Device &dev, size_t n) {
    if (!wait_for([&] { return count_of(dev.out(), " connected\n") >= n; }, 20000))
        return -1;
    return now_ms();
}

// The port a client connected from, as the daemon's lines name it.
int local_port(const StatsClient &c) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(c.fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

class Linkstatd : public testing::Test {
  protected:
    void SetUp() override {
        dev.write_proc("wlan0/sta_info", station_table);
        dev.start(daemon_path());
        ASSERT_TRUE(client.connect_within()) << dev.err();
    }
    Device dev;
    StatsClient client;
};

TEST_F(Linkstatd, AskGetsTheWholeRecordBigEndian) {
    ASSERT_TRUE(client.send_text("ask"));
    EXPECT_EQ(client.receive(92), words_be(station_record));
    EXPECT_TRUE(wait_for([&] {
        return dev.out().find("Auto Cable Link Test daemon start...\n127.0.0.1:") == 0 &&
               dev.out().find(" connected\n") != std::string::npos;
    })) << dev.out();
}

TEST_F(Linkstatd, RequestsGetOneReplyOnlyWhenTheirFirstThreeBytesAreAsk) {
    struct row {
        const char *name;
        std::string bytes;
        size_t replies;
    };
    const row rows[] = {
        {"ask with trailing bytes", "askXYZ", 1},
        {"a and s alone", "as", 0},
        {"capitals", "ASK", 0},
        {"a byte in front", "xask", 0},
        {"token twice in one receive", "askask", 1},
        {"twelve bytes: ten then two", "ask123456789", 1},
    };
    for (const row &r : rows) {
        StatsClient c;
        ASSERT_TRUE(c.connect_within()) << r.name;
        ASSERT_TRUE(c.send_text(r.bytes)) << r.name;
        std::string got = c.receive(92 * (r.replies + 1), int(r.replies) * 1000 + silence_ms);
        EXPECT_EQ(got.size(), 92 * r.replies) << r.name;
        if (r.replies) {
            EXPECT_EQ(got.substr(0, 92), words_be(station_record)) << r.name;
        }
    }
}

TEST_F(Linkstatd, MissingRateLinesStillSendTheRecordAndReportTheFailure) {
    dev.write_proc("wlan0/sta_info", "1: stat_info...\n    rssi: 40 (40 35 0 0)\n");
    ASSERT_TRUE(client.send_text("ask"));
    std::vector<unsigned> expected = station_record;
    for (size_t i = 19; i < 23; ++i)
        expected[i] = 0;
    EXPECT_EQ(client.receive(92), words_be(expected));
    EXPECT_TRUE(wait_for([&] {
        return dev.out().find("get proc data failed\n") != std::string::npos;
    })) << dev.out();
}

TEST_F(Linkstatd, EveryRequestReadsTheTableAfresh) {
    ASSERT_TRUE(client.send_text("ask"));
    EXPECT_EQ(word_at(client.receive(92), 10), 40u);
    dev.write_proc("wlan0/sta_info", "rssi: 71 (70 69 0 0)\ncurrent_tx_rate: 1\n"
                                     "current_rx_rate: 5\n");
    ASSERT_TRUE(client.send_text("ask"));
    std::string got = client.receive(92);
    ASSERT_EQ(got.size(), 92u);
    EXPECT_EQ(word_at(got, 10), 71u);
    EXPECT_EQ(word_at(got, 20), 2u);
    EXPECT_EQ(word_at(got, 22), 11u);
}

TEST_F(Linkstatd, TwoClientsAtOnceEachGetTheirOwnReplies) {
    StatsClient second;
    ASSERT_TRUE(second.connect_within());
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(client.send_text("ask"));
        ASSERT_TRUE(second.send_text("ask"));
        EXPECT_EQ(client.receive(92), words_be(station_record)) << round;
        EXPECT_EQ(second.receive(92), words_be(station_record)) << round;
    }
}

TEST_F(Linkstatd, ConnectionProcessesEndAndAreReapedOnceTheirPeersClose) {
    ASSERT_TRUE(client.send_text("ask"));
    ASSERT_EQ(client.receive(92).size(), 92u);
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    // Past the second after the accept, so the daemon waits in accept when this one ends.
    long accepted = connected_lines_at(dev, 1);
    while (now_ms() < accepted + 1500)
        usleep(50 * 1000);
    client.close_now();
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    for (int i = 0; i < 3; ++i) {
        StatsClient c;
        ASSERT_TRUE(c.connect_within());
        ASSERT_TRUE(c.send_text("ask"));
        ASSERT_EQ(c.receive(92).size(), 92u);
    }
    // Gone and reaped: a zombie would still be listed with the daemon as its parent.
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000))
        << children_of(dev.pid).size() << " children left";
    EXPECT_TRUE(dev.running());
    // An accept cut short by a finished child is retried without a word.
    EXPECT_EQ(dev.err(), "");
}

TEST_F(Linkstatd, AFinishedConnectionDoesNotCutTheSecondBetweenAcceptsShort) {
    ASSERT_NE(connected_lines_at(dev, 1), -1);
    StatsClient first, second;
    ASSERT_TRUE(first.connect_within());
    long first_accepted = connected_lines_at(dev, 2);
    ASSERT_NE(first_accepted, -1);
    // Its process ends now, while the daemon waits out the second after the accept.
    client.close_now();
    ASSERT_TRUE(second.connect_within());
    long second_accepted = connected_lines_at(dev, 3);
    ASSERT_NE(second_accepted, -1);
    EXPECT_GE(second_accepted - first_accepted, 900);
}

TEST_F(Linkstatd, TheParentHoldsOnlyTheListeningSocketAndEachChildOnlyItsConnection) {
    StatsClient second;
    ASSERT_TRUE(second.connect_within());
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 2; }));
    EXPECT_TRUE(wait_for([&] { return socket_fds_of(dev.pid) == 1; })) << socket_fds_of(dev.pid);
    for (pid_t child : children_of(dev.pid))
        EXPECT_EQ(socket_fds_of(child), 1) << "child " << child;
    client.close_now();
    second.close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    EXPECT_EQ(socket_fds_of(dev.pid), 1);
}

TEST_F(Linkstatd, AConnectionWhosePeerHasGoneEndsWithStatusZeroNotBySigpipe) {
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    pid_t child = children_of(dev.pid)[0];
    // The daemon held still cannot reap, so the ended process stays to show its status.
    kill(dev.pid, SIGSTOP);
    // Three requests, then the peer goes before any is read: the first reply meets a closed
    // socket and the second send fails.
    kill(child, SIGSTOP);
    std::string request = "ask" + std::string(7, '.');
    ASSERT_TRUE(client.send_text(request + request + request));
    client.close_now();
    kill(child, SIGCONT);
    int status = -1;
    EXPECT_TRUE(wait_for([&] { return zombie_status(child, status); }, 20000));
    kill(dev.pid, SIGCONT);
    EXPECT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "wait status " << status;
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
}

TEST_F(Linkstatd, AFailedAcceptIsReportedWithoutAConnectedLineOrAProcessAndRetried) {
    ASSERT_NE(connected_lines_at(dev, 1), -1);
    client.close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    // The "connected" line comes before the fork: wait until the parent has let go of the
    // connection too, or its descriptor would be free again after the limit is set.
    ASSERT_TRUE(wait_for([&] { return socket_fds_of(dev.pid) == 1; }));
    // No descriptor number left for the daemon: every accept fails until the limit is raised.
    rlimit normal{};
    ASSERT_EQ(prlimit(dev.pid, RLIMIT_NOFILE, nullptr, &normal), 0);
    rlimit exhausted{rlim_t(lowest_free_fd(dev.pid)), normal.rlim_max};
    ASSERT_EQ(prlimit(dev.pid, RLIMIT_NOFILE, &exhausted, nullptr), 0);
    size_t connected = count_of(dev.out(), " connected\n");

    StatsClient waiting;
    ASSERT_TRUE(waiting.connect_once()); // completes in the listen backlog
    const std::string refused = "accept: " + libc_error_text(EMFILE) + "\n";
    EXPECT_TRUE(wait_for([&] { return count_of(dev.err(), refused) >= 2; }, 20000)) << dev.err();
    EXPECT_EQ(count_of(dev.out(), " connected\n"), connected) << dev.out();
    EXPECT_TRUE(children_of(dev.pid).empty());

    ASSERT_EQ(prlimit(dev.pid, RLIMIT_NOFILE, &normal, nullptr), 0);
    ASSERT_TRUE(waiting.send_text("ask"));
    EXPECT_EQ(waiting.receive(92, 10000), words_be(station_record));
}

// Holds a process in a pids cgroup of its own that allows it no more processes than it has,
// so its fork fails; lifted on request and undone at the end.
class PidsLimit {
  public:
    explicit PidsLimit(pid_t pid) : pid_(pid) {
        dir_ = std::string(root) + "/linkstatd_e2e." + std::to_string(getpid());
        std::string own = read_file("/proc/" + std::to_string(pid) + "/cgroup");
        size_t at = own.find(":pids:");
        if (at == std::string::npos || mkdir(dir_.c_str(), 0755) != 0)
            return;
        home_ = std::string(root) + own.substr(at + 6, own.find('\n', at) - at - 6);
        write_file(dir_ + "/cgroup.procs", std::to_string(pid_));
        write_file(dir_ + "/pids.max", read_file(dir_ + "/pids.current"));
        held_ = read_file(dir_ + "/cgroup.procs") == std::to_string(pid_) + "\n";
    }
    ~PidsLimit() {
        for (const std::string &p : lines_of(read_file(dir_ + "/cgroup.procs")))
            write_file(home_ + "/cgroup.procs", p);
        rmdir(dir_.c_str());
    }
    PidsLimit(const PidsLimit &) = delete;
    PidsLimit &operator=(const PidsLimit &) = delete;
    bool held() const { return held_; }
    void lift() const { write_file(dir_ + "/pids.max", "max"); }

  private:
    static constexpr char root[] = "/sys/fs/cgroup/pids";
    pid_t pid_;
    std::string dir_, home_;
    bool held_ = false;
};

TEST_F(Linkstatd, AFailedForkIsReportedAndThatConnectionClosed) {
    ASSERT_NE(connected_lines_at(dev, 1), -1);
    client.close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    PidsLimit limit(dev.pid);
    if (!limit.held())
        GTEST_SKIP() << "no pids cgroup to hold the daemon in";
    StatsClient refused;
    ASSERT_TRUE(refused.connect_once());
    const std::string failed = "fork: " + libc_error_text(EAGAIN) + "\n";
    EXPECT_TRUE(wait_for([&] { return dev.err().find(failed) != std::string::npos; }, 20000))
        << dev.err();
    EXPECT_TRUE(refused.closed_by_peer()) << "the connection no process serves is closed";
    EXPECT_TRUE(children_of(dev.pid).empty());

    limit.lift();
    StatsClient served;
    ASSERT_TRUE(served.connect_once());
    ASSERT_TRUE(served.send_text("ask"));
    EXPECT_EQ(served.receive(92, 10000), words_be(station_record));
}

TEST_F(Linkstatd, AKilledDaemonLeavesNoProcessServingAndARestartedOneBindsAtOnce) {
    ASSERT_TRUE(client.send_text("ask"));
    ASSERT_EQ(client.receive(92).size(), 92u);
    kill(dev.pid, SIGKILL);
    ASSERT_NE(dev.wait_exit(5000), -1);
    // Its connection's process went with it, leaving the port's old connection closing.
    EXPECT_TRUE(client.closed_by_peer());

    Device restarted(".restarted");
    restarted.write_proc("wlan0/sta_info", "rssi: 9 (9 9 9 9)\ncurrent_tx_rate: 1\n"
                                           "current_rx_rate: 1\n");
    restarted.start(daemon_path());
    StatsClient fresh;
    ASSERT_TRUE(fresh.connect_within()) << restarted.err();
    ASSERT_TRUE(fresh.send_text("ask"));
    EXPECT_EQ(word_at(fresh.receive(92), 10), 9u);
    EXPECT_TRUE(restarted.running()) << restarted.err();
}

TEST_F(Linkstatd, RequestsSentInOneGoAreAnsweredAtMostTwiceASecond) {
    std::string request = "ask" + std::string(7, '.');
    long sent = now_ms();
    ASSERT_TRUE(client.send_text(request + request + request + request));
    const size_t four_replies = 4 * size_t{92};
    EXPECT_EQ(client.receive(four_replies, 10000).size(), four_replies);
    // Three pauses of half a second lie between the first reply and the fourth.
    EXPECT_GE(now_ms() - sent, 1500);
}

TEST_F(Linkstatd, ANinthConnectionIsClosedUnservedUntilOneOfTheEightEnds) {
    std::vector<std::unique_ptr<StatsClient>> served;
    for (size_t n = 2; n <= 8; ++n) {
        served.push_back(std::make_unique<StatsClient>());
        ASSERT_TRUE(served.back()->connect_once());
        ASSERT_NE(connected_lines_at(dev, n), -1) << dev.out();
    }
    StatsClient ninth;
    ASSERT_TRUE(ninth.connect_once());
    EXPECT_TRUE(ninth.closed_by_peer(20000));
    std::string refused =
        "127.0.0.1:" + std::to_string(local_port(ninth)) + " refused: 8 connections being served\n";
    EXPECT_TRUE(wait_for([&] { return dev.out().find(refused) != std::string::npos; }))
        << dev.out();
    EXPECT_EQ(count_of(dev.out(), " connected\n"), 8u);
    EXPECT_EQ(children_of(dev.pid).size(), 8u);

    // Two ending at once (their signals may come as one) make room for two.
    client.close_now();
    served.back()->close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 6; }, 10000));
    for (int i = 0; i < 2; ++i) {
        StatsClient &next = *served.emplace_back(std::make_unique<StatsClient>());
        ASSERT_TRUE(next.connect_once());
        ASSERT_TRUE(next.send_text("ask"));
        EXPECT_EQ(next.receive(92, 10000), words_be(station_record)) << i;
    }
}

// Long: the kernel gives a vanished peer a minute. Runs on the host build only.
TEST_F(Linkstatd, AVanishedPeerLosesItsProcessWithinTheKeepaliveWindowAndAQuietOneIsKept) {
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    pid_t quiet = children_of(dev.pid)[0];
    StatsClient vanishing;
    ASSERT_TRUE(vanishing.connect_once());
    ASSERT_TRUE(vanishing.send_text("ask"));
    ASSERT_EQ(vanishing.receive(92, 10000).size(), 92u);
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 2; }));
    std::vector<pid_t> kids = children_of(dev.pid);
    pid_t gone = kids[0] == quiet ? kids[1] : kids[0];

    // The daemon held still cannot reap, so the ended process stays to show its status.
    kill(dev.pid, SIGSTOP);
    // Nothing reaches the peer or comes from it from now on, not even a FIN or a RST.
    std::string port = std::to_string(local_port(vanishing));
    ASSERT_EQ(system(("nft 'table inet vanish { chain in { type filter hook input priority 0; "
                      "tcp sport " +
                      port + " drop; tcp dport " + port + " drop; }; }'")
                         .c_str()),
              0);
    long cut = now_ms();
    int status = -1;
    EXPECT_TRUE(wait_for([&] { return zombie_status(gone, status); }, 120000));
    EXPECT_LE(now_ms() - cut, 90000);
    kill(dev.pid, SIGCONT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;

    // The quiet peer's own stack answered the probes.
    ASSERT_TRUE(client.send_text("ask"));
    EXPECT_EQ(client.receive(92), words_be(station_record));
}

TEST_F(Linkstatd, ASecondDaemonFailsToBindAndExitsWithTheErrno) {
    Device second(".second");
    second.write_proc("wlan0/sta_info", station_table);
    second.start(daemon_path());
    int status = second.wait_exit(20000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), device_arch_is("mips") ? 125 : 98);
    EXPECT_NE(second.err().find("socket--bind: " + libc_error_text(EADDRINUSE) + "\n"),
              std::string::npos)
        << second.err();
    EXPECT_TRUE(dev.running());
}

} // namespace
