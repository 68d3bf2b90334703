// Everything leverwatch relies on from the device, in one place.
#pragma once

// The slide switch driver's position file: first line, decimal position code.
constexpr char slide_switch_path[] = "/proc/slide_sw";
// The flash tool's output for one read lands here and is read back.
constexpr char flash_output_path[] = "/tmp/leverwatch_tmp.txt";
constexpr char flash_get_pattern[] = "flash get %s > %s";
constexpr char flash_set_number_pattern[] = "flash set %s %d";
constexpr char flash_set_text_pattern[] = "flash set %s %s";
constexpr char reboot_command[] = "reboot";

// Command and value lines share this size: 99 characters and the terminator.
constexpr int line_size = 100;
// The switch reading holds at most 9 characters.
constexpr int switch_text_size = 10;

constexpr unsigned poll_seconds = 2;
// How long an OP_MODE that cannot be read holds the switch off before Router is assumed: a
// store slow at boot gets this long, a store that lacks the key gets it written by the next
// change.
constexpr unsigned op_mode_wait_seconds = 30;
// Pause between the announcement and the restart.
constexpr unsigned reboot_delay_seconds = 2;

// Switch position codes.
enum position : int { position_ap = 1, position_wisp = 2, position_router = 3 };
