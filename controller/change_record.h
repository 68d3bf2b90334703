// The record of a mode change owed, written before the change's first write that overwrites
// anything and kept until every write of it was taken; then the record of the restart still
// owed, which counts only in the boot that wrote it. It lives in the store key the build names,
// which outlives any restart, or else in a file of the controller's, which the restart empties.
// It reads "finish-wisp-to-ap" or "restart-owed-in-boot-ID".
#pragma once

enum record_kind { nothing_owed, finish_owed, restart_owed, record_unreadable };
struct change_record {
    record_kind kind;
    int from, to; // switch positions of the change to finish
};

// Where the record lives: the store key, or the file.
const char *record_place();
// The record: record_unreadable while the store gives no value for the key (a store must hold
// it, however it starts out). A restart owed by an earlier boot, or a text that names no
// change, owes nothing.
change_record read_record();
// Records the change from one switch position to another as owed, or the restart owed in
// this boot; false, with the failure noted (see store_failure), when it could not.
bool record_finish(int from, int to);
bool record_restart();
