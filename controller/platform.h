// Everything leverwatch relies on from the device, in one place.
#pragma once

#include <algorithm>

// The slide switch driver's position file: first line, decimal position code.
constexpr char slide_switch_path[] = "/proc/slide_sw";
// The kernel's id of the running boot: a restart owed counts only in the boot that owed it.
constexpr char boot_id_path[] = "/proc/sys/kernel/random/boot_id";
constexpr int boot_id_size = 36 + 1;
// The controller's own files, in a directory only root can write: nobody else can block or
// forge them. leverwatch will not start where others can write there.
constexpr char run_dir[] = "/var/run";
// The flash tool's output for one read lands here and is read back.
constexpr char flash_output_path[] = "/var/run/leverwatch_tmp.txt";
// Held by the running controller: two of them would overwrite each other's reads.
constexpr char lock_path[] = "/var/run/leverwatch.lock";
// Where a mode change is recorded while it is owed, so that a restart at any moment finishes
// it rather than running it again from its start (which would save a half-moved profile over
// the only whole copy of its network). The store key that the build names
// (LEVERWATCH_CHANGE_KEY) survives a power cut; without one the record lives in this file, for
// the controllers of one boot.
extern const char change_key[];
constexpr char change_record_path[] = "/var/run/leverwatch.change";
// A new record is written whole here first, then takes the record's place.
constexpr char change_record_next_path[] = "/var/run/leverwatch.change.new";
constexpr char flash_get_pattern[] = "flash get %s > %s";
// Every write, a number or a text, carries the value as the tool prints it, line end included.
constexpr char flash_set_pattern[] = "flash set %s %s";
constexpr char reboot_command[] = "reboot";
// Every command runs as "/bin/sh -c COMMAND", as system() would run it.
constexpr char shell_path[] = "/bin/sh";

// The longest values the tool prints: an SSID of 32 bytes, a WPA passphrase of 63
// characters or 64 hex digits, a WEP key of 13 characters or 26 hex digits. Any character
// but a hex digit may come escaped as two, and the value comes in two quotes with the line
// end.
constexpr int printed_size(int characters) {
    return 2 * characters + 2 + 1;
}
constexpr int hex_size(int digits) {
    return digits + 2 + 1;
}
constexpr int longest_value =
    std::max({printed_size(32), printed_size(63), hex_size(64), printed_size(13), hex_size(26)});
static_assert(longest_value == 129, "the escaped passphrase is the longest value");
// WLAN0_VAP4_WPA2_CIPHER_SUITE is the longest key the controller reads or writes.
constexpr int longest_key = sizeof "WLAN0_VAP4_WPA2_CIPHER_SUITE" - 1;
// A value line, KEY=VALUE and the terminator, with room for one character more: a value
// longer than any legal one then shows as too long rather than being cut to fit. Text
// values are kept in buffers of the same size.
constexpr int line_size = longest_key + 1 + longest_value + 1 + 1;
// "flash set KEY VALUE" and the terminator, the longest command.
constexpr int command_size = sizeof "flash set " - 1 + longest_key + 1 + longest_value + 1;
// The switch reading holds at most 9 characters.
constexpr int switch_text_size = 10;

constexpr unsigned poll_seconds = 2;
// A slide from AP to Router passes WISP: a new position counts once a second reading this
// much later agrees.
constexpr unsigned switch_confirm_seconds = 1;
// What the store says of the device (the change owed, OP_MODE and the settings that tell its
// mode) that cannot be read holds the switch off, however long: acting on a guessed mode could
// enter WISP from WISP and overwrite the repeater profile with the upstream one. It is read
// again after this long, then twice as long each time, up to the next figure: a store slow at
// boot is followed closely, one that stays broken costs a read a minute.
constexpr unsigned op_mode_retry_first_seconds = 2;
constexpr unsigned op_mode_retry_last_seconds = 60;
// A change stopped before it overwrote anything (the store failed while a copy was being
// saved) is tried again from the start after this long, while the switch still asks for it.
constexpr unsigned change_retry_first_seconds = 30;
// A change once recorded restarts the device only once every write was taken. What the store
// did not take is written again after this long.
constexpr unsigned write_retry_first_seconds = 10;
// Each retry waits twice as long as the one before, up to this: a store that refuses a key
// for a week costs a few hundred writes (each an erase of the configuration block on the
// device) and lines, not tens of thousands.
constexpr unsigned retry_last_seconds = 900;
// Pause between the announcement and the restart.
constexpr unsigned reboot_delay_seconds = 2;
// A reboot that returned without restarting the device is run again this often: the new
// mode is written and only takes effect after a restart.
constexpr unsigned reboot_retry_seconds = 60;
// A flash run takes well under a second; one still running after this long has hung and is
// ended, so that a store that stops answering cannot hold the controller for ever. A mode
// change is a few dozen runs.
constexpr unsigned command_limit_seconds = 30;

// Switch position codes.
enum position : int { position_ap = 1, position_wisp = 2, position_router = 3 };
