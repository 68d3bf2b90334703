// An independent, deliberately plain reading of a command-line tail by the POSIX shell's
// rules, to judge the bridge's shell-word check against. It is stricter than the shell
// where that is simpler (any "[" counts as a glob) and never more lenient.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

// Whether the shell reads text (a value with its line end) as exactly one word, with
// nothing expanded, substituted or run, followed by the end of the command. On true,
// word holds the argument the shell passes on.
inline bool shell_reads_one_literal_word(std::string_view text, std::string &word) {
    word.clear();
    if (text.empty() || text.back() != '\n')
        return false;
    text.remove_suffix(1);
    bool started = false; // a pair of quotes alone already makes a (empty) word
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == std::string_view::npos)
                return false;
            word.append(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size())
                    return false;
                c = text[i];
                if (c == '"')
                    break;
                if (c == '$' || c == '`')
                    return false;
                if (c == '\\' && i + 1 < text.size() && strchr("$`\"\\\n", text[i + 1])) {
                    if (text[++i] == '\n')
                        return false; // joins the next line
                    c = text[i];
                }
                word += c;
            }
            ++i;
        } else if (c == '\\') {
            if (i + 1 == text.size() || text[i + 1] == '\n')
                return false;
            word += text[i + 1];
            i += 2;
        } else if (c == '\0' || strchr(" \t\n;&|<>()$`*?[", c) ||
                   (!started && (c == '#' || c == '~'))) {
            return false; // split, ended, expanded, globbed; a comment or the home directory
        } else {
            word += c;
            ++i;
        }
        started = true;
    }
    return started;
}

// A value as the flash tool prints a text setting: in double quotes, with the characters
// the shell still reads inside them escaped, and its line end.
inline std::string tool_quoted(std::string_view value) {
    std::string text = "\"";
    for (char c : value) {
        if (strchr("\\\"$`", c) && c != '\0')
            text += '\\';
        text += c;
    }
    return text + "\"\n";
}
