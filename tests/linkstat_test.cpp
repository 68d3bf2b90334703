// The linkstat client against the real daemon, and against small fake servers on port 10000
// that answer short, wrongly or not at all.
#include "device.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct run_result {
    int status; // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Runs linkstat with args, its output captured in files beside the test devices. With
// interrupt_after_frames, Ctrl-C comes once that many frames are drawn (or after 20 s).
run_result run_linkstat(const std::string &args, int interrupt_after_frames = 0) {
    std::string bin = program_under_test("LINKSTAT_BIN", LINKSTAT_BUILT);
    // The emulator is for a device build of the client; the host build runs as it is.
    const char *emu = getenv("LINKSTAT_BIN") ? getenv("DEVICE_EMULATOR") : nullptr;
    std::string base = std::string(LINKSTAT_OUT) + "." + std::to_string(getpid());
    std::string cmd = std::string(emu && *emu ? emu : "") + " '" + bin + "' " + args + " >'" +
                      base + ".out' 2>'" + base + ".err'";
    if (interrupt_after_frames)
        cmd = "(" + cmd + ") & pid=$!; i=0; until [ \"$(grep -c 'rx rate' '" + base +
              ".out')\" -ge " + std::to_string(interrupt_after_frames) +
              " ] || [ $i -ge 400 ]; do sleep 0.05; i=$((i+1)); done; kill -INT $pid; wait $pid";
    int st = system(cmd.c_str());
    run_result r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_file(base + ".out"),
                 read_file(base + ".err")};
    unlink((base + ".out").c_str());
    unlink((base + ".err").c_str());
    return r;
}

const char station_table[] = "1: stat_info...\n"
                             "    rssi: 40 (40 35 0 0)\n"
                             "    current_tx_rate: MCS7 (72.2)\n"
                             "    current_rx_rate: 5\n";

class LinkstatWithDaemon : public testing::Test {
  protected:
    void SetUp() override {
        dev.write_proc("wlan0/sta_info", station_table);
        dev.start(program_under_test("LINKSTATD_BIN", LINKSTATD_BUILT));
        StatsClient probe;
        ASSERT_TRUE(probe.connect_within()) << dev.err();
    }
    Device dev;
};

TEST_F(LinkstatWithDaemon, PrintsRssiPathsAndRatesInMegabits) {
    run_result r = run_linkstat("127.0.0.1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rssi         40\n"
                     "  path A     40\n"
                     "  path B     35\n"
                     "  path C      0\n"
                     "  path D      0\n"
                     "tx rate      72.5 Mb/s  (code 145)\n"
                     "rx rate       5.5 Mb/s  (code 11)\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(LinkstatWithDaemon, RawPrintsTheLengthWordThenOneEntryALine) {
    run_result r = run_linkstat("--raw");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 12u) << r.out;
    EXPECT_EQ(lines[0], "00 00 00 5c");
    EXPECT_EQ(lines[1], "00 00 00 00 00 00 00 00");
    EXPECT_EQ(lines[5], "00 00 00 04 00 00 00 28");
    EXPECT_EQ(lines[10], "00 00 00 09 00 00 00 91");
    EXPECT_EQ(lines[11], "00 00 00 0a 00 00 00 0b");
}

TEST_F(LinkstatWithDaemon, WatchRedrawsWithBarsAndEndsCleanlyOnCtrlC) {
    run_result r = run_linkstat("--watch", 2);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t first = r.out.find("\033[H\033[2J");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(r.out.find("\033[H\033[2J", first + 1), std::string::npos);
    EXPECT_NE(r.out.find("path B     35  [##############......"), std::string::npos) << r.out;
    // The cursor is shown again on the way out.
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "\033[?25h\n");
}

// A server on port 10000 that answers the first request of one connection with reply and
// closes, or with hold_open keeps silent until the client has gone.
class FakeServer {
  public:
    FakeServer(const std::string &reply, bool hold_open) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(10000);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ =
            bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
        thread_ = std::thread([this, reply, hold_open] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            char request[16];
            if (recv(c, request, sizeof request, 0) > 0 && !hold_open)
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            while (hold_open && recv(c, request, sizeof request, 0) > 0) {
            }
            close(c);
        });
    }
    ~FakeServer() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    bool bound() const { return bound_; }

  private:
    int fd_;
    bool bound_;
    std::thread thread_;
};

std::vector<unsigned> record_with_length(unsigned length) {
    std::vector<unsigned> words(23, 0);
    words[0] = length;
    return words;
}

TEST(Linkstat, FailsWithOneClearLineWhenTheReplyIsWrongOrAbsent) {
    struct row {
        const char *name;
        std::string reply;
        const char *message;
        bool server;
        bool hold_open;
    };
    // Under the emulator the connect error arrives as the host's number, so its text differs.
    const std::string refused = std::string("cannot connect to 127.0.0.1 port 10000: ") +
                                (device_arch_is("mips") ? "" : "Connection refused");
    const row rows[] = {
        {"no daemon", "", refused.c_str(), false, false},
        {"short reply", words_be(record_with_length(92)).substr(0, 50),
         "short reply: 50 of 92 bytes", true, false},
        {"closed unanswered, as at the daemon's cap", "", "closed without a reply", true, false},
        {"bad length word", words_be(record_with_length(91)), "malformed reply: length word 91",
         true, false},
        {"silent server", "", "no reply within 3 s", true, true},
    };
    for (const row &r : rows) {
        std::unique_ptr<FakeServer> server;
        if (r.server) {
            server = std::make_unique<FakeServer>(r.reply, r.hold_open);
            ASSERT_TRUE(server->bound()) << r.name;
        }
        run_result got = run_linkstat("");
        EXPECT_EQ(got.status, 1) << r.name;
        EXPECT_EQ(got.out, "") << r.name;
        EXPECT_EQ(lines_of(got.err).size(), 1u) << r.name << ": " << got.err;
        EXPECT_NE(got.err.find(r.message), std::string::npos) << r.name << ": " << got.err;
    }
}

TEST(Linkstat, RefusesUnknownOptions) {
    run_result r = run_linkstat("--verbose");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: linkstat [--raw|--watch] [HOST]\n");
}

} // namespace
