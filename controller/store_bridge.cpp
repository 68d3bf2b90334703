#include "store_bridge.h"

#include "command.h"
#include "log.h"
#include "platform.h"
#include "signals.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Makes the read's output file afresh, private to us. Whatever was left at the path (a
// link, a FIFO) is removed rather than followed.
bool fresh_output_file() {
    unlink(flash_output_path);
    int fd = open(flash_output_path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Runs one flash command for KEY; false, with a line naming the key, when it could not run
// or ran past its time limit.
// The tool promises no exit status, but one that reports a failure is taken at its word.
bool run_flash(const char *verb, const char *key, const char *command) {
    int status = 0;
    switch (run_command(command, &status)) {
    case command_done:
        return true;
    case command_failed:
        log_repeating("flash %s %s: exited with status %d\n", verb, key, status);
        return false;
    case command_timed_out:
        log_repeating("flash %s %s: no answer within %u s, ended\n", verb, key,
                      command_limit_seconds);
        return false;
    case command_not_run:
        break;
    }
    return false;
}

// Runs the flash tool for KEY and leaves the first line of its output in line.
bool read_value_line(const char *key, char (&line)[line_size]) {
    char command[command_size] = {};
    int n = snprintf(command, sizeof command, flash_get_pattern, key, flash_output_path);
    if (n < 0 || n >= command_size) {
        log_repeating("flash get %s refused: command too long\n", key);
        return false;
    }
    memset(line, 0, sizeof line);
    output_in_use = 1;
    FILE *f = fresh_output_file() && run_flash("get", key, command) ? fopen(flash_output_path, "r")
                                                                    : nullptr;
    char *got = f ? fgets(line, sizeof line, f) : nullptr;
    if (f)
        fclose(f);
    // Values include pre-shared keys: none stays in /tmp.
    unlink(flash_output_path);
    output_in_use = 0;
    return got != nullptr;
}

// Runs a write formatted into command as n characters.
bool run_set(const char *key, const char *command, int n) {
    // Never truncate: a shortened value would be a different value, or a broken command.
    if (n < 0 || n >= command_size) {
        log_repeating("flash set %s refused: command too long\n", key);
        return false;
    }
    return run_flash("set", key, command);
}

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

// The characters the shell reads from a value that is_shell_word accepts, quotes, escapes
// and the line end removed, into value; false if they do not fit.
bool word_value(std::string_view word, char (&value)[line_size]) {
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

} // namespace

const char *flash_value(const char *line) {
    const char *eq = strchr(line, '=');
    return eq ? eq + 1 : nullptr;
}

int flash_number(const char *value) {
    // By hand rather than strtol, which would set errno: this stays free of side effects.
    while (*value == ' ' || (*value >= '\t' && *value <= '\r'))
        ++value;
    bool negative = *value == '-';
    if (*value == '-' || *value == '+')
        ++value;
    constexpr long long limit = INT_MAX + 1LL;
    long long n = 0;
    for (; *value >= '0' && *value <= '9'; ++value)
        if ((n = n * 10 + (*value - '0')) > limit)
            n = limit;
    if (negative)
        return static_cast<int>(-n);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
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
    return is_shell_word(a) && is_shell_word(b) && word_value(a, va) && word_value(b, vb) &&
           strcmp(va, vb) == 0;
}

int get_flash_int_value(const char *key, int *dest) {
    char line[line_size];
    const char *value = read_value_line(key, line) ? flash_value(line) : nullptr;
    if (!value)
        return 0;
    *dest = flash_number(value);
    return 1;
}

int get_flash_char_value(const char *key, char *dest) {
    char line[line_size];
    const char *value = read_value_line(key, line) ? flash_value(line) : nullptr;
    if (!value)
        return 0;
    memcpy(dest, value, strlen(value) + 1);
    return 1;
}

bool flash_set_number(const char *key, int value) {
    char command[command_size] = {};
    return run_set(key, command,
                   snprintf(command, sizeof command, flash_set_number_pattern, key, value));
}

bool flash_set_word(const char *key, const char *word) {
    char command[command_size] = {};
    return run_set(key, command,
                   snprintf(command, sizeof command, flash_set_text_pattern, key, word));
}

bool flash_set_text(const char *key, const char *value) {
    // Longer than any setting the tool prints: not a value it gave, whatever the key.
    if (strlen(value) > longest_value) {
        log_repeating("flash set %s refused: value too long\n", key);
        return false;
    }
    // The value goes into a shell command line: nothing the store returns may run.
    if (!is_shell_word(value)) {
        log_repeating("flash set %s refused: value is not one plain shell word\n", key);
        return false;
    }
    return flash_set_word(key, value);
}
