// linkstat-exporter's pure parts: the record checks, the exposition text, the allow list and
// target parsing, and the escaping of what a page or a JSON reading shows.
#include "allow_list.h"
#include "device.h"
#include "exposition.h"
#include "live_page.h"
#include "record_check.h"
#include "stats_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

// 92, entries 0 to 3 all zero, rssi 40, paths 40 35 0 0, tx 145 (72.5 Mb/s), rx 108.
const std::vector<unsigned> full = {92, 0, 0,  0, 0, 0, 0, 0, 0,   4,  40, 5,
                                    40, 6, 35, 7, 0, 8, 0, 9, 145, 10, 108};

reading checked(const std::string &bytes) {
    reading r;
    check_record(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), r);
    return r;
}

std::vector<unsigned> with(std::vector<unsigned> words, size_t at, unsigned value) {
    words.at(at) = value;
    return words;
}

std::vector<unsigned> unfilled_from(size_t entry) {
    std::vector<unsigned> words = full;
    for (size_t i = 1 + 2 * entry; i < words.size(); ++i)
        words[i] = 0;
    return words;
}

TEST(ExporterRecord, AnEntryCountsOnlyWhenItsIdentifierIsItsIndexAndAnythingElseIsMalformed) {
    struct row {
        const char *name;
        std::string bytes;
        bool up, present, rates;
    };
    const row rows[] = {
        {"a whole record", words_be(full), true, true, true},
        {"an unreadable table: every entry zero", words_be(unfilled_from(0)), true, false, false},
        {"a table without rate lines", words_be(unfilled_from(current_tx_rate)), true, true, false},
        {"a length word of 91", words_be(with(full, 0, 91)), false, false, false},
        {"path A under identifier 6", words_be(with(full, 11, 6)), false, false, false},
        {"entry 2 under its own identifier", words_be(with(full, 5, 2)), false, false, false},
        {"identifier 0 with a value", words_be(with(unfilled_from(0), 10, 40)), false, false,
         false},
        {"93 bytes", words_be(full) + "x", false, false, false},
        {"91 bytes", words_be(full).substr(1), false, false, false},
    };
    for (const row &r : rows) {
        reading got = checked(r.bytes);
        EXPECT_EQ(got.up, r.up) << r.name;
        EXPECT_EQ(got.why, r.up ? failure::none : failure::malformed) << r.name;
        EXPECT_EQ(got.present(), r.present) << r.name;
        EXPECT_EQ(got.filled[current_tx_rate] && got.filled[current_rx_rate], r.rates) << r.name;
    }
    reading whole = checked(words_be(full));
    EXPECT_EQ(whole.value[rssi_path_b], 35u);
    EXPECT_TRUE(whole.filled[rssi_path_c]) << "a filled 0 is a figure";
}

TEST(ExporterExposition, AWholeRecordGivesEveryFamilyWithHelpTypeAndBaseUnits) {
    std::string text = probe_text(checked(words_be(full)), 0.25);
    const char *lines[] = {
        "# TYPE linkstat_up gauge\nlinkstat_up 1\n",
        "# TYPE linkstat_probe_duration_seconds gauge\nlinkstat_probe_duration_seconds 0.25\n",
        "# TYPE linkstat_station_present gauge\nlinkstat_station_present 1\n",
        "# TYPE linkstat_rssi gauge\nlinkstat_rssi 40\n",
        "# TYPE linkstat_path_rssi gauge\nlinkstat_path_rssi{path=\"a\"} 40\n"
        "linkstat_path_rssi{path=\"b\"} 35\nlinkstat_path_rssi{path=\"c\"} 0\n"
        "linkstat_path_rssi{path=\"d\"} 0\n",
        // 145 codes of 500 kb/s: 72.5 Mb/s, 9,062,500 bytes a second.
        "# TYPE linkstat_transmit_rate_bytes_per_second gauge\n"
        "linkstat_transmit_rate_bytes_per_second 9062500\n",
        "# TYPE linkstat_receive_rate_bytes_per_second gauge\n"
        "linkstat_receive_rate_bytes_per_second 6750000\n",
    };
    for (const char *line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    for (const std::string &line : lines_of(text))
        if (line.rfind("# TYPE ", 0) == 0) {
            std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
        }
}

TEST(ExporterExposition, ARecordWithoutFiguresIsNoSignalOfZeroAndAFailedProbeOnlyUpAndTime) {
    std::string empty = probe_text(checked(words_be(unfilled_from(0))), 0.01);
    EXPECT_NE(empty.find("\nlinkstat_station_present 0\n"), std::string::npos) << empty;
    EXPECT_EQ(empty.find("rssi"), std::string::npos) << empty;
    EXPECT_EQ(empty.find("_rate_"), std::string::npos) << empty;

    std::string partial = probe_text(checked(words_be(unfilled_from(current_tx_rate))), 0.01);
    EXPECT_NE(partial.find("\nlinkstat_rssi 40\n"), std::string::npos) << partial;
    EXPECT_EQ(partial.find("_rate_"), std::string::npos) << partial;

    reading down;
    down.why = failure::timeout;
    EXPECT_EQ(probe_text(down, 1.5), "# HELP linkstat_up 1 when the router sent a whole, "
                                     "well-formed record in time.\n# TYPE linkstat_up gauge\n"
                                     "linkstat_up 0\n# HELP linkstat_probe_duration_seconds How "
                                     "long the probe took.\n# TYPE "
                                     "linkstat_probe_duration_seconds gauge\n"
                                     "linkstat_probe_duration_seconds 1.5\n");
}

TEST(ExporterExposition, TheExportersOwnFiguresCountEveryFailureReasonAndTheProcess) {
    request_figures requests;
    requests.probes = 7;
    requests.failures[static_cast<int>(failure::short_reply)] = 2;
    prober_figures probing;
    probing.open = 3;
    std::string text = exporter_text(requests, probing);
    for (const char *line :
         {"\nlinkstat_exporter_probes_total 7\n",
          "\nlinkstat_exporter_probe_failures_total{reason=\"short\"} 2\n",
          "\nlinkstat_exporter_probe_failures_total{reason=\"malformed\"} 0\n",
          "\nlinkstat_exporter_router_connections 3\n",
          "\n# TYPE process_cpu_seconds_total counter\n", "\nprocess_resident_memory_bytes "})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    EXPECT_EQ(text.find("reason=\"none\""), std::string::npos);
}

TEST(ExporterAllowList, RangesAreAddressSlashPrefixWithNoHostBitsAndMatchTheirAddressesOnly) {
    struct row {
        const char *text;
        bool valid;
    };
    for (const row &r : {row{"10.20.0.0/16", true}, row{"192.0.2.7", true}, row{"0.0.0.0/0", true},
                         row{"10.20.0.1/16", false}, row{"10.20.0.0/33", false},
                         row{"10.20.0.0/", false}, row{"10.20.0.0/016", false},
                         row{"10.20.0/16", false}, row{"host.example/32", false}, row{"", false}}) {
        ip_range range;
        EXPECT_EQ(parse_range(r.text, range), r.valid) << r.text;
    }
    allow_list allow(2);
    ASSERT_TRUE(parse_range("10.20.0.0/16", allow[0]));
    ASSERT_TRUE(parse_range("192.0.2.7", allow[1]));
    for (auto [address, in] : {std::pair{"10.20.255.1", true}, std::pair{"10.21.0.1", false},
                               std::pair{"192.0.2.7", true}, std::pair{"192.0.2.8", false},
                               std::pair{"127.0.0.1", false}}) {
        in_addr a;
        ASSERT_EQ(inet_pton(AF_INET, address, &a), 1);
        EXPECT_EQ(allowed(allow, a), in) << address;
    }
    in_addr any;
    inet_pton(AF_INET, "127.0.0.1", &any);
    EXPECT_FALSE(allowed({}, any)) << "without --allow nothing is allowed";
}

TEST(ExporterTarget, ATargetIsAHostAndAPortFrom1To65535WithLinkstatdsPortByDefault) {
    struct row {
        const char *text;
        const char *host; // when valid
        unsigned port;
        bool valid;
    };
    const row rows[] = {
        {"192.0.2.7", "192.0.2.7", 10000, true},
        {"192.0.2.7:10001", "192.0.2.7", 10001, true},
        {"roof-3.wisp.example:65535", "roof-3.wisp.example", 65535, true},
        {"localhost", "localhost", 10000, true},
        {"", "", 0, false},
        {":10000", "", 0, false},
        {"192.0.2.7:", "", 0, false},
        {"192.0.2.7:0", "", 0, false},
        {"192.0.2.7:65536", "", 0, false},
        {"192.0.2.7:010", "", 0, false},
        {"192.0.2.7:+1", "", 0, false},
        {"192.0.2.7:1:2", "", 0, false},
        {"300.1.1.1", "", 0, false},
        {"192.0.2", "", 0, false},
        {"-roof.example", "", 0, false},
        {"roof..example", "", 0, false},
        {"roof example", "", 0, false},
        {"[::1]:10000", "", 0, false},
        {"http://192.0.2.7/", "", 0, false},
    };
    for (const row &r : rows) {
        target t;
        ASSERT_EQ(parse_target(r.text, t), r.valid) << r.text;
        if (r.valid) {
            EXPECT_EQ(t.host, r.host) << r.text;
            EXPECT_EQ(t.port, r.port) << r.text;
        }
    }
}

TEST(ExporterPage, TextIsEscapedForHtmlAndJson) {
    EXPECT_EQ(html_escaped("<a href=\"x\">'&'</a>"),
              "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    reading down;
    down.why = failure::refused;
    EXPECT_EQ(reading_json("192.0.2.7:10000", down),
              "{\"target\":\"192.0.2.7:10000\",\"up\":false,\"reason\":\"refused\","
              "\"present\":false,\"rssi\":null,\"paths\":{\"a\":null,\"b\":null,\"c\":null,"
              "\"d\":null},\"tx_mbps\":null,\"rx_mbps\":null}");
}

} // namespace
