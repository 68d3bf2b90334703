// The check that keeps stored values from running as commands.
#include "store_bridge.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string value(reinterpret_cast<const char *>(data), size);
    if (!is_shell_word(value))
        return 0;
    // An accepted value is one line: the tool's line end last, no other control byte.
    if (value.back() != '\n')
        abort();
    for (size_t i = 0; i + 1 < value.size(); ++i)
        if (static_cast<unsigned char>(value[i]) < 0x20 || value[i] == 0x7f)
            abort();
    // It ends outside any quote: whatever follows it is read by the shell as shell.
    std::string word = value.substr(0, value.size() - 1);
    for (const char *tail : {";id", "&id", "|id", " id", "$(id)", "`id`", "\"$(id)\""})
        if (is_shell_word(word + tail + "\n"))
            abort();
    return 0;
}
