// What a target names: "HOST" or "HOST:PORT", HOST an IPv4 address or a DNS name, PORT 1 to
// 65535 (default_router_port without one), every byte one that a name or an address holds;
// and the pieces of that grammar the allow list's own texts use too.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

struct target {
    std::string host;
    uint16_t port;
    bool is_name;    // else an address
    in_addr address; // host's, when it is an address
};
bool parse_target(const std::string &text, target &out);
// "ADDR:PORT" or "HOST:PORT": the name a router is known by.
std::string target_name(const target &t);

// A decimal number of at most five digits, no sign, no leading zero but 0 itself, at most
// max.
bool parse_decimal(const std::string &text, unsigned long max, unsigned long &out);
// A dotted IPv4 address, digits and dots only.
bool parse_address(const std::string &text, in_addr &out);
// A DNS name: labels of letters, digits and hyphens.
bool is_host_name(const std::string &text);
