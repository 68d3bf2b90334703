// linkstatd end to end: the shipped daemon in a simulated device, in a network namespace of
// its own, asked over loopback as a client on the network would ask it.
#include "device.h"
#include "stats_client.h"

#include <csignal>
#include <gtest/gtest.h>
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
    client.close_now();
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
}

long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

TEST_F(Linkstatd, AFinishedConnectionDoesNotCutTheSecondBetweenAcceptsShort) {
    usleep(1200 * 1000); // the daemon is back in accept
    StatsClient first;
    long accepted_after = now_ms();
    ASSERT_TRUE(first.connect_within());
    usleep(100 * 1000);
    // Its process ends now, while the daemon waits out the second after the accept.
    client.close_now();
    StatsClient second;
    ASSERT_TRUE(second.connect_within());
    ASSERT_TRUE(second.send_text("ask"));
    ASSERT_EQ(second.receive(92).size(), 92u);
    EXPECT_GE(now_ms() - accepted_after, 900);
}

TEST_F(Linkstatd, TheParentHoldsOnlyTheListeningSocket) {
    if (device_arch_is("mips"))
        GTEST_SKIP() << "the emulator's own descriptors are counted with the daemon's";
    StatsClient second;
    ASSERT_TRUE(second.connect_within());
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 2; }));
    EXPECT_TRUE(wait_for([&] { return socket_fds_of(dev.pid) == 1; })) << socket_fds_of(dev.pid);
    client.close_now();
    second.close_now();
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).empty(); }, 10000));
    EXPECT_EQ(socket_fds_of(dev.pid), 1);
}

TEST_F(Linkstatd, ARestartedDaemonBindsWhileAnOldConnectionIsStillServed) {
    ASSERT_TRUE(client.send_text("ask"));
    ASSERT_EQ(client.receive(92).size(), 92u);
    kill(dev.pid, SIGKILL);
    ASSERT_NE(dev.wait_exit(5000), -1);

    Device restarted(".restarted");
    restarted.write_proc("wlan0/sta_info", "rssi: 9 (9 9 9 9)\ncurrent_tx_rate: 1\n"
                                           "current_rx_rate: 1\n");
    restarted.start(daemon_path());
    StatsClient fresh;
    ASSERT_TRUE(fresh.connect_within()) << restarted.err();
    ASSERT_TRUE(fresh.send_text("ask"));
    EXPECT_EQ(word_at(fresh.receive(92), 10), 9u);
    EXPECT_TRUE(restarted.running()) << restarted.err();

    // The old connection's process still answers from the old device's table.
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
    EXPECT_NE(second.err().find("socket--bind: Address already in use\n"), std::string::npos)
        << second.err();
    EXPECT_TRUE(dev.running());
}

} // namespace
