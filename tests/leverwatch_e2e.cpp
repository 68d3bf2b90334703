// The shipped leverwatch in a simulated device: the exact flash calls, the store after a
// change, and what it prints.
#include "device.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

using Lines = std::vector<std::string>;
using Seeds = std::vector<std::pair<std::string, std::string>>;

namespace {

// A mode change runs a few dozen shells; under an emulator that takes a while.
constexpr int change_ms = 30000;
// How long a poll-free stretch is watched: more than two poll periods.
constexpr int quiet_ms = 5000;

const Lines ap_writes = {"flash set OP_MODE 1", "flash set DHCP 0", "flash set WLAN0_MODE 0",
                         "flash set REPEATER_ENABLED1 0", "flash set WLAN0_VAP4_WLAN_DISABLED 1"};
const Lines wisp_writes = {"flash set OP_MODE 2",
                           "flash set DHCP 2",
                           "flash set WLAN0_MODE 1",
                           "flash set REPEATER_ENABLED1 1",
                           "flash set WLAN0_VAP4_WLAN_DISABLED 0",
                           "flash set WAN_DHCP 1",
                           "flash set DNS_MODE 0"};
const Lines router_writes = {
    "flash set OP_MODE 0",           "flash set DHCP 2",
    "flash set WLAN0_MODE 0",        "flash set WAN_DHCP 1",
    "flash set REPEATER_ENABLED1 0", "flash set WLAN0_VAP4_WLAN_DISABLED 1"};

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
const Lines leaving_wisp_calls = {"flash get WLAN0_SSID",
                                  "flash set WLAN0_VAP2_SSID Upstream",
                                  "flash get WLAN0_ENCRYPT",
                                  "flash set WLAN0_VAP2_ENCRYPT 4",
                                  "flash get WLAN0_PSK_FORMAT",
                                  "flash set WLAN0_VAP2_PSK_FORMAT 0",
                                  "flash get WLAN0_WPA_PSK",
                                  "flash set WLAN0_VAP2_WPA_PSK uplink-key",
                                  "flash get WLAN0_VAP4_SSID",
                                  "flash set WLAN0_SSID Home",
                                  "flash set WLAN0_WSC_SSID Home",
                                  "flash get WLAN0_VAP4_ENCRYPT",
                                  "flash set WLAN0_ENCRYPT 6",
                                  "flash set WLAN0_WPA_AUTH 2",
                                  "flash set WPA_CIPHER_SUITE 1",
                                  "flash set WPA2_CIPHER_SUITE 2",
                                  "flash get WLAN0_VAP4_PSK_FORMAT",
                                  "flash set WLAN0_PSK_FORMAT 0",
                                  "flash get WLAN0_VAP4_WPA_PSK",
                                  "flash set WLAN0_WPA_PSK home-key",
                                  "flash set WLAN0_WSC_PSK home-key",
                                  "flash set WLAN0_WSC_AUTH 34",
                                  "flash set WLAN0_WSC_ENC 12",
                                  "flash get WLAN0_WSC_DISABLE",
                                  "flash get WLAN0_WSC_CONFIGURED"};

// In Router mode: the root profile is the home network, the stash the upstream one.
const Seeds in_router = {{"OP_MODE", "0"},
                         {"WLAN0_SSID", "\"Home\""},
                         {"WLAN0_ENCRYPT", "0"},
                         {"WLAN0_VAP2_SSID", "\"Upstream\""},
                         {"WLAN0_VAP2_ENCRYPT", "4"},
                         {"WLAN0_VAP2_PSK_FORMAT", "0"},
                         {"WLAN0_VAP2_WPA_PSK", "\"uplink-key\""}};
const Lines entering_wisp_calls = {"flash get WLAN0_SSID",
                                   "flash set WLAN0_VAP4_SSID Home",
                                   "flash set REPEATER_SSID1 Home",
                                   "flash get WLAN0_ENCRYPT",
                                   "flash set WLAN0_VAP4_ENCRYPT 0",
                                   "flash set WLAN0_VAP4_WSC_AUTH 1",
                                   "flash set WLAN0_VAP4_WSC_ENC 1",
                                   "flash get WLAN0_VAP2_SSID",
                                   "flash set WLAN0_SSID Upstream",
                                   "flash get WLAN0_VAP2_ENCRYPT",
                                   "flash set WLAN0_ENCRYPT 4",
                                   "flash set WLAN0_WPA_AUTH 2",
                                   "flash set WPA_CIPHER_SUITE 0",
                                   "flash set WPA2_CIPHER_SUITE 2",
                                   "flash get WLAN0_VAP2_PSK_FORMAT",
                                   "flash set WLAN0_PSK_FORMAT 0",
                                   "flash get WLAN0_VAP2_WPA_PSK",
                                   "flash set WLAN0_WPA_PSK uplink-key",
                                   "flash set WLAN0_WSC_PSK uplink-key",
                                   "flash set WLAN0_WSC_AUTH 32",
                                   "flash set WLAN0_WSC_ENC 8"};

Lines operator+(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The calls with every write of these keys taken out.
Lines without_writes(Lines calls, const Lines &keys) {
    auto writes_a_key = [&](const std::string &call) {
        for (const auto &key : keys)
            if (call.rfind("flash set " + key + " ", 0) == 0)
                return true;
        return false;
    };
    calls.erase(std::remove_if(calls.begin(), calls.end(), writes_a_key), calls.end());
    return calls;
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
        for (const auto &[key, value] : store) {
            std::string line = key;
            dev.seed(key, line.append("=").append(value).append("\n"));
        }
        if (switch_text)
            dev.write_proc("slide_sw", switch_text);
        dev.start(program_under_test("LEVERWATCH_BIN", LEVERWATCH_BUILT), boot_loop);
    }
    bool called(const std::string &line) const {
        for (const auto &c : dev.calls())
            if (c == line)
                return true;
        return false;
    }
    void wait_for_reboot() {
        ASSERT_TRUE(wait_for([&] { return called("reboot"); }, change_ms)) << dev.out();
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
    EXPECT_EQ(dev.calls(),
              Lines{"flash get OP_MODE"} + leaving_wisp_calls + ap_writes + Lines{"reboot"});
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
    EXPECT_EQ(dev.calls(),
              Lines{"flash get OP_MODE"} + entering_wisp_calls + wisp_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to WISP Mode,The Data is 02\n\n");
    EXPECT_EQ(dev.store("WLAN0_VAP4_SSID"), "WLAN0_VAP4_SSID=\"Home\"\n");
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\"Upstream\"\n");
}

// The reboot stand-in ends the process: whatever was still buffered would be lost.
TEST_F(Leverwatch, TheAnnouncementIsOutBeforeTheRestartAndTheRestartedControllerSettles) {
    boot(in_router, "2\n", true);
    ASSERT_TRUE(wait_for(
        [&] {
            return dev.calls().size() == 1 + entering_wisp_calls.size() + wisp_writes.size() + 2;
        },
        change_ms))
        << testing::PrintToString(dev.calls());
    expect_quiet();
    EXPECT_EQ(dev.calls(), (Lines{"flash get OP_MODE"} + entering_wisp_calls + wisp_writes +
                            Lines{"reboot", "flash get OP_MODE"}));
    EXPECT_EQ(dev.out(),
              "Slide Swith change to WISP Mode,The Data is 2\n\n--- device restarted ---\n");
}

TEST_F(Leverwatch, ApToRouterWritesTheRouterSettingsAndMovesNoProfile) {
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"} + router_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "Slide Swith change to Router Mode,The Data is 3\n\n");
}

TEST_F(Leverwatch, SettledItReadsTheModeOnceAndDoesNothingElse) {
    boot({{"OP_MODE", "1"}}, "1\n");
    ASSERT_TRUE(wait_for([&] { return called("flash get OP_MODE"); }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"});
    EXPECT_EQ(dev.out(), "");
}

TEST_F(Leverwatch, AnOpModeOutsideZeroToTwoIsReportedAndTakenAsRouter) {
    boot({{"OP_MODE", "5"}}, "3\n");
    ASSERT_TRUE(wait_for([&] { return printed("Failure for OP Mode\n"); }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.out(), "Failure for OP Mode\n");
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"});
}

TEST_F(Leverwatch, AnUnreadableOpModeHoldsTheSwitchOffUntilTheStoreAnswers) {
    // In WISP with the switch at WISP: a guessed Router would enter WISP again and overwrite
    // the repeater profile with the upstream one.
    boot(with(in_wisp, "OP_MODE", ""), "2\n");
    const std::string read = "flash get OP_MODE";
    ASSERT_TRUE(wait_for([&] { return dev.calls() == Lines(6, read); }, 2 * change_ms))
        << testing::PrintToString(dev.calls());
    dev.seed("OP_MODE", "OP_MODE=2\n");
    // Settled: a stretch of more than two polls with no call at all.
    EXPECT_TRUE(wait_for(
        [&] {
            size_t n = dev.calls().size();
            return !wait_for([&] { return dev.calls().size() != n; }, quiet_ms);
        },
        change_ms));
    for (const auto &call : dev.calls())
        EXPECT_EQ(call, read);
    EXPECT_EQ(dev.out(), "OP_MODE unreadable, switch ignored until it is read\n");
}

TEST_F(Leverwatch, AnOpModeStillUnreadableAfterThirtySecondsIsTakenAsRouter) {
    boot({}, "1\n");
    ASSERT_TRUE(wait_for([&] { return called("reboot"); }, 60000 + change_ms)) << dev.out();
    // Read at start and at every poll until 30 s have passed; the change writes the key.
    EXPECT_EQ(dev.calls(), Lines(16, "flash get OP_MODE") + ap_writes + Lines{"reboot"});
    EXPECT_EQ(dev.out(), "OP_MODE unreadable, switch ignored until it is read\n"
                         "OP_MODE still unreadable, taken as Router\n"
                         "Slide Switch change to AP mode,The Data is 1\n\n");
}

TEST_F(Leverwatch, StartedWithSigchldIgnoredItStillReadsTheModeAndSettles) {
    dev.launcher = "env --ignore-signal=CHLD";
    boot({{"OP_MODE", "1"}}, "1\n");
    ASSERT_TRUE(wait_for([&] { return called("flash get OP_MODE"); }, change_ms));
    expect_quiet();
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"});
    EXPECT_EQ(dev.out(), "");
}

TEST_F(Leverwatch, WithNobodyReadingItsOutputAChangeStillCompletesAndRestarts) {
    dev.stdout_unread = true;
    boot({{"OP_MODE", "1"}}, "3\n");
    wait_for_reboot();
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"} + router_writes + Lines{"reboot"});
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
TEST_P(InvalidReadings, AreReportedAtEveryPollAndMoveNothingEvenInWisp) {
    boot(in_wisp, GetParam().text);
    ASSERT_TRUE(wait_for([&] { return printed(GetParam().message, 2); }, change_ms)) << dev.out();
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"});
    EXPECT_TRUE(dev.running());
}

INSTANTIATE_TEST_SUITE_P(
    Switch, InvalidReadings,
    testing::Values(InvalidReading{"Letter", "abc\n",
                                   "Error Flag from Slide_Sw,The Data is abc\n\n"},
                    InvalidReading{"Zero", "0\n", "Error Flag from Slide_Sw,The Data is 0\n\n"},
                    InvalidReading{"Four", "4\n", "Error Flag from Slide_Sw,The Data is 4\n\n"},
                    InvalidReading{"EmptyFile", "", "Error Flag from Slide_Sw,The Data is \n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Leverwatch, AMissingSwitchFileIsReportedAtEveryPollAsItHappens) {
    boot(in_wisp, nullptr);
    // Seen while the controller runs: standard output is line-buffered.
    ASSERT_TRUE(wait_for([&] { return printed("read gpio error\n", 2); }, change_ms));
    EXPECT_TRUE(dev.running());
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"});
}

TEST_F(Leverwatch, SavingAnSsidOfOneEscapedSpaceStoresAnEmptyStashName) {
    boot(with(in_wisp, "WLAN0_SSID", "\"\\ \""), "3\n");
    wait_for_reboot();
    EXPECT_TRUE(called("flash set WLAN0_VAP2_SSID "));
    EXPECT_EQ(dev.store("WLAN0_VAP2_SSID"), "WLAN0_VAP2_SSID=\"\"\n");
}

TEST_F(Leverwatch, RestoringAnEmptyStashNameStoresAnSsidOfOneSpace) {
    boot(with(in_router, "WLAN0_VAP2_SSID", "\"\""), "2\n");
    wait_for_reboot();
    EXPECT_TRUE(called("flash set WLAN0_SSID  "));
    EXPECT_EQ(dev.store("WLAN0_SSID"), "WLAN0_SSID=\" \"\n");
}

TEST_F(Leverwatch, HostileSsidAndKeyAreRefusedAndNothingFromTheStoreRuns) {
    Seeds store = with(in_wisp, "WLAN0_SSID", "\"$(touch /tmp/pwned)\"");
    store = with(store, "WLAN0_WPA_PSK", "`touch /tmp/pwned`");
    store = with(store, "WLAN0_VAP4_SSID", "\"x\";touch /tmp/pwned;reboot;\"y\"");
    store = with(store, "WLAN0_VAP4_WPA_PSK", "\"$(reboot)\"");
    boot(store, "1\n");
    wait_for_reboot();
    const Lines refused = {"WLAN0_VAP2_SSID", "WLAN0_VAP2_WPA_PSK", "WLAN0_SSID",
                           "WLAN0_WSC_SSID",  "WLAN0_WPA_PSK",      "WLAN0_WSC_PSK"};
    for (const auto &key : refused)
        EXPECT_TRUE(printed("flash set " + key + " refused")) << key;
    // Every read still runs; only the refused writes are missing.
    EXPECT_EQ(dev.calls(), Lines{"flash get OP_MODE"} +
                               without_writes(leaving_wisp_calls, refused) + ap_writes +
                               Lines{"reboot"});
    EXPECT_FALSE(exists(dev.dir + "/tmp/pwned")) << "a stored value ran";
    // Each refused transfer reports its failure, and the change still goes ahead.
    EXPECT_TRUE(printed("slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"));
    EXPECT_TRUE(printed("slide switch  mode, but set wlan ssid fail!\n"));
    EXPECT_TRUE(printed("slide switch mode, but set wlan security fail!\n"));
    EXPECT_TRUE(printed("Slide Switch change to AP mode,The Data is 1\n\n"));
}

TEST_F(Leverwatch, AValueTooLongForTheCommandLineIsRefusedNotCut) {
    // With the 75 characters of this value neither write fits 99 characters.
    boot(with(in_router, "WLAN0_SSID", "\"" + std::string(72, 'n') + "\""), "2\n");
    wait_for_reboot();
    EXPECT_TRUE(printed("flash set WLAN0_VAP4_SSID refused: command too long\n"));
    EXPECT_TRUE(printed("flash set REPEATER_SSID1 refused: command too long\n"));
    EXPECT_TRUE(printed("slide switch  mode, but set wlan ssid fail!\n"));
    EXPECT_FALSE(dev.has_key("WLAN0_VAP4_SSID"));
}

TEST_F(Leverwatch, AFailedReadWritesNothingForItsRowAndTheTransferReportsIt) {
    // No WLAN0_PSK_FORMAT: an early read of the save fails.
    boot(with(in_wisp, "WLAN0_PSK_FORMAT", ""), "1\n");
    wait_for_reboot();
    EXPECT_FALSE(called("flash set WLAN0_VAP2_PSK_FORMAT "));
    EXPECT_FALSE(dev.has_key("WLAN0_VAP2_PSK_FORMAT"));
    EXPECT_TRUE(called("flash set WLAN0_VAP2_WPA_PSK uplink-key"));
    EXPECT_EQ(dev.out(), "slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"
                         "Slide Switch change to AP mode,The Data is 1\n\n");
}

} // namespace
