// The texts the store prints, read without running anything: the value on a key's line, a
// whole number, and a value as the one shell word it must be to pass into a command line.
#pragma once

#include "platform.h"

#include <string_view>

// The value on the tool's line for KEY: the text after "KEY=", or nullptr for a line of
// anything else (a garbled line, another key's).
const char *flash_value(const char *key, const char *line);
// A value as a whole decimal number (a sign, digits, the line end): false for an empty value,
// one that is not a number or one past the range of an int.
bool flash_number(const char *value, int &number);
// Whether a value read from the store, line end included, is exactly one shell word that
// the shell reads back with nothing expanded or run: quotes balanced, no unescaped $ or
// backquote outside single quotes, no unquoted blank, operator or glob character, no
// unquoted "#" or "~" at its start, no unquoted "~" right after an unquoted "=" or ":", no
// unquoted "{" followed by an unquoted "," or ".." and then an unquoted "}", and nothing
// after the word but the tool's line end.
bool is_shell_word(std::string_view value);
// The characters the shell reads from a value that is_shell_word accepts (quotes, escapes and
// the line end removed), into value; false if they do not fit.
bool shell_word_value(std::string_view word, char (&value)[line_size]);
// Whether two text values read from the store carry the same setting: both are safe words
// and the shell reads the same characters from them, however the tool quoted or escaped
// them (it promises one word, not one spelling).
bool same_text_value(const char *a, const char *b);
