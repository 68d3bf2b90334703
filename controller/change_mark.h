// The mark a mode change leaves in /tmp for the next controller started in the same boot: a
// change that has begun to overwrite the profiles is finished by it, one written is followed
// by the restart it still needs. A mark of an earlier boot means nothing, wherever /tmp
// survives a restart.
#pragma once

enum mark_kind { no_mark, finish_mark, restart_mark };
struct change_mark {
    mark_kind kind;
    int from, to; // switch positions of the change to finish
};

// The mark left in this boot, if any. Anything else at its path (a mark of an earlier boot,
// another user's file, a directory, a FIFO) is removed and gives no_mark.
change_mark read_mark();
// Leaves the mark for this boot; false, with a line saying why, when it cannot.
bool write_mark(const change_mark &mark);
