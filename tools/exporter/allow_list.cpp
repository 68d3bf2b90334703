#include "allow_list.h"

#include "exporter.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <netdb.h>

namespace {

// A decimal number of at most five digits, no sign, no leading zero but 0 itself, at most
// max.
bool parse_decimal(const std::string &text, unsigned long max, unsigned long &out) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    out = 0;
    for (char c : text) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
        out = out * 10 + static_cast<unsigned long>(c - '0');
    }
    return out <= max;
}

bool parse_address(const std::string &text, in_addr &out) {
    return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// A DNS name: labels of letters, digits and hyphens, 1 to 63 characters each, not starting
// or ending with a hyphen, 253 characters at most, the last not all digits (which would be
// an address out of range, such as 300.1.1.1, or a short form the resolver reads as one).
bool is_host_name(const std::string &text) {
    if (text.empty() || text.size() > 253 ||
        text.find_first_not_of("0123456789", text.rfind('.') + 1) == std::string::npos)
        return false;
    size_t label = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (label == 0 || label > 63 || text[i - 1] == '-')
                return false;
            label = 0;
            continue;
        }
        char c = text[i];
        if (!isalnum(static_cast<unsigned char>(c)) && (c != '-' || label == 0))
            return false;
        ++label;
    }
    return true;
}

} // namespace

bool parse_range(const std::string &text, ip_range &out) {
    size_t slash = text.find('/');
    in_addr address;
    unsigned long bits = 32;
    if (!parse_address(text.substr(0, slash), address) ||
        (slash != std::string::npos && !parse_decimal(text.substr(slash + 1), 32, bits)))
        return false;
    out.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    out.network = ntohl(address.s_addr);
    return (out.network & ~out.mask) == 0;
}

bool allowed(const allow_list &allow, in_addr address) {
    uint32_t a = ntohl(address.s_addr);
    for (const ip_range &r : allow)
        if ((a & r.mask) == r.network)
            return true;
    return false;
}

bool parse_target(const std::string &text, target &out) {
    size_t colon = text.find(':');
    out.host = text.substr(0, colon);
    unsigned long port = default_router_port;
    if (colon != std::string::npos &&
        (!parse_decimal(text.substr(colon + 1), 65535, port) || port == 0))
        return false;
    out.port = static_cast<uint16_t>(port);
    in_addr unused;
    return parse_address(out.host, unused) || is_host_name(out.host);
}

std::string target_name(const target &t) {
    return t.host + ":" + std::to_string(t.port);
}

bool resolve(const target &t, sockaddr_in &out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(t.host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    memcpy(&out, found->ai_addr, sizeof out);
    freeaddrinfo(found);
    out.sin_port = htons(t.port);
    return true;
}
