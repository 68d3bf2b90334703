#include "store_bridge.h"

#include "command.h"
#include "log.h"
#include "platform.h"
#include "private_file.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The first failure since forget_failure, naming its key (or the record's file); empty while
// nothing failed.
char failure[std::max(longest_key + 1, static_cast<int>(sizeof change_record_path)) + 40];
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
