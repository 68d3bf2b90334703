// The shell model that the shell-word check is judged against, judged in turn against the
// shells a device may run commands with: busybox sh, dash and bash in POSIX mode. Each value
// is placed as the last word of a printf command, as it is placed in "flash set KEY VALUE".
#include "shell_model.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const shells[][4] = {
    {"busybox", "sh", "-c", nullptr}, {"dash", "-c", nullptr}, {"bash", "--posix", "-c", nullptr}};

// Only values whose every possible reading is this one printf command are run: nothing in
// them can end the command, substitute one or redirect.
bool harmless(std::string_view text) {
    if (text.size() < 2 || text.size() > 64 || text.back() != '\n')
        return false;
    for (char c : text.substr(0, text.size() - 1))
        if ((static_cast<unsigned char>(c) < 0x20 || c == 0x7f) || strchr(";&|<>()$`", c))
            return false;
    return true;
}

// What the shell prints for the command "printf '<%s>' - VALUE" followed by "printf '#'":
// each argument framed, then the end mark.
std::string printed_by(const char *const (&shell)[4], const std::string &script) {
    std::vector<char *> argv;
    for (const char *a : shell)
        if (a)
            argv.push_back(const_cast<char *>(a));
    argv.push_back(const_cast<char *>(script.c_str()));
    argv.push_back(nullptr);
    // Nothing to find on PATH, a home directory that shows when it is expanded.
    char *env[] = {const_cast<char *>("PATH=/nonexistent"),
                   const_cast<char *>("HOME=/home-was-expanded"), const_cast<char *>("LC_ALL=C"),
                   nullptr};
    int out[2];
    if (pipe(out) != 0)
        abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env) != 0)
        abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return got;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::string word;
    if (!harmless(input))
        return 0;
    reading r = shell_reading(input, word);
    if (r == reading::may_change)
        return 0;
    std::string script = "printf '<%s>' - " + std::string(input) + "printf '#'\n";
    std::string literal = "<-><" + word + ">#";
    bool all_literal = true;
    for (const auto &shell : shells) {
        std::string got = printed_by(shell, script);
        // Sound: what the model reads as one plain word, every shell passes on unchanged.
        if (r == reading::literal && got != literal) {
            fprintf(stderr, "%s %s printed %s for %s", shell[0], shell[1], got.c_str(),
                    std::string(input).c_str());
            abort();
        }
        all_literal = all_literal && got == literal;
    }
    // And not too strict: what the model says the shell changes, some shell does change.
    if (r == reading::changed && all_literal) {
        fprintf(stderr, "every shell read %s as %s", std::string(input).c_str(), literal.c_str());
        abort();
    }
    return 0;
}
