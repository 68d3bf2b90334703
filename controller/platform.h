// Everything leverwatch relies on from the device, in one place.
#pragma once

// The slide switch driver's position file: first line, decimal position code.
inline constexpr char slide_switch_path[] = "/proc/slide_sw";
// The flash tool's output for one read lands here and is read back.
inline constexpr char flash_output_path[] = "/tmp/leverwatch_tmp.txt";
inline constexpr char flash_get_pattern[] = "flash get %s > %s";
inline constexpr char flash_set_number_pattern[] = "flash set %s %d";
inline constexpr char flash_set_text_pattern[] = "flash set %s %s";
inline constexpr char reboot_command[] = "reboot";

// Command and value lines share this size: 99 characters and the terminator.
inline constexpr int line_size = 100;
// The switch reading holds at most 9 characters.
inline constexpr int switch_text_size = 10;

inline constexpr unsigned poll_seconds = 2;
// Pause between the announcement and the restart.
inline constexpr unsigned reboot_delay_seconds = 2;

// Switch position codes.
enum position : int { position_ap = 1, position_wisp = 2, position_router = 3 };
