// The shipped leverwatch in a simulated device: the exact flash calls, the store after a
// change, and what it prints.
#include "device.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

using Lines = std::vector<std::string>;
using Seeds = std::vector<std::pair<std::string, std::string>>;

namespace {

// A mode change runs a few dozen shells; under an emulator, beside other tests on a busy
// host, that can take most of a minute. Waits end as soon as their condition holds.
constexpr int change_ms = 90000;
// How long a poll-free stretch is watched: more than two poll periods.
constexpr int quiet_ms = 5000;
// A store that never answers is given up on after 30 s.
constexpr int hang_ms = 30000 + change_ms;

template <class T> std::vector<T> operator+(std::vector<T> a, const std::vector<T> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A value a change relies on: two reads that must agree.
Lines read_twice(const std::string &key) {
    return {"flash get " + key, "flash get " + key};
}
// A write, and its read-back.
Lines wrote(const std::string &key, const std::string &value) {
    return {"flash set " + key + " " + value, "flash get " + key};
}
Lines wrote(std::initializer_list<std::pair<const char *, const char *>> writes) {
    Lines calls;
    for (const auto &[key, value] : writes)
        calls = calls + wrote(key, value);
    return calls;
}
// What a controller does at start: reads OP_MODE.
const Lines start = read_twice("OP_MODE");

// Each mode's settings, OP_MODE first.
const Lines ap_writes = wrote({{"OP_MODE", "1"},
                               {"DHCP", "0"},
                               {"WLAN0_MODE", "0"},
                               {"REPEATER_ENABLED1", "0"},
                               {"WLAN0_VAP4_WLAN_DISABLED", "1"}});
const Lines wisp_writes = wrote({{"OP_MODE", "2"},
                                 {"DHCP", "2"},
                                 {"WLAN0_MODE", "1"},
                                 {"REPEATER_ENABLED1", "1"},
                                 {"WLAN0_VAP4_WLAN_DISABLED", "0"},
                                 {"WAN_DHCP", "1"},
                                 {"DNS_MODE", "0"}});
const Lines router_writes = wrote({{"OP_MODE", "0"},
                                   {"DHCP", "2"},
                                   {"WLAN0_MODE", "0"},
                                   {"WAN_DHCP", "1"},
                                   {"REPEATER_ENABLED1", "0"},
                                   {"WLAN0_VAP4_WLAN_DISABLED", "1"}});

// In WISP mode: the root profile holds the upstream network, the repeater the home one.
const Seeds in_wisp = {{"OP_MODE", "2"},
                       {"WLAN0_SSID", "\"Upstream\""},
                       {"WLAN0_ENCRYPT", "4"},
                       {"WLAN0_PSK_FORMAT", "0"},
                       {"WLAN0_WPA_PSK", "uplink-key"},
                       {"WLAN0_VAP4_SSID", "\"Home\""},
                       {"WLAN0_VAP4_ENCRYPT", "6"},
                       {"WLAN0_VAP4_PSK_FORMAT", "0"},
                       {"WLAN0_VAP4_WPA_PSK", "\"home-key\""},
                       {"WLAN0_WSC_DISABLE", "0"},
                       {"WLAN0_WSC_CONFIGURED", "1"}};
// Leaving WISP: the upstream network saved into the stash, then the root overwritten.
const Lines saving_upstream = read_twice("WLAN0_SSID") + wrote("WLAN0_VAP2_SSID", "Upstream") +
                              read_twice("WLAN0_ENCRYPT") + wrote("WLAN0_VAP2_ENCRYPT", "4") +
                              read_twice("WLAN0_PSK_FORMAT") + wrote("WLAN0_VAP2_PSK_FORMAT", "0") +
                              read_twice("WLAN0_WPA_PSK") +
                              wrote("WLAN0_VAP2_WPA_PSK", "uplink-key");
const Lines leaving_wisp_calls =
    saving_upstream + read_twice("WLAN0_VAP4_SSID") +
    wrote({{"WLAN0_SSID", "Home"}, {"WLAN0_WSC_SSID", "Home"}}) + read_twice("WLAN0_VAP4_ENCRYPT") +
    wrote({{"WLAN0_ENCRYPT", "6"},
           {"WLAN0_WPA_AUTH", "2"},
           {"WPA_CIPHER_SUITE", "1"},
           {"WPA2_CIPHER_SUITE", "2"}}) +
    read_twice("WLAN0_VAP4_PSK_FORMAT") + wrote("WLAN0_PSK_FORMAT", "0") +
    read_twice("WLAN0_VAP4_WPA_PSK") +
    wrote({{"WLAN0_WPA_PSK", "home-key"},
           {"WLAN0_WSC_PSK", "home-key"},
           {"WLAN0_WSC_AUTH", "34"},
           {"WLAN0_WSC_ENC", "12"}}) +
    read_twice("WLAN0_WSC_DISABLE") + read_twice("WLAN0_WSC_CONFIGURED");

// In Router mode: the root profile is the home network, the stash the upstream one.
const Seeds in_router = {{"OP_MODE", "0"},
                         {"WLAN0_SSID", "\"Home\""},
                         {"WLAN0_ENCRYPT", "0"},
                         {"WLAN0_VAP2_SSID", "\"Upstream\""},
                         {"WLAN0_VAP2_ENCRYPT", "4"},
                         {"WLAN0_VAP2_PSK_FORMAT", "0"},
                         {"WLAN0_VAP2_WPA_PSK", "\"uplink-key\""}};
const Lines entering_wisp_calls =
    read_twice("WLAN0_SSID") + wrote({{"WLAN0_VAP4_SSID", "Home"}, {"REPEATER_SSID1", "Home"}}) +
    read_twice("WLAN0_ENCRYPT") +
    wrote(
        {{"WLAN0_VAP4_ENCRYPT", "0"}, {"WLAN0_VAP4_WSC_AUTH", "1"}, {"WLAN0_VAP4_WSC_ENC", "1"}}) +
    read_twice("WLAN0_VAP2_SSID") + wrote("WLAN0_SSID", "Upstream") +
    read_twice("WLAN0_VAP2_ENCRYPT") +
    wrote({{"WLAN0_ENCRYPT", "4"},
           {"WLAN0_WPA_AUTH", "2"},
           {"WPA_CIPHER_SUITE", "0"},
           {"WPA2_CIPHER_SUITE", "2"}}) +
    read_twice("WLAN0_VAP2_PSK_FORMAT") + wrote("WLAN0_PSK_FORMAT", "0") +
    read_twice("WLAN0_VAP2_WPA_PSK") +
    wrote({{"WLAN0_WPA_PSK", "uplink-key"},
           {"WLAN0_WSC_PSK", "uplink-key"},
           {"WLAN0_WSC_AUTH", "32"},
           {"WLAN0_WSC_ENC", "8"}});

// The calls with every write of these keys, and its read-back, taken out.
Lines without_writes(const Lines &calls, const Lines &keys) {
    Lines kept;
    for (size_t i = 0; i < calls.size(); ++i) {
        bool refused = false;
        for (const auto &key : keys)
            refused = refused || calls[i].rfind("flash set " + key + " ", 0) == 0;
        if (refused)
            ++i;
        else
            kept.push_back(calls[i]);
    }
    return kept;
}

// The calls without the reads.
Lines without_reads(const Lines &calls) {
    Lines writes;
    for (const auto &call : calls)
        if (call.rfind("flash get ", 0) != 0)
            writes.push_back(call);
    return writes;
}

// The seeds with KEY's value replaced or, with an empty value, KEY left out.
Seeds with(Seeds seeds, const std::string &key, const std::string &value) {
    for (auto it = seeds.begin(); it != seeds.end(); ++it)
        if (it->first == key) {
            if (value.empty())
                seeds.erase(it);
            else
                it->second = value;
            return seeds;
        }
    seeds.push_back({key, value});
    return seeds;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// What flash get prints for KEY.
std::string value_line(const std::string &key, const std::string &value) {
    std::string line = key;
    return line.append("=").append(value).append("\n");
}

// Whether pid has ended: no such process, or one that waits to be reaped.
bool ended(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(") ");
    return at == std::string::npos || stat[at + 2] == 'Z';
}

// A network as one profile holds it: SSID, security code and pre-shared key, as printed.
struct Network {
    std::string ssid, encrypt, psk;
};
// Its keys in the profile of PREFIX: "WLAN0_" root, "WLAN0_VAP4_" repeater, "WLAN0_VAP2_"
// stash.
Seeds profile(const std::string &prefix, const Network &n) {
    return {{prefix + "SSID", n.ssid},
            {prefix + "ENCRYPT", n.encrypt},
            {prefix + "PSK_FORMAT", "0"},
            {prefix + "WPA_PSK", n.psk}};
}
const Seeds wsc_set_up = {{"WLAN0_WSC_DISABLE", "0"}, {"WLAN0_WSC_CONFIGURED", "1"}};
Seeds router_with(const Network &home, const Network &upstream) {
    return Seeds{{"OP_MODE", "0"}} + wsc_set_up + profile("WLAN0_", home) +
           profile("WLAN0_VAP2_", upstream);
}
Seeds wisp_with(const Network &home, const Network &upstream) {
    return Seeds{{"OP_MODE", "2"}} + wsc_set_up + profile("WLAN0_", upstream) +
           profile("WLAN0_VAP4_", home);
}
const Network wpa2_home{"\"Home\"", "4", "\"home-key\""};
const Network wpa_upstream{"\"Upstream\"", "2", "\"uplink-key\""};

// As the tool prints a text setting: in double quotes, with \\ " $ and backquote escaped.
std::string printed_text(const std::string &raw) {
    std::string out = "\"";
    for (char c : raw)
        out.append(std::string("\\\"$`").find(c) != std::string::npos ? "\\" : "").push_back(c);
    return out + "\"";
}
// n characters that the tool prints escaped, one of each in turn from the from-th.
std::string all_escaped(size_t n, size_t from) {
    std::string raw;
    for (size_t i = 0; i < n; ++i)
        raw.push_back("\\\"$`"[(from + i) % 4]);
    return raw;
}

constexpr char stop_line[] =
    "mode change written; the restart is left to whoever stopped leverwatch\n";

// Feeds one reading to the controller's next open of the switch file, a FIFO, and waits
// until it has closed it again: each reading is read exactly once, in order.
bool feed(const std::string &fifo, const std::string &text) {
    int fd = -1;
    if (!wait_for([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, change_ms))
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    pollfd reader_gone{fd, POLLOUT, 0};
    ok = ok &&
         wait_for([&] { return poll(&reader_gone, 1, 0) == 1 && reader_gone.revents & POLLERR; },
                  change_ms);
    close(fd);
    return ok;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Leverwatch : public testing::Test {
  protected:
    Device dev;

    void boot(const Seeds &store, const char *switch_text, bool boot_loop = false) {
        for (const auto &[key, value] : store)
            dev.seed(key, value_line(key, value));
        if (switch_text)
            dev.write_proc("slide_sw", switch_text);
        dev.start(program_under_test("LEVERWATCH_BIN", LEVERWATCH_BUILT), boot_loop);
    }
    bool called(const std::string &line, size_t times = 1) const {
        const Lines calls = dev.calls();
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), line)) >= times;
    }
    size_t sets() const {
        size_t n = 0;
        for (const auto &c : dev.calls())
            n += c.rfind("flash set ", 0) == 0;
        return n;
    }
    // The device restarted: a boot id of its own.
    void new_boot() const {
        dev.write_proc("sys/kernel/random/boot_id", read_file("/proc/sys/kernel/random/uuid"));
    }
    // Stalls the store at a call ("set 13", the 13th set) until release(); held() waits for
    // it and gives the stalled command's pid.
    void hold(const std::string &call) const { write_file(dev.dir + "/hold", call); }
    void release() const { unlink((dev.dir + "/hold").c_str()); }
    pid_t held() const {
        pid_t pid = 0;
        EXPECT_TRUE(wait_for([&] { return (pid = atoi(read_file(dev.dir + "/held").c_str())) > 0; },
                             change_ms));
        return pid;
    }
    void expect_profile(const std::string &prefix, const Network &n) const {
        for (const auto &[key, value] : profile(prefix, n))
            EXPECT_EQ(dev.store(key), value_line(key, value));
    }
    // Waits for the restart and for the restarted controller to have read OP_MODE and settled.
    void wait_for_boot(size_t reboots) {
        const Lines booted = Lines{"reboot"} + start;
        ASSERT_TRUE(wait_for(
            [&] {
                Lines calls = dev.calls();
                return called("reboot", reboots) && calls.size() >= booted.size() &&
                       Lines(calls.end() - booted.size(), calls.end()) == booted;
            },
            change_ms))
            << testing::PrintToString(dev.calls());
        expect_quiet();
    }
    void wait_for_reboot(int timeout_ms = change_ms) {
        ASSERT_TRUE(wait_for([&] { return called("reboot"); }, timeout_ms)) << dev.out();
    }
    bool printed(const std::string &text, size_t times = 1) const {
        return count_of(dev.out(), text) >= times;
    }
    // Nothing new is called for a while: the controller is settled or waiting.
    void expect_quiet() {
        size_t before = dev.calls().size();
        EXPECT_FALSE(wait_for([&] { return dev.calls().size() != before; }, quiet_ms))
            << "new calls: " << testing::PrintToString(dev.calls());
        EXPECT_TRUE(dev.running());
    }
};

TEST_F(Leverwatch, WispToApSavesTheUpstreamProfileRestoresTheHomeOneAndRestarts) {
    boot(in_wisp, "1\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + leaving_wisp_calls + ap_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Switch change to AP mode,The Data is 1\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"Upstream\"\n");
    EXPECT_EQ(dev.store("WLAN0_VAP2_WPA_PSK"), "WLAN0_VAP2_WPA_PSK=\"uplink-key\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Home\"\n");
    EXPECT_EQ(dev.store("WLAN0_WPA_PSK"), "WLAN0_WPA_PSK=\"home-key\"\n");
    EXPECT_EQ(dev.store("OP_MODE"), "OP_MODE=1\n");
    EXPECT_FALSE(exists(dev.dir + "/tmp/leverwatch_tmp.txt")) << "a pre-shared key stayed in /tmp";
    // The restart is under way: no poll may move the profiles a second time.
    expect_quiet();
}

TEST_F(Leverwatch, RouterToWispMovesTheHomeProfileToTheRepeaterAndRestoresTheStash) {
    boot(in_router, "02\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + entering_wisp_calls + wisp_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to WISP Mode,The Data is 02\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP4_SSID"), "WLAN0_VAP4_SSID=\"Home\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Upstream\"\n");
}

// The reboot stand-in ends the process: whatever was still buffered would be lost.
TEST_F(Leverwatch, TheAnnouncementIsOutBeforeTheRestartAndTheRestartedControllerSettles) {
    boot(in_router, "2\n", true);
    ASSERT_TRUE(wait_for(
        [&] {
            return dev.calls().size() ==
                   2 * start.size() + entering_wisp_calls.size() + wisp_writes.size() + 1;
        },
        change_ms))
        << testing::PrintToString(dev.calls());
    expect_quiet();
    EXPECT_EQ(dev.calls(), start + entering_wisp_calls + wisp_writes + Lines{"reboot"} + start);
    EXPECT_EQ(dev.out(),
              "Slide Swith change to WISP Mode,The Data is 2\n\n--- device restarted ---\n");
}

// The switch file's first line alone is the reading.
TEST_F(Leverwatch, ApToRouterWritesTheRouterSettingsAndMovesNoProfile) {
    boot({{"OP_MODE", "1"}}, "3\nand more\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, SettledItReadsTheModeOnceAndDoesNothingElse) {
    boot({{"OP_MODE", "1"}}, "1\n");
    ASSERT_TRUE(wait_for([&] { return dev.calls() == start; }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.calls(), start);
    EXPECT_EQ(dev.out(), "");
}

struct UnreadableOpMode {
    const char *name;
    const char *printed;        // what flash get OP_MODE prints, nullptr: nothing
    const char *hold;           // a call held until the 30 s limit ends it, or ""
    const char *line;           // what the controller says of it first
    bool a_mode_number = false; // a number naming no mode: not unreadable
};
void PrintTo(const UnreadableOpMode &u, std::ostream *os) {
    *os << u.name;
}
class UnreadableOpModes : public Leverwatch,
                          public testing::WithParamInterface<UnreadableOpMode> {};

// In WISP with the switch at WISP: an OP_MODE guessed as Router (or read as 0, or taken as
// Router for naming no mode) would enter WISP again and copy the upstream network over the home
// one in the repeater profile. However the store fails, OP_MODE is read again until it names a
// mode, and nothing moves meanwhile.
TEST_P(UnreadableOpModes, HoldTheSwitchOffUntilTheStoreAnswersAndMoveNothing) {
    const auto &u = GetParam();
    if (*u.hold)
        hold(u.hold);
    boot(with(in_wisp, "OP_MODE", ""), "2\n");
    if (u.printed)
        dev.seed("OP_MODE", u.printed);
    pid_t hung = *u.hold ? held() : 0;
    ASSERT_TRUE(wait_for([&] { return dev.calls().size() >= 3; }, hang_ms))
        << testing::PrintToString(dev.calls());
    EXPECT_TRUE(!hung || ended(hung));
    dev.seed("OP_MODE", "OP_MODE=2\n");
    // Settled: a stretch of more than two polls with no call at all.
    EXPECT_TRUE(wait_for(
        [&] {
            size_t n = dev.calls().size();
            return !wait_for([&] { return dev.calls().size() != n; }, quiet_ms);
        },
        2 * change_ms));
    for (const auto &call : dev.calls())
        EXPECT_EQ(call, "flash get OP_MODE");
    // Two reads that span the mending may disagree: the value naming no mode is then unreadable.
    const std::string out = dev.out();
    const std::string unreadable = "OP_MODE unreadable, switch ignored until it is read\n";
    EXPECT_EQ(out.rfind(u.line, 0), 0U) << out;
    EXPECT_TRUE(out.substr(strlen(u.line)) == unreadable || (u.a_mode_number && out == u.line))
        << out;
    expect_profile("WLAN0_VAP4_", {"\"Home\"", "6", "\"home-key\""});
}

INSTANTIATE_TEST_SUITE_P(Leverwatch, UnreadableOpModes,
                         testing::Values(UnreadableOpMode{"Missing", nullptr, "", ""},
                                         UnreadableOpMode{"Empty", "OP_MODE=\n", "", ""},
                                         UnreadableOpMode{"NotANumber", "OP_MODE=Router\n", "", ""},
                                         UnreadableOpMode{"Garbled", "OP_MODE=#?2\n", "", ""},
                                         UnreadableOpMode{"AnotherKeysLine", "DHCP=2\n", "", ""},
                                         UnreadableOpMode{"NamingNoMode", "OP_MODE=3\n", "",
                                                          "Failure for OP Mode\n", true},
                                         UnreadableOpMode{
                                             "HungUntilItsLimit", "OP_MODE=2\n", "get 1",
                                             "flash get OP_MODE: no answer within 30 s, ended\n"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Leverwatch, StartedWithSigchldIgnoredItStillReadsTheModeAndSettles) {
    dev.launcher = "env --ignore-signal=CHLD";
    boot({{"OP_MODE", "1"}}, "1\n");
    ASSERT_TRUE(wait_for([&] { return dev.calls() == start; }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.calls(), start);
    EXPECT_EQ(dev.out(), "");
}

TEST_F(Leverwatch, WithNobodyReadingItsOutputAChangeStillCompletesAndRestarts) {
    dev.stdout_unread = true;
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
}

struct InvalidReading {
    const char *name;
    const char *text;
    const char *message;
};
void PrintTo(const InvalidReading &r, std::ostream *os) {
    *os << r.name;
}
class InvalidReadings : public Leverwatch, public testing::WithParamInterface<InvalidReading> {};

// In WISP mode, where a profile move at every poll would overwrite the stash.
TEST_P(InvalidReadings, AreReportedAndMoveNothingEvenInWisp) {
    boot(in_wisp, GetParam().text);
    ASSERT_TRUE(wait_for([&] { return printed(GetParam().message); }, change_ms)) << dev.out();
    expect_quiet();
    EXPECT_EQ(dev.calls(), start);
}

INSTANTIATE_TEST_SUITE_P(
    Switch, InvalidReadings,
    testing::Values(InvalidReading{"Letter", "abc\n",
                                   "Error Flag from Slide_Sw,The Data is abc\n\n"},
                    InvalidReading{"Zero", "0\n", "Error Flag from Slide_Sw,The Data is 0\n\n"},
                    InvalidReading{"Four", "4\n", "Error Flag from Slide_Sw,The Data is 4\n\n"},
                    InvalidReading{"EmptyFile", "", "Error Flag from Slide_Sw,The Data is \n"}),
    [](const auto &info) { return std::string(info.param.name); });

// A fault that repeats at every poll is logged once in 10 s, with the count of the rest.
TEST_F(Leverwatch, AMissingSwitchFileIsReportedAsItHappensThenOnceIn10sWithACount) {
    boot(in_wisp, nullptr);
    ASSERT_TRUE(wait_for([&] { return printed("read gpio error\n"); }, change_ms));
    ASSERT_TRUE(wait_for([&] { return printed(" more unlogged)\n"); }, 2 * quiet_ms)) << dev.out();
    const Lines out = lines_of(dev.out());
    ASSERT_EQ(out.size(), 2U) << dev.out();
    int more = 0;
    EXPECT_EQ(sscanf(out[1].c_str(), "read gpio error (%d more unlogged)", &more), 1) << out[1];
    // 10 s of polls every 2 s, the first of them logged.
    EXPECT_TRUE(more >= 3 && more <= 5) << more;
    EXPECT_EQ(dev.calls(), start);
}

TEST_F(Leverwatch, SavingAnSsidOfOneEscapedSpaceStoresAnEmptyStashName) {
    boot(with(in_wisp, "WLAN0_SSID", "\"\\ \""), "3\n");
    wait_for_reboot();
    EXPECT_TRUE(called("flash set WLAN0_VAP2_SSID "));
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"\"\n");
}

TEST_F(Leverwatch, HostileSsidAndKeyAreRefusedAndNothingFromTheStoreRuns) {
    Seeds store = with(in_wisp, "WLAN0_SSID", "\"$(touch /tmp/pwned)\"");
    store = with(store, "WLAN0_WPA_PSK", "`touch /tmp/pwned;reboot`");
    boot(store, "1\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, change_ms)) << dev.out();
    const Lines refused = {"WLAN0_VAP2_SSID", "WLAN0_VAP2_WPA_PSK"};
    // Every read of the save still runs; only the refused writes are missing.
    EXPECT_EQ(dev.calls(), start + without_writes(saving_upstream, refused));
    EXPECT_EQ(dev.out(), "flash set WLAN0_VAP2_SSID refused: value is not one plain shell word\n"
                         "flash set WLAN0_VAP2_WPA_PSK refused: value is not one plain shell word\n"
                         "slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"
                         "mode change stopped before anything was overwritten: WLAN0_VAP2_SSID "
                         "could not be written; trying again in 30 s\n");
    EXPECT_FALSE(exists(dev.dir + "/tmp/pwned")) << "a stored value ran";
}

TEST_F(Leverwatch, ASwitchCaughtMidSlideIsConfirmedASecondLaterAndGivesOneChangeOnly) {
    const std::string fifo = dev.dir + "/proc/slide_sw";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    boot({{"OP_MODE", "1"}}, nullptr);
    // From AP to Router through WISP: 2, then 3 at the second look; 3 and 3 at the next poll.
    for (const char *reading : {"2\n", "3\n", "3\n", "3\n"})
        ASSERT_TRUE(feed(fifo, reading)) << reading;
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, TheLongestValuesEscapedThroughoutGoThroughAWispRoundTripUnchanged) {
    // A 32-byte SSID and a 63-character passphrase; the upstream's key is 64 hex digits.
    const Network home{printed_text(all_escaped(32, 0)), "4", printed_text(all_escaped(63, 1))};
    const Network upstream{printed_text(all_escaped(32, 2)), "2",
                           printed_text(std::string(32, 'a') + std::string(32, '9'))};
    boot(router_with(home, upstream), "2\n", true);
    wait_for_boot(1);
    expect_profile("WLAN0_VAP4_", home);
    expect_profile("WLAN0_", upstream);
    dev.write_proc("slide_sw", "3\n");
    wait_for_boot(2);
    expect_profile("WLAN0_", home);
    expect_profile("WLAN0_VAP2_", upstream);
    EXPECT_FALSE(printed("refused")) << dev.out();
}

TEST_F(Leverwatch, ASecondControllerExitsWithItsLineAndTheFirstsChangeIsExact) {
    hold("set 2");
    boot({{"OP_MODE", "1"}}, "3\n");
    held();
    Device second("second");
    second.dir = dev.dir;
    second.start(program_under_test("LEVERWATCH_BIN", LEVERWATCH_BUILT));
    int status = second.wait_exit(change_ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    release();
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "leverwatch already running on this device (it holds "
                         "/tmp/leverwatch.lock), exiting\n"
                         "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, ALockFileOfAnotherUserHeldLockedDoesNotKeepTheControllerOut) {
    const std::string planted = dev.dir + "/tmp/leverwatch.lock";
    int fd = open(planted.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    close(fd);
}

TEST_F(Leverwatch, AControllerKilledOutrightLeavesNoLockInACommandItStarted) {
    hold("get 1");
    boot({{"OP_MODE", "1"}}, "1\n");
    pid_t hung = held();
    kill(dev.pid, SIGKILL);
    dev.wait_exit(change_ms);
    // The stalled flash runs on, and the next controller still starts.
    boot({}, nullptr);
    ASSERT_TRUE(wait_for([&] { return called("flash get OP_MODE", 3); }, change_ms));
    expect_quiet();
    EXPECT_FALSE(ended(hung));
    EXPECT_EQ(dev.out(), "");
    release();
}

// A store that hangs while the upstream network is saved: nothing is overwritten, and the
// change runs again from the start 30 s later, as long as the switch asks for it.
TEST_F(Leverwatch, AHungWriteWhileACopyIsSavedStopsTheChangeWhichRunsAgain30sLater) {
    hold("set 1");
    boot(in_wisp, "1\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, hang_ms)) << dev.out();
    const time_t stopped = time(nullptr);
    EXPECT_FALSE(dev.has_key("WLAN0_VAP2_SSID"));
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Upstream\"\n");
    release();
    wait_for_reboot(30000 + change_ms);
    EXPECT_GE(time(nullptr) - stopped, 28) << "tried again sooner than 30 s";
    // The hung write has no read-back; tried again, the save writes only what the store lacks.
    Lines first_try = saving_upstream;
    first_try.erase(first_try.begin() + 3);
    const Lines retry = read_twice("WLAN0_SSID") + Lines{"flash get WLAN0_VAP2_SSID"} +
                        wrote("WLAN0_VAP2_SSID", "Upstream") + read_twice("WLAN0_ENCRYPT") +
                        Lines{"flash get WLAN0_VAP2_ENCRYPT"} + read_twice("WLAN0_PSK_FORMAT") +
                        Lines{"flash get WLAN0_VAP2_PSK_FORMAT"} + read_twice("WLAN0_WPA_PSK") +
                        Lines{"flash get WLAN0_VAP2_WPA_PSK"};
    const Lines overwrite(leaving_wisp_calls.begin() + saving_upstream.size(),
                          leaving_wisp_calls.end());
    EXPECT_EQ(dev.calls(), start + first_try + retry + overwrite + ap_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "flash set WLAN0_VAP2_SSID: no answer within 30 s, ended\n"
                         "slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"
                         "mode change stopped before anything was overwritten: WLAN0_VAP2_SSID "
                         "could not be written; trying again in 30 s\n"
                         "Slide Switch change to AP mode,The Data is 1\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"Upstream\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Home\"\n");
}

// With a log reader that has hung (a full pipe), the change goes through and the lines it
// could not write are counted once the log is read again.
TEST_F(Leverwatch, ARebootThatReturnsIsRunAgainAMinuteLaterEvenWithItsLogReaderHung) {
    dev.stdout_stalled = true;
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    std::string out = dev.drain();
    ASSERT_TRUE(wait_for(
        [&] {
            return called("reboot", 2) &&
                   (out += dev.drain()).find("every 60 s\n") != std::string::npos;
        },
        60000 + 2 * change_ms))
        << out.substr(out.size() > 4096 ? 4096 : 0);
    EXPECT_EQ(out, std::string(4096, '.') +
                       "log output full: 1 line dropped\n"
                       "no restart 60 s after reboot; running it again every 60 s\n");
}

class StopsOutsideAChange : public Leverwatch, public testing::WithParamInterface<bool> {};

// As routerd stops it: TERM to its process group.
TEST_P(StopsOutsideAChange, EndItAtOnceByTheSignalWithTheReadInFlightAndItsFile) {
    const bool reading = GetParam();
    const std::string output = dev.dir + "/tmp/leverwatch_tmp.txt";
    dev.launcher = "setsid";
    if (reading)
        hold("get 1");
    boot({{"OP_MODE", "1"}}, "1\n");
    pid_t reader = reading ? held() : 0;
    // Settled: the read has ended and its file is gone.
    ASSERT_TRUE(reading || wait_for([&] { return called("flash get OP_MODE") && !exists(output); },
                                    change_ms));
    ASSERT_EQ(kill(-dev.pid, SIGTERM), 0);
    int status = dev.wait_exit(quiet_ms);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_FALSE(exists(output)) << "a value stayed in /tmp";
    EXPECT_TRUE(!reading || wait_for([&] { return ended(reader); })) << "the read ran on";
    release();
}

INSTANTIATE_TEST_SUITE_P(Leverwatch, StopsOutsideAChange, testing::Values(false, true),
                         [](const auto &info) { return info.param ? "DuringARead" : "Settled"; });

struct StopPoint {
    const char *name;
    bool entering; // Router to WISP, else WISP to AP
    int set;       // the set of the change being written when the stop comes, 0: the pause
};
void PrintTo(const StopPoint &p, std::ostream *os) {
    *os << p.name;
}
class StoppedChanges : public Leverwatch, public testing::WithParamInterface<StopPoint> {};

// WPA2 home, WPA upstream: entering WISP writes 28 sets, leaving 20. Stopped anywhere from
// the first overwrite (12 entering, 5 leaving) to OP_MODE (22, 16), a rerun of the change
// would copy a half-moved profile over the only whole one.
TEST_P(StoppedChanges, FinishTheChangeAndHaveTheNextStartRestartTheDeviceLosingNothing) {
    const auto &p = GetParam();
    dev.launcher = "setsid";
    if (p.set)
        hold("set " + std::to_string(p.set));
    boot(p.entering ? router_with(wpa2_home, wpa_upstream) : wisp_with(wpa2_home, wpa_upstream),
         p.entering ? "2\n" : "1\n");
    const std::string announced = p.entering ? "Slide Swith change to WISP Mode,The Data is 2\n\n"
                                             : "Slide Switch change to AP mode,The Data is 1\n\n";
    pid_t writer = p.set ? held() : 0;
    ASSERT_TRUE(p.set || wait_for([&] { return printed(announced); }, change_ms));
    ASSERT_EQ(kill(-dev.pid, SIGTERM), 0);
    release();
    int status = dev.wait_exit(change_ms);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << dev.out();
    EXPECT_TRUE(!writer || ended(writer));
    EXPECT_EQ(sets(), p.entering ? 28U : 20U);
    EXPECT_FALSE(called("reboot"));
    EXPECT_EQ(dev.out(), announced + stop_line);

    // Started again before the device restarted (routerd restart), it restarts it.
    boot({}, nullptr);
    wait_for_reboot();
    EXPECT_TRUE(printed("a mode change was written and the device not restarted since; "
                        "restarting it\n"));
    dev.stop();
    // Started after a restart that left /tmp as it was, it takes the mark for the earlier
    // boot's it is, removes it, finds the new mode and moves nothing.
    new_boot();
    size_t calls = dev.calls().size();
    boot({}, nullptr);
    ASSERT_TRUE(wait_for([&] { return dev.calls().size() >= calls + start.size(); }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.calls().size(), calls + start.size());
    EXPECT_FALSE(exists(dev.dir + "/tmp/leverwatch.restart"));
    EXPECT_TRUE(printed("removed /tmp/leverwatch.restart, left by an earlier boot\n"));
    expect_profile(p.entering ? "WLAN0_VAP4_" : "WLAN0_", wpa2_home);
    expect_profile(p.entering ? "WLAN0_" : "WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(Leverwatch, StoppedChanges,
                         testing::Values(StopPoint{"EnteringAtTheFirstOverwrite", true, 12},
                                         StopPoint{"LeavingAtTheFirstOverwrite", false, 5},
                                         StopPoint{"LeavingInThePauseBeforeTheRestart", false, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

struct StoreFault {
    const char *name;
    bool entering;       // Router to WISP, else WISP to AP
    const char *refused; // a line for the store's refusals ("KEY" or "KEY STATUS"), or ""
    const char *missing; // a key the store lacks, or ""
    const char *line;    // what the controller says of it
};
void PrintTo(const StoreFault &f, std::ostream *os) {
    *os << f.name;
}
class StoreFaults : public Leverwatch, public testing::WithParamInterface<StoreFault> {};

#define STOPPED(why)                                                                               \
    "mode change stopped before anything was overwritten: " why "; trying again in 30 s\n"

// A store that fails while a copy is saved stops the change before anything is overwritten;
// one that fails to take a later write, OP_MODE included, holds the restart off until it does.
// Either way both networks are whole once the store answers and the device has restarted.
TEST_P(StoreFaults, StopTheChangeOrHoldTheRestartAndLoseNothing) {
    const auto &f = GetParam();
    const Seeds before =
        f.entering ? router_with(wpa2_home, wpa_upstream) : wisp_with(wpa2_home, wpa_upstream);
    if (*f.refused)
        write_file(dev.dir + "/refuse", std::string(f.refused) + "\n");
    boot(*f.missing ? with(before, f.missing, "") : before, f.entering ? "2\n" : "1\n", true);
    ASSERT_TRUE(wait_for([&] { return printed(f.line); }, change_ms)) << dev.out();
    EXPECT_FALSE(called("reboot"));
    unlink((dev.dir + "/refuse").c_str());
    for (const auto &[key, value] : before)
        if (key == f.missing)
            dev.seed(key, value_line(key, value));
    if (printed("mode change stopped")) {
        expect_profile(f.entering ? "WLAN0_" : "WLAN0_VAP4_", wpa2_home);
        expect_profile(f.entering ? "WLAN0_VAP2_" : "WLAN0_", wpa_upstream);
        // The next start, or the retry 30 s later, runs the change again.
        dev.stop();
        dev.start(program_under_test("LEVERWATCH_BIN", LEVERWATCH_BUILT), true);
    }
    wait_for_boot(1);
    EXPECT_EQ(dev.store("DHCP"), value_line("DHCP", f.entering ? "2" : "0"));
    expect_profile(f.entering ? "WLAN0_VAP4_" : "WLAN0_", wpa2_home);
    expect_profile(f.entering ? "WLAN0_" : "WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, StoreFaults,
    testing::Values(StoreFault{"EnteringOpModeLostUnsaid", true, "OP_MODE 0", "",
                               "OP_MODE does not read back as written; writing it again in 10 s\n"},
                    StoreFault{"LeavingOpModeRefused", false, "OP_MODE", "",
                               "OP_MODE could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringRootNameRefused", true, "WLAN0_SSID", "",
                               "WLAN0_SSID could not be written; writing it again in 10 s\n"},
                    StoreFault{"LeavingRootKeyRefused", false, "WLAN0_WPA_PSK", "",
                               "WLAN0_WPA_PSK could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringDhcpRefused", true, "DHCP", "",
                               "DHCP could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringHomeKeyUnreadable", true, "", "WLAN0_WPA_PSK",
                               STOPPED("WLAN0_WPA_PSK could not be read")},
                    StoreFault{"LeavingUpstreamKeyUnreadable", false, "", "WLAN0_WPA_PSK",
                               STOPPED("WLAN0_WPA_PSK could not be read")},
                    StoreFault{"EnteringRepeaterKeyRefused", true, "WLAN0_VAP4_WPA_PSK", "",
                               STOPPED("WLAN0_VAP4_WPA_PSK could not be written")},
                    StoreFault{"LeavingStashKeyRefused", false, "WLAN0_VAP2_WPA_PSK", "",
                               STOPPED("WLAN0_VAP2_WPA_PSK could not be written")},
                    StoreFault{"EnteringRepeaterKeyLostUnsaid", true, "WLAN0_VAP4_WPA_PSK 0", "",
                               STOPPED("WLAN0_VAP4_WPA_PSK does not read back as written")},
                    StoreFault{"LeavingStashKeyLostUnsaid", false, "WLAN0_VAP2_WPA_PSK 0", "",
                               STOPPED("WLAN0_VAP2_WPA_PSK does not read back as written")}),
    [](const auto &info) { return std::string(info.param.name); });

// Refused for 25 s, a key of the root is written again after 10 s, then 20 s later, and alone:
// every other write of the change was taken the first time.
TEST_F(Leverwatch, AWriteRefusedFor25sIsWrittenAgainAloneAfter10AndThen20sAndTheChangeCompletes) {
    write_file(dev.dir + "/refuse", "WLAN0_WSC_PSK\n");
    boot(wisp_with(wpa2_home, wpa_upstream), "1\n", true);
    ASSERT_TRUE(wait_for([&] { return printed("writing it again in 10 s"); }, change_ms));
    const time_t refused = time(nullptr);
    ASSERT_TRUE(wait_for([&] { return time(nullptr) - refused >= 25; }, 30000));
    unlink((dev.dir + "/refuse").c_str());
    wait_for_boot(1);
    EXPECT_TRUE(printed("WLAN0_WSC_PSK could not be written; writing it again in 20 s\n"));
    EXPECT_FALSE(printed("writing it again in 40 s"));
    size_t psk = 0, ssid = 0;
    for (const auto &call : dev.calls()) {
        psk += call.rfind("flash set WLAN0_WSC_PSK ", 0) == 0;
        ssid += call.rfind("flash set WLAN0_SSID ", 0) == 0;
    }
    EXPECT_EQ(psk, 3U);
    EXPECT_EQ(ssid, 1U);
    expect_profile("WLAN0_", wpa2_home);
    expect_profile("WLAN0_VAP2_", wpa_upstream);
}

// What routerd stop does after 90 s: the change it held up is finished by the next start of
// the same boot, which writes only what is missing and restarts the device.
TEST_F(Leverwatch, AChangeHeldByARefusalAndKilledIsFinishedByTheNextStartOfTheBoot) {
    write_file(dev.dir + "/refuse", "WLAN0_WSC_PSK\n");
    boot(wisp_with(wpa2_home, wpa_upstream), "1\n");
    ASSERT_TRUE(wait_for([&] { return printed("writing it again in 10 s"); }, change_ms));
    kill(dev.pid, SIGKILL);
    dev.wait_exit(change_ms);
    unlink((dev.dir + "/refuse").c_str());
    size_t killed_at = dev.calls().size();
    boot({}, nullptr);
    wait_for_reboot();
    EXPECT_TRUE(printed("a mode change was begun and not finished; finishing it\n"));
    EXPECT_TRUE(printed("Slide Switch change to AP mode,The Data is 1\n\n"));
    const Lines calls = dev.calls();
    EXPECT_EQ(without_reads(Lines(calls.begin() + killed_at, calls.end())),
              Lines{"flash set WLAN0_WSC_PSK home-key"} + without_reads(ap_writes) +
                  Lines{"reboot"});
    expect_profile("WLAN0_", wpa2_home);
    expect_profile("WLAN0_VAP2_", wpa_upstream);
    EXPECT_EQ(dev.store("OP_MODE"), "OP_MODE=1\n");
}

struct Planted {
    const char *name;
    const char *path; // under the device's /tmp
    const char *kind; // "dir", "fifo" or "file" (another user's, holding text)
    const char *text;
};
void PrintTo(const Planted &p, std::ostream *os) {
    *os << p.name;
}
class PlantedInTmp : public Leverwatch, public testing::WithParamInterface<Planted> {};

// Another user (linkstatd's 65534, say) can make anything at the controller's paths in /tmp:
// none holds it off, silences a read or passes for a mark.
TEST_P(PlantedInTmp, NeitherHoldsTheControllerOffNorSilencesAReadNorPassesForAMark) {
    const auto &p = GetParam();
    const std::string path = dev.dir + "/tmp/" + p.path;
    new_boot();
    const std::string boot_id = read_file(dev.dir + "/proc/sys/kernel/random/boot_id");
    std::string text = std::string(p.text).replace(0, std::string(p.text).find(' '),
                                                   boot_id.substr(0, boot_id.find('\n')));
    if (std::string(p.kind) == "dir") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        write_file(path + "/kept", "");
        ASSERT_EQ(chown((path + "/kept").c_str(), 65534, 65534), 0);
    } else if (std::string(p.kind) == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    } else {
        write_file(path, text);
    }
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), start + router_writes + Lines{"reboot"});
    EXPECT_FALSE(printed("restarting it")) << dev.out();
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, PlantedInTmp,
    testing::Values(Planted{"DirectoryAtTheLock", "leverwatch.lock", "dir", ""},
                    Planted{"DirectoryAtTheOutputFile", "leverwatch_tmp.txt", "dir", ""},
                    Planted{"FifoAtTheOutputFile", "leverwatch_tmp.txt", "fifo", ""},
                    Planted{"DirectoryAtTheMark", "leverwatch.restart", "dir", ""},
                    Planted{"FifoAtTheMark", "leverwatch.restart", "fifo", ""},
                    Planted{"RestartMarkOfAnotherUser", "leverwatch.restart", "file", "ID 0 0\n"},
                    Planted{"FinishMarkOfAnotherUser", "leverwatch.restart", "file", "ID 2 1\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// A /tmp with no room left: the controller says so and moves nothing until there is room.
TEST_F(Leverwatch, AFullTmpIsNamedAndNoChangeFollowsUntilItHasRoom) {
    const std::string tmp = dev.dir + "/tmp";
    ASSERT_EQ(mount("full", tmp.c_str(), "tmpfs", 0, "size=64k"), 0);
    // Gone with the test, whatever becomes of it.
    std::unique_ptr<const std::string, void (*)(const std::string *)> mounted(
        &tmp, [](const std::string *at) { umount2(at->c_str(), MNT_DETACH); });
    ASSERT_EQ(system(("dd if=/dev/zero of='" + tmp + "/filler' bs=4k 2>/dev/null; true").c_str()),
              0);
    boot(wisp_with(wpa2_home, wpa_upstream), "2\n");
    ASSERT_TRUE(wait_for(
        [&] { return printed("cannot write /tmp/leverwatch_tmp.txt: No space left on device\n"); },
        change_ms))
        << dev.out();
    EXPECT_TRUE(printed("OP_MODE unreadable, switch ignored until it is read\n"));
    EXPECT_EQ(dev.calls(), Lines{});
    unlink((tmp + "/filler").c_str());
    ASSERT_TRUE(wait_for([&] { return dev.calls() == start; }, change_ms));
    expect_quiet();
    expect_profile("WLAN0_VAP4_", wpa2_home);
}

struct ClockScene {
    const char *name;
    int64_t start_ms; // the controller's monotonic clock at start, -1: the host's
    int64_t moved_s;  // how far it is moved on while the change waits
};
void PrintTo(const ClockScene &c, std::ostream *os) {
    *os << c.name;
}
class ClockScenes : public Leverwatch, public testing::WithParamInterface<ClockScene> {};

// A change the store stopped waits 30 s for its next try: however the clock went meanwhile
// (a month on, or past the marks where 32-bit millisecond counts wrap), the try comes within
// that wait, and the change completes.
TEST_P(ClockScenes, AStoppedChangeIsTriedAgainWithinItsWaitWhateverTheClockDid) {
    const auto &c = GetParam();
    if (c.moved_s && !Device::clock_can_move())
        GTEST_SKIP() << "only a host build's clock can be moved while it runs";
    dev.clock_movable = c.moved_s != 0;
    dev.clock_start_ms = c.start_ms;
    write_file(dev.dir + "/refuse", "WLAN0_VAP4_WPA_PSK\n");
    boot(router_with(wpa2_home, wpa_upstream), "2\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, change_ms)) << dev.out();
    const time_t stopped = time(nullptr);
    unlink((dev.dir + "/refuse").c_str());
    if (c.moved_s)
        dev.move_clock(c.moved_s);
    wait_for_reboot(30000 + change_ms);
    EXPECT_LE(time(nullptr) - stopped, 30 + change_ms / 1000);
    // Nor sooner, where the clock only ran on.
    EXPECT_TRUE(c.moved_s || time(nullptr) - stopped >= 28) << "tried again sooner than 30 s";
    expect_profile("WLAN0_VAP4_", wpa2_home);
    expect_profile("WLAN0_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, ClockScenes,
    testing::Values(ClockScene{"AMonthOnWhileItWaits", -1, 30 * 86400},
                    ClockScene{"AcrossThe2To31MillisecondMark", (int64_t{1} << 31) - 10000, 0},
                    ClockScene{"AcrossThe2To32MillisecondMark", (int64_t{1} << 32) - 10000, 0}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
