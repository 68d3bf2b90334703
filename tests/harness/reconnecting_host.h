// A host that keeps a number of connections to linkstatd on loopback and opens a new one as
// soon as the daemon closes one, at most `rate` a second: a client run wild, or one set on
// keeping the others out. Those the daemon serves it holds; the rest it is refused over and
// over. It runs in a thread of its own until destroyed.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ReconnectingHost {
  public:
    ReconnectingHost(const char *address, size_t connections, int rate)
        : fds_(connections, -1), opened_(connections), rate_(rate) {
        from_.sin_family = AF_INET;
        inet_pton(AF_INET, address, &from_.sin_addr);
        thread_ = std::thread([this] { run(); });
    }
    ~ReconnectingHost() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_)
            if (fd >= 0)
                close(fd);
    }
    ReconnectingHost(const ReconnectingHost &) = delete;
    ReconnectingHost &operator=(const ReconnectingHost &) = delete;

    void set_rate(int rate) { rate_ = rate; }
    // How many of its connections the daemon has closed (refused) so far.
    long closed() const { return closed_; }
    // How many it has held open for over 2 s: those the daemon serves.
    int held() const { return held_; }

  private:
    using clock = std::chrono::steady_clock;

    int open_one() const {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(10000);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&from_), sizeof from_) == 0)
            connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        return fd;
    }

    void run() {
        auto next_open = clock::now();
        std::vector<pollfd> polled(fds_.size());
        while (!stop_) {
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (fds_[i] < 0 && clock::now() >= next_open) {
                    fds_[i] = open_one();
                    opened_[i] = next_open = clock::now();
                    next_open += std::chrono::microseconds(1000000 / rate_);
                }
                polled[i] = {fds_[i], POLLIN, 0};
            }
            int held = 0;
            for (size_t i = 0; i < fds_.size(); ++i)
                held += fds_[i] >= 0 && clock::now() - opened_[i] > std::chrono::seconds(2);
            held_ = held;
            poll(polled.data(), polled.size(), 5);
            // It sends nothing, so whatever wakes a connection is its end.
            for (size_t i = 0; i < fds_.size(); ++i)
                if (polled[i].revents != 0) {
                    close(fds_[i]);
                    fds_[i] = -1;
                    ++closed_;
                }
        }
    }

    std::vector<int> fds_;
    std::vector<clock::time_point> opened_;
    std::atomic<int> rate_, held_{0};
    std::atomic<bool> stop_{false};
    std::atomic<long> closed_{0};
    sockaddr_in from_{};
    std::thread thread_;
};
