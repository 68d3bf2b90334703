// Value lines and the shell-word check of the store bridge.
#include "store_bridge.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(ValueLine, TheValueIsWhatFollowsTheKeyAndItsEqualsSignOnTheKeysOwnLine) {
    EXPECT_STREQ(flash_value("OP_MODE", "OP_MODE=2\n"), "2\n");
    EXPECT_STREQ(flash_value("WLAN0_SSID", "WLAN0_SSID=\"a=b\"\n"), "\"a=b\"\n");
    EXPECT_STREQ(flash_value("KEY", "KEY=\n"), "\n");
    for (const char *garbled : {"no equals sign\n", "", "OP_MODE 2\n", "OP_MODEX=2\n", "OP_MOD=2\n",
                                "DHCP=2\n", " OP_MODE=2\n"})
        EXPECT_EQ(flash_value("OP_MODE", garbled), nullptr) << garbled;
}

// A value that is not a whole number is no number: read as atoi would, an empty or garbled
// OP_MODE gave 0, Router, and a change acted on the guess.
TEST(ValueLine, OnlyAWholeNumberInRangeIsANumber) {
    const struct {
        const char *text;
        bool number;
        int value;
    } cases[] = {{"2\n", true, 2},
                 {"-7", true, -7},
                 {"+3\n", true, 3},
                 {"02\n", true, 2},
                 {"2147483647\n", true, INT_MAX},
                 {"-2147483648\n", true, INT_MIN},
                 {"\n", false, 0},
                 {"", false, 0},
                 {"abc\n", false, 0},
                 {"2x\n", false, 0},
                 {" 2\n", false, 0},
                 {"2 \n", false, 0},
                 {"2\n\n", false, 0},
                 {"-\n", false, 0},
                 {"2147483648\n", false, 0},
                 {"-2147483649\n", false, 0},
                 {"99999999999\n", false, 0}};
    for (const auto &c : cases) {
        int n = -1;
        EXPECT_EQ(flash_number(c.text, n), c.number) << c.text;
        EXPECT_EQ(n, c.number ? c.value : -1) << c.text;
    }
}

TEST(ShellWord, SafeValuesAsTheToolPrintsThemPass) {
    for (const char *v :
         {"\"Home Net\"\n", "\"Bob's Net\"\n",    "\"Up & Away\"\n", "\"\\ \"\n",
          "\"a\\$b\"\n",    "\"tick\\`\"\n",      "\"q\\\"q\"\n",    "bare\n",
          "a\\ b\n",        "\\$HOME\n",          "'$(x)'\n",        "\"\"\n",
          "abc=def\n",      "0123456789abcdef\n", "\";reboot;\"\n",  "\"semi;colon|pipe<>()\"\n",
          "pass#word\n",    "\"x\"#y\n",          "key!x\n",         "a]b\n",
          "caf\xc3\xa9\n",  "correct~horse\n",    "pass{1}\n",       "{}\n",
          "a,b}\n",         "{a\\,b}\n",          "{\"a,b\"}\n",     "x.{.}.\n",
          "x:a~\n"})
        EXPECT_TRUE(is_shell_word(v)) << v;
}

TEST(ShellWord, AnythingThatWouldRunExpandOrSplitIsRefused) {
    for (const char *v : {"\"$(reboot)\"\n",
                          "\"`reboot`\"\n",
                          "\"x\";reboot;\"y\"\n",
                          "$(reboot)\n",
                          "`id`\n",
                          "a;b\n",
                          "a&b\n",
                          "a|b\n",
                          "a>b\n",
                          "a<b\n",
                          "(a)\n",
                          "a b\n",
                          "a\tb\n",
                          "*\n",
                          "a?\n",
                          "[ab]\n",
                          "~root\n",
                          "#x\n",
                          "{a,b}\n",
                          "x{,}\n",
                          "{a..c}\n",
                          "{a{b}c,d}\n",
                          "{a}b,c}\n",
                          "a=~\n",
                          "a:~/x\n",
                          "\"open\n",
                          "'open\n",
                          "\"a\"b c\n",
                          "\"$HOME\"\n",
                          "\"x\"\n\n",
                          "\"x\"\nrm\n",
                          "\"a\rb\"\n",
                          "trailing\\\n",
                          "\n",
                          ""})
        EXPECT_FALSE(is_shell_word(v)) << v;
}

TEST(ShellWord, AValueCutShortWithoutItsLineEndIsRefused) {
    std::string cut = "\"" + std::string(98, 'x');
    EXPECT_FALSE(is_shell_word(cut));
    EXPECT_FALSE(is_shell_word("\"Home\""));
}

// A copy read back may come quoted otherwise than its source was: the setting is what counts.
TEST(TextValue, TwoSpellingsOfOneSettingAreTheSameAndAnyOtherCharacterIsNot) {
    const struct {
        const char *a, *b;
        bool same;
    } cases[] = {{"\"Home\"\n", "Home\n", true},
                 {"\"Bob's Net\"\n", "'Bob'\\''s Net'\n", true},
                 {"\"q\\\"q\\\\\"\n", "'q\"q\\'\n", true},
                 {"\"a\\b\"\n", "'a\\b'\n", true},
                 {"\"\"\n", "''\n", true},
                 {"\"Home\"\n", "\"Home \"\n", false},
                 {"\"a\\$b\"\n", "\"a$b\"\n", false},
                 {"\"Home\"\n", "\"Home\"", false},
                 {"\"x\"\n", "\"$(x)\"\n", false}};
    for (const auto &c : cases)
        EXPECT_EQ(same_text_value(c.a, c.b), c.same) << c.a << " / " << c.b;
}
