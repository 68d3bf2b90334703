// A value line as the bridge reads it: at most line_size - 1 characters of the tool's first
// line, for the key KEY.
#include "platform.h"
#include "store_text.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char line[line_size] = {};
    memcpy(line, data, size < line_size - 1 ? size : line_size - 1);
    const char *value = flash_value("KEY", line);
    if (!value) {
        if (strncmp(line, "KEY=", 4) == 0)
            abort();
        return 0;
    }
    if (value != line + 4)
        abort(); // the value starts right after "KEY="

    // A number only when the whole value is one, in range, as strtoll reads it.
    char *end = nullptr;
    errno = 0;
    long long expected = strtoll(value, &end, 10);
    bool whole = end != value && (*end == '\0' || strcmp(end, "\n") == 0) && errno == 0 &&
                 expected >= INT_MIN && expected <= INT_MAX && value[0] != ' ' &&
                 !(value[0] >= '\t' && value[0] <= '\r');
    int n = 0;
    if (flash_number(value, n) != whole || (whole && n != expected))
        abort();
    return 0;
}
