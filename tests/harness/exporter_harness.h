// What the exporter's end-to-end tests drive: the shipped exporter with the limits, log,
// clock and name files a test gives it; a plain HTTP client; and scripted routers on
// loopback ports.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <vector>

// The exporter listens here in every test.
constexpr int exporter_port = 9742;

struct ExporterSetup {
    std::vector<std::string> args = {"--allow", "127.0.0.0/8"};
    std::string launcher;      // words before the program, such as libfaketime's "env ..."
    std::string preload;       // a library preloaded into it
    std::string hosts, resolv; // texts bound over /etc/hosts and /etc/resolv.conf for it alone
    bool log_stalled = false;  // standard error a full pipe that nobody reads
    rlim_t soft_fds = 0, hard_fds = 0; // its descriptor limits, when set
};

// The shipped exporter, started as setup says, its standard error kept in log (unless it
// is stalled).
class Exporter {
  public:
    Exporter(const std::string &log, const ExporterSetup &setup = {});
    ~Exporter();
    Exporter(const Exporter &) = delete;
    Exporter &operator=(const Exporter &) = delete;

    bool listening() const;
    // TERM, then the wait status within timeout_ms, or -1.
    int terminate(int timeout_ms);
    std::string log() const;
    // How many times the log holds part, once it holds it at least times or 5 s have passed
    // (lines reach the log from a thread of their own).
    size_t logged(const std::string &part, size_t times) const;
    pid_t pid() const { return pid_; }

  private:
    std::string log_;
    pid_t pid_ = -1;
    int stalled_ = -1; // the unread end of a stalled log
};

struct Answer {
    int status = 0; // 0: no HTTP answer
    std::string body;
};
// GET path from the exporter, with Prometheus's scrape timeout header when one is given,
// waiting wait_ms for the answer (by default the probe's time and a margin).
Answer get(const std::string &path, double scrape_timeout_s = 0, int wait_ms = -1);
// The value of the sample named (with its labels) in an exposition text, or -1.
double sample(const std::string &text, const std::string &name);

// A router on 127.0.0.1:port that answers "ask" as its behaviour says, a thread per
// connection; it counts the connections it took and those the exporter closed.
enum class behaviour {
    answers,
    silent,
    reset,
    slow,
    short_reply,
    long_reply,
    length_91,
    wrong_id,
    silent_first,    // silent on its first connection, answers on later ones
    drops_second_ask // answers a connection's first ask and closes it at the second
};

class ScriptedRouter {
  public:
    ScriptedRouter(int port, behaviour b);
    ~ScriptedRouter();
    ScriptedRouter(const ScriptedRouter &) = delete;
    ScriptedRouter &operator=(const ScriptedRouter &) = delete;

    int accepted() const { return accepted_; }
    int closed_by_exporter() const { return closed_; }

  private:
    void accept_loop();
    void serve(int fd, int index);

    behaviour behaviour_;
    int listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0}, closed_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> served_;
};
