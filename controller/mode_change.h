// A mode change: the profiles moved when WISP mode is entered or left, the new mode's
// settings, the announcement and the restart.
#pragma once

// The switch position of the mode that OP_MODE value names; 0, with "Failure for OP Mode"
// printed, for a value that names none (taken as Router, it could enter WISP from WISP).
int position_of(int op_mode);
// Whether a reading of the switch names a mode.
bool is_position(long position);
// Whether the store holds the settings that tell the mode at position from the others (WISP's
// client radio and repeater, or their absence): false, with a line, when one differs or cannot
// be read. An OP_MODE written while the others still hold the mode it replaces is a change cut
// short, or a store that kept another value: not a mode to move profiles on.
bool settings_tell(int position);

// Whether a change may be tried now: one stopped before it overwrote anything (the store
// failed while a copy was being saved) is tried again only after its wait, which doubles
// each time.
bool change_due();
// Changes from the mode at switch position from to the one at to, the switch having read
// text. Returns only when the store failed while the copy was being saved or the change
// recorded: nothing is overwritten then, and the change is tried again once change_due. Once
// the change is recorded it is carried through, and the device restarted.
void change_to(int from, int to, const char *text);
// Carries through the change recorded as owed, and restarts the device.
[[noreturn]] void finish_change(int from, int to);
// Runs reboot, and again every minute while the device is still up.
[[noreturn]] void restart_device();
