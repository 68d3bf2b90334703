#include "store_text.h"

#include <climits>
#include <cstring>

namespace {

constexpr bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// Characters that end, split, redirect, expand or glob an unquoted word wherever they stand.
constexpr bool is_special_unquoted(char c) {
    return c == ' ' || strchr(";&|<>()$`*?[", c) != nullptr;
}

// Whether an unquoted, unescaped c changes the word, given whether it starts the word, the
// unquoted character before it and whether a brace list is open.
constexpr bool changes_word(char c, bool at_start, char before, bool brace_listed) {
    return is_special_unquoted(c) ||
           // A comment, only at the start of a word.
           (c == '#' && at_start) ||
           // A home directory at the start, and after "=" or ":" in shells that expand
           // assignment-like words.
           (c == '~' && (at_start || before == '=' || before == ':')) ||
           // The end of a brace expansion.
           (c == '}' && brace_listed);
}

} // namespace

const char *flash_value(const char *key, const char *line) {
    size_t n = strlen(key);
    return strncmp(line, key, n) == 0 && line[n] == '=' ? line + n + 1 : nullptr;
}

bool flash_number(const char *value, int &number) {
    bool negative = *value == '-';
    if (*value == '-' || *value == '+')
        ++value;
    unsigned n = 0;
    const char *digits = value;
    for (; *value >= '0' && *value <= '9'; ++value) {
        auto d = static_cast<unsigned>(*value - '0');
        // Past the int range: no number, never a clamped or wrapped one.
        if (n > (INT_MAX + unsigned{negative} - d) / 10)
            return false;
        n = n * 10 + d;
    }
    if (value == digits || (*value != '\0' && strcmp(value, "\n") != 0))
        return false;
    number = static_cast<int>(negative ? 0u - n : n);
    return true;
}

bool is_shell_word(std::string_view value) {
    // The tool ends its line with a line end; a value without one was cut short.
    if (value.size() < 2 || value.back() != '\n')
        return false;
    value.remove_suffix(1);
    char quote = 0; // the quote character that is open, if any
    char bare = 0;  // the previous character if it stood unquoted and unescaped
    // An unquoted "{", then an unquoted "," or "..": a later unquoted "}" may close a brace
    // expansion (bash takes any "}" after the "," as the end of the list).
    bool brace = false, listed = false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        char before = bare;
        bare = 0;
        if (is_control(c))
            return false;
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
        } else if (c == '\\') {
            // Escapes the next character, in or out of double quotes.
            if (++i == value.size() || is_control(value[i]))
                return false;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '$' || c == '`')
                return false;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (changes_word(c, i == 0, before, listed)) {
            return false;
        } else {
            brace = brace || c == '{';
            listed = listed || (brace && (c == ',' || (c == '.' && before == '.')));
            bare = c;
        }
    }
    return quote == 0;
}

bool same_text_value(const char *a, const char *b) {
    char va[line_size], vb[line_size];
    return is_shell_word(a) && is_shell_word(b) && shell_word_value(a, va) &&
           shell_word_value(b, vb) && strcmp(va, vb) == 0;
}

bool shell_word_value(std::string_view word, char (&value)[line_size]) {
    word.remove_suffix(1);
    size_t n = 0;
    char quote = 0;
    for (size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (quote != '\'' && c == '\\' && i + 1 < word.size() &&
            (quote == 0 || strchr("\\\"$`", word[i + 1]))) {
            c = word[++i];
        } else if ((quote == 0 && (c == '"' || c == '\'')) || c == quote) {
            quote = quote ? '\0' : c;
            continue;
        }
        if (n + 1 >= sizeof value)
            return false;
        value[n++] = c;
    }
    value[n] = '\0';
    return true;
}
