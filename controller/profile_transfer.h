// Moving the wireless profiles when WISP mode is entered or left: the network name and
// security travel between the root profile (WLAN0_), the repeater profile (WLAN0_VAP4_)
// and the client stash (WLAN0_VAP2_).
#pragma once

// Direction codes.
enum direction : int { entering_wisp = 0, leaving_wisp = 1 };

// Each returns 1 when every read gave a value and every write was issued and taken, else
// 0. The rows after a failure still run; a row whose read failed writes nothing, and
// neither do the settings derived from its value.
int set_wlan_ssid(int dir);
int set_wlan_security(int dir);
int restore_wisp_primary_wireless_info(int dir);

// A copy made by the transfers is checked before its source may be overwritten: the tool
// may take a write and store nothing.
// Starts a new copy: forgets the failures and the values written so far.
void begin_copy();
// The first read or write that failed since begin_copy, as a text naming its key, nullptr
// if none did.
const char *copy_failure();
// Reads back every key the transfers since begin_copy copied a value into, and compares
// it with the value written: a text naming the first that reads back otherwise (or not at
// all), nullptr when all of them hold what was written.
const char *copy_differs();
