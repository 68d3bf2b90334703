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

// A fault that repeats every second for 200 s is printed 5 times, each with the count of
// those left unlogged since the one before; another text keeps its own wait; an hour of
// silence starts it afresh, its count kept.
TEST_F(LogOutput, ARepeatingLineWaitsTwiceAsLongEachTimeAndItsCountStartsAgainOncePrinted) {
    for (uint32_t at = 1000; at <= 1200; ++at) {
        repeating_at(at, "store failed\n");
        if (at == 1005)
            repeating_at(at, "other key\n");
    }
    repeating_at(1200 + log_interval_max_s + 1, "store failed\n");
    repeating_at(1200 + log_interval_max_s + 2, "two ends\n\n");
    std::string text = written();
    dup2(saved, 1);
    EXPECT_EQ(text, "store failed\n"
                    "other key\n"
                    "store failed (9 more unlogged)\n"
                    "store failed (19 more unlogged)\n"
                    "store failed (39 more unlogged)\n"
                    "store failed (79 more unlogged)\n"
                    "store failed (50 more unlogged)\n"
                    "two ends\n\n");
}

} // namespace
