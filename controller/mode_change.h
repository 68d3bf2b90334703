// A mode change: the profiles moved when WISP mode is entered or left, the new mode's
// settings, the announcement and the restart.
#pragma once

// The switch position of the mode that OP_MODE value names; 0, with "Failure for OP Mode"
// printed, for a value that names none (taken as Router, it could enter WISP from WISP).
int position_of(int op_mode);
// Whether a reading of the switch names a mode.
bool is_position(long position);

// Whether a change may be tried now: one stopped before it overwrote anything (the store
// failed while a copy was being saved) is tried again only after its wait, which doubles
// each time.
bool change_due();
// Changes from the mode at switch position from to the one at to, the switch having read
// text. Returns only when the store failed while the copy was being saved: nothing is
// overwritten then, and the change is tried again once change_due. Once overwriting may
// begin it is carried through, and the device restarted.
void change_to(int from, int to, const char *text);
// Carries through the change a controller of this boot began and did not finish, and
// restarts the device.
[[noreturn]] void finish_change(int from, int to);
// Runs reboot, and again every minute while the device is still up.
[[noreturn]] void restart_device();
