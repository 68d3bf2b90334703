// The controller's files in its directory (run_dir), which only root can write: made afresh and
// private to the controller, never following a link, so that whatever was left at a path
// (a file of an earlier run, a link) is never taken for one of them.
#pragma once

// Removes whatever stands at path: a file, a link or an empty directory. False, with errno,
// when something is left there.
bool clear_path(const char *path);
// Makes path afresh, private to us, opened with flags (O_RDONLY or O_WRONLY); -1 with errno.
int create_private(const char *path, int flags);
// Opens path for reading when it holds a plain file of ours (made empty first when create is
// set and nothing is there); whatever else stands there is cleared. -1 when there is no such
// file, with errno ENOENT when there was nothing there at all.
int open_own(const char *path, bool create = false);
// Replaces path by a file holding line and a line end, written whole first at next: the file
// that was there stays until the new one is complete. False, with errno, when it could not.
bool replace_file(const char *path, const char *next, const char *line);
