// The bridge to the device's configuration store: every read and write goes through the
// platform's flash tool, started through the shell.
#pragma once

#include "platform.h"
#include "store_text.h"

// Reads KEY as a number. 1 and the value in *dest, or 0 with *dest untouched: no answer, no
// value, or a value that is not a whole number is no number at all, never 0.
int get_flash_int_value(const char *key, int *dest);
// Reads KEY as text into a cleared dest of line_size bytes: the tool's text after "=",
// quotes and line end included. 1 on success, 0 with dest untouched (an empty value too).
int get_flash_char_value(const char *key, char *dest);

// Every read and write runs the tool with a time limit: one that ran past it prints a line
// naming the key, and counts as a read with no value or a write that failed.

// What a change relies on. A value counts only when two reads in a row give it, so a store
// that misreads once is never believed; a write counts only once the key reads back as
// written.
bool read_number(const char *key, int &value);
bool read_text(const char *key, char *value);
// Writes a number; a text value read from the store, line end included, which must be one safe
// shell word (see is_shell_word) no longer than the longest legal setting (a refused one prints
// a line naming the key); or a word of our own.
bool write_number(const char *key, int value);
bool write_text(const char *key, const char *printed);
bool write_word(const char *key, const char *word);
// While one lives, a write the store already holds is not issued again: an attempt that runs
// a change again writes only what the store did not take.
struct only_what_store_lacks {
    explicit only_what_store_lacks(bool on);
    ~only_what_store_lacks();
    only_what_store_lacks(const only_what_store_lacks &) = delete;
    only_what_store_lacks &operator=(const only_what_store_lacks &) = delete;
    bool was;
};
// The first read or write that failed since forget_failure, as a text naming its key ("KEY
// could not be read", "KEY could not be written", "KEY does not read back as written"), or
// nullptr. note_failure records one of the caller's own ("WHAT HOW"); false.
const char *store_failure();
void forget_failure();
bool note_failure(const char *what, const char *how);

// Writes "flash set KEY VALUE" once, VALUE as the tool prints it: the shell ends the command
// at its line end. Unchecked but for the tool's exit status; false if the value is refused, the
// command would not fit or failed.
bool flash_set_text(const char *key, const char *value);
