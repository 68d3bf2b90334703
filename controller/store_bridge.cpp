#include "store_bridge.h"

#include "command.h"
#include "log.h"
#include "platform.h"
#include "private_file.h"
#include "signals.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The first failure since forget_failure, naming its key (or the record's file); empty while
// nothing failed.
char failure[sizeof change_record_path + 40];
bool retrying;

// Makes the read's output file afresh, private to us, whatever was left at the path. A
// directory with no room for the tool's line would leave it empty, which nothing else would
// explain: a line of our own is written first (the tool's output replaces it).
bool fresh_output_file() {
    int fd = create_private(flash_output_path, O_WRONLY);
    bool room = fd >= 0 && write(fd, "\n", 1) == 1;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (!room)
        log_repeating("cannot write %s: %s\n", flash_output_path, strerror(saved));
    return room;
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

// Runs the flash tool for KEY and leaves the first line of its output in line, cut to fit as
// fgets would cut it.
bool read_value_line(const char *key, char (&line)[line_size]) {
    char command[command_size] = {};
    int n = snprintf(command, sizeof command, flash_get_pattern, key, flash_output_path);
    if (n < 0 || n >= command_size) {
        log_repeating("flash get %s refused: command too long\n", key);
        return false;
    }
    memset(line, 0, sizeof line);
    output_in_use = 1;
    int fd = fresh_output_file() && run_flash("get", key, command)
                 ? open(flash_output_path, O_RDONLY | O_CLOEXEC)
                 : -1;
    ssize_t got = fd >= 0 ? read(fd, line, sizeof line - 1) : -1;
    if (fd >= 0)
        close(fd);
    // Values include pre-shared keys: none stays behind.
    unlink(flash_output_path);
    output_in_use = 0;
    // The first line alone, as fgets reads it.
    if (char *end = got > 0 ? strchr(line, '\n') : nullptr)
        end[1] = '\0';
    return got > 0;
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

} // namespace

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

namespace {

// Whether KEY reads back as the text value, spelled as the tool likes.
bool reads_back(const char *key, const char *value) {
    char back[line_size] = {};
    return get_flash_char_value(key, back) && same_text_value(back, value);
}

// A write of a value as the tool prints it, line end included, that counts once the key reads
// back as written; while retrying, one the store already holds is not issued again.
bool verified(const char *key, const char *printed) {
    if (retrying && reads_back(key, printed))
        return true;
    if (!flash_set_text(key, printed))
        return note_failure(key, "could not be written");
    return reads_back(key, printed) || note_failure(key, "does not read back as written");
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

int get_flash_char_value(const char *key, char *dest) {
    char line[line_size];
    const char *value = read_value_line(key, line) ? flash_value(key, line) : nullptr;
    if (!value || value[0] == '\0' || strcmp(value, "\n") == 0)
        return 0;
    memcpy(dest, value, strlen(value) + 1);
    return 1;
}

// A number is a text value that is a whole number: an empty one is none.
int get_flash_int_value(const char *key, int *dest) {
    char value[line_size] = {};
    return get_flash_char_value(key, value) && flash_number(value, *dest) ? 1 : 0;
}

bool read_number(const char *key, int &value) {
    int first = 0, second = 0;
    if (!get_flash_int_value(key, &first) || !get_flash_int_value(key, &second))
        return note_failure(key, "could not be read");
    if (first != second)
        return note_failure(key, "read two different values");
    value = first;
    return true;
}

bool read_text(const char *key, char *value) {
    char first[line_size] = {}, second[line_size] = {};
    if (!get_flash_char_value(key, first) || !get_flash_char_value(key, second))
        return note_failure(key, "could not be read");
    if (strcmp(first, second) != 0)
        return note_failure(key, "read two different values");
    memcpy(value, first, sizeof first);
    return true;
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
    char command[command_size] = {};
    return run_set(key, command, snprintf(command, sizeof command, flash_set_pattern, key, value));
}

bool write_number(const char *key, int value) {
    char printed[16];
    snprintf(printed, sizeof printed, "%d\n", value);
    return verified(key, printed);
}

bool write_text(const char *key, const char *printed) {
    return verified(key, printed);
}

bool write_word(const char *key, const char *word) {
    char printed[line_size];
    snprintf(printed, sizeof printed, "%s\n", word);
    return verified(key, printed);
}

only_what_store_lacks::only_what_store_lacks(bool on) : was(retrying) {
    retrying = on;
}

only_what_store_lacks::~only_what_store_lacks() {
    retrying = was;
}

const char *store_failure() {
    return failure[0] ? failure : nullptr;
}

void forget_failure() {
    failure[0] = '\0';
}

bool note_failure(const char *what, const char *how) {
    if (!failure[0])
        snprintf(failure, sizeof failure, "%s %s", what, how);
    return false;
}
