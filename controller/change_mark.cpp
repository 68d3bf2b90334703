#include "change_mark.h"

#include "log.h"
#include "platform.h"
#include "private_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The mark: the boot's id, then the positions the change runs from and to ("0 0" once it is
// written and only the restart is owed).
constexpr int mark_size = boot_id_size - 1 + sizeof " 1 2\n" - 1;

// The running boot's id, or an empty text when the kernel does not give one: no mark
// written then counts in any boot.
void read_boot_id(char (&id)[boot_id_size]) {
    id[0] = '\0';
    int fd = open(boot_id_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, id, sizeof id - 1);
    close(fd);
    id[n == boot_id_size - 1 ? n : 0] = '\0';
}

} // namespace

change_mark read_mark() {
    char text[mark_size + 1] = {};
    int fd = open_own(restart_mark_path);
    if (fd < 0)
        return {no_mark, 0, 0};
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    char id[boot_id_size];
    read_boot_id(id);
    const char *at = text + boot_id_size - 1;
    int from = at[1] - '0', to = at[3] - '0';
    if (n == mark_size && id[0] && strncmp(text, id, boot_id_size - 1) == 0 && at[0] == ' ' &&
        at[2] == ' ' && at[4] == '\n') {
        if (from == 0 && to == 0)
            return {restart_mark, 0, 0};
        if (from != to && from >= 1 && from <= 3 && to >= 1 && to <= 3)
            return {finish_mark, from, to};
    }
    log_repeating("removed %s, left by an earlier boot\n", restart_mark_path);
    clear_path(restart_mark_path);
    return {no_mark, 0, 0};
}

bool write_mark(const change_mark &mark) {
    char id[boot_id_size], text[mark_size + 1];
    read_boot_id(id);
    int n = snprintf(text, sizeof text, "%s %d %d\n", id, mark.from, mark.to);
    int fd = create_private(restart_mark_path, O_WRONLY);
    bool written = fd >= 0 && n > 0 && write(fd, text, static_cast<size_t>(n)) == n;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (!written)
        log_repeating("cannot write %s: %s\n", restart_mark_path, strerror(saved));
    return written;
}
