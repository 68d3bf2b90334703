// leverwatch: keeps the device's operating mode in line with the slide switch.

#include "change_mark.h"
#include "log.h"
#include "mode_change.h"
#include "platform.h"
#include "private_file.h"
#include "signals.h"
#include "store_bridge.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int op_mode;
int switch_position;

// Reads the first line of the switch file, at most 9 characters, as fgets would, and its
// position. One open, read and close: a settled controller costs nothing more every poll.
bool read_switch(char (&text)[switch_text_size], long &p) {
    int fd = open(slide_switch_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    // A file that yields no line reads as empty text, which is no valid position.
    text[n > 0 ? n : 0] = '\0';
    if (char *end = strchr(text, '\n'))
        end[1] = '\0';
    p = strtol(text, nullptr, 10);
    return true;
}

void leverwatch() {
    char text[switch_text_size] = {};
    long p = 0;
    if (!read_switch(text, p)) {
        log_repeating("read gpio error\n");
        return;
    }
    if (p == switch_position)
        return;
    // Checked before any profile moves: an invalid reading repeats at every poll, and a
    // repeated save would overwrite the client stash with the repeater's settings.
    if (!is_position(p)) {
        log_repeating("Error Flag from Slide_Sw,The Data is %s\n", text);
        return;
    }
    if (!change_due())
        return;
    // A switch caught mid-slide reads the position it passes: wait for it to hold.
    sleep(switch_confirm_seconds);
    long confirmed = 0;
    if (read_switch(text, confirmed) && confirmed == p)
        change_to(switch_position, static_cast<int>(p), text);
}

// Two controllers would share the flash output file and corrupt each other's reads. The
// lock goes with the process, and is not passed on to the commands it starts. Whatever
// another user left at its path is removed, so nobody else can hold the controller off.
bool only_controller() {
    int fd = open_own(lock_path, true);
    if (fd < 0)
        fd = create_private(lock_path, O_RDONLY);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (fd >= 0 && errno == EWOULDBLOCK)
        log_repeating("leverwatch already running on this device (it holds %s), exiting\n",
                      lock_path);
    else
        log_repeating("cannot lock %s: %s, exiting\n", lock_path, strerror(errno));
    return false;
}

// Reads the mode the store holds into switch_position: false, with a line, while the store
// gives no OP_MODE or one that names no mode.
bool read_mode() {
    if (!read_number("OP_MODE", op_mode)) {
        log_repeating("OP_MODE unreadable, switch ignored until it is read\n");
        return false;
    }
    switch_position = position_of(op_mode);
    return switch_position != 0;
}

} // namespace

int main() {
    open_log(nullptr);
    install_signal_handlers();
    if (!only_controller())
        return 1;
    change_mark mark = read_mark();
    if (mark.kind == finish_mark)
        finish_change(mark.from, mark.to);
    if (mark.kind == restart_mark) {
        log_repeating(
            "a mode change was written and the device not restarted since; restarting it\n");
        restart_device();
    }

    // Acting on the switch with the mode guessed could enter WISP from WISP and overwrite the
    // repeater profile with the upstream one: the switch waits for the store, however long,
    // to give an OP_MODE that names a mode.
    for (unsigned wait = op_mode_retry_first_seconds; !read_mode();
         wait = wait < op_mode_retry_last_seconds / 2 ? 2 * wait : op_mode_retry_last_seconds)
        sleep(wait);
    for (;;) {
        leverwatch();
        log_dropped();
        sleep(poll_seconds);
    }
}
