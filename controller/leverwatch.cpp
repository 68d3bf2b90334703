// leverwatch: keeps the device's operating mode in line with the slide switch.

#include "command.h"
#include "log.h"
#include "platform.h"
#include "profile_transfer.h"
#include "signals.h"
#include "store_bridge.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct setting {
    const char *key;
    int value;
};

struct mode {
    int op_mode;  // OP_MODE value of the mode
    int position; // switch position that selects it
    const setting *settings;
    int count;
    const char *announcement;
};

constexpr setting ap_settings[] = {{"OP_MODE", 1},
                                   {"DHCP", 0},
                                   {"WLAN0_MODE", 0},
                                   {"REPEATER_ENABLED1", 0},
                                   {"WLAN0_VAP4_WLAN_DISABLED", 1}};
constexpr setting wisp_settings[] = {{"OP_MODE", 2},
                                     {"DHCP", 2},
                                     {"WLAN0_MODE", 1},
                                     {"REPEATER_ENABLED1", 1},
                                     {"WLAN0_VAP4_WLAN_DISABLED", 0},
                                     {"WAN_DHCP", 1},
                                     {"DNS_MODE", 0}};
constexpr setting router_settings[] = {{"OP_MODE", 0},           {"DHCP", 2},
                                       {"WLAN0_MODE", 0},        {"WAN_DHCP", 1},
                                       {"REPEATER_ENABLED1", 0}, {"WLAN0_VAP4_WLAN_DISABLED", 1}};

template <size_t N> constexpr int count_of(const setting (&)[N]) {
    return static_cast<int>(N);
}

constexpr int max_settings =
    std::max({count_of(ap_settings), count_of(wisp_settings), count_of(router_settings)});

constexpr mode modes[] = {
    {0, position_router, router_settings, count_of(router_settings),
     "Slide Swith change to Router Mode,The Data is %s\n"},
    {1, position_ap, ap_settings, count_of(ap_settings),
     "Slide Switch change to AP mode,The Data is %s\n"},
    {2, position_wisp, wisp_settings, count_of(wisp_settings),
     "Slide Swith change to WISP Mode,The Data is %s\n"},
};

// Every mode writes OP_MODE first, with its own value.
constexpr int op_mode_setting = 0;
constexpr bool op_mode_first() {
    for (const auto &m : modes)
        if (std::string_view(m.settings[op_mode_setting].key) != "OP_MODE" ||
            m.settings[op_mode_setting].value != m.op_mode)
            return false;
    return true;
}
static_assert(op_mode_first(), "a mode's first setting is its OP_MODE");

struct transfer_step {
    int (*operation)(int);
    const char *failure;
};
constexpr transfer_step save_stash{
    restore_wisp_primary_wireless_info,
    "slide switch mode, but restore_wisp_primary_wireless_info  fail!\n"};
constexpr transfer_step copy_ssid{set_wlan_ssid, "slide switch  mode, but set wlan ssid fail!\n"};
constexpr transfer_step copy_security{set_wlan_security,
                                      "slide switch mode, but set wlan security fail!\n"};

// The profiles moved when WISP mode is left or entered. The first steps save a copy of the
// profile that the last ones overwrite, the only other copy of its network: leaving, the
// upstream network goes from the root into the stash before the repeater's home network
// replaces it; entering, the home network goes from the root into the repeater before the
// stash replaces it.
struct profile_move {
    int dir;
    transfer_step steps[3];
    int saving; // how many of the steps save the copy
};
constexpr profile_move leaving_move{leaving_wisp, {save_stash, copy_ssid, copy_security}, 1};
constexpr profile_move entering_move{entering_wisp, {copy_ssid, copy_security, save_stash}, 2};

int op_mode;
int switch_position;
// A change stopped before it overwrote anything is not tried again before this time.
time_t retry_after;

time_t now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec;
}

const mode *mode_at(int position) {
    for (const auto &m : modes)
        if (m.position == position)
            return &m;
    return nullptr;
}

void run_steps(const profile_move &move, int from, int to) {
    for (int i = from; i < to; ++i)
        if (move.steps[i].operation(move.dir) == 0)
            log_repeating("%s", move.steps[i].failure);
}

// Saves the copy, and reads it back: false, with a line naming the key, when the store
// failed to give or take a value of it or does not give the copy back as it was written.
bool saved(const profile_move &move) {
    begin_copy();
    run_steps(move, 0, move.saving);
    const char *why = copy_failure();
    if (!why)
        why = copy_differs();
    if (!why)
        return true;
    log_repeating("mode change stopped before anything was overwritten: %s; trying again in %u s\n",
                  why, change_retry_seconds);
    return false;
}

// Whether OP_MODE reads back as value.
bool op_mode_holds(int value) {
    int stored = 0;
    return get_flash_int_value("OP_MODE", &stored) && stored == value;
}

// Once overwriting has begun the change is carried through: a restart with part of it
// missing would leave the profiles half moved or, before OP_MODE names the new mode, run the
// change again over profiles already moved. What the store did not take is written again
// (the profile moves run again whole: they read only profiles they do not write) until it is.
void carry_through(const profile_move *move, const mode &target) {
    bool rows = move != nullptr;
    std::array<bool, max_settings> pending{};
    std::fill_n(pending.begin(), target.count, true);
    char why[line_size];
    for (;;) {
        why[0] = '\0';
        if (rows) {
            begin_copy();
            run_steps(*move, move->saving, 3);
            const char *failed = copy_failure();
            rows = failed != nullptr;
            if (failed)
                snprintf(why, sizeof why, "%s", failed);
        }
        for (int i = 0; i < target.count; ++i) {
            const setting &s = target.settings[i];
            if (!pending[i])
                continue;
            pending[i] = !flash_set_number(s.key, s.value);
            if (pending[i] && !why[0])
                snprintf(why, sizeof why, "%s could not be written", s.key);
        }
        if (!why[0] && !op_mode_holds(target.op_mode)) {
            snprintf(why, sizeof why, "OP_MODE does not read back as %d", target.op_mode);
            pending[op_mode_setting] = true;
        }
        if (!why[0])
            return;
        log_repeating("%s; writing it again in %u s\n", why, op_mode_retry_seconds);
        sleep(op_mode_retry_seconds);
    }
}

// A file of ours alone in /tmp, opened for reading. Whatever else stands at the path is
// removed and the file made afresh: a link, a FIFO (opened without waiting for a writer),
// or a file of another user, who could hold a lock on it for ever or plant a mark.
int open_private(const char *path) {
    constexpr int flags = O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(path, flags | O_NONBLOCK, 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
        return fd;
    if (fd >= 0)
        close(fd);
    unlink(path);
    return open(path, flags | O_EXCL, 0600);
}

// Whether a controller stopped after it wrote a change left its mark, ours and a plain
// file: the device has not restarted since.
bool restart_due() {
    struct stat st {};
    return lstat(restart_mark_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

[[noreturn]] void restart_device() {
    for (unsigned runs = 0;; ++runs) {
        if (runs == 1)
            log_repeating("no restart %u s after reboot; running it again every %u s\n",
                          reboot_retry_seconds, reboot_retry_seconds);
        run_command(reboot_command);
        sleep(reboot_retry_seconds);
    }
}

// A stop noted during the change ends the controller, by that signal, once the change is
// written: it does not restart the device, but leaves the mark that has the next controller
// do so unless the device restarts first.
void stop_if_held() {
    if (int sig = held_stop()) {
        int fd = open_private(restart_mark_path);
        if (fd >= 0)
            close(fd);
        log_repeating("mode change written; the restart is left to whoever stopped leverwatch\n");
        end_by(sig);
    }
}

// Moves the profiles, writes the target's settings and restarts the device. Returns only
// when the store failed while the copy was being saved: nothing is overwritten then, and the
// change is tried again later from the start. Once overwriting has begun the poll never
// resumes: switch_position is not updated, and another poll would move the profiles again.
void change_to(const mode &target, const char *text) {
    // Held from the change's first read rather than its first write: a change stopped
    // before it overwrote anything just runs again, so holding it too loses nothing.
    hold_stops(true);
    const profile_move *move = switch_position == position_wisp   ? &leaving_move
                               : target.position == position_wisp ? &entering_move
                                                                  : nullptr;
    if (move && !saved(*move)) {
        retry_after = now() + change_retry_seconds;
        hold_stops(false);
        // Nothing that needs a restart is written: a stop noted meanwhile just ends it.
        if (int sig = held_stop())
            end_by(sig);
        return;
    }
    carry_through(move, target);
    log_repeating(target.announcement, text);
    // A stop noted so far, or during the pause, ends it here with no restart.
    stop_if_held();
    sleep(reboot_delay_seconds);
    hold_stops(false);
    stop_if_held();
    restart_device();
}

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
    const mode *target = mode_at(static_cast<int>(p));
    // Checked before any profile moves: an invalid reading repeats at every poll, and a
    // repeated save would overwrite the client stash with the repeater's settings.
    if (!target) {
        log_repeating("Error Flag from Slide_Sw,The Data is %s\n", text);
        return;
    }
    if (now() < retry_after)
        return;
    // A switch caught mid-slide reads the position it passes: wait for it to hold.
    sleep(switch_confirm_seconds);
    long confirmed = 0;
    if (read_switch(text, confirmed) && confirmed == p)
        change_to(*target, text);
}

// Reads OP_MODE and fixes switch_position from it; false when the store gave no value.
bool read_op_mode() {
    if (!get_flash_int_value("OP_MODE", &op_mode))
        return false;
    switch_position = position_router;
    bool known = false;
    for (const auto &m : modes)
        if (m.op_mode == op_mode) {
            switch_position = m.position;
            known = true;
        }
    if (!known)
        log_repeating("Failure for OP Mode\n");
    return true;
}

// Two controllers would share the flash output file and corrupt each other's reads. The
// lock goes with the process, and is not passed on to the commands it starts.
bool only_controller() {
    int fd = open_private(lock_path);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (fd >= 0 && errno == EWOULDBLOCK)
        log_repeating("leverwatch already running on this device (it holds %s), exiting\n",
                      lock_path);
    else
        log_repeating("cannot lock %s: %s, exiting\n", lock_path, strerror(errno));
    return false;
}

} // namespace

int main() {
    open_log(nullptr);
    install_signal_handlers();
    if (!only_controller())
        return 1;
    if (restart_due()) {
        log_repeating(
            "a mode change was written and the device not restarted since; restarting it\n");
        restart_device();
    }

    // Acting on the switch with the mode guessed could enter WISP from WISP and overwrite the
    // repeater profile with the upstream one: wait for the store first.
    const time_t began = now();
    for (bool told = false; !read_op_mode(); told = true) {
        if (!told)
            log_repeating("OP_MODE unreadable, switch ignored until it is read\n");
        if (now() - began >= static_cast<time_t>(op_mode_wait_seconds)) {
            log_repeating("OP_MODE still unreadable, taken as Router\n");
            switch_position = position_router;
            break;
        }
        sleep(poll_seconds);
    }
    for (;;) {
        leverwatch();
        log_dropped();
        sleep(poll_seconds);
    }
}
