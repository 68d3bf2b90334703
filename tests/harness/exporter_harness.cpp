#include "exporter_harness.h"

#include "device.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// text bound over target in this process's own mount namespace.
void bind_over(const std::string &text, const std::string &dir, const char *target) {
    std::string path = dir + "/" + std::string(target).substr(std::string(target).rfind('/') + 1);
    write_file(path, text);
    if (mount(path.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
        _exit(126);
}

} // namespace

Exporter::Exporter(const std::string &log, const ExporterSetup &setup) : log_(log) {
    std::vector<std::string> argv;
    std::istringstream words(setup.launcher);
    for (std::string w; words >> w;)
        argv.push_back(w);
    argv.push_back(program_under_test("EXPORTER_BIN", EXPORTER_BUILT));
    argv.insert(argv.end(), {"--listen", "127.0.0.1:" + std::to_string(exporter_port)});
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    int pipe_ends[2] = {-1, -1};
    if (setup.log_stalled) {
        // A pipe full before the exporter starts, whose reader never reads.
        EXPECT_EQ(pipe2(pipe_ends, O_NONBLOCK), 0);
        std::string block(4096, 'x');
        while (write(pipe_ends[1], block.data(), block.size()) > 0) {
        }
        fcntl(pipe_ends[1], F_SETFL, 0);
        stalled_ = pipe_ends[0];
    }
    std::string dir = log.substr(0, log.rfind('/'));
    pid_ = fork();
    if (pid_ == 0) {
        int err = setup.log_stalled ? pipe_ends[1]
                                    : open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        close_range(3, ~0U, 0);
        if (setup.hard_fds) {
            rlimit limit{setup.soft_fds, setup.hard_fds};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (!setup.hosts.empty() || !setup.resolv.empty()) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                _exit(126);
            if (!setup.hosts.empty())
                bind_over(setup.hosts, dir, "/etc/hosts");
            if (!setup.resolv.empty())
                bind_over(setup.resolv, dir, "/etc/resolv.conf");
        }
        if (!setup.preload.empty())
            setenv("LD_PRELOAD", setup.preload.c_str(), 1);
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (std::string &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (setup.log_stalled)
        close(pipe_ends[1]);
}

Exporter::~Exporter() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stalled_ >= 0)
        close(stalled_);
}

bool Exporter::listening() const {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (get("/-/healthy", 0, 1000).status != 200)
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

int Exporter::terminate(int timeout_ms) {
    kill(pid_, SIGTERM);
    int status = -1;
    bool ended = wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
    if (ended)
        pid_ = -1;
    return ended ? status : -1;
}

std::string Exporter::log() const {
    return read_file(log_);
}

size_t Exporter::logged(const std::string &part, size_t times) const {
    wait_for([&] { return count_of(log(), part) >= times; });
    return count_of(log(), part);
}

Answer get(const std::string &path, double scrape_timeout_s, int wait_ms) {
    StatsClient c;
    c.port = exporter_port;
    if (!c.connect_once())
        return {};
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n";
    if (scrape_timeout_s > 0)
        request +=
            "X-Prometheus-Scrape-Timeout-Seconds: " + std::to_string(scrape_timeout_s) + "\r\n";
    c.send_text(request + "\r\n");
    // Any answer comes within the probe's time: a margin past it means none is coming.
    if (wait_ms < 0)
        wait_ms = static_cast<int>(((scrape_timeout_s > 0 ? scrape_timeout_s : 10) + 5) * 1000);
    std::string got = c.receive(1 << 20, wait_ms);
    size_t body = got.find("\r\n\r\n");
    if (got.rfind("HTTP/1.1 ", 0) != 0 || body == std::string::npos)
        return {};
    return {atoi(got.c_str() + 9), got.substr(body + 4)};
}

double sample(const std::string &text, const std::string &name) {
    size_t at = ("\n" + text).find("\n" + name + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + name.size() + 1);
}

ScriptedRouter::ScriptedRouter(int port, behaviour b) : behaviour_(b) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << port;
    listen(listener_, 64);
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedRouter::~ScriptedRouter() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (auto &t : served_)
        t.join();
    close(listener_);
}

void ScriptedRouter::accept_loop() {
    for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        int index = accepted_++;
        std::lock_guard<std::mutex> lock(mutex_);
        served_.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void ScriptedRouter::serve(int fd, int index) {
    std::vector<unsigned> words = {92, 0, 0,  0, 0, 0, 0, 0, 0,   4,  40, 5,
                                   40, 6, 35, 7, 0, 8, 0, 9, 145, 10, 108};
    char request[10];
    pollfd p{fd, POLLIN, 0};
    for (int asks = 0; !stop_;) {
        if (poll(&p, 1, 100) == 0)
            continue;
        if (recv(fd, request, sizeof request, 0) <= 0) {
            ++closed_;
            break;
        }
        int ask = asks++;
        std::string reply = words_be(words);
        switch (behaviour_) {
        case behaviour::answers:
            break;
        case behaviour::silent_first:
            if (index == 0)
                continue;
            break;
        case behaviour::silent:
            continue;
        case behaviour::drops_second_ask:
            if (ask == 0)
                break;
            close(fd);
            return;
        case behaviour::reset: {
            linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(fd);
            return;
        }
        case behaviour::slow:
            for (int i = 0; i < 30 && !stop_; ++i)
                usleep(100 * 1000);
            break;
        case behaviour::short_reply:
            reply.resize(50);
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(fd);
            return;
        case behaviour::long_reply:
            reply += std::string(8, '\0');
            break;
        case behaviour::length_91:
            reply = words_be({91}) + reply.substr(4);
            break;
        case behaviour::wrong_id:
            words[11] = 6;
            reply = words_be(words);
            break;
        }
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    close(fd);
}
