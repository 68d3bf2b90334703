// Moving the wireless profiles when WISP mode is entered or left: the network name and
// security travel between the root profile (WLAN0_), the repeater profile (WLAN0_VAP4_)
// and the client stash (WLAN0_VAP2_).
#pragma once

// Direction codes.
enum direction : int { entering_wisp = 0, leaving_wisp = 1 };

// Each returns 1 when every read gave a value (the same twice) and every write was taken (it
// reads back as written), else 0, the failure named by store_failure: the rows stop at the
// first that fails. A WPS flag that cannot be read only leaves out the write it decides.
int set_wlan_ssid(int dir);
int set_wlan_security(int dir);
int restore_wisp_primary_wireless_info(int dir);
