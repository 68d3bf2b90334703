// The shipped leverwatch in a simulated device: what reaches the store (the writes in order, and
// the store's contents) and what it prints. How it reads (twice, and every write read back) is
// the bridge's own test's concern, not these.
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
// The store key the shipped build records a change owed in.
constexpr char change_key[] = "LEVERWATCH_CHANGE";

template <class T> std::vector<T> operator+(std::vector<T> a, const std::vector<T> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Writes as the store receives them.
Lines sets(std::initializer_list<std::pair<const char *, const char *>> writes) {
    Lines calls;
    for (const auto &[key, value] : writes)
        calls.push_back(std::string("flash set ") + key + " " + value);
    return calls;
}
Lines recorded(const char *change) {
    return sets({{change_key, change}});
}

// Each mode's settings in the order written: OP_MODE, then the rest once the profiles moved.
const Lines ap_op_mode = sets({{"OP_MODE", "1"}});
const Lines ap_rest = sets({{"DHCP", "0"},
                            {"WLAN0_MODE", "0"},
                            {"REPEATER_ENABLED1", "0"},
                            {"WLAN0_VAP4_WLAN_DISABLED", "1"}});
const Lines wisp_op_mode = sets({{"OP_MODE", "2"}});
const Lines wisp_rest = sets({{"DHCP", "2"},
                              {"WLAN0_MODE", "1"},
                              {"REPEATER_ENABLED1", "1"},
                              {"WLAN0_VAP4_WLAN_DISABLED", "0"},
                              {"WAN_DHCP", "1"},
                              {"DNS_MODE", "0"}});
const Lines router_op_mode = sets({{"OP_MODE", "0"}});
const Lines router_rest = sets({{"DHCP", "2"},
                                {"WLAN0_MODE", "0"},
                                {"WAN_DHCP", "1"},
                                {"REPEATER_ENABLED1", "0"},
                                {"WLAN0_VAP4_WLAN_DISABLED", "1"}});

// What a store holds of a mode: OP_MODE, the settings that tell it, and the record of changes.
Seeds mode_of(const char *op_mode) {
    const char *wisp = std::string(op_mode) == "2" ? "1" : "0";
    return {{"OP_MODE", op_mode},
            {"WLAN0_MODE", wisp},
            {"REPEATER_ENABLED1", wisp},
            {change_key, "none"}};
}
const Seeds in_ap = mode_of("1");

// In WISP mode: the root profile holds the upstream network, the repeater the home one.
const Seeds in_wisp =
    mode_of("2") + Seeds{{"WLAN0_SSID", "\"Upstream\""},  {"WLAN0_ENCRYPT", "4"},
                         {"WLAN0_PSK_FORMAT", "0"},       {"WLAN0_WPA_PSK", "uplink-key"},
                         {"WLAN0_VAP4_SSID", "\"Home\""}, {"WLAN0_VAP4_ENCRYPT", "6"},
                         {"WLAN0_VAP4_PSK_FORMAT", "0"},  {"WLAN0_VAP4_WPA_PSK", "\"home-key\""},
                         {"WLAN0_WSC_DISABLE", "0"},      {"WLAN0_WSC_CONFIGURED", "1"}};
// Leaving WISP: the upstream network saved into the stash, then the root overwritten.
const Lines saving_upstream = sets({{"WLAN0_VAP2_SSID", "Upstream"},
                                    {"WLAN0_VAP2_ENCRYPT", "4"},
                                    {"WLAN0_VAP2_PSK_FORMAT", "0"},
                                    {"WLAN0_VAP2_WPA_PSK", "uplink-key"}});
const Lines restoring_home = sets({{"WLAN0_SSID", "Home"},
                                   {"WLAN0_WSC_SSID", "Home"},
                                   {"WLAN0_ENCRYPT", "6"},
                                   {"WLAN0_WPA_AUTH", "2"},
                                   {"WPA_CIPHER_SUITE", "1"},
                                   {"WPA2_CIPHER_SUITE", "2"},
                                   {"WLAN0_PSK_FORMAT", "0"},
                                   {"WLAN0_WPA_PSK", "home-key"},
                                   {"WLAN0_WSC_PSK", "home-key"},
                                   {"WLAN0_WSC_AUTH", "34"},
                                   {"WLAN0_WSC_ENC", "12"}});

// In Router mode: the root profile is the home network, the stash the upstream one.
const Seeds in_router =
    mode_of("0") +
    Seeds{{"WLAN0_SSID", "\"Home\""},          {"WLAN0_ENCRYPT", "0"},
          {"WLAN0_VAP2_SSID", "\"Upstream\""}, {"WLAN0_VAP2_ENCRYPT", "4"},
          {"WLAN0_VAP2_PSK_FORMAT", "0"},      {"WLAN0_VAP2_WPA_PSK", "\"uplink-key\""}};
const Lines saving_home = sets({{"WLAN0_VAP4_SSID", "Home"},
                                {"REPEATER_SSID1", "Home"},
                                {"WLAN0_VAP4_ENCRYPT", "0"},
                                {"WLAN0_VAP4_WSC_AUTH", "1"},
                                {"WLAN0_VAP4_WSC_ENC", "1"}});
const Lines restoring_upstream = sets({{"WLAN0_SSID", "Upstream"},
                                       {"WLAN0_ENCRYPT", "4"},
                                       {"WLAN0_WPA_AUTH", "2"},
                                       {"WPA_CIPHER_SUITE", "0"},
                                       {"WPA2_CIPHER_SUITE", "2"},
                                       {"WLAN0_PSK_FORMAT", "0"},
                                       {"WLAN0_WPA_PSK", "uplink-key"},
                                       {"WLAN0_WSC_PSK", "uplink-key"},
                                       {"WLAN0_WSC_AUTH", "32"},
                                       {"WLAN0_WSC_ENC", "8"}});

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
    return mode_of("0") + wsc_set_up + profile("WLAN0_", home) + profile("WLAN0_VAP2_", upstream);
}
Seeds wisp_with(const Network &home, const Network &upstream) {
    return mode_of("2") + wsc_set_up + profile("WLAN0_", upstream) + profile("WLAN0_VAP4_", home);
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

// The one with its change record in the store key, as shipped, or the one built without a key,
// which records a change in /var/run.
enum class build { keyed, keyless };
const char *program(build b) {
    return b == build::keyed ? "LEVERWATCH_BIN" : "LEVERWATCH_KEYLESS_BIN";
}
std::string program_path(build b) {
    return program_under_test(program(b),
                              b == build::keyed ? LEVERWATCH_BUILT : LEVERWATCH_KEYLESS_BUILT);
}
const char *name_of(build b) {
    return b == build::keyed ? "Keyed" : "Keyless";
}

class Leverwatch : public testing::Test {
  protected:
    Device dev;

    void boot(const Seeds &store, const char *switch_text, bool boot_loop = false,
              build b = build::keyed) {
        for (const auto &[key, value] : store)
            dev.seed(key, value_line(key, value));
        if (switch_text)
            dev.write_proc("slide_sw", switch_text);
        dev.start(program_path(b), boot_loop);
    }
    bool called(const std::string &line, size_t times = 1) const {
        const Lines calls = dev.calls();
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), line)) >= times;
    }
    // What reached the store and the platform: every write and restart, in order.
    Lines writes() const {
        Lines out;
        for (const auto &c : dev.calls())
            if (c.rfind("flash get ", 0) != 0)
                out.push_back(c);
        return out;
    }
    size_t set_count() const {
        const Lines w = writes();
        return static_cast<size_t>(std::count_if(w.begin(), w.end(), [](const std::string &c) {
            return c.rfind("flash set ", 0) == 0;
        }));
    }
    // The record of the restart owed in the device's current boot.
    Lines restart_owed() const {
        std::string id = read_file(dev.dir + "/proc/sys/kernel/random/boot_id");
        return recorded(("restart-owed-in-boot-" + id.substr(0, id.find('\n'))).c_str());
    }
    // The device restarted: a boot id of its own, and its /var/run emptied.
    void new_boot() const {
        dev.write_proc("sys/kernel/random/boot_id", read_file("/proc/sys/kernel/random/uuid"));
        EXPECT_EQ(system(("rm -rf '" + dev.dir + "/run'/*").c_str()), 0);
    }
    // The store's faults (see sim/bin/flash): fail("set:KEY refuse"), say. One fault line
    // "VERB#N hold" stalls the store at a call ("set#13", the 13th set) until mend(); held()
    // waits for it and gives the stalled command's pid.
    void fail(const std::string &line) const { write_file(dev.dir + "/fault", line + "\n"); }
    void hold(const std::string &call) const { fail(call + " hold"); }
    void mend() const { unlink((dev.dir + "/fault").c_str()); }
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
    // Waits for the restart and for the restarted controller to have settled: no call for a
    // stretch of more than two polls.
    void wait_for_boot(size_t reboots) {
        ASSERT_TRUE(wait_for([&] { return called("reboot", reboots); }, change_ms))
            << testing::PrintToString(writes()) << dev.out();
        ASSERT_TRUE(wait_for([&] { return settled(); }, change_ms))
            << testing::PrintToString(dev.calls());
    }
    void wait_for_reboot(int timeout_ms = change_ms) {
        ASSERT_TRUE(wait_for([&] { return called("reboot"); }, timeout_ms)) << dev.out();
    }
    bool printed(const std::string &text, size_t times = 1) const {
        return count_of(dev.out(), text) >= times;
    }
    // No call for more than two polls: the controller is settled or waiting.
    bool settled() const {
        size_t n = dev.calls().size();
        return n > 0 && !wait_for([&] { return dev.calls().size() != n; }, quiet_ms);
    }
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
    EXPECT_EQ(writes(), saving_upstream + recorded("finish-wisp-to-ap") + ap_op_mode +
                            restoring_home + ap_rest + restart_owed() + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Switch change to AP mode,The Data is 1\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"Upstream\"\n");
    EXPECT_EQ(dev.store("WLAN0_VAP2_WPA_PSK"), "WLAN0_VAP2_WPA_PSK=\"uplink-key\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Home\"\n");
    EXPECT_EQ(dev.store("WLAN0_WPA_PSK"), "WLAN0_WPA_PSK=\"home-key\"\n");
    EXPECT_EQ(dev.store("OP_MODE"), "OP_MODE=1\n");
    EXPECT_FALSE(exists(dev.dir + "/run/leverwatch_tmp.txt")) << "a pre-shared key stayed behind";
    // The restart is under way: no poll may move the profiles a second time.
    expect_quiet();
}

TEST_F(Leverwatch, RouterToWispMovesTheHomeProfileToTheRepeaterAndRestoresTheStash) {
    boot(in_router, "02\n");
    wait_for_reboot();
    EXPECT_EQ(writes(), saving_home + recorded("finish-router-to-wisp") + wisp_op_mode +
                            restoring_upstream + wisp_rest + restart_owed() + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to WISP Mode,The Data is 02\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP4_SSID"), "WLAN0_VAP4_SSID=\"Home\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Upstream\"\n");
}

// The reboot stand-in ends the process: whatever was still buffered would be lost. The
// restarted controller finds the restart owed by an earlier boot, which owes it nothing.
TEST_F(Leverwatch, TheAnnouncementIsOutBeforeTheRestartAndTheRestartedControllerSettles) {
    boot(in_router, "2\n", true);
    wait_for_boot(1);
    EXPECT_EQ(set_count(), saving_home.size() + restoring_upstream.size() + wisp_rest.size() + 3);
    EXPECT_EQ(writes().back(), "reboot");
    EXPECT_EQ(dev.out(),
              "Slide Swith change to WISP Mode,The Data is 2\n\n--- device restarted ---\n");
}

// The switch file's first line alone is the reading.
TEST_F(Leverwatch, ApToRouterWritesTheRouterSettingsAndMovesNoProfile) {
    boot(in_ap, "3\nand more\n");
    wait_for_reboot();
    EXPECT_EQ(writes(), recorded("finish-ap-to-router") + router_op_mode + router_rest +
                            restart_owed() + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, SettledItWritesAndPrintsNothing) {
    boot(in_ap, "1\n");
    ASSERT_TRUE(wait_for([&] { return settled(); }, change_ms));
    EXPECT_EQ(writes(), Lines{});
    EXPECT_EQ(dev.out(), "");
}

struct UnknownMode {
    const char *name;
    const char *key;     // the key the store misreports
    const char *printed; // what flash get KEY prints, nullptr: nothing
    const char *mended;  // its value once the store is mended
    const char *hold;    // a call held until the 30 s limit ends it, or ""
    const char *line;    // what the controller says of it first
};
void PrintTo(const UnknownMode &u, std::ostream *os) {
    *os << u.name;
}
class UnknownModes : public Leverwatch, public testing::WithParamInterface<UnknownMode> {};

// In WISP with the switch at WISP: a mode guessed as Router (OP_MODE read as 0, or taken as
// Router for naming no mode, or an OP_MODE its settings contradict, left by a change cut short
// or a store that kept another value) would enter WISP again and copy the upstream network over
// the home one in the repeater profile. However the store fails, the switch is held off until
// the store tells the mode, and nothing moves meanwhile.
TEST_P(UnknownModes, HoldTheSwitchOffUntilTheStoreTellsTheModeAndMoveNothing) {
    const auto &u = GetParam();
    if (*u.hold)
        hold(u.hold);
    boot(with(in_wisp, u.key, ""), "2\n");
    if (u.printed)
        dev.seed(u.key, u.printed);
    pid_t hung = *u.hold ? held() : 0;
    ASSERT_TRUE(wait_for([&] { return printed(u.line); }, hang_ms)) << dev.out();
    // Killed as the line is printed: gone moments later.
    EXPECT_TRUE(!hung || wait_for([&] { return ended(hung); }));
    dev.seed(u.key, value_line(u.key, u.mended));
    // Settled: the last setting that tells the mode read (twice: a failed read is one call),
    // and nothing after it.
    const Lines told = {"flash get REPEATER_ENABLED1", "flash get REPEATER_ENABLED1"};
    ASSERT_TRUE(wait_for(
        [&] {
            Lines c = dev.calls();
            return c.size() >= 2 && Lines(c.end() - 2, c.end()) == told && settled();
        },
        2 * change_ms))
        << testing::PrintToString(dev.calls());
    EXPECT_EQ(writes(), Lines{});
    EXPECT_EQ(dev.out().rfind(u.line, 0), 0U) << dev.out();
    expect_profile("WLAN0_VAP4_", {"\"Home\"", "6", "\"home-key\""});
}

#define HELD(key) key " unreadable, switch ignored until it is read\n"
INSTANTIATE_TEST_SUITE_P(
    Leverwatch, UnknownModes,
    testing::Values(
        UnknownMode{"Missing", "OP_MODE", nullptr, "2", "", HELD("OP_MODE")},
        UnknownMode{"Empty", "OP_MODE", "OP_MODE=\n", "2", "", HELD("OP_MODE")},
        UnknownMode{"NotANumber", "OP_MODE", "OP_MODE=Router\n", "2", "", HELD("OP_MODE")},
        UnknownMode{"Garbled", "OP_MODE", "OP_MODE=#?2\n", "2", "", HELD("OP_MODE")},
        UnknownMode{"AnotherKeysLine", "OP_MODE", "DHCP=2\n", "2", "", HELD("OP_MODE")},
        UnknownMode{"NamingNoMode", "OP_MODE", "OP_MODE=3\n", "2", "", "Failure for OP Mode\n"},
        UnknownMode{"ContradictedByItsSettings", "WLAN0_MODE", "WLAN0_MODE=0\n", "1", "",
                    "OP_MODE 2 contradicts WLAN0_MODE 0, switch ignored until the store agrees\n"},
        UnknownMode{"ASettingThatTellsItUnreadable", "REPEATER_ENABLED1", nullptr, "1", "",
                    HELD("REPEATER_ENABLED1")},
        UnknownMode{"TheChangeRecordUnreadable", change_key, nullptr, "none", "",
                    HELD("LEVERWATCH_CHANGE")},
        UnknownMode{"HungUntilItsLimit", "OP_MODE", "OP_MODE=2\n", "2", "get#3",
                    "flash get OP_MODE: no answer within 30 s, ended\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Leverwatch, StartedWithSigchldIgnoredItStillReadsTheModeAndSettles) {
    dev.launcher = "env --ignore-signal=CHLD";
    boot(in_ap, "1\n");
    ASSERT_TRUE(wait_for([&] { return called("flash get OP_MODE") && settled(); }, change_ms));
    EXPECT_EQ(writes(), Lines{});
    EXPECT_EQ(dev.out(), "");
}

TEST_F(Leverwatch, WithNobodyReadingItsOutputAChangeStillCompletesAndRestarts) {
    dev.stdout_unread = true;
    boot(in_ap, "3\n");
    wait_for_reboot();
    EXPECT_EQ(writes(), recorded("finish-ap-to-router") + router_op_mode + router_rest +
                            restart_owed() + Lines{"reboot"});
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
    EXPECT_EQ(writes(), Lines{});
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
    EXPECT_EQ(writes(), Lines{});
}

TEST_F(Leverwatch, SavingAnSsidOfOneEscapedSpaceStoresAnEmptyStashName) {
    boot(with(in_wisp, "WLAN0_SSID", "\"\\ \""), "3\n");
    wait_for_reboot();
    EXPECT_TRUE(called("flash set WLAN0_VAP2_SSID "));
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"\"\n");
}

// The save ends at the first value refused: nothing of it reaches the store, nothing runs.
TEST_F(Leverwatch, HostileSsidAndKeyAreRefusedAndNothingFromTheStoreRuns) {
    Seeds store = with(in_wisp, "WLAN0_SSID", "\"$(touch /tmp/pwned)\"");
    store = with(store, "WLAN0_WPA_PSK", "`touch /tmp/pwned;reboot`");
    boot(store, "1\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, change_ms)) << dev.out();
    EXPECT_EQ(writes(), Lines{});
    EXPECT_EQ(dev.out(), "flash set WLAN0_VAP2_SSID refused: value is not one plain shell word\n"
                         "slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"
                         "mode change stopped before anything was overwritten: WLAN0_VAP2_SSID "
                         "could not be written; trying again in 30 s\n");
    EXPECT_FALSE(exists(dev.dir + "/tmp/pwned")) << "a stored value ran";
}

TEST_F(Leverwatch, ASwitchCaughtMidSlideIsConfirmedASecondLaterAndGivesOneChangeOnly) {
    const std::string fifo = dev.dir + "/proc/slide_sw";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    boot(in_ap, nullptr);
    // From AP to Router through WISP: 2, then 3 at the second look; 3 and 3 at the next poll.
    for (const char *reading : {"2\n", "3\n", "3\n", "3\n"})
        ASSERT_TRUE(feed(fifo, reading)) << reading;
    wait_for_reboot();
    EXPECT_EQ(writes(), recorded("finish-ap-to-router") + router_op_mode + router_rest +
                            restart_owed() + Lines{"reboot"});
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
    hold("set#2");
    boot(in_ap, "3\n");
    held();
    Device second("second");
    second.dir = dev.dir;
    second.start(program_path(build::keyed));
    int status = second.wait_exit(change_ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    mend();
    wait_for_reboot();
    EXPECT_EQ(writes(), recorded("finish-ap-to-router") + router_op_mode + router_rest +
                            restart_owed() + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "leverwatch already running on this device (it holds "
                         "/var/run/leverwatch.lock), exiting\n"
                         "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, AControllerKilledOutrightLeavesNoLockInACommandItStarted) {
    hold("get#1");
    boot(in_ap, "1\n");
    pid_t hung = held();
    kill(dev.pid, SIGKILL);
    dev.wait_exit(change_ms);
    // The stalled flash runs on, and the next controller still starts.
    boot({}, nullptr);
    ASSERT_TRUE(
        wait_for([&] { return called("flash get REPEATER_ENABLED1") && settled(); }, change_ms));
    EXPECT_FALSE(ended(hung));
    EXPECT_EQ(dev.out(), "");
    mend();
}

// A store that hangs while the upstream network is saved: nothing is overwritten, and the
// change runs again from the start 30 s later, as long as the switch asks for it.
TEST_F(Leverwatch, AHungWriteWhileACopyIsSavedStopsTheChangeWhichRunsAgain30sLater) {
    hold("set#1");
    boot(in_wisp, "1\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, hang_ms)) << dev.out();
    const time_t stopped = time(nullptr);
    EXPECT_FALSE(dev.has_key("WLAN0_VAP2_SSID"));
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Upstream\"\n");
    mend();
    wait_for_reboot(30000 + change_ms);
    EXPECT_GE(time(nullptr) - stopped, 28) << "tried again sooner than 30 s";
    EXPECT_EQ(writes(), Lines{saving_upstream[0]} + saving_upstream +
                            recorded("finish-wisp-to-ap") + ap_op_mode + restoring_home + ap_rest +
                            restart_owed() + Lines{"reboot"});
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
    boot(in_ap, "3\n");
    wait_for_reboot();
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
    const std::string output = dev.dir + "/run/leverwatch_tmp.txt";
    dev.launcher = "setsid";
    if (reading)
        hold("get#1");
    boot(in_ap, "1\n");
    pid_t reader = reading ? held() : 0;
    // Settled: the read has ended and its file is gone.
    ASSERT_TRUE(reading || wait_for([&] { return called("flash get OP_MODE") && !exists(output); },
                                    change_ms));
    ASSERT_EQ(kill(-dev.pid, SIGTERM), 0);
    int status = dev.wait_exit(quiet_ms);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_FALSE(exists(output)) << "a value stayed behind";
    EXPECT_TRUE(!reading || wait_for([&] { return ended(reader); })) << "the read ran on";
    mend();
}

INSTANTIATE_TEST_SUITE_P(Leverwatch, StopsOutsideAChange, testing::Values(false, true),
                         [](const auto &info) { return info.param ? "DuringARead" : "Settled"; });

struct StopPoint {
    const char *name;
    bool entering;     // Router to WISP, else WISP to AP
    const char *write; // the write being made when the stop comes, nullptr: the pause
};
void PrintTo(const StopPoint &p, std::ostream *os) {
    *os << p.name;
}
class StoppedChanges : public Leverwatch, public testing::WithParamInterface<StopPoint> {};

// WPA2 home, WPA upstream. Stopped anywhere in the change, it is finished first; the next start
// in the same boot (routerd restart) restarts the device, and one after the restart moves
// nothing.
TEST_P(StoppedChanges, FinishTheChangeAndHaveTheNextStartRestartTheDeviceLosingNothing) {
    const auto &p = GetParam();
    const Lines all = p.entering ? saving_home + recorded("finish-router-to-wisp") + wisp_op_mode +
                                       restoring_upstream + wisp_rest
                                 : saving_upstream + recorded("finish-wisp-to-ap") + ap_op_mode +
                                       restoring_home + ap_rest;
    dev.launcher = "setsid";
    if (p.write) {
        // The stall counts sets: the position of the named write among them.
        auto at = std::find_if(all.begin(), all.end(), [&](const std::string &w) {
            return w.rfind(std::string("flash set ") + p.write + " ", 0) == 0;
        });
        ASSERT_NE(at, all.end());
        hold("set#" + std::to_string(at - all.begin() + 1));
    }
    boot(p.entering ? router_with(wpa2_home, wpa_upstream) : wisp_with(wpa2_home, wpa_upstream),
         p.entering ? "2\n" : "1\n");
    const std::string announced = p.entering ? "Slide Swith change to WISP Mode,The Data is 2\n\n"
                                             : "Slide Switch change to AP mode,The Data is 1\n\n";
    pid_t writer = p.write ? held() : 0;
    ASSERT_TRUE(p.write || wait_for([&] { return printed(announced); }, change_ms));
    ASSERT_EQ(kill(-dev.pid, SIGTERM), 0);
    mend();
    int status = dev.wait_exit(change_ms);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << dev.out();
    EXPECT_TRUE(!writer || ended(writer));
    EXPECT_FALSE(called("reboot"));
    EXPECT_EQ(dev.out(), announced + stop_line);

    // Started again before the device restarted (routerd restart), it restarts it.
    boot({}, nullptr);
    wait_for_reboot();
    EXPECT_TRUE(printed("a mode change was written and the device not restarted since; "
                        "restarting it\n"));
    dev.stop();
    // Started after the restart, it finds the mode written and moves nothing.
    new_boot();
    size_t sets_before = set_count();
    boot({}, nullptr);
    ASSERT_TRUE(wait_for([&] { return settled(); }, change_ms));
    EXPECT_EQ(set_count(), sets_before);
    expect_profile(p.entering ? "WLAN0_VAP4_" : "WLAN0_", wpa2_home);
    expect_profile(p.entering ? "WLAN0_" : "WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, StoppedChanges,
    testing::Values(StopPoint{"EnteringAtTheFirstOverwrite", true, "WLAN0_SSID"},
                    StopPoint{"LeavingAtTheFirstOverwrite", false, "WLAN0_SSID"},
                    StopPoint{"LeavingInThePauseBeforeTheRestart", false, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

struct StoreFault {
    const char *name;
    bool entering;       // Router to WISP, else WISP to AP
    const char *fault;   // the store's fault ("set:KEY refuse" or "set:KEY lose"), or ""
    const char *missing; // a key the store lacks, or ""
    const char *line;    // what the controller says of it
};
void PrintTo(const StoreFault &f, std::ostream *os) {
    *os << f.name;
}
class StoreFaults : public Leverwatch, public testing::WithParamInterface<StoreFault> {};

#define STOPPED(why)                                                                               \
    "mode change stopped before anything was overwritten: " why "; trying again in 30 s\n"

// A store that fails while a copy is saved or the change recorded stops the change before
// anything is overwritten; one that fails to take a later write, OP_MODE included, holds the
// restart off until it does. Either way both networks are whole once the store answers and the
// device has restarted.
TEST_P(StoreFaults, StopTheChangeOrHoldTheRestartAndLoseNothing) {
    const auto &f = GetParam();
    const Seeds before =
        f.entering ? router_with(wpa2_home, wpa_upstream) : wisp_with(wpa2_home, wpa_upstream);
    if (*f.fault)
        fail(f.fault);
    boot(*f.missing ? with(before, f.missing, "") : before, f.entering ? "2\n" : "1\n", true);
    ASSERT_TRUE(wait_for([&] { return printed(f.line); }, change_ms)) << dev.out();
    EXPECT_FALSE(called("reboot"));
    mend();
    for (const auto &[key, value] : before)
        if (key == f.missing)
            dev.seed(key, value_line(key, value));
    if (printed("mode change stopped")) {
        expect_profile(f.entering ? "WLAN0_" : "WLAN0_VAP4_", wpa2_home);
        expect_profile(f.entering ? "WLAN0_VAP2_" : "WLAN0_", wpa_upstream);
        // The next start, or the retry 30 s later, runs the change again.
        dev.stop();
        dev.start(program_path(build::keyed), true);
    }
    wait_for_boot(1);
    EXPECT_EQ(dev.store("DHCP"), value_line("DHCP", f.entering ? "2" : "0"));
    expect_profile(f.entering ? "WLAN0_VAP4_" : "WLAN0_", wpa2_home);
    expect_profile(f.entering ? "WLAN0_" : "WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, StoreFaults,
    testing::Values(StoreFault{"EnteringOpModeLostUnsaid", true, "set:OP_MODE lose", "",
                               "OP_MODE does not read back as written; writing it again in 10 s\n"},
                    StoreFault{"LeavingOpModeRefused", false, "set:OP_MODE refuse", "",
                               "OP_MODE could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringRootNameRefused", true, "set:WLAN0_SSID refuse", "",
                               "WLAN0_SSID could not be written; writing it again in 10 s\n"},
                    StoreFault{"LeavingRootKeyRefused", false, "set:WLAN0_WPA_PSK refuse", "",
                               "WLAN0_WPA_PSK could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringDhcpRefused", true, "set:DHCP refuse", "",
                               "DHCP could not be written; writing it again in 10 s\n"},
                    StoreFault{"EnteringHomeKeyUnreadable", true, "", "WLAN0_WPA_PSK",
                               STOPPED("WLAN0_WPA_PSK could not be read")},
                    StoreFault{"LeavingUpstreamKeyUnreadable", false, "", "WLAN0_WPA_PSK",
                               STOPPED("WLAN0_WPA_PSK could not be read")},
                    StoreFault{"EnteringRepeaterKeyRefused", true, "set:WLAN0_VAP4_WPA_PSK refuse",
                               "", STOPPED("WLAN0_VAP4_WPA_PSK could not be written")},
                    StoreFault{"LeavingStashKeyRefused", false, "set:WLAN0_VAP2_WPA_PSK refuse", "",
                               STOPPED("WLAN0_VAP2_WPA_PSK could not be written")},
                    StoreFault{"EnteringRepeaterKeyLostUnsaid", true, "set:WLAN0_VAP4_WPA_PSK lose",
                               "", STOPPED("WLAN0_VAP4_WPA_PSK does not read back as written")},
                    StoreFault{"LeavingStashKeyLostUnsaid", false, "set:WLAN0_VAP2_WPA_PSK lose",
                               "", STOPPED("WLAN0_VAP2_WPA_PSK does not read back as written")},
                    StoreFault{"LeavingTheChangeRecordRefused", false,
                               "set:LEVERWATCH_CHANGE refuse", "",
                               STOPPED("LEVERWATCH_CHANGE could not be written")}),
    [](const auto &info) { return std::string(info.param.name); });

// Refused for 25 s, a key of the root is written again after 10 s, then 20 s later, and alone:
// every write before it was taken the first time.
TEST_F(Leverwatch, AWriteRefusedFor25sIsWrittenAgainAloneAfter10AndThen20sAndTheChangeCompletes) {
    fail("set:WLAN0_WSC_PSK refuse");
    boot(wisp_with(wpa2_home, wpa_upstream), "1\n", true);
    ASSERT_TRUE(wait_for([&] { return printed("writing it again in 10 s"); }, change_ms));
    const time_t refused = time(nullptr);
    ASSERT_TRUE(wait_for([&] { return time(nullptr) - refused >= 25; }, 30000));
    mend();
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

struct HeldChangeEnd {
    const char *name;
    build program;
    bool restarted; // a restart (a new boot, /var/run emptied) before the next start
    bool finished;  // the next start finishes the change
};
void PrintTo(const HeldChangeEnd &e, std::ostream *os) {
    *os << e.name;
}
class HeldChangeEnds : public Leverwatch, public testing::WithParamInterface<HeldChangeEnd> {};

// A change held up by a store that refuses a key of the root, ended as routerd stop ends it
// (TERM): started again in the same boot, or after the device restarted (the user's restart
// from the web page, a power cut), the next controller finishes it from its record, writing
// only what is missing, and restarts the device. Without a store key to keep the record, a
// restart leaves the record behind: the settings then contradict OP_MODE, and the switch is
// held off rather than the change run again from its start, which would copy the half-moved
// root over the only copy of the upstream network.
TEST_P(HeldChangeEnds, FinishFromTheRecordOrHoldTheSwitchOffLosingNothing) {
    const auto &e = GetParam();
    fail("set:WLAN0_WSC_PSK refuse");
    boot(wisp_with(wpa2_home, wpa_upstream), "1\n", false, e.program);
    ASSERT_TRUE(wait_for([&] { return printed("writing it again in 10 s"); }, change_ms));
    const size_t stopped_at = writes().size();
    kill(dev.pid, SIGTERM);
    ASSERT_NE(dev.wait_exit(change_ms), -1);
    EXPECT_TRUE(
        printed("mode change not finished: WLAN0_WSC_PSK could not be written; recorded "
                "in " +
                std::string(e.program == build::keyed ? change_key : "/var/run/leverwatch.change") +
                " for the next leverwatch\n"))
        << dev.out();
    mend();
    if (e.restarted)
        new_boot();
    boot({}, nullptr, false, e.program);
    if (e.finished) {
        wait_for_reboot();
        EXPECT_TRUE(printed("a mode change was begun and not finished; finishing it\n"));
        const Lines w = writes();
        EXPECT_EQ(
            Lines(w.begin() + static_cast<long>(stopped_at), w.end()),
            sets(
                {{"WLAN0_WSC_PSK", "home-key"}, {"WLAN0_WSC_AUTH", "32"}, {"WLAN0_WSC_ENC", "8"}}) +
                ap_rest + (e.program == build::keyed ? restart_owed() : Lines{}) + Lines{"reboot"});
        EXPECT_EQ(dev.store("OP_MODE"), "OP_MODE=1\n");
        expect_profile("WLAN0_", wpa2_home);
    } else {
        ASSERT_TRUE(wait_for([&] { return printed("contradicts") && settled(); }, change_ms));
        EXPECT_EQ(writes().size(), stopped_at);
        // The upstream network's one copy is whole, and the home one's source.
        expect_profile("WLAN0_VAP4_", wpa2_home);
    }
    expect_profile("WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, HeldChangeEnds,
    testing::Values(HeldChangeEnd{"KeyedInTheSameBoot", build::keyed, false, true},
                    HeldChangeEnd{"KeyedAfterARestart", build::keyed, true, true},
                    HeldChangeEnd{"KeylessInTheSameBoot", build::keyless, false, true},
                    HeldChangeEnd{"KeylessAfterARestart", build::keyless, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct Planted {
    const char *name;
    const char *path;   // under the device's /var/run
    const char *kind;   // "dir", "fifo", "link" (to a file holding text) or "file"
    const char *text;   // what the link's target or the file holds
    const char *target; // where a link points, under the device's directory
};
void PrintTo(const Planted &p, std::ostream *os) {
    *os << p.name;
}
class PlantedInRun : public Leverwatch,
                     public testing::WithParamInterface<std::tuple<Planted, build>> {};

// Whatever an earlier run or a careless hand left at the controller's paths neither holds it
// off, silences a read, passes for a record nor is followed: a link at the record's path to a
// file that names a change to finish would have the controller overwrite the root unsaved.
TEST_P(PlantedInRun, NeitherHoldsTheControllerOffNorIsTakenForItsOwnFile) {
    const auto &[p, program] = GetParam();
    const std::string path = dev.dir + "/run/" + p.path, kind = p.kind;
    ASSERT_EQ(system(("mkdir -p '" + dev.dir + "/run'").c_str()), 0);
    if (kind == "dir") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (kind == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (kind == "link") {
        if (*p.text)
            write_file(dev.dir + "/" + p.target, p.text);
        ASSERT_EQ(symlink((dev.dir + "/" + p.target).c_str(), path.c_str()), 0);
    } else {
        write_file(path, p.text);
    }
    boot(in_ap, "3\n", false, program);
    wait_for_reboot();
    const Lines changed = router_op_mode + router_rest;
    EXPECT_EQ(writes(), program == build::keyed ? recorded("finish-ap-to-router") + changed +
                                                      restart_owed() + Lines{"reboot"}
                                                : changed + Lines{"reboot"});
    EXPECT_FALSE(printed("finishing it") || printed("restarting it")) << dev.out();
    if (kind == "link") {
        EXPECT_EQ(exists(dev.dir + "/" + p.target), *p.text != '\0') << "the link was followed";
        EXPECT_EQ(read_file(dev.dir + "/" + p.target), p.text) << "the link was followed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Leverwatch, PlantedInRun,
    testing::Combine(
        testing::Values(
            Planted{"DirectoryAtTheLock", "leverwatch.lock", "dir", "", "none"},
            Planted{"LinkAtTheLock", "leverwatch.lock", "link", "", "made-through-a-link"},
            Planted{"DirectoryAtTheOutputFile", "leverwatch_tmp.txt", "dir", "", "none"},
            Planted{"FifoAtTheOutputFile", "leverwatch_tmp.txt", "fifo", "", "none"},
            Planted{"DirectoryAtTheRecord", "leverwatch.change", "dir", "", "none"},
            Planted{"LinkAtTheRecord", "leverwatch.change", "link", "finish-wisp-to-ap\n",
                    "change"},
            Planted{"RecordOfARestartOwedInAnotherBoot", "leverwatch.change", "file",
                    "restart-owed-in-boot-00000000-0000-0000-0000-000000000000\n", "none"}),
        testing::Values(build::keyed, build::keyless)),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) + name_of(std::get<1>(info.param));
    });

// Others able to write in its directory could block or forge its files: it will not start.
TEST_F(Leverwatch, ItWillNotStartWhereOthersCanWriteInItsDirectory) {
    ASSERT_EQ(system(("mkdir -p '" + dev.dir + "/run'").c_str()), 0);
    ASSERT_EQ(chmod((dev.dir + "/run").c_str(), 01777), 0);
    boot(in_ap, "3\n");
    int status = dev.wait_exit(change_ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(dev.out(), "/var/run is not root's alone, exiting\n");
    EXPECT_EQ(dev.calls(), Lines{});
}

// A /var/run with no room left: the controller says so and moves nothing until there is room.
// A change being written when it fills up holds its restart off, and a stop meanwhile leaves
// its record of the change owed, which the next start of the boot finishes.
class FullRunDirs : public Leverwatch, public testing::WithParamInterface<build> {};

TEST_P(FullRunDirs, AreNamedAndNoChangeBeginsNorAnOwedRestartIsLostUntilThereIsRoom) {
    const std::string run = dev.dir + "/run";
    ASSERT_EQ(system(("mkdir -p '" + run + "'").c_str()), 0);
    ASSERT_EQ(mount("full", run.c_str(), "tmpfs", 0, "size=64k,mode=755"), 0);
    // Gone with the test, whatever becomes of it.
    std::unique_ptr<const std::string, void (*)(const std::string *)> mounted(
        &run, [](const std::string *at) { umount2(at->c_str(), MNT_DETACH); });
    auto fill = [&] {
        return system(("dd if=/dev/zero of='" + run + "/filler' bs=4k 2>/dev/null; true").c_str());
    };
    ASSERT_EQ(fill(), 0);
    boot(wisp_with(wpa2_home, wpa_upstream), "2\n", false, GetParam());
    // Both lines, the second a moment after the first.
    ASSERT_TRUE(wait_for(
        [&] {
            return printed("cannot write /var/run/leverwatch_tmp.txt: No space left on device\n") &&
                   printed(" unreadable, switch ignored until it is read\n");
        },
        change_ms))
        << dev.out();
    EXPECT_EQ(dev.calls(), Lines{});
    unlink((run + "/filler").c_str());
    ASSERT_TRUE(wait_for([&] { return called("flash get OP_MODE") && settled(); }, change_ms));
    expect_profile("WLAN0_VAP4_", wpa2_home);
    // Into AP, /var/run filled again as the last setting is written.
    const Lines all = saving_upstream +
                      (GetParam() == build::keyed ? recorded("finish-wisp-to-ap") : Lines{}) +
                      ap_op_mode + restoring_home + ap_rest;
    hold("set#" + std::to_string(all.size()));
    dev.write_proc("slide_sw", "1\n");
    held();
    ASSERT_EQ(fill(), 0);
    mend();
    ASSERT_TRUE(wait_for([&] { return printed("writing it again in 10 s\n"); }, change_ms))
        << dev.out();
    kill(dev.pid, SIGTERM);
    ASSERT_NE(dev.wait_exit(change_ms), -1);
    EXPECT_FALSE(called("reboot"));
    unlink((run + "/filler").c_str());
    boot({}, nullptr, false, GetParam());
    wait_for_reboot();
    EXPECT_TRUE(printed("a mode change was begun and not finished; finishing it\n"));
    expect_profile("WLAN0_", wpa2_home);
    expect_profile("WLAN0_VAP2_", wpa_upstream);
}

INSTANTIATE_TEST_SUITE_P(Leverwatch, FullRunDirs, testing::Values(build::keyed, build::keyless),
                         [](const auto &info) { return std::string(name_of(info.param)); });

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
    fail("set:WLAN0_VAP4_WPA_PSK refuse");
    boot(router_with(wpa2_home, wpa_upstream), "2\n");
    ASSERT_TRUE(wait_for([&] { return printed("mode change stopped"); }, change_ms)) << dev.out();
    const time_t stopped = time(nullptr);
    mend();
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
    testing::Values(ClockScene{"AMonthOnWhileItWaits", -1, int64_t{30} * 86400},
                    ClockScene{"AcrossThe2To31MillisecondMark", (int64_t{1} << 31) - 10000, 0},
                    ClockScene{"AcrossThe2To32MillisecondMark", (int64_t{1} << 32) - 10000, 0}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
