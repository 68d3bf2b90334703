// The HTTP side, on libmicrohttpd in the event loop: /probe for Prometheus, /metrics and
// /-/healthy for the exporter itself, the index, the live page and its readings. A request
// that waits (for a name, for a router) is suspended, holding no thread, and resumed with
// its answer by its own deadline.
#pragma once

#include "allow_list.h"
#include "event_loop.h"
#include "exposition.h"
#include "prober.h"
#include "resolver.h"
#include "target.h"

#include <microhttpd.h>
#include <set>
#include <string>

class http_server final : pollable {
  public:
    http_server(event_loop &loop, const allow_list &allow, prober &probes, resolver &names);
    ~http_server();
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;

    // Serves clients of listener (bound and listening), at most max_connections at once and
    // max_connections / http_client_share from one address. False, logged, when it cannot.
    bool start(int listener, size_t max_connections);
    // Answers every waiting request (503) and closes every connection.
    void stop();

  private:
    struct request;
    struct client;
    static MHD_Result on_request(void *self, MHD_Connection *c, const char *url, const char *method,
                                 const char *version, const char *upload, size_t *upload_size,
                                 void **context);
    static void on_completed(void *self, MHD_Connection *c, void **context,
                             MHD_RequestTerminationCode why);
    static void on_connection(void *self, MHD_Connection *c, void **context,
                              MHD_ConnectionNotificationCode what);
    void ready(int, uint32_t) override {}
    int64_t turn();

    void route(request &q, const std::string &url);
    void probe(request &q);
    void ask(request &q, in_addr address);
    void answer_reading(request &q, const reading &r);
    void answer(request &q, int status, std::string body, const char *type);
    void refuse(request &q, int status, const char *why);
    void refuse_target(request &q, int status, const char *why);
    void receive_deadline(client &c);

    event_loop &loop_;
    const allow_list &allow_;
    prober &probes_;
    resolver &names_;
    MHD_Daemon *daemon_ = nullptr;
    std::set<request *> suspended_;
    request_figures figures_;
};
