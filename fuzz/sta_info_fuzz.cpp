// Station tables as the driver might print them, up to the largest one that is parsed.
#include "sta_info.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool keys = fill_target_names();
    if (!keys)
        abort();
    char table[2048] = {};
    memcpy(table, data, size < sizeof table - 1 ? size : sizeof table - 1);
    wlan0_stats_record record{};
    record.length = record_size;
    int result = parse_sta_info(table, &record);
    if (result != 0 && result != -1)
        abort();
    // Only the parsed entries are written: the length and entries 0 to 3 stay as set.
    if (record.length != record_size)
        abort();
    for (int i = rx_retrys; i <= rx_decache; ++i)
        if (record.entry[i].id != 0 || record.entry[i].value != 0)
            abort();
    for (int i = rssi; i < stat_count; ++i)
        if (record.entry[i].id != 0 && record.entry[i].id != static_cast<uint32_t>(i))
            abort();
    return 0;
}
