// The table of connection processes and the lines the daemon limits. The daemon keeps each
// process's pid and peer in memory of its own; one page shared with the connection processes
// holds only what they must write: the time each last asked (the daemon cannot otherwise see
// it), the station table's log limit and the count of log lines dropped, which hold for all
// processes together. Nothing a connection process writes there names a process to signal.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

// Maps the shared page, once, at start, and counts dropped log lines in it; false if it
// cannot be had.
bool map_connections();

// The daemon's side, with SIGCHLD blocked so that no slot is released meanwhile.
// The slot a connection from peer is to be served in, after closing the longest idle one
// if all are taken; -1 when it is refused, the refusal logged as its limit allows.
int claim_slot(const sockaddr_in &peer);
// Binds a claimed slot to the process forked for it and logs the connection as its limit
// allows; a slot never bound stays free.
void bind_slot(int slot, pid_t pid);
// Frees the slot of a reaped process; safe in a signal handler.
void release_slot(pid_t pid);

// A connection process's side.
// The connection in slot has just asked.
void stamp_ask(int slot);
// Logs what reading the station table gave, as the daemon-wide limit allows.
void note_table_read(bool failed);
