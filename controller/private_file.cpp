#include "private_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool clear_path(const char *path) {
    return unlink(path) == 0 || errno == ENOENT || rmdir(path) == 0;
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
    // What is not ours (a link, a directory, a FIFO) is no file of ours: cleared, nothing is there.
    if ((fd >= 0 || saved == ELOOP) && clear_path(path))
        saved = ENOENT;
    errno = saved;
    return -1;
}

bool replace_file(const char *path, const char *next, const char *line) {
    size_t size = strlen(line);
    int fd = create_private(next, O_WRONLY);
    // A short write, on a filesystem with no room left, sets no errno of its own.
    errno = ENOSPC;
    bool whole =
        fd >= 0 && write(fd, line, size) == static_cast<ssize_t>(size) && write(fd, "\n", 1) == 1;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (whole && rename(next, path) == 0)
        return true;
    saved = whole ? errno : saved;
    unlink(next);
    errno = saved;
    return false;
}
