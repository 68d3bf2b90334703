// The bridge to the device's configuration store: every read and write goes through the
// platform's flash tool, started through the shell.
#pragma once

#include <string_view>

// Reads KEY as a number. 1 and the value in *dest, or 0 with *dest untouched.
int get_flash_int_value(const char *key, int *dest);
// Reads KEY as text into a cleared dest of line_size bytes: the tool's text after "=",
// quotes and line end included. 1 on success, 0 with dest untouched.
int get_flash_char_value(const char *key, char *dest);

// Every read and write runs the tool with a time limit: one that ran past it prints a line
// naming the key, and counts as a read with no value or a write that failed.

// Writes "flash set KEY VALUE" with a number. False if the command would not fit.
bool flash_set_number(const char *key, int value);
// Writes "flash set KEY VALUE" with a text value read from the store, which must be one
// safe shell word (see is_shell_word) no longer than the longest legal setting. A refused
// write prints a line naming the key.
bool flash_set_text(const char *key, const char *value);
// Writes a fixed text of our own, one that is known to be a safe word.
bool flash_set_word(const char *key, const char *word);

// The value on a value line: the text after its first "=", or nullptr if it has none.
const char *flash_value(const char *line);
// A value read as a number the way atoi does, without overflowing: out-of-range figures
// are clamped.
int flash_number(const char *value);
// Whether a value read from the store, line end included, is exactly one shell word that
// the shell reads back with nothing expanded or run: quotes balanced, no unescaped $ or
// backquote outside single quotes, no unquoted blank, operator or glob character, no
// unquoted "#" or "~" at its start, no unquoted "~" right after an unquoted "=" or ":", no
// unquoted "{" followed by an unquoted "," or ".." and then an unquoted "}", and nothing
// after the word but the tool's line end.
bool is_shell_word(std::string_view value);
// Whether two text values read from the store carry the same setting: both are safe words
// and the shell reads the same characters from them, however the tool quoted or escaped
// them (it promises one word, not one spelling).
bool same_text_value(const char *a, const char *b);
