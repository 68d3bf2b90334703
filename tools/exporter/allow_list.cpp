#include "allow_list.h"

#include "target.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
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

bool parse_allowed_name(const std::string &text, std::string &out) {
    if (!is_host_name(text))
        return false;
    out = lower(text);
    return true;
}

bool allowed(const allow_list &allow, in_addr address) {
    uint32_t a = ntohl(address.s_addr);
    return std::any_of(allow.ranges.begin(), allow.ranges.end(),
                       [a](const ip_range &r) { return (a & r.mask) == r.network; });
}

bool name_allowed(const allow_list &allow, const std::string &host) {
    std::string name = lower(host);
    return std::any_of(allow.names.begin(), allow.names.end(), [&](const std::string &n) {
        return name == n ||
               (name.size() > n.size() && name.compare(name.size() - n.size(), n.size(), n) == 0 &&
                name[name.size() - n.size() - 1] == '.');
    });
}
