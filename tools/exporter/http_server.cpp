#include "http_server.h"

#include "exporter.h"
#include "live_page.h"
#include "log.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

constexpr char exposition_type[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char text_type[] = "text/plain; charset=utf-8";
constexpr char html_type[] = "text/html; charset=utf-8";
constexpr char json_type[] = "application/json";
constexpr char bad_target[] = "the target must be HOST or HOST:PORT (PORT 1 to 65535)";
constexpr char not_allowed[] = "the target's address is not in a range given with --allow";
constexpr char name_not_allowed[] = "the target's name is not under one given with --allow-name";

// The files of the live page, served as they are.
struct page_file {
    const char *path, *type, *text;
};
const page_file page_files[] = {
    {"/live", html_type, live_html},
    {"/live.js", "text/javascript; charset=utf-8", live_js},
    {"/live.css", "text/css; charset=utf-8", live_css},
};

// A request header's value, or empty.
std::string header(MHD_Connection *c, const char *name) {
    const char *value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return value ? value : "";
}

// The probe's time: the scrape's timeout less the offset, or the default; within bounds.
milliseconds probe_timeout(MHD_Connection *c) {
    int ms = default_scrape_timeout_ms - scrape_timeout_offset_ms;
    std::string text = header(c, scrape_timeout_header);
    char *end = nullptr;
    double seconds = strtod(text.c_str(), &end);
    if (!text.empty() && end && *end == '\0' && seconds > 0 && seconds < 3600)
        ms = static_cast<int>(seconds * 1000) - scrape_timeout_offset_ms;
    return milliseconds(std::clamp(ms, min_probe_timeout_ms, max_probe_timeout_ms));
}

} // namespace

// A request and, once it has one, its answer. Kept until the library is done with it.
struct http_server::request {
    MHD_Connection *connection;
    bool json = false; // a live page's reading, else a probe
    bool has_answer = false;
    bool suspended = false;
    int status = 0;
    std::string body;
    const char *type = text_type;
    steady_time began, deadline;
    std::string name; // the router's, as the answer gives it
    uint16_t port = 0;
};

// A client's connection: its request must come whole by a deadline.
struct http_server::client {
    MHD_Connection *connection;
    event_loop::timer deadline;
};

http_server::http_server(event_loop &loop, const allow_list &allow, prober &probes, resolver &names)
    : loop_(loop), allow_(allow), probes_(probes), names_(names) {}

http_server::~http_server() {
    stop();
}

namespace {
void library_log(void *, const char *format, va_list args) {
    log_vline(format, args);
}
} // namespace

bool http_server::start(int listener, size_t max_connections) {
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr, nullptr,
        on_request, this, MHD_OPTION_EXTERNAL_LOGGER, library_log, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(max_connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(max_connections / http_client_share), MHD_OPTION_CONNECTION_TIMEOUT,
        http_idle_timeout_s, MHD_OPTION_CONNECTION_MEMORY_LIMIT, http_max_request,
        MHD_OPTION_NOTIFY_COMPLETED, on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        on_connection, this, MHD_OPTION_END);
    const MHD_DaemonInfo *info =
        daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info || !loop_.watch(info->epoll_fd, EPOLLIN, this)) {
        log_line("the HTTP server could not start");
        return false;
    }
    loop_.every_turn([this] { return turn(); });
    return true;
}

void http_server::stop() {
    if (!daemon_)
        return;
    for (request *q : suspended_) {
        q->suspended = false;
        q->has_answer = true;
        q->status = MHD_HTTP_SERVICE_UNAVAILABLE;
        q->body = "stopping\n";
        MHD_resume_connection(q->connection);
    }
    suspended_.clear();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

// The library's own work (reading, writing, accepting, idle clients) and its next deadline.
int64_t http_server::turn() {
    if (!daemon_)
        return -1;
    if (MHD_run(daemon_) != MHD_YES) {
        loop_.fail("the HTTP server failed");
        return -1;
    }
    MHD_UNSIGNED_LONG_LONG ms = 0;
    return MHD_get_timeout(daemon_, &ms) == MHD_YES ? static_cast<int64_t>(ms) : -1;
}

void http_server::on_connection(void *self, MHD_Connection *c, void **context,
                                MHD_ConnectionNotificationCode what) {
    auto *s = static_cast<http_server *>(self);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *cl = new client{c, s->loop_.no_timer()};
        *context = cl;
        s->receive_deadline(*cl);
    } else if (auto *cl = static_cast<client *>(*context)) {
        s->loop_.cancel(cl->deadline);
        delete cl;
        *context = nullptr;
    }
}

// A request that has not come whole in time is cut off: its connection is shut down, which
// the library sees as the client's close.
void http_server::receive_deadline(client &c) {
    loop_.cancel(c.deadline);
    c.deadline = loop_.at(steady_clock::now() + seconds(http_request_deadline_s), [this, &c] {
        c.deadline = loop_.no_timer();
        const MHD_ConnectionInfo *fd =
            MHD_get_connection_info(c.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (fd)
            shutdown(fd->connect_fd, SHUT_RDWR);
    });
}

MHD_Result http_server::on_request(void *self, MHD_Connection *c, const char *url,
                                   const char *method, const char *, const char *,
                                   size_t *upload_size, void **context) {
    auto *s = static_cast<http_server *>(self);
    auto *q = static_cast<request *>(*context);
    if (!q) {
        // The request line and headers are in: the client's deadline has been kept.
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info && info->socket_context) {
            auto *cl = static_cast<client *>(info->socket_context);
            s->loop_.cancel(cl->deadline);
            cl->deadline = s->loop_.no_timer();
        }
        q = new request{};
        q->connection = c;
        q->began = steady_clock::now();
        *context = q;
        // Nothing here takes a body: a request with one is refused before it is read, and
        // the library closes its connection, so no body is taken for a request of its own.
        std::string length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if ((!length.empty() && length != "0") ||
            !header(c, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty())
            s->refuse(*q, MHD_HTTP_BAD_REQUEST, "a request here has no body");
        else if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
                 strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            s->refuse(*q, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served here");
        if (!q->has_answer)
            return MHD_YES; // routed on the next call, once the whole request is in
    } else if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    } else if (!q->has_answer) {
        s->route(*q, url);
        if (!q->has_answer) {
            q->suspended = true;
            s->suspended_.insert(q);
            MHD_suspend_connection(c);
            return MHD_YES;
        }
    }
    MHD_Response *r =
        MHD_create_response_from_buffer(q->body.size(), q->body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, q->type);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(q->status), r);
    MHD_destroy_response(r);
    return queued;
}

void http_server::on_completed(void *self, MHD_Connection *c, void **context,
                               MHD_RequestTerminationCode) {
    auto *s = static_cast<http_server *>(self);
    delete static_cast<request *>(*context);
    *context = nullptr;
    // The next request on the connection has its own time from now.
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context)
        s->receive_deadline(*static_cast<client *>(info->socket_context));
}

void http_server::route(request &q, const std::string &url) {
    if (url == "/probe") {
        probe(q);
    } else if (url == "/live/reading") {
        q.json = true;
        probe(q);
    } else if (url == "/metrics") {
        answer(q, MHD_HTTP_OK, exporter_text(figures_, probes_.figures()), exposition_type);
    } else if (url == "/-/healthy") {
        answer(q, MHD_HTTP_OK, "Healthy\n", text_type);
    } else if (url == "/") {
        answer(q, MHD_HTTP_OK, index_page(probes_.recent()), html_type);
    } else {
        for (const page_file &f : page_files)
            if (url == f.path) {
                answer(q, MHD_HTTP_OK, f.text, f.type);
                return;
            }
        refuse(q, MHD_HTTP_NOT_FOUND, "no such page");
    }
}

// The target checked, its name looked up where one is allowed, and its address checked,
// before anything is sent to it; the probe's deadline bounds the lookup and the ask alike.
void http_server::probe(request &q) {
    const char *value = nullptr;
    size_t size = 0;
    target t;
    if (MHD_lookup_connection_value_n(q.connection, MHD_GET_ARGUMENT_KIND, "target", 6, &value,
                                      &size) != MHD_YES ||
        !value || !parse_target(std::string(value, size), t)) {
        refuse_target(q, MHD_HTTP_BAD_REQUEST, bad_target);
        return;
    }
    q.name = target_name(t);
    q.port = t.port;
    q.deadline = q.began + (q.json ? milliseconds(live_timeout_ms) : probe_timeout(q.connection));
    if (!t.is_name)
        ask(q, t.address);
    else if (name_allowed(allow_, t.host))
        names_.lookup(t.host, q.deadline, [this, &q](bool found, in_addr a) {
            if (found)
                ask(q, a);
            else
                answer_reading(q, failed_reading(failure::resolve));
        });
    else
        refuse_target(q, MHD_HTTP_FORBIDDEN, name_not_allowed);
}

void http_server::ask(request &q, in_addr address) {
    if (!allowed(allow_, address)) {
        refuse_target(q, MHD_HTTP_FORBIDDEN, not_allowed);
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(q.port);
    if (!probes_.ask(q.name, to, q.deadline, milliseconds(shared_reading_ms),
                     [this, &q](const reading &r) { answer_reading(q, r); }))
        refuse(q, MHD_HTTP_SERVICE_UNAVAILABLE, "too many routers known at once");
}

void http_server::answer_reading(request &q, const reading &r) {
    if (q.json) {
        answer(q, MHD_HTTP_OK, reading_json(q.name, r), json_type);
        return;
    }
    ++figures_.probes;
    if (!r.up)
        ++figures_.failures[static_cast<int>(r.why)];
    double took = std::chrono::duration<double>(steady_clock::now() - q.began).count();
    answer(q, MHD_HTTP_OK, probe_text(r, took), exposition_type);
}

void http_server::answer(request &q, int status, std::string body, const char *type) {
    q.has_answer = true;
    q.status = status;
    q.body = std::move(body);
    q.type = type;
    if (q.suspended) {
        q.suspended = false;
        suspended_.erase(&q);
        MHD_resume_connection(q.connection);
    }
}

void http_server::refuse_target(request &q, int status, const char *why) {
    ++figures_.refused_targets;
    refuse(q, status, why);
}

void http_server::refuse(request &q, int status, const char *why) {
    answer(q, status, q.json ? "{\"error\":" + json_string(why) + "}" : std::string(why) + "\n",
           q.json ? json_type : text_type);
}
