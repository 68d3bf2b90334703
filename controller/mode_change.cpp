#include "mode_change.h"

#include "change_mark.h"
#include "clock.h"
#include "command.h"
#include "log.h"
#include "platform.h"
#include "profile_transfer.h"
#include "signals.h"
#include "store_bridge.h"

#include <string_view>
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

// Every mode writes OP_MODE first, with its own value: written only once the profiles are
// moved, it tells the next boot whether the change still has to run.
constexpr bool op_mode_first() {
    for (const auto &m : modes)
        if (std::string_view(m.settings[0].key) != "OP_MODE" || m.settings[0].value != m.op_mode)
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
// stash replaces it. The steps that overwrite read only profiles they do not write, so they
// can run again whole.
struct profile_move {
    int dir;
    transfer_step steps[3];
    int saving; // how many of the steps save the copy
};
constexpr profile_move leaving_move{leaving_wisp, {save_stash, copy_ssid, copy_security}, 1};
constexpr profile_move entering_move{entering_wisp, {copy_ssid, copy_security, save_stash}, 2};

// A change stopped before it overwrote anything: when, the wait before the next try and the
// one after it, and its target (a retry of the same change writes only what the store lacks).
uint32_t stopped_at;
unsigned change_wait;
unsigned next_change_wait = change_retry_first_seconds;
int stopped_target;

const mode *mode_at(int position) {
    for (const auto &m : modes)
        if (m.position == position)
            return &m;
    return nullptr;
}

const profile_move *move_between(int from, int to) {
    return from == position_wisp ? &leaving_move : to == position_wisp ? &entering_move : nullptr;
}

unsigned doubled(unsigned wait) {
    return wait < retry_last_seconds / 2 ? 2 * wait : retry_last_seconds;
}

// Runs steps [first, last) of move; false when one failed, its line printed.
bool run_steps(const profile_move &move, int first, int last) {
    bool ok = true;
    for (int i = first; i < last; ++i)
        if (move.steps[i].operation(move.dir) == 0) {
            log_repeating("%s", move.steps[i].failure);
            ok = false;
        }
    return ok;
}

// Sleeps; true when a stop was noted meanwhile.
bool stop_during(unsigned seconds) {
    while (seconds > 0 && !held_stop())
        seconds = sleep(seconds);
    return held_stop() != 0;
}

// Writes what the change overwrites, then the new mode's settings, OP_MODE first and only once
// the profiles are moved. What the store did not take is written again, and only that, ever
// more rarely, until it is. False when a stop came meanwhile.
bool carry_through(const profile_move *move, const mode &target) {
    for (unsigned wait = write_retry_first_seconds;; wait = doubled(wait)) {
        forget_failure();
        if (!move || run_steps(*move, move->saving, 3))
            for (int i = 0; i < target.count; ++i)
                write_number(target.settings[i].key, target.settings[i].value);
        const char *why = store_failure();
        if (!why)
            return true;
        log_repeating("%s; writing it again in %u s\n", why, wait);
        set_retrying(true);
        if (stop_during(wait))
            return false;
    }
}

// A stop noted during the change ends the controller, by that signal, once the change is
// written: the mark left has the next controller of this boot restart the device.
void stop_if_held() {
    if (int sig = held_stop()) {
        log_repeating("mode change written; the restart is left to whoever stopped leverwatch\n");
        end_by(sig);
    }
}

// From the first write that overwrites anything: carried through, then the device restarted.
[[noreturn]] void complete(const profile_move *move, const mode &target, const char *text) {
    if (!carry_through(move, target)) {
        log_repeating("mode change not finished: %s; the next leverwatch started before the "
                      "device restarts finishes it\n",
                      store_failure());
        end_by(held_stop());
    }
    set_retrying(false);
    write_mark({restart_mark, 0, 0});
    log_repeating(target.announcement, text);
    stop_if_held();
    sleep(reboot_delay_seconds);
    hold_stops(false);
    stop_if_held();
    restart_device();
}

} // namespace

int position_of(int op_mode) {
    for (const auto &m : modes)
        if (m.op_mode == op_mode)
            return m.position;
    log_repeating("Failure for OP Mode\n");
    return 0;
}

bool is_position(long position) {
    return position >= position_ap && position <= position_router;
}

bool change_due() {
    return change_wait == 0 || now_s() - stopped_at >= change_wait;
}

void change_to(int from, int to, const char *text) {
    // Held from the change's first read rather than its first write: a change stopped before
    // it overwrote anything just runs again, so holding it too loses nothing.
    hold_stops(true);
    const mode &target = *mode_at(to);
    const profile_move *move = move_between(from, to);
    set_retrying(stopped_target == to);
    forget_failure();
    // A copy saved and read back, and the mark that has the next controller of this boot
    // finish the change if this one is killed, before anything is overwritten.
    bool saved = !move || run_steps(*move, 0, move->saving);
    if (saved && write_mark({finish_mark, from, to})) {
        set_retrying(false);
        complete(move, target, text);
    }
    const char *why = store_failure() ? store_failure() : "the mark could not be written";
    change_wait = next_change_wait;
    next_change_wait = doubled(next_change_wait);
    stopped_at = now_s();
    stopped_target = to;
    log_repeating("mode change stopped before anything was overwritten: %s; trying again in %u s\n",
                  why, change_wait);
    hold_stops(false);
    // Nothing that needs a restart is written: a stop noted meanwhile just ends it.
    if (int sig = held_stop())
        end_by(sig);
}

void finish_change(int from, int to) {
    hold_stops(true);
    log_repeating("a mode change was begun and not finished; finishing it\n");
    set_retrying(true);
    const char text[] = {static_cast<char>('0' + to), '\n', '\0'};
    complete(move_between(from, to), *mode_at(to), text);
}

void restart_device() {
    for (unsigned runs = 0;; ++runs) {
        if (runs == 1)
            log_repeating("no restart %u s after reboot; running it again every %u s\n",
                          reboot_retry_seconds, reboot_retry_seconds);
        run_command(reboot_command);
        sleep(reboot_retry_seconds);
    }
}
