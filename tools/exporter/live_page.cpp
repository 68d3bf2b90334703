#include "live_page.h"

#include "exporter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
// Where index.html takes the rows of the routers.
constexpr char rows_marker[] = "<!-- routers -->\n";
} // namespace

std::string html_escaped(const std::string &text) {
    std::string out;
    for (char c : text)
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    return out;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

std::string json_figure(const reading &r, stat_id id) {
    return r.filled[id] ? std::to_string(r.value[id]) : "null";
}

// A rate code in Mb/s: 145 is 72.5.
std::string json_rate(const reading &r, stat_id id) {
    if (!r.filled[id])
        return "null";
    char text[32];
    snprintf(text, sizeof text, "%.1f", static_cast<double>(r.value[id]) / 2);
    return text;
}

} // namespace

std::string reading_json(const std::string &target, const reading &r) {
    std::string out = "{\"target\":" + json_string(target);
    out += ",\"up\":" + std::string(r.up ? "true" : "false");
    out += ",\"reason\":" + (r.up ? std::string("null") : json_string(failure_name(r.why)));
    out += ",\"present\":" + std::string(r.present() ? "true" : "false");
    out += ",\"rssi\":" + json_figure(r, rssi);
    out += ",\"paths\":{\"a\":" + json_figure(r, rssi_path_a) +
           ",\"b\":" + json_figure(r, rssi_path_b) + ",\"c\":" + json_figure(r, rssi_path_c) +
           ",\"d\":" + json_figure(r, rssi_path_d) + "}";
    out += ",\"tx_mbps\":" + json_rate(r, current_tx_rate);
    out += ",\"rx_mbps\":" + json_rate(r, current_rx_rate) + "}";
    return out;
}

std::string index_page(const std::vector<router_summary> &routers) {
    std::string rows;
    std::vector<router_summary> sorted = routers;
    std::sort(sorted.begin(), sorted.end(),
              [](const router_summary &a, const router_summary &b) { return a.target < b.target; });
    for (const router_summary &r : sorted) {
        std::string target = html_escaped(r.target);
        std::string state = r.last.up ? (r.last.present() ? "answering" : "no figures")
                                      : std::string("not answering: ") + failure_name(r.last.why);
        std::string signal =
            r.last.up && r.last.present() ? std::to_string(r.last.value[rssi]) : "";
        char age[32];
        snprintf(age, sizeof age, "%.0f s ago", r.age_s);
        rows.append("<tr><td><a href=\"/live?target=").append(target).append("\">").append(target);
        rows.append("</a></td><td>").append(state).append("</td><td align=\"right\">");
        rows.append(signal).append("</td><td align=\"right\">").append(age).append("</td></tr>\n");
    }
    std::string out = index_html;
    out.replace(out.find(rows_marker), strlen(rows_marker), rows);
    return out;
}
