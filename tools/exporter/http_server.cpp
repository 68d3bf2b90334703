#include "http_server.h"

#include "exporter.h"
#include "live_page.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr char exposition_type[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char text_type[] = "text/plain; charset=utf-8";
constexpr char bad_target[] = "the target must be HOST or HOST:PORT (PORT 1 to 65535)";
constexpr char not_allowed[] = "the target's address is not in a range given with --allow";

// The probe's time: the scrape's timeout less the offset, or the default; within bounds.
milliseconds probe_timeout(const httplib::Request &req) {
    int ms = default_scrape_timeout_ms - scrape_timeout_offset_ms;
    std::string header = req.get_header_value(scrape_timeout_header);
    char *end = nullptr;
    double seconds = strtod(header.c_str(), &end);
    if (!header.empty() && end && *end == '\0' && seconds > 0 && seconds < 3600)
        ms = static_cast<int>(seconds * 1000) - scrape_timeout_offset_ms;
    return milliseconds(std::min(std::max(ms, min_probe_timeout_ms), max_probe_timeout_ms));
}

void answer(httplib::Response &res, int status, bool json, const char *why) {
    res.status = status;
    if (json)
        res.set_content("{\"error\":" + json_string(why) + "}", "application/json");
    else
        res.set_content(std::string(why) + "\n", text_type);
}

// A connection's bytes, buffered, handed to the library within each request's budget of
// bytes and time.
class bounded_stream final : public httplib::Stream {
  public:
    explicit bounded_stream(int sock) : sock_(sock) {}

    void begin_request() {
        budget_ = http_max_request;
        deadline_ = steady_clock::now() + std::chrono::seconds(http_request_deadline_s);
    }
    bool has_buffered() const { return begin_ < end_; }

    bool is_readable() const override { return has_buffered() || wait(POLLIN, read_wait()); }
    bool is_writable() const override { return wait(POLLOUT, http_write_timeout_s * 1000); }

    ssize_t read(char *ptr, size_t size) override {
        if (budget_ == 0)
            return -1;
        if (!has_buffered()) {
            if (!wait(POLLIN, read_wait()))
                return -1;
            ssize_t n = recv(sock_, buffer_, sizeof buffer_, 0);
            if (n <= 0)
                return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        size_t n = std::min({size, end_ - begin_, budget_});
        memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        budget_ -= n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable())
            return -1;
        return send(sock_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        address_of(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        address_of(getsockname, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    // The read timeout, cut short by the request's deadline.
    int read_wait() const {
        auto left = std::chrono::duration_cast<milliseconds>(deadline_ - steady_clock::now());
        return static_cast<int>(std::max<int64_t>(
            0, std::min<int64_t>(left.count(), int64_t{http_read_timeout_s} * 1000)));
    }
    bool wait(short events, int ms) const {
        pollfd p{sock_, events, 0};
        int n;
        while ((n = poll(&p, 1, ms)) < 0 && errno == EINTR) {
        }
        return n > 0 && (p.revents & (POLLERR | POLLNVAL)) == 0;
    }
    void address_of(int (*name)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (name(sock_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        if (a.ss_family == AF_INET) {
            const auto &v4 = reinterpret_cast<const sockaddr_in &>(a);
            inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
            port = ntohs(v4.sin_port);
        }
        ip = text;
    }

    int sock_;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0, budget_ = 0;
    steady_time deadline_;
};

} // namespace

// Up to http_keep_alive_requests requests, each waited for up to the keep-alive time, as the
// library's own loop does, but each through the stream's bounds.
bool bounded_server::process_and_close_socket(socket_t sock) {
    bounded_stream stream(sock);
    bool ok = false;
    for (size_t served = 0; served < http_keep_alive_requests; ++served) {
        pollfd p{sock, POLLIN, 0};
        if (svr_sock_ == INVALID_SOCKET ||
            (!stream.has_buffered() && poll(&p, 1, http_keep_alive_s * 1000) <= 0))
            break;
        stream.begin_request();
        bool closed = false;
        ok = process_request(stream, served + 1 == http_keep_alive_requests, closed, nullptr);
        if (!ok || closed)
            break;
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}

http_server::http_server(const allow_list &allow, prober &probes) : allow_(allow), probes_(probes) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(http_threads); };
    server_.set_read_timeout(http_read_timeout_s, 0);
    server_.set_write_timeout(http_write_timeout_s, 0);
    server_.set_payload_max_length(http_max_body);
    // What the responses' Keep-Alive header says; the loop above keeps to the same figures.
    server_.set_keep_alive_timeout(http_keep_alive_s);
    server_.set_keep_alive_max_count(http_keep_alive_requests);

    server_.Get("/probe", [this](const httplib::Request &req, httplib::Response &res) {
        on_probe(req, res);
    });
    server_.Get("/live/reading", [this](const httplib::Request &req, httplib::Response &res) {
        on_reading(req, res);
    });
    server_.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        request_figures requests;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests = figures_;
        }
        res.set_content(exporter_text(requests, probes_.figures()), exposition_type);
    });
    server_.Get("/-/healthy", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Healthy\n", text_type);
    });
    server_.Get("/", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(index_page(probes_.recent()), "text/html; charset=utf-8");
    });
    server_.Get("/live", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(live_html, "text/html; charset=utf-8");
    });
    server_.Get("/live.js", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(live_js, "text/javascript; charset=utf-8");
    });
    server_.Get("/live.css", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(live_css, "text/css; charset=utf-8");
    });
}

bool http_server::bind(const std::string &address, int port) {
    if (server_.bind_to_port(address, port))
        return true;
    fprintf(stderr, "linkstat-exporter: cannot listen on %s:%d: %s\n", address.c_str(), port,
            strerror(errno));
    return false;
}

void http_server::run() {
    server_.listen_after_bind();
}

void http_server::stop() {
    server_.stop();
}

bool http_server::checked_target(const httplib::Request &req, httplib::Response &res, bool json,
                                 std::string &name, sockaddr_in &address, bool &resolved) {
    target t;
    if (!parse_target(req.get_param_value("target"), t)) {
        answer(res, 400, json, bad_target);
    } else if (!(resolved = resolve(t, address)) || allowed(allow_, address.sin_addr)) {
        name = target_name(t);
        return true;
    } else {
        answer(res, 403, json, not_allowed);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++figures_.refused_targets;
    return false;
}

void http_server::on_probe(const httplib::Request &req, httplib::Response &res) {
    auto began = steady_clock::now();
    std::string name;
    sockaddr_in address;
    bool resolved = false;
    if (!checked_target(req, res, false, name, address, resolved))
        return;
    reading r;
    r.why = failure::resolve;
    if (resolved && !probes_.ask(name, address, began + probe_timeout(req),
                                 milliseconds(shared_reading_ms), r)) {
        answer(res, 503, false, "too many routers known at once");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++figures_.probes;
        if (!r.up)
            ++figures_.failures[static_cast<int>(r.why)];
    }
    double seconds = std::chrono::duration<double>(steady_clock::now() - began).count();
    res.set_content(probe_text(r, seconds), exposition_type);
}

void http_server::on_reading(const httplib::Request &req, httplib::Response &res) {
    std::string name;
    sockaddr_in address;
    bool resolved = false;
    if (!checked_target(req, res, true, name, address, resolved))
        return;
    reading r;
    r.why = failure::resolve;
    if (resolved && !probes_.ask(name, address, steady_clock::now() + milliseconds(live_timeout_ms),
                                 milliseconds(shared_reading_ms), r)) {
        answer(res, 503, true, "too many routers known at once");
        return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(reading_json(name, r), "application/json");
}
