#include "private_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool clear_path(const char *path) {
    if (unlink(path) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    static unsigned moved;
    char aside[64];
    int n = snprintf(aside, sizeof aside, "%s.%d.%u.removed", path, static_cast<int>(getpid()),
                     moved++);
    if (n < 0 || n >= static_cast<int>(sizeof aside) || rename(path, aside) != 0)
        return false;
    // An empty one is gone for good; one holding files stays aside, its maker's to remove.
    rmdir(aside);
    return true;
}

int create_private(const char *path, int flags) {
    if (!clear_path(path))
        return -1;
    return open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int open_own(const char *path, bool create) {
    // Not following a link, and not waiting for a FIFO's writer.
    int fd =
        open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
        return fd;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (fd >= 0 || saved != ENOENT)
        clear_path(path);
    errno = saved;
    return -1;
}
