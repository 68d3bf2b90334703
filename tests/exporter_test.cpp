// linkstat-exporter's pure parts: the record checks, the exposition text, the allow list and
// target parsing, and the escaping of what a page or a JSON reading shows.
#include "allow_list.h"
#include "device.h"
#include "exposition.h"
#include "live_page.h"
#include "reading.h"
#include "router_table.h"
#include "stats_client.h"
#include "target.h"

#include <arpa/inet.h>
#include <chrono>
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

    // A failed probe: up 0 and its time, and no figure at all.
    reading down;
    down.why = failure::timeout;
    std::vector<std::string> samples;
    for (const std::string &line : lines_of(probe_text(down, 1.5)))
        if (line[0] != '#')
            samples.push_back(line);
    EXPECT_EQ(samples,
              (std::vector<std::string>{"linkstat_up 0", "linkstat_probe_duration_seconds 1.5"}));
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

TEST(ExporterAllowList, RangesAndNamesAllowTheirOwnAddressesAndNamesOnly) {
    struct range_row {
        const char *text;
        bool valid;
    };
    for (const range_row &r : {range_row{"10.20.0.0/16", true}, range_row{"192.0.2.7", true},
                               range_row{"192.0.2.7/32", true}, range_row{"0.0.0.0/0", true},
                               range_row{"10.20.0.1/16", false}, range_row{"10.20.0.0/33", false},
                               range_row{"10.20.0.0/", false}, range_row{"10.20.0.0/016", false},
                               range_row{"10.20.0/16", false}, range_row{"host.example/32", false},
                               range_row{"", false}}) {
        ip_range range;
        EXPECT_EQ(parse_range(r.text, range), r.valid) << r.text;
    }
    allow_list allow;
    for (const char *text : {"10.20.0.0/16", "192.0.2.7/32"})
        ASSERT_TRUE(parse_range(text, allow.ranges.emplace_back())) << text;
    for (auto [address, in] : {std::pair{"10.20.255.1", true}, std::pair{"10.21.0.1", false},
                               std::pair{"192.0.2.7", true}, std::pair{"192.0.2.8", false},
                               std::pair{"127.0.0.1", false}}) {
        in_addr a;
        ASSERT_EQ(inet_pton(AF_INET, address, &a), 1);
        EXPECT_EQ(allowed(allow, a), in) << address;
        EXPECT_FALSE(allowed({}, a)) << "without --allow nothing is allowed";
    }
    std::string name;
    EXPECT_FALSE(parse_allowed_name("-wisp.example", name));
    ASSERT_TRUE(parse_allowed_name("Wisp.Example", allow.names.emplace_back()));
    for (auto [host, in] : {std::pair{"wisp.example", true}, std::pair{"roof-3.WISP.example", true},
                            std::pair{"evilwisp.example", false},
                            std::pair{"wisp.example.evil", false}, std::pair{"example", false}})
        EXPECT_EQ(name_allowed(allow, host), in) << host;
    EXPECT_FALSE(name_allowed({}, "wisp.example")) << "without --allow-name no name is";
}

TEST(ExporterTarget, ATargetIsAHostAndAPortFrom1To65535WithLinkstatdsPortByDefault) {
    struct row {
        std::string text;
        const char *host; // when valid
        unsigned port;
        bool valid, name;
    };
    const row rows[] = {
        {"192.0.2.7", "192.0.2.7", 10000, true, false},
        {"192.0.2.7:10001", "192.0.2.7", 10001, true, false},
        {"roof-3.wisp.example:65535", "roof-3.wisp.example", 65535, true, true},
        {"localhost", "localhost", 10000, true, true},
        {"", "", 0, false, false},
        {":10000", "", 0, false, false},
        {"192.0.2.7:", "", 0, false, false},
        {"192.0.2.7:0", "", 0, false, false},
        {"192.0.2.7:65536", "", 0, false, false},
        {"192.0.2.7:010", "", 0, false, false},
        {"192.0.2.7:+1", "", 0, false, false},
        {"192.0.2.7:1:2", "", 0, false, false},
        {std::string("192.0.2.7\0.example", 17), "", 0, false, false},
        {std::string("192.0.2.7:10000\0", 16), "", 0, false, false},
        {"300.1.1.1", "", 0, false, false},
        {"192.0.2", "", 0, false, false},
        {"-roof.example", "", 0, false, false},
        {"roof..example", "", 0, false, false},
        {"roof example", "", 0, false, false},
        {"roof_3.example", "", 0, false, false},
        {"[::1]:10000", "", 0, false, false},
        {"http://192.0.2.7/", "", 0, false, false},
    };
    for (const row &r : rows) {
        target t;
        ASSERT_EQ(parse_target(r.text, t), r.valid) << r.text;
        if (r.valid) {
            EXPECT_EQ(t.host, r.host) << r.text;
            EXPECT_EQ(t.port, r.port) << r.text;
            EXPECT_EQ(t.is_name, r.name) << r.text;
        }
    }
}

// An entry that is busy while a request waits for it.
struct table_entry {
    bool waited_for = false;
    bool busy() const { return waited_for; }
};

TEST(ExporterRouterTable, TargetsThatNeverAnsweredMakeRoomFirstAndABusyRouterIsNeverForgotten) {
    using clock = std::chrono::steady_clock;
    auto t = clock::now();
    auto at = [&](int s) { return t + std::chrono::seconds(s); };
    router_table<table_entry> table(4);
    std::unique_ptr<table_entry> out;
    // Two real routers that answered, then a flood of junk.
    for (const char *real : {"10.0.0.1:10000", "10.0.0.2:10000"}) {
        ASSERT_NE(table.want(real, at(0), out), nullptr);
        table.answered(real);
    }
    table.want("10.0.0.9:1", at(1), out)->waited_for = true;
    for (int port = 2; port < 5000; ++port) {
        ASSERT_NE(table.want("10.0.0.9:" + std::to_string(port), at(2), out), nullptr) << port;
        EXPECT_EQ(table.size(), 4u);
    }
    std::vector<std::string> kept;
    table.each_wanted_before(at(3), [&](table_entry &) { kept.emplace_back(); });
    EXPECT_EQ(kept.size(), 4u);
    // The junk entry waited for, and both real routers, are still known: wanting them makes
    // nothing new (the table's room goes to junk alone).
    for (const char *known : {"10.0.0.1:10000", "10.0.0.2:10000", "10.0.0.9:1"}) {
        out.reset();
        table.want(known, at(3), out);
        EXPECT_EQ(out, nullptr) << known << " was forgotten and made again";
    }
    // When only answering routers are left, the one wanted least recently makes room.
    table_entry *third = table.want("10.0.0.3:10000", at(4), out);
    ASSERT_NE(third, nullptr);
    table.answered("10.0.0.3:10000");
    out.reset();
    table.want("10.0.0.4:10000", at(5), out);
    ASSERT_NE(out, nullptr);
    // Every entry busy: no room.
    table.each_wanted_before(at(6), [](table_entry &e) { e.waited_for = true; });
    EXPECT_EQ(table.want("10.0.0.5:10000", at(6), out), nullptr);
    // Forgetting takes what was wanted long ago and is not busy.
    table.each_wanted_before(at(6), [](table_entry &e) { e.waited_for = false; });
    table.want("10.0.0.1:10000", at(60), out);
    EXPECT_EQ(table.forget_wanted_before(at(30)).size(), 3u);
    EXPECT_EQ(table.size(), 1u);
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
