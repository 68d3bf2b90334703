// linkstatd end to end: the shipped daemon in a simulated device, in a network namespace of
// its own, asked over loopback as a client on the network would ask it.
#include "../statsd/platform.h"
#include "device.h"
#include "stats_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
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

// What a connection may send without an "ask" before it is closed.
constexpr size_t max_unasked = 1024;

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

// Waits until n connection processes serve; when the newest started, or -1.
long served_at(Device &dev, size_t n) {
    long newest = -1;
    if (wait_for([&] { return children_of(dev.pid).size() >= n; }, 20000))
        for (pid_t child : children_of(dev.pid))
            newest = std::max(newest, started_ms(child));
    return newest;
}

// The lines of the daemon's output that hold what.
std::vector<std::string> lines_with(Device &dev, const std::string &what) {
    std::vector<std::string> found;
    for (const std::string &line : lines_of(dev.out()))
        if (line.find(what) != std::string::npos)
            found.push_back(line);
    return found;
}

// N of a line's " (N more WHAT)", 0 when it has none.
unsigned more_count(const std::string &line) {
    size_t at = line.find(" (");
    return at == std::string::npos ? 0 : unsigned(atoi(line.c_str() + at + 2));
}

// Sends without pause until the daemon's side takes nothing more for half a second; how
// many bytes it took, counted as those written that the own send queue no longer holds.
size_t stream_until_held(const StatsClient &c) {
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    const std::string junk(4096, '.');
    size_t written = 0;
    pollfd p{c.fd, POLLOUT, 0};
    while (written < (size_t{8} << 20) && poll(&p, 1, 500) == 1) {
        ssize_t n = send(c.fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN)
            break;
        written += size_t(n > 0 ? n : 0);
    }
    int queued = 0;
    ioctl(c.fd, SIOCOUTQ, &queued);
    return written - size_t(queued);
}

// Starts the daemon in dev behind launcher (a command line in front of it).
void start_behind(Device &dev, const std::string &launcher) {
    dev.write_proc("wlan0/sta_info", station_table);
    dev.launcher = launcher;
    dev.start(daemon_path());
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
        // The replies owed may come late on a busy host; nothing may follow them.
        std::string got = r.replies ? c.receive(92 * r.replies) : "";
        got += c.receive(1, silence_ms);
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
    // Past the second after the serve, so the daemon waits for a connection when this one
    // ends.
    usleep(1500 * 1000);
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

TEST_F(Linkstatd, AFinishedConnectionDoesNotCutTheSecondBetweenServesShort) {
    ASSERT_NE(served_at(dev, 1), -1);
    StatsClient first, second;
    ASSERT_TRUE(first.connect_within());
    long first_served = served_at(dev, 2);
    ASSERT_NE(first_served, -1);
    // Its process ends now, while the daemon waits out the second after the last serve.
    client.close_now();
    ASSERT_TRUE(second.connect_within());
    ASSERT_TRUE(wait_for([&] { return served_at(dev, 1) > first_served; }, 20000));
    // The start times count the kernel's ticks.
    EXPECT_GE(served_at(dev, 1) - first_served, 990);
}

TEST_F(Linkstatd, TheParentHoldsOnlyTheListeningSocketAndEachChildOnlyItsConnection) {
    StatsClient second;
    ASSERT_TRUE(second.connect_within());
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 2; }));
    EXPECT_TRUE(wait_for([&] { return socket_fds_of(dev.pid) == 1; })) << socket_fds_of(dev.pid);
    // A child just forked still holds the listening socket until its first steps close it.
    for (pid_t child : children_of(dev.pid))
        EXPECT_TRUE(wait_for([&] { return socket_fds_of(child) == 1; }))
            << "child " << child << ": " << socket_fds_of(child);
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
    ASSERT_NE(served_at(dev, 1), -1);
    client.close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    // Wait until the parent has let go of the connection too, or its descriptor would be free
    // again after the limit is set.
    ASSERT_TRUE(wait_for([&] { return socket_fds_of(dev.pid) == 1; }));
    // No descriptor number left for the daemon: every accept fails until the limit is raised.
    // Set as the daemon's own user, which the test's capabilities may not reach.
    auto limit = [&](rlim_t descriptors) {
        return as_user(run_as_uid, run_as_gid, [&] {
            rlimit limit{};
            if (prlimit(dev.pid, RLIMIT_NOFILE, nullptr, &limit) != 0)
                return false;
            limit.rlim_cur = descriptors;
            return prlimit(dev.pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
        });
    };
    ASSERT_TRUE(limit(rlim_t(lowest_free_fd(dev.pid))));
    size_t connected = count_of(dev.out(), " connected\n");

    StatsClient waiting;
    ASSERT_TRUE(waiting.connect_once()); // completes in the listen backlog
    const std::string refused = "accept: " + libc_error_text(EMFILE) + "\n";
    EXPECT_TRUE(wait_for([&] { return count_of(dev.err(), refused) >= 2; }, 20000)) << dev.err();
    EXPECT_EQ(count_of(dev.out(), " connected\n"), connected) << dev.out();
    EXPECT_TRUE(children_of(dev.pid).empty());

    ASSERT_TRUE(limit(64));
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
    ASSERT_NE(served_at(dev, 1), -1);
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
        served.push_back(std::make_unique<StatsClient>(n <= 4 ? "127.0.0.1" : "127.0.0.2"));
        ASSERT_TRUE(served.back()->connect_once());
        ASSERT_NE(served_at(dev, n), -1);
    }
    StatsClient ninth("127.0.0.3");
    ASSERT_TRUE(ninth.connect_once());
    EXPECT_TRUE(ninth.closed_by_peer(20000));
    std::string refused = "127.0.0.3:" + std::to_string(ninth.local_port()) +
                          " refused: 8 connections being served\n";
    EXPECT_TRUE(wait_for([&] { return dev.out().find(refused) != std::string::npos; }))
        << dev.out();
    EXPECT_EQ(children_of(dev.pid).size(), 8u);

    // Two ending at once (their signals may come as one) make room for two.
    client.close_now();
    served.back()->close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 6; }, 10000));
    for (int i = 0; i < 2; ++i) {
        StatsClient &next = *served.emplace_back(std::make_unique<StatsClient>("127.0.0.3"));
        ASSERT_TRUE(next.connect_once());
        ASSERT_TRUE(next.send_text("ask"));
        EXPECT_EQ(next.receive(92, 10000), words_be(station_record)) << i;
    }
}

// One wait of the log interval shows the limit on both kinds of line a connecting peer causes.
TEST_F(Linkstatd, OneAddressHoldsFourAndConnectedAndRefusedLinesComeOnceInTenSecondsWithACount) {
    std::vector<std::unique_ptr<StatsClient>> held;
    for (size_t n = 2; n <= 4; ++n) {
        held.push_back(std::make_unique<StatsClient>());
        ASSERT_TRUE(held.back()->connect_once());
        ASSERT_NE(served_at(dev, n), -1);
    }
    // A fifth from the same address is closed unanswered; one from another is served.
    auto refused = [] {
        StatsClient fifth;
        EXPECT_TRUE(fifth.connect_once() && fifth.closed_by_peer(20000));
        return std::to_string(fifth.local_port());
    };
    auto served = [] {
        StatsClient other("127.0.0.2");
        EXPECT_TRUE(other.connect_once() && other.send_text("ask"));
        EXPECT_EQ(other.receive(92, 10000), words_be(station_record));
        return std::to_string(other.local_port());
    };
    std::string first = refused();
    // The interval counts whole seconds from the first refusal line, logged by now.
    long first_logged = now_ms();
    for (int i = 0; i < 5; ++i)
        refused();
    served();
    while (now_ms() < first_logged + 11000)
        usleep(100 * 1000);
    std::string next = refused(), other = served();
    const std::string why = " refused: 4 connections from that address being served";
    EXPECT_EQ(lines_with(dev, " refused: "),
              (std::vector<std::string>{"127.0.0.1:" + first + why,
                                        "127.0.0.1:" + next + why + " (5 more refused)"}));
    std::vector<std::string> connected = lines_with(dev, " connected");
    ASSERT_EQ(connected.size(), 2u) << dev.out();
    EXPECT_EQ(connected[0].find("127.0.0.1:"), 0u) << connected[0];
    // The three held and one from the other address went unlogged.
    EXPECT_EQ(connected[1], "127.0.0.2:" + other + " connected (4 more connected)");
}

TEST_F(Linkstatd, AStreamingPeerHasAFewKiBAcceptedAndItsResetEndsTheProcessAtOnce) {
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    int big = 256 * 1024;
    setsockopt(client.fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t accepted = stream_until_held(client);
    EXPECT_LT(accepted, size_t{16} * 1024);
    // Left to itself the process would drain what is queued at 20 bytes a second.
    linger reset{1, 0};
    setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    client.close_now();
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
}

TEST_F(Linkstatd, GetProcDataFailedIsLoggedOnceInTenSecondsWithACountAndTheTableBackOnce) {
    StatsClient second("127.0.0.2");
    ASSERT_TRUE(second.connect_within());
    dev.remove_proc("wlan0/sta_info");
    // Two connections asking: the limit is the daemon's, not each process's.
    std::vector<unsigned> empty(23, 0);
    empty[0] = 92;
    unsigned failed = 0;
    long first = now_ms();
    while (now_ms() - first < 11000)
        for (StatsClient *c : {&client, &second}) {
            ASSERT_TRUE(c->send_text("ask"));
            ASSERT_EQ(c->receive(92, 10000), words_be(empty));
            ++failed;
        }
    long span_s = (now_ms() - first) / 1000;
    dev.write_proc("wlan0/sta_info", station_table);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.send_text("ask"));
        EXPECT_EQ(client.receive(92, 10000), words_be(station_record));
    }
    ASSERT_TRUE(wait_for([&] { return !lines_with(dev, "get proc data ok again").empty(); }))
        << dev.out();
    std::vector<std::string> lines = lines_with(dev, "get proc data");
    ASSERT_GE(lines.size(), 3u) << dev.out();
    EXPECT_LE(lines.size(), size_t(2 + span_s / 10)) << dev.out();
    EXPECT_EQ(lines[0], "get proc data failed");
    EXPECT_EQ(lines.back().find("get proc data ok again"), 0u);
    // Every failure is counted once: by its own line or in a later line's count.
    unsigned counted = 0;
    for (const std::string &line : lines)
        counted += (line.rfind("get proc data failed", 0) == 0 ? 1 : 0) + more_count(line);
    EXPECT_EQ(counted, failed) << dev.out();
}

class LinkstatdLong : public Linkstatd {};

// Long: a minute without an ask, as shipped. Runs on the host build only.
TEST_F(LinkstatdLong, WithAllEightTakenTheLongestWithoutAnAskMakesRoomAfter60sAndAnAskerStays) {
    // The fixture's client, accepted first, asks throughout; the others stay quiet.
    std::vector<std::unique_ptr<StatsClient>> quiet;
    long oldest_quiet = 0;
    for (size_t n = 2; n <= 8; ++n) {
        quiet.push_back(std::make_unique<StatsClient>(n <= 4 ? "127.0.0.1" : "127.0.0.2"));
        ASSERT_TRUE(quiet.back()->connect_once());
        ASSERT_NE(served_at(dev, n), -1);
        oldest_quiet = oldest_quiet ? oldest_quiet : now_ms();
    }
    StatsClient early("127.0.0.3");
    ASSERT_TRUE(early.connect_once());
    EXPECT_TRUE(early.closed_by_peer(20000)) << "made room before a minute without an ask";
    // The stamps are whole seconds: past 61 of them the oldest quiet one is due.
    while (now_ms() < oldest_quiet + 62000) {
        ASSERT_TRUE(client.send_text("ask"));
        ASSERT_EQ(client.receive(92), words_be(station_record));
        usleep(1000 * 1000);
    }
    StatsClient newcomer("127.0.0.3");
    ASSERT_TRUE(newcomer.connect_once());
    ASSERT_TRUE(newcomer.send_text("ask"));
    EXPECT_EQ(newcomer.receive(92, 10000), words_be(station_record));
    EXPECT_TRUE(quiet[0]->closed_by_peer());
    std::vector<std::string> closed = lines_with(dev, " closed to make room: no ask for ");
    ASSERT_EQ(closed.size(), 1u) << dev.out();
    EXPECT_EQ(closed[0].find("127.0.0.1:" + std::to_string(quiet[0]->local_port()) + " "), 0u);
    EXPECT_GE(atoi(closed[0].c_str() + closed[0].rfind("for ") + 4), 61) << closed[0];
    ASSERT_TRUE(client.send_text("ask"));
    EXPECT_EQ(client.receive(92), words_be(station_record));
    EXPECT_EQ(children_of(dev.pid).size(), 8u);
}

// Long: the kernel's limits are a minute, 1 KiB at 20 bytes a second nearly one; one wait
// shows every limit on what a connection may do. Runs on the host build only.
TEST_F(LinkstatdLong, APeerThatVanishesNeverReadsOrSends1KiBWithoutAnAskLosesItsProcess) {
    StatsClient never_reads("127.0.0.2"), unasking("127.0.0.2"), vanishing, quiet("127.0.0.3");
    never_reads.receive_buffer = 1;
    // Each connection's process, in the order served: the fixture's client first.
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    std::vector<pid_t> kids = children_of(dev.pid);
    for (StatsClient *c : {&never_reads, &unasking, &vanishing, &quiet}) {
        ASSERT_TRUE(c->connect_once() && c->send_text("ask"));
        ASSERT_EQ(c->receive(92, 10000).size(), 92u);
        for (pid_t child : children_of(dev.pid))
            if (std::find(kids.begin(), kids.end(), child) == kids.end())
                kids.push_back(child);
    }
    ASSERT_EQ(kids.size(), 5u);
    // The daemon held still cannot reap, so the ended processes stay to show their status.
    kill(dev.pid, SIGSTOP);
    // Nothing reaches the vanishing peer or comes from it from now on, not even a FIN or a RST.
    std::string port = std::to_string(vanishing.local_port());
    ASSERT_EQ(system(("nft 'table inet vanish { chain in { type filter hook input priority 0; "
                      "tcp sport " +
                      port + " drop; tcp dport " + port + " drop; }; }'")
                         .c_str()),
              0);
    long cut = now_ms();
    // Asks for more replies than both sides' buffers hold, then reads none of them.
    std::string asks;
    while (asks.size() < 2000)
        asks += "ask.......";
    ASSERT_TRUE(never_reads.send_text(asks));
    ASSERT_TRUE(unasking.send_text(std::string(max_unasked + 10, '.')));
    // An ask restarts the count: 350 bytes then an ask, three times, keep getting replies.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(client.send_text(std::string(350, '.') + "ask"));
        EXPECT_EQ(client.receive(92, 30000), words_be(station_record)) << round;
    }
    EXPECT_TRUE(unasking.closed_by_peer(60000));
    int status = -1;
    EXPECT_TRUE(wait_for([&] { return zombie_status(kids[3], status); }, 120000));
    EXPECT_LE(now_ms() - cut, 90000) << "the vanished peer's process outlived its window";
    for (pid_t gone : {kids[1], kids[2], kids[3]}) {
        EXPECT_TRUE(wait_for([&] { return zombie_status(gone, status); }, 150000)) << gone;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    kill(dev.pid, SIGCONT);
    EXPECT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 2; }, 10000));
    // The quiet peer's own stack answered the probes.
    ASSERT_TRUE(quiet.send_text("ask"));
    EXPECT_EQ(quiet.receive(92), words_be(station_record));
}

// The parser's own reading of numbers past 32 bits, the same on every build: their low 32
// bits (a C library's sscanf gives 0 on one machine and 4294967295 on another).
TEST_F(Linkstatd, NumbersPast32BitsKeepTheirLow32BitsOnEveryBuild) {
    dev.write_proc("wlan0/sta_info", "rssi: 4294967336 (99999999999 -1 -4294967297 4294967295)\n"
                                     "current_tx_rate: 4294967301\n"
                                     "current_rx_rate: MCS7 (-2147483649.5)\n");
    ASSERT_TRUE(client.send_text("ask"));
    std::string got = client.receive(92);
    ASSERT_EQ(got.size(), 92u);
    // rssi, the four paths, then tx (a legacy 5, so 5.5 Mb/s) and rx (2 times r plus 1).
    const unsigned expected[] = {40,         1215752191, 4294967295, 4294967295,
                                 4294967295, 11,         4294967295};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(word_at(got, 10 + 2 * i), expected[i]) << "entry " << 4 + i;
}

// Started with supplementary groups, the daemon and a connection process end up with none
// (the kernel ends the list with a space).
TEST(LinkstatdPrivilege, TheDaemonAndAConnectionProcessRunUnprivilegedWithNoNewPrivileges) {
    Device dev;
    start_behind(dev, "setpriv --groups 4,20");
    StatsClient client;
    ASSERT_TRUE(client.connect_within()) << dev.err();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 1; }));
    // A process's real, effective, saved and file ids, as its status shows them.
    auto ids = [](const char *name, unsigned id) {
        std::string line = name;
        for (int i = 0; i < 4; ++i)
            line.append("\t").append(std::to_string(id));
        return line;
    };
    for (pid_t p : {dev.pid, children_of(dev.pid)[0]}) {
        std::string status = read_file("/proc/" + std::to_string(p) + "/status");
        for (const std::string &line : {ids("Uid:", run_as_uid), ids("Gid:", run_as_gid),
                                        std::string("Groups:\t "), std::string("NoNewPrivs:\t1")})
            EXPECT_NE(status.find("\n" + line + "\n"), std::string::npos) << line << " in\n"
                                                                          << status;
    }
}

// Runs its arguments as root of a user namespace of its own that maps every group but no
// user other than root, through the real procfs that the device's /proc/self points into;
// a stop ends them too.
const char groups_only[] = R"sh(procfs=$(dirname "$(readlink /proc/self)")
unshare --user sh -c 'until grep -q . /proc/self/uid_map; do sleep 0.01; done; exec "$@"' sh "$@" &
child=$!
trap 'kill "$child"' TERM
until [ "$(readlink "$procfs/$child/ns/user")" != "$(readlink "$procfs/$$/ns/user")" ]; do
    sleep 0.01
done
echo '0 0 65536' >"$procfs/$child/gid_map" && echo '0 0 1' >"$procfs/$child/uid_map"
wait "$child"
)sh";

// Root where the unprivileged ids cannot be had: the step of the drop that fails ends the
// daemon with its line and errno before it serves anyone, whichever step it is.
TEST(LinkstatdPrivilege, ADropThatFailsAtAnyStepEndsTheDaemonBeforeItServes) {
    struct row {
        const char *launcher;
        const char *call;
        int err;
    };
    const row rows[] = {
        // No other user or group mapped: setgroups is refused.
        {"unshare --user --map-root-user", "setgroups", EPERM},
        // Every group mapped, so setgroups and setgid succeed; user 65534 is not.
        {"sh /tmp/groups_only.sh", "setuid", EINVAL},
    };
    for (const row &r : rows) {
        Device dev(std::string(".") + r.call);
        write_file(dev.dir + "/tmp/groups_only.sh", groups_only);
        start_behind(dev, r.launcher);
        int status = dev.wait_exit(20000);
        ASSERT_TRUE(WIFEXITED(status)) << r.call << ": " << status;
        EXPECT_EQ(WEXITSTATUS(status), r.err) << r.call;
        EXPECT_EQ(dev.err(), std::string(r.call) + ": " + libc_error_text(r.err) + "\n");
        EXPECT_EQ(dev.out(), "") << r.call;
    }
}

// The daemon's output is a 4 KiB pipe already full whose reader never reads, as a hung
// logger leaves it: the daemon and its connection processes go on, dropping their lines.
TEST(LinkstatdStalledLog, FiveHundredConnectionsAreHandledAndTheDroppedLinesCountedOnceItDrains) {
    Device dev;
    const std::string fifo = dev.dir + "/tmp/log.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(write(writer, std::string(4096, '.').data(), 4096), 4096);
    close(writer);
    write_file(dev.dir + "/tmp/stalled.sh", "exec \"$@\" >/tmp/log.fifo 2>&1\n");
    start_behind(dev, "sh /tmp/stalled.sh");
    StatsClient client;
    ASSERT_TRUE(client.connect_within());
    ASSERT_TRUE(client.send_text("ask"));
    EXPECT_EQ(client.receive(92, 10000), words_be(station_record));
    // The connection's process has a line to log too.
    dev.remove_proc("wlan0/sta_info");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.send_text("ask"));
        EXPECT_EQ(client.receive(92, 10000).size(), 92u) << i;
    }
    // Three more held from this address, then every other one from it refused at once.
    std::vector<std::unique_ptr<StatsClient>> held;
    for (size_t n = 2; n <= 4; ++n) {
        held.push_back(std::make_unique<StatsClient>());
        ASSERT_TRUE(held.back()->connect_once());
        ASSERT_NE(served_at(dev, n), -1);
    }
    for (int i = 0; i < 495; ++i) {
        StatsClient refused;
        ASSERT_TRUE(refused.connect_once() && refused.closed_by_peer(20000)) << i;
    }
    StatsClient other("127.0.0.2");
    ASSERT_TRUE(other.connect_once() && other.send_text("ask"));
    EXPECT_EQ(other.receive(92, 10000).size(), 92u);

    std::string drained;
    EXPECT_TRUE(wait_for([&] {
        char buf[4096];
        for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
            drained.append(buf, size_t(n));
        return drained.find(" dropped\n") != std::string::npos;
    })) << drained;
    close(reader);
    // The banner, the first "connected", "get proc data failed" and refusal at least.
    size_t at = drained.find("log output full: ");
    ASSERT_NE(at, std::string::npos) << drained;
    EXPECT_GE(atoi(drained.c_str() + at + 17), 4) << drained.substr(at);
}

// A month without a client: the second after the last serve is over however far the clock
// has gone since (a 32-bit figure of milliseconds reads 24.9 to 49.7 days on as weeks still
// to wait), and a connection that stayed open is answered as before.
TEST(LinkstatdClock, AfterQuietWeeksANewClientIsServedWithinItsSecondAndAnOpenOneAnswered) {
    if (!Device::clock_can_move())
        GTEST_SKIP() << "only a host build's clock can be moved while it runs";
    Device dev;
    dev.clock_movable = true;
    dev.write_proc("wlan0/sta_info", station_table);
    dev.start(daemon_path());
    StatsClient open;
    ASSERT_TRUE(open.connect_within()) << dev.err();
    ASSERT_TRUE(open.send_text("ask"));
    ASSERT_EQ(open.receive(92), words_be(station_record));
    for (int days : {30, 45}) {
        dev.move_clock(int64_t{days} * 86400);
        StatsClient fresh("127.0.0.2");
        ASSERT_TRUE(fresh.connect_once()) << days;
        ASSERT_TRUE(fresh.send_text("ask"));
        EXPECT_EQ(fresh.receive(92, 3000), words_be(station_record)) << days << " days on";
        ASSERT_TRUE(open.send_text("ask"));
        EXPECT_EQ(open.receive(92, 3000), words_be(station_record)) << days << " days on";
    }
}

int64_t clock_ms(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The daemon's clock passes the marks where 32 bits of milliseconds turn negative (24.8 days
// up) and wrap (49.7 days): a client accepted before a mark and served after it, and one
// accepted after a mark within the second of a serve before it, are each served a second
// after the one before and answered.
TEST(LinkstatdClock, ServesASecondApartAndAnswersAcrossThe2To31And2To32MillisecondMarks) {
    struct arrival {
        int at_ms; // on the daemon's clock, from the mark
        int clients;
    };
    struct row {
        int64_t mark;
        arrival first, second;
    };
    const row rows[] = {
        {int64_t{1} << 31, {-900, 2}, {0, 0}},
        {int64_t{1} << 32, {-900, 2}, {0, 0}},
        {int64_t{1} << 32, {-600, 1}, {150, 1}},
    };
    const char *from[] = {"127.0.0.2", "127.0.0.2", "127.0.0.3"};
    for (const row &r : rows) {
        std::string name = std::to_string(r.mark) + " " + std::to_string(r.first.at_ms);
        // A busy host can start the daemon, or serve the first client, too late for the mark
        // to fall between two serves: the scene is set again with a longer lead.
        bool set = false;
        for (int attempt = 0; attempt < 4 && !set; ++attempt) {
            Device dev("." + std::to_string(&r - rows) + "." + std::to_string(attempt));
            dev.clock_start_ms = r.mark - (int64_t{4000} << attempt);
            // The daemon's clock as the test reads its own, and a process's start as the
            // daemon read its clock then.
            int64_t ahead = dev.clock_start_ms - clock_ms(CLOCK_MONOTONIC);
            int64_t start_ahead = ahead + clock_ms(CLOCK_MONOTONIC) - clock_ms(CLOCK_BOOTTIME);
            dev.write_proc("wlan0/sta_info", station_table);
            dev.start(daemon_path());
            std::vector<std::unique_ptr<StatsClient>> clients;
            clients.push_back(std::make_unique<StatsClient>());
            ASSERT_TRUE(clients[0]->connect_within()) << dev.err();
            size_t n = 0;
            for (const arrival &a : {r.first, r.second}) {
                while (clock_ms(CLOCK_MONOTONIC) + ahead < r.mark + a.at_ms)
                    usleep(5 * 1000);
                for (int i = 0; i < a.clients; ++i) {
                    clients.push_back(std::make_unique<StatsClient>(from[n++]));
                    ASSERT_TRUE(clients.back()->connect_once()) << name;
                }
            }
            for (auto &c : clients) {
                ASSERT_TRUE(c->send_text("ask"));
                EXPECT_EQ(c->receive(92, 10000), words_be(station_record)) << name;
            }
            std::vector<int64_t> served;
            for (pid_t child : children_of(dev.pid))
                served.push_back(started_ms(child) + start_ahead - r.mark);
            std::sort(served.begin(), served.end());
            ASSERT_EQ(served.size(), 3u) << name;
            set = served[0] < r.first.at_ms - 1000 && served[1] < 0;
            if (set) {
                EXPECT_GE(served[2] - served[1], 990) << name;
            }
        }
        EXPECT_TRUE(set) << name << ": the first client was never served before the mark";
    }
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
