// Which routers may be probed, and what a target names: an exporter that others can reach
// must not become their port scanner, so every target's address is checked against the
// ranges given with --allow before anything is sent to it.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

// An IPv4 range, network and mask in host order.
struct ip_range {
    uint32_t network;
    uint32_t mask;
};
using allow_list = std::vector<ip_range>;

// "A.B.C.D/N" (N 0 to 32, no bits set past the prefix) or a lone address; false otherwise.
bool parse_range(const std::string &text, ip_range &out);
bool allowed(const allow_list &allow, in_addr address);

// A target: "HOST" or "HOST:PORT", HOST an IPv4 address or a DNS name, PORT 1 to 65535
// (default_router_port without one).
struct target {
    std::string host;
    uint16_t port;
};
bool parse_target(const std::string &text, target &out);
// "ADDR:PORT" or "HOST:PORT": the name a router is known by.
std::string target_name(const target &t);

// The target's IPv4 address and port; false when the name does not resolve.
bool resolve(const target &t, sockaddr_in &out);
