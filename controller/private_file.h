// The controller's files in /tmp, where every local user may leave anything at any path: each
// is made afresh and private to the controller, whatever stood there before, so nobody else can
// hold the controller off, silence a read or forge or suppress a mark.
#pragma once

// Frees path: a file, link or FIFO there is removed; a directory, which may hold another user's
// files, is moved aside rather than walked (root must not follow what another user can change
// meanwhile). False, with errno, when the path cannot be freed.
bool clear_path(const char *path);
// Makes path afresh, private to us, opened with flags (O_RDONLY or O_WRONLY); -1 with errno.
int create_private(const char *path, int flags);
// Opens path for reading when it holds a plain file of ours (made empty first when create is
// set and nothing is there); whatever else stands there is cleared. -1 when there is no such
// file.
int open_own(const char *path, bool create = false);
