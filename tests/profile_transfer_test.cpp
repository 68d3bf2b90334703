// The store bridge's reads and writes and the profile transfers, run inside a simulated
// device (sim/device) so they use the real flash stand-in, shell and /tmp path.
#include "device.h"
#include "platform.h"
#include "private_file.h"
#include "profile_transfer.h"
#include "store_bridge.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

using Seeds = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

class InDevice : public testing::Test {
  protected:
    std::string dev;

    void SetUp() override {
        const char *d = getenv("SIM_DEVICE");
        ASSERT_TRUE(d) << "run this test binary inside sim/device";
        dev = d;
        ASSERT_EQ(system(("rm -f " + dev + "/store/* " + dev + "/fault /tmp/marker").c_str()), 0);
        write_file(dev + "/calls.log", "");
    }
    // Seeds numbers as NAME=value and texts exactly as given.
    void seed(const Seeds &seeds) const {
        for (const auto &[key, value] : seeds) {
            std::string line = key;
            write_file(dev + "/store/" + key, line.append("=").append(value).append("\n"));
        }
    }
    Lines calls() const { return lines_of(read_file(dev + "/calls.log")); }
    Lines sets() const {
        Lines out;
        for (const auto &c : calls())
            if (c.rfind("flash set ", 0) == 0)
                out.push_back(c.substr(10));
        return out;
    }
};

TEST_F(InDevice, NumericReadGivesTheNumberAfterTheEqualsSign) {
    seed({{"OP_MODE", "2"}});
    int v = -1;
    EXPECT_EQ(get_flash_int_value("OP_MODE", &v), 1);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(calls(), Lines{"flash get OP_MODE"});
    EXPECT_NE(access("/var/run/leverwatch_tmp.txt", F_OK), 0) << "a value was left behind";
}

TEST_F(InDevice, TheOutputFileIsMadePrivateAfreshAndAPlantedLinkIsNotFollowed) {
    // A flash of the test's own that notes the file's mode while it writes into it.
    ASSERT_EQ(system(("mkdir -p " + dev + "/bin").c_str()), 0);
    write_file(dev + "/bin/flash", "#!/bin/sh\nstat -c %a /var/run/leverwatch_tmp.txt >/tmp/mode\n"
                                   "echo K=7\n");
    ASSERT_EQ(chmod((dev + "/bin/flash").c_str(), 0755), 0);
    std::string path = getenv("PATH");
    setenv("PATH", (dev + "/bin:" + path).c_str(), 1);
    write_file("/tmp/target", "kept\n");
    ASSERT_EQ(symlink("/tmp/target", "/var/run/leverwatch_tmp.txt"), 0);
    mode_t permissive = umask(0);
    int v = 0;
    EXPECT_EQ(get_flash_int_value("K", &v), 1);
    umask(permissive);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(read_file("/tmp/mode"), "600\n");
    EXPECT_EQ(read_file("/tmp/target"), "kept\n");
    EXPECT_NE(access("/var/run/leverwatch_tmp.txt", F_OK), 0);
}

// The controller's record replaced on a filesystem with no room left stays as it was: the new
// one is written whole under another name before it takes the record's place.
TEST_F(InDevice, AFileReplacedOnAFullFilesystemKeepsItsOldText) {
    ASSERT_EQ(system("mkdir -p /tmp/full && mount -t tmpfs -o size=8k full /tmp/full"), 0);
    write_file("/tmp/full/record", "old\n");
    ASSERT_EQ(system("dd if=/dev/zero of=/tmp/full/filler bs=4k 2>/dev/null; true"), 0);
    EXPECT_FALSE(replace_file("/tmp/full/record", "/tmp/full/record.new", "new"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_file("/tmp/full/record"), "old\n");
    EXPECT_EQ(system("umount /tmp/full"), 0);
}

TEST_F(InDevice, TextReadKeepsQuotesAndLineEnd) {
    seed({{"WLAN0_SSID", "\"Home Net\""}});
    char v[line_size] = {};
    EXPECT_EQ(get_flash_char_value("WLAN0_SSID", v), 1);
    EXPECT_STREQ(v, "\"Home Net\"\n");
}

TEST_F(InDevice, ReadsThatFindNoValueLeaveTheDestinationAlone) {
    write_file(dev + "/store/NO_EQUALS", "NO_EQUALS 3\n");
    write_file(dev + "/store/EMPTY", "");
    write_file(dev + "/store/EMPTY_VALUE", "EMPTY_VALUE=\n");
    for (const char *key : {"NO_EQUALS", "EMPTY", "EMPTY_VALUE", "UNKNOWN_KEY"}) {
        int n = 7;
        char t[line_size] = "kept";
        EXPECT_EQ(get_flash_int_value(key, &n), 0) << key;
        EXPECT_EQ(get_flash_char_value(key, t), 0) << key;
        EXPECT_EQ(n, 7) << key;
        EXPECT_STREQ(t, "kept") << key;
    }
}

TEST_F(InDevice, OnlyTheFirstLineIsReadAndLongLinesAreCutToTheLineBuffer) {
    write_file(dev + "/store/TWO", "TWO=1\nTWO=2\n");
    int n = 0;
    EXPECT_EQ(get_flash_int_value("TWO", &n), 1);
    EXPECT_EQ(n, 1);
    std::string longer = "LONG=\"" + std::string(200, 'x') + "\"\n";
    write_file(dev + "/store/LONG", longer);
    char t[line_size] = {};
    EXPECT_EQ(get_flash_char_value("LONG", t), 1);
    EXPECT_EQ(std::string(t), longer.substr(5, line_size - 1 - 5));
}

struct TransferCase {
    const char *name;
    int (*operation)(int);
    int dir;
    int status;
    Seeds store;
    Lines sets;              // every write, in order, as the flash tool received it
    const char *refused{""}; // a key whose sets the store refuses
};

void PrintTo(const TransferCase &c, std::ostream *os) {
    *os << c.name;
}

int (*const ssid)(int) = set_wlan_ssid;
int (*const security)(int) = set_wlan_security;
int (*const stash)(int) = restore_wisp_primary_wireless_info;

const TransferCase transfer_cases[] = {
    {"EnteringCopiesTheRootSsidToRepeaterAndRepeaterSsid1",
     ssid,
     entering_wisp,
     1,
     {{"WLAN0_SSID", "\"Home\""}},
     {"WLAN0_VAP4_SSID Home", "REPEATER_SSID1 Home"}},
    {"LeavingCopiesTheRepeaterSsidToRootAndWsc",
     ssid,
     leaving_wisp,
     1,
     {{"WLAN0_VAP4_SSID", "\"Bob's Net\""}},
     {"WLAN0_SSID Bob's Net", "WLAN0_WSC_SSID Bob's Net"}},
    {"EnteringWithWpa2CopiesCiphersPskAndWscInOrder",
     security,
     entering_wisp,
     1,
     {{"WLAN0_ENCRYPT", "4"}, {"WLAN0_PSK_FORMAT", "0"}, {"WLAN0_WPA_PSK", "\"P\""}},
     {"WLAN0_VAP4_ENCRYPT 4", "WLAN0_VAP4_WPA_AUTH 2", "WLAN0_VAP4_WPA_CIPHER_SUITE 0",
      "WLAN0_VAP4_WPA2_CIPHER_SUITE 2", "WLAN0_VAP4_PSK_FORMAT 0", "WLAN0_VAP4_WPA_PSK P",
      "WLAN0_VAP4_WSC_PSK P", "WLAN0_VAP4_WSC_AUTH 32", "WLAN0_VAP4_WSC_ENC 8"}},
    {"EnteringWithWpaWritesTkipFirst",
     security,
     entering_wisp,
     1,
     {{"WLAN0_ENCRYPT", "2"}, {"WLAN0_PSK_FORMAT", "1"}, {"WLAN0_WPA_PSK", "k"}},
     {"WLAN0_VAP4_ENCRYPT 2", "WLAN0_VAP4_WPA_CIPHER_SUITE 1", "WLAN0_VAP4_WPA2_CIPHER_SUITE 0",
      "WLAN0_VAP4_WPA_AUTH 2", "WLAN0_VAP4_PSK_FORMAT 1", "WLAN0_VAP4_WPA_PSK k",
      "WLAN0_VAP4_WSC_PSK k", "WLAN0_VAP4_WSC_AUTH 2", "WLAN0_VAP4_WSC_ENC 4"}},
    {"LeavingWithMixedWpaWritesRootCipherKeys",
     security,
     leaving_wisp,
     1,
     {{"WLAN0_VAP4_ENCRYPT", "6"},
      {"WLAN0_VAP4_PSK_FORMAT", "0"},
      {"WLAN0_VAP4_WPA_PSK", "\"p w\""},
      {"WLAN0_WSC_DISABLE", "0"},
      {"WLAN0_WSC_CONFIGURED", "1"}},
     {"WLAN0_ENCRYPT 6", "WLAN0_WPA_AUTH 2", "WPA_CIPHER_SUITE 1", "WPA2_CIPHER_SUITE 2",
      "WLAN0_PSK_FORMAT 0", "WLAN0_WPA_PSK p w", "WLAN0_WSC_PSK p w", "WLAN0_WSC_AUTH 34",
      "WLAN0_WSC_ENC 12"}},
    {"EnteringWithSharedKeyWepCopiesThe64BitKeyAndNotThe128",
     security,
     entering_wisp,
     1,
     {{"WLAN0_ENCRYPT", "1"},
      {"WLAN0_AUTH_TYPE", "1"},
      {"WLAN0_WEP", "1"},
      {"WLAN0_WEP_KEY_TYPE", "0"},
      {"WLAN0_WEP64_KEY1", "\"12345\""},
      {"WLAN0_WEP128_KEY1", "\"not this\""}},
     {"WLAN0_VAP4_ENCRYPT 1", "WLAN0_VAP4_AUTH_TYPE 1", "WLAN0_VAP4_WEP 1",
      "WLAN0_VAP4_WEP_KEY_TYPE 0", "WLAN0_VAP4_WEP64_KEY1 12345", "WLAN0_VAP4_WSC_AUTH 4",
      "WLAN0_VAP4_WSC_ENC 2"}},
    {"EnteringWithOpenWepSelector2CopiesThe128BitKey",
     security,
     entering_wisp,
     1,
     {{"WLAN0_ENCRYPT", "1"},
      {"WLAN0_AUTH_TYPE", "2"},
      {"WLAN0_WEP", "2"},
      {"WLAN0_WEP_KEY_TYPE", "1"},
      {"WLAN0_WEP128_KEY1", "\"abc\\$def\""}},
     {"WLAN0_VAP4_ENCRYPT 1", "WLAN0_VAP4_AUTH_TYPE 2", "WLAN0_VAP4_WEP 2",
      "WLAN0_VAP4_WEP_KEY_TYPE 1", "WLAN0_VAP4_WEP128_KEY1 abc$def", "WLAN0_VAP4_WSC_AUTH 1",
      "WLAN0_VAP4_WSC_ENC 2"}},
    {"UnlistedCodeGetsWsc34And12AndNothingElse",
     security,
     entering_wisp,
     1,
     {{"WLAN0_ENCRYPT", "3"}},
     {"WLAN0_VAP4_ENCRYPT 3", "WLAN0_VAP4_WSC_AUTH 34", "WLAN0_VAP4_WSC_ENC 12"}},
    {"LeavingOpenMarksWscConfiguredWhenNeitherFlagIsSet",
     security,
     leaving_wisp,
     1,
     {{"WLAN0_VAP4_ENCRYPT", "0"}, {"WLAN0_WSC_DISABLE", "0"}, {"WLAN0_WSC_CONFIGURED", "0"}},
     {"WLAN0_ENCRYPT 0", "WLAN0_WSC_AUTH 1", "WLAN0_WSC_ENC 1", "WLAN0_WSC_CONFIGURED 1"}},
    {"LeavingWithWscDisabledLeavesConfiguredAlone",
     security,
     leaving_wisp,
     1,
     {{"WLAN0_VAP4_ENCRYPT", "0"}, {"WLAN0_WSC_DISABLE", "1"}, {"WLAN0_WSC_CONFIGURED", "0"}},
     {"WLAN0_ENCRYPT 0", "WLAN0_WSC_AUTH 1", "WLAN0_WSC_ENC 1"}},
    {"AnUnreadableWscDisableFlagLeavesConfiguredAloneAndTheTransferGoesOn",
     security,
     leaving_wisp,
     1,
     {{"WLAN0_VAP4_ENCRYPT", "0"}, {"WLAN0_WSC_CONFIGURED", "0"}},
     {"WLAN0_ENCRYPT 0", "WLAN0_WSC_AUTH 1", "WLAN0_WSC_ENC 1"}},
    {"SavingOpenWritesOnlySsidAndCode",
     stash,
     leaving_wisp,
     1,
     {{"WLAN0_SSID", "\"Up\""}, {"WLAN0_ENCRYPT", "0"}},
     {"WLAN0_VAP2_SSID Up", "WLAN0_VAP2_ENCRYPT 0"}},
    {"SavingWpa2CopiesPskOnceAndNoCiphersOrWsc",
     stash,
     leaving_wisp,
     1,
     {{"WLAN0_SSID", "\"Up\""},
      {"WLAN0_ENCRYPT", "4"},
      {"WLAN0_PSK_FORMAT", "0"},
      {"WLAN0_WPA_PSK", "\"secret\""}},
     {"WLAN0_VAP2_SSID Up", "WLAN0_VAP2_ENCRYPT 4", "WLAN0_VAP2_PSK_FORMAT 0",
      "WLAN0_VAP2_WPA_PSK secret"}},
    {"RestoringOpenWritesSsidCodeAndWsc",
     stash,
     entering_wisp,
     1,
     {{"WLAN0_VAP2_SSID", "\"Up\""}, {"WLAN0_VAP2_ENCRYPT", "0"}},
     {"WLAN0_SSID Up", "WLAN0_ENCRYPT 0", "WLAN0_WSC_AUTH 1", "WLAN0_WSC_ENC 1"}},
    {"RestoringWpa2DerivesRootCiphersFromTheStashedCode",
     stash,
     entering_wisp,
     1,
     {{"WLAN0_VAP2_SSID", "\"Up\""},
      {"WLAN0_VAP2_ENCRYPT", "4"},
      {"WLAN0_VAP2_PSK_FORMAT", "1"},
      {"WLAN0_VAP2_WPA_PSK", "\"secret\""}},
     {"WLAN0_SSID Up", "WLAN0_ENCRYPT 4", "WLAN0_WPA_AUTH 2", "WPA_CIPHER_SUITE 0",
      "WPA2_CIPHER_SUITE 2", "WLAN0_PSK_FORMAT 1", "WLAN0_WPA_PSK secret", "WLAN0_WSC_PSK secret",
      "WLAN0_WSC_AUTH 32", "WLAN0_WSC_ENC 8"}},
    {"SavingAnSsidOfOneEscapedSpaceStoresAnEmptyName",
     stash,
     leaving_wisp,
     1,
     {{"WLAN0_SSID", "\"\\ \""}, {"WLAN0_ENCRYPT", "0"}},
     {"WLAN0_VAP2_SSID ", "WLAN0_VAP2_ENCRYPT 0"}},
    {"RestoringAnEmptyStashNameStoresOneSpace",
     stash,
     entering_wisp,
     1,
     {{"WLAN0_VAP2_SSID", "\"\""}, {"WLAN0_VAP2_ENCRYPT", "0"}},
     {"WLAN0_SSID  ", "WLAN0_ENCRYPT 0", "WLAN0_WSC_AUTH 1", "WLAN0_WSC_ENC 1"}},
    {"AFailedReadEndsTheRunBeforeAnyLaterWrite",
     security,
     entering_wisp,
     0,
     {{"WLAN0_ENCRYPT", "4"}, {"WLAN0_WPA_PSK", "\"P\""}},
     {"WLAN0_VAP4_ENCRYPT 4", "WLAN0_VAP4_WPA_AUTH 2", "WLAN0_VAP4_WPA_CIPHER_SUITE 0",
      "WLAN0_VAP4_WPA2_CIPHER_SUITE 2"}},
    {"AFailedCodeReadWritesNoWscValuesWhenRestoring",
     stash,
     entering_wisp,
     0,
     {{"WLAN0_VAP2_SSID", "\"Up\""}},
     {"WLAN0_SSID Up"}},
    {"AFailedCodeReadWritesNoWscValuesWhenEntering", security, entering_wisp, 0, {}, {}},
    {"AFailedCodeReadWritesNothingWhenLeavingEither",
     security,
     leaving_wisp,
     0,
     {{"WLAN0_WSC_DISABLE", "0"}, {"WLAN0_WSC_CONFIGURED", "0"}},
     {}},
    {"AFailedAuthTypeReadEndsTheRunBeforeTheWepKeys",
     security,
     entering_wisp,
     0,
     {{"WLAN0_ENCRYPT", "1"}, {"WLAN0_WEP", "2"}, {"WLAN0_WEP_KEY_TYPE", "0"}},
     {"WLAN0_VAP4_ENCRYPT 1"}},
    {"AHostilePskIsRefusedAndEndsTheRun",
     security,
     entering_wisp,
     0,
     {{"WLAN0_ENCRYPT", "2"},
      {"WLAN0_PSK_FORMAT", "0"},
      {"WLAN0_WPA_PSK", "\"$(touch /tmp/marker)\""}},
     {"WLAN0_VAP4_ENCRYPT 2", "WLAN0_VAP4_WPA_CIPHER_SUITE 1", "WLAN0_VAP4_WPA2_CIPHER_SUITE 0",
      "WLAN0_VAP4_WPA_AUTH 2", "WLAN0_VAP4_PSK_FORMAT 0"}},
    {"AnSsidLongerThanAnyLegalValueIsRefusedNotCut",
     ssid,
     entering_wisp,
     0,
     {{"WLAN0_SSID", "\"" + std::string(longest_value - 2, 'n') + "\""}},
     {}},
    {"AnUnknownDirectionDoesNothing", security, 2, 0, {{"WLAN0_VAP4_ENCRYPT", "0"}}, {}},
    {"AFirstCopyRefusedEndsTheRowBeforeItsSecond",
     ssid,
     entering_wisp,
     0,
     {{"WLAN0_SSID", "\"Home\""}},
     {"WLAN0_VAP4_SSID Home"},
     "WLAN0_VAP4_SSID"},
};

class Transfer : public InDevice, public testing::WithParamInterface<TransferCase> {};

TEST_P(Transfer, WritesExactlyTheseKeysInOrder) {
    const auto &c = GetParam();
    seed(c.store);
    if (*c.refused)
        write_file(dev + "/fault", "set:" + std::string(c.refused) + " refuse\n");
    EXPECT_EQ(c.operation(c.dir), c.status);
    EXPECT_EQ(sets(), c.sets);
    EXPECT_NE(access("/tmp/marker", F_OK), 0) << "a value from the store ran as a command";
}

INSTANTIATE_TEST_SUITE_P(Rows, Transfer, testing::ValuesIn(transfer_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InDevice, ReadsRunInRowOrderAndOnlyForRowsThatApply) {
    seed({{"WLAN0_VAP4_ENCRYPT", "1"},
          {"WLAN0_VAP4_AUTH_TYPE", "0"},
          {"WLAN0_VAP4_WEP", "1"},
          {"WLAN0_VAP4_WEP_KEY_TYPE", "0"},
          {"WLAN0_VAP4_WEP64_KEY1", "k"},
          {"WLAN0_WSC_DISABLE", "0"},
          {"WLAN0_WSC_CONFIGURED", "1"}});
    EXPECT_EQ(set_wlan_security(leaving_wisp), 1);
    Lines gets;
    for (const auto &c : calls())
        if (c.rfind("flash get ", 0) == 0)
            gets.push_back(c.substr(10));
    // Each value read twice, each write read back.
    EXPECT_EQ(
        gets,
        (Lines{"WLAN0_VAP4_ENCRYPT",      "WLAN0_VAP4_ENCRYPT",      "WLAN0_ENCRYPT",
               "WLAN0_VAP4_AUTH_TYPE",    "WLAN0_VAP4_AUTH_TYPE",    "WLAN0_AUTH_TYPE",
               "WLAN0_VAP4_WEP",          "WLAN0_VAP4_WEP",          "WLAN0_WEP",
               "WLAN0_VAP4_WEP_KEY_TYPE", "WLAN0_VAP4_WEP_KEY_TYPE", "WLAN0_WEP_KEY_TYPE",
               "WLAN0_VAP4_WEP64_KEY1",   "WLAN0_VAP4_WEP64_KEY1",   "WLAN0_WEP64_KEY1",
               "WLAN0_WSC_AUTH",          "WLAN0_WSC_ENC",           "WLAN0_WSC_DISABLE",
               "WLAN0_WSC_DISABLE",       "WLAN0_WSC_CONFIGURED",    "WLAN0_WSC_CONFIGURED"}));
}

TEST_F(InDevice, SafeValuesReachTheToolAsTheShellReadsThemAndReadBackUnchanged) {
    const struct {
        const char *printed; // as the tool prints it, line end included
        const char *value;   // what flash set receives
    } cases[] = {{"\"Bob's Net\"\n", "Bob's Net"},
                 {"\"Up & Away\"\n", "Up & Away"},
                 {"a\\ b\n", "a b"},
                 {"\\$HOME\n", "$HOME"},
                 {"'$(x) `y`'\n", "$(x) `y`"},
                 {"\"q\\\"q\\\\\"\n", "q\"q\\"},
                 {"'a\\b'\n", "a\\b"},
                 {"pass#word!\n", "pass#word!"},
                 {"correct~horse\n", "correct~horse"},
                 {"pass{1}\n", "pass{1}"},
                 {"caf\xc3\xa9\n", "caf\xc3\xa9"}};
    for (const auto &c : cases) {
        write_file(dev + "/calls.log", "");
        // Written once as the tool printed it, then once more as the stand-in printed it back.
        EXPECT_TRUE(flash_set_text("WLAN0_SSID", c.printed)) << c.printed;
        char back[line_size] = {};
        EXPECT_EQ(get_flash_char_value("WLAN0_SSID", back), 1);
        EXPECT_TRUE(flash_set_text("WLAN0_VAP4_SSID", back)) << back;
        EXPECT_EQ(sets(), (Lines{std::string("WLAN0_SSID ") + c.value,
                                 std::string("WLAN0_VAP4_SSID ") + c.value}))
            << c.printed;
    }
}
