// The daemons' shared log: its limits and the output description it writes to; and the
// back-off that spaces their retries.
#include "backoff.h"
#include "log.h"

#include <cstdarg>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

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
    repeating_at(1200 + log_interval_max_s + 12, "store failed\n");
    std::string text = written();
    dup2(saved, 1);
    EXPECT_EQ(text, "store failed\n"
                    "other key\n"
                    "store failed (9 more unlogged)\n"
                    "store failed (19 more unlogged)\n"
                    "store failed (39 more unlogged)\n"
                    "store failed (79 more unlogged)\n"
                    "store failed (50 more unlogged)\n"
                    "two ends\n\n"
                    "store failed\n");
}

// A switch reading ever-different invalid values, or keys failing one after the other, are one
// kind of line: limited by what it reports, not by its letters, and what was left out counted.
TEST_F(LogOutput, ALineFilledWithEverDifferentValuesIsLimitedAsOneKind) {
    for (uint32_t at = 1000; at < 1030; ++at)
        repeating_at(at, "Error Flag from Slide_Sw,The Data is %u\n", at);
    repeating_at(1030, "%s", "a fixed text\n");
    repeating_at(1031, "%s", "another fixed text\n");
    std::string text = written();
    dup2(saved, 1);
    EXPECT_EQ(text, "Error Flag from Slide_Sw,The Data is 1000\n"
                    "Error Flag from Slide_Sw,The Data is 1010 (9 more unlogged)\n"
                    "a fixed text\n"
                    "another fixed text\n");
}

// Each wait is twice the one before up to the last, which it reaches exactly and keeps.
TEST(Backoff, DoublesFromItsFirstWaitToItsLastAndStartsAgainWhenReset) {
    const struct {
        backoff wait;
        std::vector<unsigned> waits;
    } cases[] = {{{10, 900}, {10, 20, 40, 80, 160, 320, 640, 900, 900}},
                 {{2, 60}, {2, 4, 8, 16, 32, 60, 60}},
                 {{10, 3600}, {10, 20, 40, 80, 160, 320, 640, 1280, 2560, 3600, 3600}}};
    for (auto c : cases) {
        std::vector<unsigned> waits;
        for (size_t i = 0; i < c.waits.size(); ++i)
            waits.push_back(c.wait.next());
        EXPECT_EQ(waits, c.waits);
        c.wait.reset();
        EXPECT_EQ(c.wait.next(), c.waits[0]);
    }
}

} // namespace
