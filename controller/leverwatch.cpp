// leverwatch: keeps the device's operating mode in line with the slide switch.

#include "command.h"
#include "platform.h"
#include "profile_transfer.h"
#include "signals.h"
#include "store_bridge.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

constexpr mode modes[] = {
    {0, position_router, router_settings, count_of(router_settings),
     "Slide Swith change to Router Mode,The Data is %s\n"},
    {1, position_ap, ap_settings, count_of(ap_settings),
     "Slide Switch change to AP mode,The Data is %s\n"},
    {2, position_wisp, wisp_settings, count_of(wisp_settings),
     "Slide Swith change to WISP Mode,The Data is %s\n"},
};

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
constexpr transfer_step leaving_steps[] = {save_stash, copy_ssid, copy_security};
constexpr transfer_step entering_steps[] = {copy_ssid, copy_security, save_stash};

int op_mode;
int switch_position;
char stdout_buffer[256];

const mode *mode_at(int position) {
    for (const auto &m : modes)
        if (m.position == position)
            return &m;
    return nullptr;
}

void move_profiles(const transfer_step (&steps)[3], int dir) {
    for (const auto &step : steps)
        if (step.operation(dir) == 0)
            fputs(step.failure, stdout);
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

// Moves the profiles, writes the target's settings and restarts the device. The poll
// never resumes: switch_position is not updated, and another poll would move the profiles
// again.
[[noreturn]] void change_to(const mode &target, const char *text) {
    // Held from the change's first read rather than its first write: a change stopped
    // before it wrote anything would just run again, so holding it too loses nothing.
    hold_stops(true);
    if (switch_position == position_wisp)
        move_profiles(leaving_steps, leaving_wisp);
    if (target.position == position_wisp)
        move_profiles(entering_steps, entering_wisp);
    for (int i = 0; i < target.count; ++i)
        flash_set_number(target.settings[i].key, target.settings[i].value);
    printf(target.announcement, text);
    // A stop noted so far, or during the pause, ends it here with no restart.
    stop_if_held();
    sleep(reboot_delay_seconds);
    hold_stops(false);
    stop_if_held();
    for (unsigned runs = 0;; ++runs) {
        if (runs == 1)
            printf("no restart %u s after reboot; running it again every %u s\n",
                   reboot_retry_seconds, reboot_retry_seconds);
        run_command(reboot_command);
        sleep(reboot_retry_seconds);
    }
}

void leverwatch() {
    char text[switch_text_size] = {};
    long p = 0;
    if (!read_switch(text, p)) {
        fputs("read gpio error\n", stdout);
        return;
    }
    if (p == switch_position)
        return;
    const mode *target = mode_at(static_cast<int>(p));
    // Checked before any profile moves: an invalid reading repeats at every poll, and a
    // repeated save would overwrite the client stash with the repeater's settings.
    if (!target) {
        printf("Error Flag from Slide_Sw,The Data is %s\n", text);
        return;
    }
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
        fputs("Failure for OP Mode\n", stdout);
    return true;
}

// Two controllers would share the flash output file and corrupt each other's reads. The
// lock goes with the process, and is not passed on to the commands it starts.
// The lock file, ours alone. Whatever else stands at the path is removed and the file made
// afresh: a link, a FIFO (opened without waiting for a writer), or a file of another user,
// who could hold it locked for ever and keep the controller out.
int open_lock() {
    constexpr int flags = O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(lock_path, flags | O_NONBLOCK, 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
        return fd;
    if (fd >= 0)
        close(fd);
    unlink(lock_path);
    return open(lock_path, flags | O_EXCL, 0600);
}

bool only_controller() {
    int fd = open_lock();
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (fd >= 0 && errno == EWOULDBLOCK)
        printf("leverwatch already running on this device (it holds %s), exiting\n", lock_path);
    else
        printf("cannot lock %s: %s, exiting\n", lock_path, strerror(errno));
    return false;
}

} // namespace

int main() {
    // Every message is out before the next shell command runs, and before the restart.
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
    install_signal_handlers();
    if (!only_controller())
        return 1;

    // Acting on the switch with the mode guessed could enter WISP from WISP and overwrite the
    // repeater profile with the upstream one: wait for the store first.
    for (unsigned waited = 0; !read_op_mode(); waited += poll_seconds) {
        if (waited == 0)
            fputs("OP_MODE unreadable, switch ignored until it is read\n", stdout);
        if (waited >= op_mode_wait_seconds) {
            fputs("OP_MODE still unreadable, taken as Router\n", stdout);
            switch_position = position_router;
            break;
        }
        sleep(poll_seconds);
    }
    for (;;) {
        leverwatch();
        sleep(poll_seconds);
    }
}
