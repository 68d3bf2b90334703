// leverwatch: keeps the device's operating mode in line with the slide switch.

#include "backoff.h"
#include "change_record.h"
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
#include <sys/stat.h>
#include <unistd.h>

// Named by the build: the store key that holds the change owed, or none.
const char change_key[] = LEVERWATCH_CHANGE_KEY;

namespace {

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

// Anyone else able to write in the controller's directory could block or forge its files.
bool own_directory() {
    struct stat st {};
    int fd = open(run_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // fstat on a descriptor, as elsewhere: stat would be one more import in a tight binary.
    bool own = fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
               !(st.st_mode & (S_IWGRP | S_IWOTH));
    if (fd >= 0)
        close(fd);
    if (own)
        return true;
    log_repeating("%s is not root's alone, exiting\n", run_dir);
    return false;
}

// Two controllers would share the flash output file and corrupt each other's reads. The
// lock goes with the process, and is not passed on to the commands it starts.
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

// What the store says of the device: a change or restart owed is carried out; otherwise the
// mode that OP_MODE names and its settings tell becomes switch_position. False, with a line,
// while that cannot be known.
bool settle() {
    change_record owed = read_record();
    switch (owed.kind) {
    case finish_owed:
        finish_change(owed.from, owed.to);
    case restart_owed:
        log_repeating(
            "a mode change was written and the device not restarted since; restarting it\n");
        restart_device();
    case record_unreadable:
        log_repeating("%s unreadable, switch ignored until it is read\n", record_place());
        return false;
    case nothing_owed:
        break;
    }
    int op_mode = 0;
    if (!read_number("OP_MODE", op_mode)) {
        log_repeating("%s unreadable, switch ignored until it is read\n", "OP_MODE");
        return false;
    }
    int position = position_of(op_mode);
    if (!position || !settings_tell(position))
        return false;
    switch_position = position;
    return true;
}

} // namespace

int main() {
    open_log(nullptr);
    install_signal_handlers();
    if (!own_directory() || !only_controller())
        return 1;
    // Acting on the switch with the mode guessed could enter WISP from WISP and overwrite the
    // repeater profile with the upstream one: the switch waits, however long, for the store to
    // tell what the device is.
    for (backoff wait{op_mode_retry_first_seconds, op_mode_retry_last_seconds}; !settle();)
        sleep(wait.next());
    for (;;) {
        leverwatch();
        log_dropped();
        sleep(poll_seconds);
    }
}
