#include "log.h"

#include "exporter.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Never freed: the writer may still be blocked in a write when the process exits.
struct log_state {
    std::mutex mutex;
    std::condition_variable wanted, written;
    std::deque<std::string> lines;
    unsigned long dropped = 0;
    bool writing = false;
};
log_state &state = *new log_state;

void write_all(const std::string &line) {
    for (size_t done = 0; done < line.size();) {
        ssize_t n = write(2, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void writer() {
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.wanted.wait(lock, [] { return !state.lines.empty(); });
        std::string line = std::move(state.lines.front());
        state.lines.pop_front();
        state.writing = true;
        lock.unlock();
        write_all(line);
        lock.lock();
        state.writing = false;
        state.written.notify_all();
    }
}

} // namespace

void log_start() {
    std::thread(writer).detach();
}

void log_vline(const char *format, va_list args) {
    char text[512];
    // Every caller starts its list first; the analyzer cannot see callers across files.
    vsnprintf(text, sizeof text, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    std::string line = std::string("linkstat-exporter: ") + text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.lines.size() >= log_queue_lines) {
        ++state.dropped;
        return;
    }
    if (state.dropped > 0) {
        state.lines.push_back("linkstat-exporter: log stalled: " + std::to_string(state.dropped) +
                              " lines dropped\n");
        state.dropped = 0;
    }
    state.lines.push_back(std::move(line));
    state.wanted.notify_one();
}

void log_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    log_vline(format, args);
    va_end(args);
}

void log_drain() {
    std::unique_lock<std::mutex> lock(state.mutex);
    state.written.wait_for(lock, std::chrono::milliseconds(log_drain_ms),
                           [] { return state.lines.empty() && !state.writing; });
}
