// The table of connection processes and the daemon-wide log limits, in one page that the
// daemon and every connection process share: the daemon cannot otherwise see when a
// connection last asked, and a log line's limit must hold for all processes together.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

// Maps the page, once, at start; false if it cannot be had.
bool map_connections();

// The daemon's side, with SIGCHLD blocked so that no slot is released meanwhile.
// The slot a connection from peer is to be served in, after closing the longest idle one
// if all are taken; -1 when it is refused, the refusal logged as its limit allows.
int claim_slot(const sockaddr_in &peer);
// Binds a claimed slot to the process forked for it; one never bound stays free.
void bind_slot(int slot, pid_t pid);
// Frees the slot of a reaped process; safe in a signal handler.
void release_slot(pid_t pid);

// A connection process's side.
// The connection in slot has just asked.
void stamp_ask(int slot);
// Logs what reading the station table gave, as the daemon-wide limit allows.
void note_table_read(bool failed);
