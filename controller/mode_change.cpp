#include "mode_change.h"

#include "backoff.h"
#include "change_record.h"
#include "clock.h"
#include "command.h"
#include "log.h"
#include "platform.h"
#include "profile_transfer.h"
#include "signals.h"
#include "store_bridge.h"

#include <cstddef>
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

// The settings that tell WISP mode (the radio a client, the repeater on: both 1) from the
// others (both 0).
constexpr const char *telling_keys[] = {"WLAN0_MODE", "REPEATER_ENABLED1"};

// Every mode writes OP_MODE first, with its own value, and the settings that tell its mode
// after it: from OP_MODE's write until they are written, the store names a mode its settings
// contradict, which no start takes for a settled one.
constexpr bool op_mode_first_telling_after() {
    for (const auto &m : modes) {
        if (std::string_view(m.settings[0].key) != "OP_MODE" || m.settings[0].value != m.op_mode)
            return false;
        for (const char *key : telling_keys) {
            bool told = false;
            for (int i = 1; i < m.count; ++i)
                told = told || (std::string_view(m.settings[i].key) == key &&
                                m.settings[i].value == (m.position == position_wisp));
            if (!told)
                return false;
        }
    }
    return true;
}
static_assert(op_mode_first_telling_after(),
              "a mode writes its OP_MODE first and the settings that tell it after");

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

// The profiles moved when WISP mode is left or entered. The saving steps copy the network that
// the overwriting steps then replace, the only other copy of it: leaving, the upstream network
// goes from the root into the stash before the repeater's home network replaces it; entering,
// the home network goes from the root into the repeater before the stash replaces it. The
// overwriting steps read only profiles they do not write, so they can run again whole.
struct profile_move {
    int dir;
    transfer_step saving[2];
    transfer_step overwriting[2];
};
constexpr profile_move leaving_move{leaving_wisp, {save_stash, {}}, {copy_ssid, copy_security}};
constexpr profile_move entering_move{entering_wisp, {copy_ssid, copy_security}, {save_stash, {}}};

struct change {
    int from, to; // switch positions
    const mode &target;
    const profile_move *move;
};

// A change stopped before it overwrote anything: when, its wait, and its target (a try of the
// same change again writes only what the store lacks).
uint32_t stopped_at;
backoff change_wait{change_retry_first_seconds, retry_last_seconds};
int stopped_target;

const mode &mode_at(int position) {
    for (const auto &m : modes)
        if (m.position == position)
            return m;
    return modes[0];
}

change change_between(int from, int to) {
    return {from, to, mode_at(to),
            from == position_wisp ? &leaving_move
            : to == position_wisp ? &entering_move
                                  : nullptr};
}

// Runs the steps up to the first that fails, and prints its line; whether every one was done.
template <size_t N> bool run_steps(int dir, const transfer_step (&steps)[N]) {
    for (const auto &step : steps)
        if (step.operation && step.operation(dir) == 0) {
            log_repeating("%s", step.failure);
            return false;
        }
    return true;
}

// Sleeps; true when a stop was noted meanwhile.
bool stop_during(unsigned seconds) {
    while (seconds > 0 && !held_stop())
        seconds = sleep(seconds);
    return held_stop() != 0;
}

// The saving phase: the copy of what the change will overwrite, read back, then the record that
// the change is owed. Nothing written here needs undoing: a change stopped here runs again.
bool save(const change &c) {
    return (!c.move || run_steps(c.move->dir, c.move->saving)) && record_finish(c.from, c.to);
}

// The overwriting phase, once the change is recorded: OP_MODE, the profiles, the mode's other
// settings, then the record of the restart owed. It stops at the first read or write that
// fails.
bool overwrite(const change &c) {
    const mode &m = c.target;
    if (!write_number(m.settings[0].key, m.settings[0].value) ||
        (c.move && !run_steps(c.move->dir, c.move->overwriting)))
        return false;
    for (int i = 1; i < m.count; ++i)
        if (!write_number(m.settings[i].key, m.settings[i].value))
            return false;
    return record_restart();
}

// A stop noted during the change ends the controller, by that signal, once the change is
// written: the record left has the next controller of this boot restart the device.
void stop_if_held() {
    if (int sig = held_stop()) {
        log_repeating("mode change written; the restart is left to whoever stopped leverwatch\n");
        end_by(sig);
    }
}

// From the record of the change on: carried through, what the store did not take written
// again ever more rarely until it is, then the device restarted. A resumed change writes only
// what the store lacks from its first attempt on.
[[noreturn]] void complete(const change &c, const char *text, bool resumed) {
    backoff wait{write_retry_first_seconds, retry_last_seconds};
    for (bool again = resumed;; again = true) {
        forget_failure();
        only_what_store_lacks retry(again);
        if (overwrite(c))
            break;
        log_repeating("%s; writing it again in %u s\n", store_failure(), wait.next());
        if (stop_during(wait.current)) {
            log_repeating("mode change not finished: %s; recorded in %s for the next leverwatch\n",
                          store_failure(), record_place());
            end_by(held_stop());
        }
    }
    log_repeating(c.target.announcement, text);
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

bool settings_tell(int position) {
    for (const char *key : telling_keys) {
        int value = 0;
        if (!read_number(key, value)) {
            log_repeating("%s unreadable, switch ignored until it is read\n", key);
            return false;
        }
        if (value != (position == position_wisp)) {
            log_repeating("OP_MODE %d contradicts %s %d, switch ignored until the store agrees\n",
                          mode_at(position).op_mode, key, value);
            return false;
        }
    }
    return true;
}

bool change_due() {
    return change_wait.current == 0 || now_s() - stopped_at >= change_wait.current;
}

void change_to(int from, int to, const char *text) {
    // Held from the change's first read rather than its first write: a change stopped before
    // it overwrote anything just runs again, so holding it too loses nothing.
    hold_stops(true);
    const change c = change_between(from, to);
    {
        forget_failure();
        only_what_store_lacks retry(stopped_target == to);
        if (save(c))
            complete(c, text, false);
    }
    stopped_at = now_s();
    stopped_target = to;
    log_repeating("mode change stopped before anything was overwritten: %s; trying again in %u s\n",
                  store_failure(), change_wait.next());
    hold_stops(false);
    // Nothing that needs a restart is written: a stop noted meanwhile just ends it.
    if (int sig = held_stop())
        end_by(sig);
}

void finish_change(int from, int to) {
    hold_stops(true);
    log_repeating("a mode change was begun and not finished; finishing it\n");
    const char text[] = {static_cast<char>('0' + to), '\n', '\0'};
    complete(change_between(from, to), text, true);
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
