// The check that keeps stored values from running as commands, judged against an
// independent reading of the shell's rules.
#include "shell_model.h"
#include "store_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool printable(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::string word;

    // Sound: whatever the check lets through, the shell reads as one plain word.
    if (is_shell_word(input)) {
        if (!shell_reads_one_literal_word(input, word))
            abort();
        // And it ends outside any quote: what would follow it is read as shell.
        std::string bare(input.substr(0, size - 1));
        for (const char *tail : {";id", "&id", "|id", " id", "$(id)", "`id`", "\"$(id)\""})
            if (is_shell_word(bare + tail + "\n"))
                abort();
    }

    // Not too strict: a printable value that the shell reads as one plain word passes, bare
    // or quoted.
    if (printable(input.substr(0, size - 1)) && shell_reads_one_literal_word(input, word) &&
        !is_shell_word(input))
        abort();

    // And any printable setting, as the tool quotes it, passes and reads back as exactly
    // itself.
    if (printable(input)) {
        std::string quoted = tool_quoted(input);
        if (!is_shell_word(quoted) || !shell_reads_one_literal_word(quoted, word) || word != input)
            abort();
    }
    return 0;
}
