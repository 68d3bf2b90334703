// A value line as the bridge reads it: at most line_size - 1 characters of the tool's first
// line.
#include "platform.h"
#include "store_bridge.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char line[line_size] = {};
    memcpy(line, data, size < line_size - 1 ? size : line_size - 1);
    const char *value = flash_value(line);
    if (!value) {
        if (strchr(line, '='))
            abort();
        return 0;
    }
    if (value <= line || value[-1] != '=' || memchr(line, '=', value - line - 1))
        abort(); // the value starts right after the first "="

    // Reads as atoi would, with figures beyond int clamped rather than overflowing.
    long long expected = strtoll(value, nullptr, 10);
    expected = expected < INT_MIN ? INT_MIN : expected > INT_MAX ? INT_MAX : expected;
    if (flash_number(value) != expected)
        abort();
    return 0;
}
