// Value lines and the shell-word check of the store bridge.
#include "store_bridge.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(ValueLine, TheValueIsEverythingAfterTheFirstEqualsSign) {
    EXPECT_STREQ(flash_value("OP_MODE=2\n"), "2\n");
    EXPECT_STREQ(flash_value("WLAN0_SSID=\"a=b\"\n"), "\"a=b\"\n");
    EXPECT_STREQ(flash_value("KEY=\n"), "\n");
    EXPECT_EQ(flash_value("no equals sign\n"), nullptr);
    EXPECT_EQ(flash_value(""), nullptr);
}

TEST(ValueLine, NumbersReadLikeAtoiWithoutOverflow) {
    const struct {
        const char *text;
        int number;
    } cases[] = {{"2\n", 2},
                 {"  -7x", -7},
                 {"abc", 0},
                 {"", 0},
                 {"+3", 3},
                 {"02", 2},
                 {"99999999999", INT_MAX},
                 {"-99999999999", INT_MIN},
                 {"2147483647", INT_MAX},
                 {"-2147483648", INT_MIN},
                 {"\t\n\v\f\r 9", 9},
                 {"- 5", 0},
                 {"+-5", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(flash_number(c.text), c.number) << c.text;
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
