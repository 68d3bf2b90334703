// The station-table parser on realistic tables, and the read of the table file itself when
// run inside a simulated device (where $SIM_DEVICE/proc is the /proc the parser reads).
#include "sta_info.h"
#include "station_table.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

const char two_stations[] = "-- STA info table -- (active: 2)\n"
                            "1: stat_info...\n"
                            "    rssi: 62 (60 58 1 2)\n"
                            "    current_tx_rate: MCS15 (300)\n"
                            "    current_rx_rate: MCS0 (6.5)\n"
                            "2: stat_info...\n"
                            "    rssi: 20 (18 17 0 0)\n"
                            "    current_tx_rate: 11\n"
                            "    current_rx_rate: 1\n";

struct parsed {
    int result;
    wlan0_stats_record record;
};

parsed parse(const char *table) {
    parsed p{};
    p.record.length = record_size;
    p.result = parse_sta_info(table, &p.record);
    return p;
}

uint32_t value(const parsed &p, stat_id id) {
    return p.record.entry[id].value;
}

class StaInfo : public testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fill_target_names()); }
};

TEST_F(StaInfo, OneStationFillsRssiPathsAndBothRatesWithTheirIdentifiers) {
    parsed p = parse(one_station);
    EXPECT_EQ(p.result, 0);
    const uint32_t expected[stat_count] = {0, 0, 0, 0, 40, 40, 35, 0, 0, 145, 108};
    for (int i = 0; i < stat_count; ++i) {
        EXPECT_EQ(p.record.entry[i].value, expected[i]) << "entry " << i;
        EXPECT_EQ(p.record.entry[i].id, i < rssi ? 0u : static_cast<uint32_t>(i)) << i;
    }
    EXPECT_EQ(p.record.length, record_size);
}

TEST_F(StaInfo, SeveralStationsTakeEveryFigureFromTheFirstListed) {
    parsed p = parse(two_stations);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(value(p, rssi), 62u);
    EXPECT_EQ(value(p, rssi_path_a), 60u);
    EXPECT_EQ(value(p, rssi_path_b), 58u);
    EXPECT_EQ(value(p, rssi_path_c), 1u);
    EXPECT_EQ(value(p, rssi_path_d), 2u);
    EXPECT_EQ(value(p, current_tx_rate), 600u);
    EXPECT_EQ(value(p, current_rx_rate), 13u);
}

TEST_F(StaInfo, RateLinesGiveHalfMegabitCodes) {
    struct row {
        const char *line;
        uint32_t code;
    };
    constexpr row rows[] = {
        {"54", 108},
        {"1", 2},
        {"11", 22},
        {"5", 11},
        {"5.5", 11},
        {"MCS7 (72.2)", 145},
        {"MCS0 (6.5)", 13},
        {"MCS15 (300)", 600},
        {"MCS7\t(72.2)", 145},
        {"MCS31 (600)\r\n", 1200},
    };
    for (const row &r : rows) {
        std::string table = std::string("rssi: 1 (1 1 1 1)\ncurrent_tx_rate: ") + r.line +
                            "\ncurrent_rx_rate: " + r.line + "\n";
        parsed p = parse(table.c_str());
        EXPECT_EQ(p.result, 0) << r.line;
        EXPECT_EQ(value(p, current_tx_rate), r.code) << r.line;
        EXPECT_EQ(value(p, current_rx_rate), r.code) << r.line;
    }
}

TEST_F(StaInfo, DotOrMcsOnALaterLineDoNotCountForTheRateLine) {
    struct row {
        const char *table;
        uint32_t tx_code;
    };
    constexpr row rows[] = {
        // "MCS15 (300)" with a "." only further down: no fraction, so 600 and not 601.
        {"rssi: 1 (1 1 1 1)\ncurrent_tx_rate: MCS15 (300)\ncurrent_rx_rate: 5.5\n", 600},
        // A legacy 54 with "MCS" only on the next line stays legacy.
        {"rssi: 1 (1 1 1 1)\ncurrent_tx_rate: 54\ncurrent_rx_rate: MCS7 (72.2)\n", 108},
        {"rssi: 1 (1 1 1 1)\r\ncurrent_tx_rate: 54\r\ncurrent_rx_rate: MCS7 (72.2)\r\n", 108},
    };
    for (const row &r : rows) {
        parsed p = parse(r.table);
        EXPECT_EQ(p.result, 0) << r.table;
        EXPECT_EQ(value(p, current_tx_rate), r.tx_code) << r.table;
    }
}

TEST_F(StaInfo, AMissingKeyFailsAndKeepsTheEntriesFilledBeforeIt) {
    struct row {
        const char *table;
        stat_id first_unfilled; // entries from rssi up to this one are filled
    };
    constexpr row rows[] = {
        {"rssi: 40 (40 35 0 0)\ncurrent_tx_rate: 54\n", current_rx_rate},
        {"rssi: 40 (40 35 0 0)\ncurrent_rx_rate: 54\n", current_tx_rate},
        {"current_tx_rate: 54\ncurrent_rx_rate: 54\n", rssi},
        {"", rssi},
    };
    for (const row &r : rows) {
        parsed p = parse(r.table);
        EXPECT_EQ(p.result, -1) << r.table;
        for (int i = 0; i < stat_count; ++i) {
            bool filled = i >= rssi && i < r.first_unfilled;
            EXPECT_EQ(p.record.entry[i].id, filled ? static_cast<uint32_t>(i) : 0u)
                << r.table << " entry " << i;
        }
        EXPECT_EQ(p.record.length, record_size);
    }
}

TEST_F(StaInfo, NumbersALineDoesNotSupplyAreZero) {
    parsed p = parse("rssi: 40\ncurrent_tx_rate: MCS7 (\ncurrent_rx_rate: fast\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(value(p, rssi), 40u);
    for (stat_id id : {rssi_path_a, rssi_path_b, rssi_path_c, rssi_path_d, current_rx_rate})
        EXPECT_EQ(value(p, id), 0u) << id;
    EXPECT_EQ(value(p, current_tx_rate), 0u);
}

// The driver's lines and damaged ones, read with each of the parser's patterns. Numbers past
// what the pattern's type holds are left out: sscanf's answer to them differs between C
// libraries (the daemon's end-to-end suite shows the parser's own on every build).
TEST(ScanNumbers, ReadsWhatSscanfReadsWithTheSamePattern) {
    constexpr const char *patterns[] = {"%s %u (%u %u %u %u)\n", "%s %d\n", "%s MCS%d (%d.%d)\n",
                                        "%s MCS%d (%d)\n"};
    constexpr const char *lines[] = {
        "rssi: 40 (40 35 0 0)\n",
        "rssi:40(40 35 0 0)",
        "rssi: 40 (40\t35\r\n0 0)\n",
        "rssi: -3 (+4 -0 7 8)\n",
        "rssi: 40 (40 x 0 0)\n",
        "rssi: 40\n    current_tx_rate: 54\n",
        "rssi:",
        "rssi: ",
        "current_tx_rate: 54\n",
        "current_tx_rate: 5.5\n",
        "current_tx_rate: - 5\n",
        "current_tx_rate: MCS7 (72.2)\n",
        "current_tx_rate: MCS7(72.2)",
        "current_tx_rate: MCS 7 ( 72 . 2 )\n",
        "current_tx_rate: MCS15 (300)\n",
        "current_tx_rate: MCS15 (300.)\n",
        "current_tx_rate: MCS-1 (-6.5)\n",
        "current_tx_rate: MCSx (72.2)\n",
        "current_tx_rate: mcs7 (72.2)\n",
        "",
        "   ",
    };
    for (const char *pattern : patterns) {
        std::string format = pattern;
        format.replace(0, 2, "%*s");
        bool is_signed = format.find("%u") == std::string::npos;
        for (const char *line : lines) {
            uint32_t want[5] = {}, got[5] = {};
            int assigned;
            if (is_signed) {
                int v[3] = {};
                assigned = sscanf(line, format.c_str(), &v[0], &v[1], &v[2]);
                for (int i = 0; i < 3; ++i)
                    want[i] = static_cast<uint32_t>(v[i]);
            } else {
                unsigned v[5] = {};
                assigned = sscanf(line, format.c_str(), &v[0], &v[1], &v[2], &v[3], &v[4]);
                for (int i = 0; i < 5; ++i)
                    want[i] = v[i];
            }
            EXPECT_EQ(scan_numbers(line, pattern, got, 5), assigned < 0 ? 0 : assigned)
                << pattern << " on " << line;
            EXPECT_EQ(memcmp(got, want, sizeof got), 0) << pattern << " on " << line;
        }
    }
}

TEST(StrstrIn1line, SearchesOnlyTheLineTheSubjectStartsIn) {
    struct row {
        const char *subject;
        const char *pattern;
        int at; // offset of the match, -1 for none
    };
    constexpr row rows[] = {
        {"rate: MCS7 (72.2)\n", "MCS", 6},
        {"rate: 54\nrate: MCS7\n", "MCS", -1},
        {"rate: 54\r\nMCS", "MCS", -1},
        {"rate: 54\rMCS", "MCS", -1},
        {"rate: 54\n", "", 0},
        {"", "", 0},
        {"ab", "abc", -1},
        {"\nMCS", "\nMC", 0},    // the first character is always a candidate
        {"xab\ncd", "b\ncd", 2}, // a match may run past the line end
        {"MCS", "MCS", 0},
        {"MC", "MCS", -1},
    };
    for (const row &r : rows) {
        const char *got = strstr_in1line(r.subject, r.pattern);
        if (r.at < 0)
            EXPECT_EQ(got, nullptr) << r.subject << " / " << r.pattern;
        else
            EXPECT_EQ(got, r.subject + r.at) << r.subject << " / " << r.pattern;
    }
}

TEST(Record, PacksEveryWordBigEndian) {
    wlan0_stats_record r{};
    r.length = record_size;
    r.entry[current_rx_rate] = {current_rx_rate, 0x01020304};
    unsigned char wire[record_size];
    pack_record(r, wire);
    const unsigned char head[] = {0, 0, 0, 92};
    EXPECT_EQ(memcmp(wire, head, 4), 0);
    const unsigned char tail[] = {0, 0, 0, 10, 1, 2, 3, 4};
    EXPECT_EQ(memcmp(wire + 84, tail, 8), 0);
    wlan0_stats_record back{};
    unpack_record(wire, back);
    EXPECT_EQ(memcmp(&back, &r, sizeof r), 0);
}

// The table file as the daemon reads it. Runs only inside a simulated device.
class StaInfoFile : public StaInfo {
  protected:
    void SetUp() override {
        const char *device = getenv("SIM_DEVICE");
        if (!device)
            GTEST_SKIP() << "runs inside a simulated device";
        path = std::string(device) + "/proc/wlan0";
        std::string mk = "mkdir -p '" + path + "'";
        ASSERT_EQ(system(mk.c_str()), 0);
        path += "/sta_info";
    }
    void write_table(const std::string &text) {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string path;
};

std::string padded_to(size_t size) {
    std::string t = one_station;
    t.append(size - t.size() - 1, ' ');
    return t + "\n";
}

TEST_F(StaInfoFile, ReadsTablesUpTo2047BytesAndRefusesLargerOnes) {
    struct row {
        std::string text;
        int result;
        bool filled;
    };
    const row rows[] = {
        {one_station, 0, true},
        {padded_to(2047), 0, true},
        {padded_to(2048), -1, false},
        {padded_to(4000), -1, false},
        {"", 0, false},
    };
    for (const row &r : rows) {
        write_table(r.text);
        wlan0_stats_record record{};
        record.length = record_size;
        EXPECT_EQ(get_wlan0_stats(&record), r.result) << r.text.size() << " bytes";
        EXPECT_EQ(record.length, record_size);
        EXPECT_EQ(record.entry[rssi].value, r.filled ? 40u : 0u) << r.text.size() << " bytes";
        EXPECT_EQ(record.entry[current_tx_rate].value, r.filled ? 145u : 0u);
    }
}

TEST_F(StaInfoFile, AMissingTableFailsAndLeavesTheRecordCleared) {
    remove(path.c_str());
    wlan0_stats_record record{};
    record.length = record_size;
    EXPECT_EQ(get_wlan0_stats(&record), -1);
    wlan0_stats_record cleared{};
    cleared.length = record_size;
    EXPECT_EQ(memcmp(&record, &cleared, sizeof record), 0);
}

} // namespace
