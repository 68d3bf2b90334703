// A realistic station table with one station, as the wireless driver prints it; the
// parser tests and the benchmark both use it.
#pragma once

constexpr char one_station[] = "-- STA info table -- (active: 1)\n"
                               "1: stat_info...\n"
                               "    state: 1, AID: 1\n"
                               "    hwaddr: 00e04c8196c1\n"
                               "    tx_packets: 1202\n"
                               "    rx_packets: 3391\n"
                               "    rx_retrys: 7\n"
                               "    tx_retrys: 12\n"
                               "    rx_crc_errors: 3\n"
                               "    rx_decache: 1\n"
                               "    rssi: 40 (40 35 0 0)\n"
                               "    current_tx_rate: MCS7 (72.2)\n"
                               "    current_rx_rate: 54\n"
                               "    hw_queue_full: 0\n";
