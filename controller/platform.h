// Everything leverwatch relies on from the device, in one place.
#pragma once

#include <algorithm>

// The slide switch driver's position file: first line, decimal position code.
constexpr char slide_switch_path[] = "/proc/slide_sw";
// The flash tool's output for one read lands here and is read back.
constexpr char flash_output_path[] = "/tmp/leverwatch_tmp.txt";
// Held by the running controller: two of them would overwrite each other's reads. In /tmp,
// so it goes with the device's restart.
constexpr char lock_path[] = "/tmp/leverwatch.lock";
// Left by a controller stopped after it wrote a mode change: the change takes effect only
// with a restart, which the next controller started before one (/tmp goes with it) runs.
constexpr char restart_mark_path[] = "/tmp/leverwatch.restart";
constexpr char flash_get_pattern[] = "flash get %s > %s";
constexpr char flash_set_number_pattern[] = "flash set %s %d";
constexpr char flash_set_text_pattern[] = "flash set %s %s";
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
// How long an OP_MODE that cannot be read holds the switch off before Router is assumed, on
// the monotonic clock: a store slow at boot gets this long (a read that hangs until its
// limit uses it up), a store that lacks the key gets it written by the next change.
constexpr unsigned op_mode_wait_seconds = 30;
// A change stopped before it overwrote anything (the store failed while the profiles were
// being saved) is tried again from the start no sooner than this, while the switch asks for
// it: often enough to follow a store that recovers, rarely enough not to hammer one that
// does not.
constexpr unsigned change_retry_seconds = 30;
// A change that has begun to overwrite the profiles restarts the device only once every
// write was taken and OP_MODE reads back as the new mode: a restart before would leave the
// profiles half moved or run the change again over profiles already moved. What failed is
// written again this often until it holds.
constexpr unsigned op_mode_retry_seconds = 10;
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
