#include "target.h"

#include "exporter.h"

#include <arpa/inet.h>
#include <cctype>

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

// Digits and dots only, so no byte past the address hides from inet_pton.
bool parse_address(const std::string &text, in_addr &out) {
    return text.find_first_not_of("0123456789.") == std::string::npos &&
           inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// Labels 1 to 63 characters each, not starting or ending with a hyphen, 253 characters at
// most, the last not all digits (which would be an address out of range, such as 300.1.1.1,
// or a short form the resolver reads as one).
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

bool parse_target(const std::string &text, target &out) {
    size_t colon = text.find(':');
    out.host = text.substr(0, colon);
    unsigned long port = default_router_port;
    if (colon != std::string::npos &&
        (!parse_decimal(text.substr(colon + 1), 65535, port) || port == 0))
        return false;
    out.port = static_cast<uint16_t>(port);
    out.address = in_addr{};
    out.is_name = !parse_address(out.host, out.address);
    return !out.is_name || is_host_name(out.host);
}

std::string target_name(const target &t) {
    return t.host + ":" + std::to_string(t.port);
}
