// An independent, deliberately plain reading of a command-line tail by the POSIX shell's
// rules, to judge the bridge's shell-word check against. Where the outcome depends on the
// device (its users, its files, which shell it has) it says so instead of guessing.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

enum class reading {
    literal,    // exactly one word, the shell passes it on as the model reads it
    changed,    // split, ended, commented out, expanded or cut: never the word as read
    may_change, // expanded on some devices or in some shells: a home directory, a glob, a
                // sequence, a parameter
};

// One character of the word after quote removal, and how it stood in the text.
struct shell_char {
    char c;
    bool bare;    // neither quoted nor escaped
    bool follows; // straight after the previous character, no quote between them
};

// Brace expansion. bash expands from a bare "{" to the first bare "}" of its own level that
// follows a bare "," of that level; a "}" before any "," does not end it. A bare "{", then a
// bare "," or "..", then a bare "}" may be expanded in some shell or version; a sequence
// ("..") also needs ends that suit it.
inline reading brace_reading(const std::vector<shell_char> &w) {
    for (size_t open = 0; open < w.size(); ++open) {
        if (!w[open].bare || w[open].c != '{')
            continue;
        // bash leaves alone a "{}" at the start of a word or after an escaped blank, as in
        // find's "-exec cmd {} ;".
        bool word_start =
            w[open].follows &&
            (open == 0 || (!w[open - 1].bare && (w[open - 1].c == ' ' || w[open - 1].c == '\t')));
        if (word_start && open + 1 < w.size() && w[open + 1].bare && w[open + 1].c == '}' &&
            w[open + 1].follows)
            continue;
        int level = 0;
        bool list = false;
        for (size_t i = open + 1; i < w.size(); ++i) {
            char c = w[i].bare ? w[i].c : 0;
            if (c == '{')
                ++level;
            else if (c == '}' && level > 0)
                --level;
            else if (c == '}' && list)
                return reading::changed;
            else if (c == ',' && level == 0)
                list = true;
        }
    }
    int seen = 0; // 1: a bare "{", 2: and after it a bare "," or ".."
    for (size_t i = 0; i < w.size(); ++i) {
        char c = w[i].bare ? w[i].c : 0;
        bool dots = c == '.' && i > 0 && w[i].follows && w[i - 1].bare && w[i - 1].c == '.';
        if (c == '{' && seen == 0)
            seen = 1;
        else if ((c == ',' || dots) && seen == 1)
            seen = 2;
        else if (c == '}' && seen == 2)
            return reading::may_change;
    }
    return reading::literal;
}

// How the shell reads text (a value with its line end) placed as the last word of a
// command. word receives the text as quote removal alone leaves it (up to an unbalanced
// quote or a cut line).
inline reading shell_reading(std::string_view text, std::string &word) {
    word.clear();
    if (text.empty() || text.back() != '\n')
        return reading::changed;
    text.remove_suffix(1);
    std::vector<shell_char> w;
    bool follows = true;
    bool changed = false, may_change = false;
    auto add = [&](char c, bool bare) {
        w.push_back({c, bare, follows});
        word += c;
        follows = true;
    };
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == std::string_view::npos)
                return reading::changed;
            for (char q : text.substr(i + 1, end - i - 1))
                add(q, false);
            i = end + 1;
            follows = false;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size())
                    return reading::changed;
                c = text[i];
                if (c == '"')
                    break;
                if (c == '$' || c == '`')
                    may_change = true;
                if (c == '\\' && i + 1 < text.size() && strchr("$`\"\\\n", text[i + 1])) {
                    if (text[++i] == '\n')
                        return reading::changed; // joins the next line
                    c = text[i];
                }
                add(c, false);
            }
            ++i;
            follows = false;
        } else if (c == '\\') {
            if (i + 1 == text.size() || text[i + 1] == '\n')
                return reading::changed;
            add(text[i + 1], false);
            i += 2;
        } else {
            // Split, ended or commented out; the word is still read on, for comparison.
            changed = changed || c == '\0' || strchr(" \t\n;&|<>()", c) || (c == '#' && i == 0);
            bool home =
                c == '~' &&
                (i == 0 || (!w.empty() && w.back().bare && follows && strchr("=:", w.back().c)));
            if (home || strchr("*?[$`", c))
                may_change = true;
            add(c, true);
            ++i;
        }
    }
    if (changed || i == 0)
        return reading::changed; // i == 0: no word at all
    reading braces = brace_reading(w);
    if (braces != reading::literal)
        return braces;
    return may_change ? reading::may_change : reading::literal;
}

// Whether the shell certainly reads text as exactly one word, with nothing expanded,
// substituted or run, followed by the end of the command. On true, word holds it.
inline bool shell_reads_one_literal_word(std::string_view text, std::string &word) {
    return shell_reading(text, word) == reading::literal;
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
