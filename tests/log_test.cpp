// The daemons' shared log: its limits and the output description it writes to.
#include "log.h"

#include <cstdarg>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// Standard output is a pipe for as long as one test runs; what was written is read back.
class LogOutput : public testing::Test {
  protected:
    int ends[2] = {-1, -1};
    int saved = -1;
    void SetUp() override {
        ASSERT_EQ(pipe(ends), 0);
        fflush(stdout);
        saved = dup(1);
        dup2(ends[1], 1);
    }
    void TearDown() override {
        dup2(saved, 1);
        close(saved);
        close(ends[0]);
        close(ends[1]);
    }
    std::string written() {
        std::string text;
        char buf[4096];
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = read(ends[0], buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
};

void repeating_at(uint32_t now, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vlog_repeating(now, format, args);
    va_end(args);
}

// The pipe is the launcher's and every command's too: a non-blocking flag set on it would
// make their writes fail.
TEST_F(LogOutput, APipeGetsADescriptionOfItsOwnThatNeverBlocksAndTheSharedOneIsLeftAlone) {
    open_log(nullptr);
    int own = fcntl(1, F_GETFL), shared = fcntl(ends[1], F_GETFL);
    log_line(1, "one line");
    std::string text = written();
    dup2(saved, 1);
    EXPECT_TRUE(own & O_NONBLOCK);
    EXPECT_FALSE(shared & O_NONBLOCK);
    EXPECT_EQ(text, "one line\n");
}

TEST_F(LogOutput, TheSameLineWithinTheIntervalIsCountedAndTheCountStartsAgainOncePrinted) {
    const struct {
        uint32_t at;
        const char *text;
    } lines[] = {{100, "store failed\n"}, {101, "store failed\n"}, {105, "other key\n"},
                 {109, "store failed\n"}, {110, "store failed\n"}, {115, "store failed\n"},
                 {120, "store failed\n"}, {131, "store failed\n"}, {140, "two ends\n\n"}};
    for (const auto &l : lines)
        repeating_at(l.at, "%s", l.text);
    std::string text = written();
    dup2(saved, 1);
    EXPECT_EQ(text, "store failed\n"
                    "other key\n"
                    "store failed (2 more unlogged)\n"
                    "store failed (1 more unlogged)\n"
                    "store failed\n"
                    "two ends\n\n");
}

} // namespace
