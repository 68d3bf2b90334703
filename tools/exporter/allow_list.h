// Which routers may be probed: an exporter that others can reach must not become their port
// scanner or their resolver, so every target's address is checked against the ranges given
// with --allow before anything is sent to it, and a name is looked up only when
// --allow-name allows it.
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
struct allow_list {
    std::vector<ip_range> ranges;
    std::vector<std::string> names; // each allows itself and every name under it, lower case
};

// "A.B.C.D/N" (N 0 to 32, no bits set past the prefix) or a lone address; false otherwise.
bool parse_range(const std::string &text, ip_range &out);
// A DNS name, as --allow-name takes it; false when it is not one.
bool parse_allowed_name(const std::string &text, std::string &out);
bool allowed(const allow_list &allow, in_addr address);
bool name_allowed(const allow_list &allow, const std::string &host);
