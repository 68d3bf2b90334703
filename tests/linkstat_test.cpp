// The linkstat client against the real daemon, and against small fake servers on port 10000
// that answer short, wrongly or not at all.
#include "device.h"
#include "reconnecting_host.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <atomic>
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

// Where a run keeps its output, error output and other files.
std::string run_base() {
    return std::string(LINKSTAT_OUT) + "." + std::to_string(getpid());
}

// The command line that runs the client under test.
std::string linkstat_command() {
    std::string bin = program_under_test("LINKSTAT_BIN", LINKSTAT_BUILT);
    // The emulator is for a device build of the client; the host build runs as it is.
    const char *emu = getenv("LINKSTAT_BIN") ? getenv("DEVICE_EMULATOR") : nullptr;
    return std::string(emu && *emu ? emu : "") + " '" + bin + "'";
}

// Runs linkstat with args behind launcher, its output captured in files beside the test
// devices (or sent to out: a path, or "&N" for descriptor N). With interrupt_after_frames,
// Ctrl-C comes once that many frames are drawn (or after 20 s) unless it has ended by itself.
run_result run_linkstat(const std::string &args, int interrupt_after_frames = 0,
                        const std::string &out = "", const std::string &launcher = "") {
    std::string base = run_base();
    std::string to = out.empty() ? "'" + base + ".out'" : out[0] == '&' ? out : "'" + out + "'";
    std::string cmd =
        launcher + " " + linkstat_command() + " " + args + " >" + to + " 2>'" + base + ".err'";
    if (interrupt_after_frames)
        cmd = "(" + cmd + ") & pid=$!; i=0; until [ \"$(grep -c 'rx rate' '" + base +
              ".out' 2>/dev/null)\" -ge " + std::to_string(interrupt_after_frames) +
              " ] || [ $i -ge 400 ] || ! kill -0 $pid; do sleep 0.05; i=$((i+1)); done; " +
              "kill -INT $pid 2>/dev/null; wait $pid";
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

// What jq's filter makes of JSON text, one result a line.
std::string jq(const std::string &json, const std::string &filter) {
    std::string in = std::string(LINKSTAT_OUT) + "." + std::to_string(getpid()) + ".json";
    write_file(in, json);
    std::string out;
    if (FILE *p = popen(("jq -r '" + filter + "' <'" + in + "'").c_str(), "r")) {
        char buf[256];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        if (pclose(p) != 0)
            out = "jq failed on: " + json;
    }
    unlink(in.c_str());
    return out;
}

TEST_F(LinkstatWithDaemon, JsonGivesEveryFigureOfTheDefaultHost) {
    run_result r = run_linkstat("--json");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(jq(r.out, "[.host, .rssi, .path_a, .path_b, .path_c, .path_d, .tx_rate_mbps, "
                        ".rx_rate_mbps, .tx_rate_code, .rx_rate_code, .error] | tojson"),
              "[\"127.0.0.1\",40,40,35,0,0,72.5,5.5,145,11,null]\n");
    EXPECT_EQ(r.err, "");
}

// Eleven frames take over 5 s: each ask has its own 3 s for the reply.
TEST_F(LinkstatWithDaemon, WatchRedrawsWithBarsPastTheReplyTimeoutAndEndsCleanlyOnCtrlC) {
    run_result r = run_linkstat("--watch", 11);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t frames = 0;
    for (size_t at = 0; (at = r.out.find("rx rate", at)) != std::string::npos; ++at)
        ++frames;
    EXPECT_GE(frames, 11u);
    size_t first = r.out.find("\033[H\033[2J");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(r.out.find("\033[H\033[2J", first + 1), std::string::npos);
    EXPECT_NE(r.out.find("path B     35  [##############......"), std::string::npos) << r.out;
    // The cursor is shown again on the way out.
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "\033[?25h\n");
}

// A full disk, and a reader that has gone (linkstat | true): a line and status 1, never an
// end by SIGPIPE without a word.
TEST_F(LinkstatWithDaemon, AnOutputThatCannotBeWrittenFailsWithALine) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::string closed_pipe = "&" + std::to_string(ends[1]);
    for (const char *args : {"", "--raw", "--json", "--watch"}) {
        run_result r = run_linkstat(args, 1, "/dev/full");
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, "linkstat: cannot write the output: No space left on device\n") << args;
        r = run_linkstat(args, 1, closed_pipe);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, "linkstat: cannot write the output: Broken pipe\n") << args;
    }
    close(ends[1]);
}

// A --watch piped into a reader that ends (| head) shows the cursor again on the terminal
// that the reader took the hidden cursor to, and says why it stopped.
TEST_F(LinkstatWithDaemon, AWatchWhoseReaderEndsShowsTheCursorOnItsTerminalAgain) {
    // script gives the run a terminal of its own and copies what reaches it to its output.
    std::string base = run_base();
    write_file(base + ".sh", "{ " + linkstat_command() +
                                 " --watch; echo \"status $?\" >&2; } | head -c 1 >/dev/null\n");
    ASSERT_EQ(
        system(("script -qec 'sh " + base + ".sh' /dev/null >'" + base + ".tty' 2>&1").c_str()), 0);
    std::string terminal = read_file(base + ".tty");
    unlink((base + ".sh").c_str());
    unlink((base + ".tty").c_str());
    EXPECT_NE(terminal.find("\033[?25h"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("linkstat: cannot write the output: Broken pipe"), std::string::npos)
        << terminal;
    EXPECT_NE(terminal.find("status 1"), std::string::npos) << terminal;
}

// Ten one-shot asks beside a host that holds its 4 and reconnects as fast as it is refused,
// slowly and at 200 connections a second: at least 9 are answered within their 3 s.
TEST_F(LinkstatWithDaemon, OneShotAsksAreAnsweredBesideAHostReconnectingAsFastAsItIsRefused) {
    ReconnectingHost host("127.0.0.2", 8, 1);
    ASSERT_TRUE(wait_for([&] { return children_of(dev.pid).size() == 4; }, 20000));
    for (int rate : {1, 200}) {
        host.set_rate(rate);
        long refused = host.closed();
        int answered = 0;
        std::string failures;
        for (int i = 0; i < 10; ++i) {
            run_result r = run_linkstat("");
            answered += r.status == 0;
            failures += r.err;
        }
        EXPECT_GE(answered, 9) << rate << " a second: " << failures;
        // The host was at it all along.
        EXPECT_GE(host.closed() - refused, rate == 1 ? 5 : 20) << rate << " a second";
    }
}

// Requests seen by all fake servers, for those that answer only together.
std::atomic<int> requests_seen{0};

// A server on port 10000 of address that answers the first request of one connection with
// reply and closes, or with hold_open keeps silent until the client has gone. With
// answer_after it answers only once the servers have seen that many requests in all.
class FakeServer {
  public:
    FakeServer(const std::string &reply, bool hold_open, const char *address = "127.0.0.1",
               int answer_after = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(10000);
        inet_pton(AF_INET, address, &addr.sin_addr);
        bound_ =
            bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
        thread_ = std::thread([this, reply, hold_open, answer_after] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            char request[16];
            bool asked = recv(c, request, sizeof request, 0) > 0;
            ++requests_seen;
            wait_for([&] { return requests_seen >= answer_after; }, 10000);
            if (asked && !hold_open)
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

// Length 92, but not the shape of a record (something else answering on port 10000, or a
// reply garbled on the way): refused in every view, never printed or drawn.
TEST(Linkstat, AReplyNotShapedAsARecordIsMalformedInEveryView) {
    struct row {
        const char *name;
        size_t word;
        unsigned value;
        const char *message;
    };
    const row rows[] = {
        {"an identifier not its entry's index", 9, 5, "entry 4 holds identifier 5 and value 0"},
        {"a value without its identifier", 12, 35, "entry 5 holds identifier 0 and value 35"},
        {"an identifier in an entry never filled", 3, 1, "entry 1 holds identifier 1 and value 0"},
    };
    for (const row &r : rows)
        for (const std::string view : {"", "--raw", "--json", "--watch"}) {
            std::vector<unsigned> words = record_with_length(92);
            words[r.word] = r.value;
            FakeServer server(words_be(words), false);
            ASSERT_TRUE(server.bound()) << r.name;
            run_result got = run_linkstat(view);
            EXPECT_EQ(got.status, 1) << r.name << " " << view;
            const std::string &said = view == "--json" ? got.out : got.err;
            EXPECT_NE(said.find(std::string("malformed reply: ") + r.message), std::string::npos)
                << r.name << " " << view << ": " << said;
            if (view == "--json")
                EXPECT_EQ(jq(got.out, ".rssi"), "null\n") << r.name;
            else
                EXPECT_EQ(got.out, view == "--watch" ? "\033[?25l\033[?25h\n" : "")
                    << r.name << " " << view;
        }
}

// A clock moved a month on while linkstat waits (24.8 days and more read as weeks still to
// wait when compared in 32 bits) still ends the wait within its 3 s.
TEST(Linkstat, AClockMovedAMonthOnDuringAWaitStillEndsItWithinItsThreeSeconds) {
    if (getenv("LINKSTAT_BIN") || !Device::clock_can_move())
        GTEST_SKIP() << "only a host build's clock can be moved while it runs";
    FakeServer silent("", true);
    ASSERT_TRUE(silent.bound());
    const std::string clock = run_base() + ".clock";
    write_file(clock, "+0");
    requests_seen = 0;
    run_result r{};
    std::thread client(
        [&] { r = run_linkstat("", 0, "", movable_clock_launcher(clock) + " timeout 30"); });
    EXPECT_TRUE(wait_for([] { return requests_seen > 0; }, 10000));
    write_file(clock + ".new", "+2592000");
    rename((clock + ".new").c_str(), clock.c_str());
    timespec moved, ended;
    clock_gettime(CLOCK_MONOTONIC, &moved);
    client.join();
    clock_gettime(CLOCK_MONOTONIC, &ended);
    unlink(clock.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("linkstat: no reply within 3 s"), 0u) << r.err;
    EXPECT_LT(ended.tv_sec - moved.tv_sec, 5);
}

TEST(Linkstat, JsonAsksEveryHostAtOnceAndGivesEachItsLineInOrder) {
    std::vector<unsigned> two = record_with_length(92);
    two[9] = 4; // entry 4, rssi, with its identifier
    std::vector<unsigned> three = two;
    two[10] = 2;
    three[10] = 3;
    // Each of these answers only once both have a request: asked one after the other, the
    // first would wait in vain.
    requests_seen = 0;
    FakeServer second(words_be(two), false, "127.0.0.2", 2);
    FakeServer third(words_be(three), false, "127.0.0.3", 2);
    FakeServer silent("", true, "127.0.0.5");
    ASSERT_TRUE(second.bound() && third.bound() && silent.bound());
    // A name that is not one, with every kind of byte a JSON string must escape or replace.
    const std::string odd = "a\"b\\c\x01\xc3\xa9\xff";
    run_result r = run_linkstat("--json 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 '" + odd + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(jq(r.out, ".host"), "127.0.0.2\n127.0.0.3\n127.0.0.4\n127.0.0.5\n" +
                                      odd.substr(0, odd.size() - 1) + "\xef\xbf\xbd\n");
    std::vector<std::string> got = lines_of(jq(r.out, "[.rssi, .tx_rate_code, .error] | tojson"));
    ASSERT_EQ(got.size(), 5u) << r.out;
    EXPECT_EQ(got[0], "[2,0,null]");
    EXPECT_EQ(got[1], "[3,0,null]");
    EXPECT_EQ(got[2].find("[null,null,\"cannot connect to 127.0.0.4 port 10000: "), 0u) << got[2];
    EXPECT_EQ(got[3], "[null,null,\"no reply within 3 s (0 of 92 bytes)\"]");
    EXPECT_EQ(got[4].find("[null,null,\"a\\\"b"), 0u) << got[4];
}

TEST(Linkstat, JsonFailsWhenAnEarlierHostFailsThoughTheLastAnswers) {
    FakeServer last(words_be(record_with_length(92)), false, "127.0.0.2");
    ASSERT_TRUE(last.bound());
    run_result r = run_linkstat("--json 127.0.0.4 127.0.0.2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(jq(r.out, ".error == null"), "false\ntrue\n");
}

TEST(Linkstat, RefusesUnknownOptionsAndHostsBeyondWhatItsFormTakes) {
    std::string seventeen = "--json";
    for (int i = 0; i < 17; ++i)
        seventeen += " 127.0.0.1";
    for (const std::string &args : {std::string("--verbose"), std::string("--json --raw"),
                                    std::string("host1 host2"), seventeen}) {
        run_result r = run_linkstat(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, "usage: linkstat [--raw|--watch] [HOST]\n"
                         "       linkstat --json [HOST...]\n")
            << args;
    }
}

} // namespace
