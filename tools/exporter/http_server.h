// The HTTP side: /probe for Prometheus, /metrics and /-/healthy for the exporter itself, the
// index, the live page and its readings. Every request runs on a worker thread of a fixed
// pool; those that probe wait for the prober, each with its own deadline.
#pragma once

#include "allow_list.h"
#include "exposition.h"
#include "prober.h"

#include <httplib.h>
#include <mutex>
#include <string>

// cpp-httplib's server, whose connections are read through a stream that bounds each
// request's size and time (the library bounds only each header line and each read's wait).
class bounded_server : public httplib::Server {
  private:
    bool process_and_close_socket(socket_t sock) override;
};

class http_server {
  public:
    http_server(const allow_list &allow, prober &probes);
    // Binds the listening socket; false, with errno's reason on stderr, when it cannot.
    bool bind(const std::string &address, int port);
    // Serves until stop.
    void run();
    void stop();

  private:
    void on_probe(const httplib::Request &req, httplib::Response &res);
    void on_reading(const httplib::Request &req, httplib::Response &res);
    // The router a request names, checked and resolved; false after answering it with a 4xx.
    bool checked_target(const httplib::Request &req, httplib::Response &res, bool json,
                        std::string &name, sockaddr_in &address, bool &resolved);

    const allow_list &allow_;
    prober &probes_;
    bounded_server server_;
    std::mutex mutex_;
    request_figures figures_;
};
