#include "connections.h"

#include "linkstatd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/mman.h>
#include <sys/wait.h>

namespace {

// Written by the daemon, except last_ask, which the connection's process stores. Every word
// is 32 bits and aligned, so a MIPS32 loads and stores it whole without libatomic.
struct connection_slot {
    int32_t pid;       // 0: free
    uint32_t peer;     // network order
    uint32_t last_ask; // second of the last "ask", or of the accept
    uint32_t port;
};

// A line that may come at most once per log_interval_s, with the count of its events left
// unlogged since the previous one.
struct line_limit {
    uint32_t logged_at;
    uint32_t unlogged;
};

struct shared_page {
    connection_slot slot[max_connections];
    line_limit refusals;
    line_limit table_lines;
    uint32_t table_failing;    // a read failed since the last "ok again" line
    uint32_t failed_line_last; // the latest table line says "failed"
};

shared_page *page;

uint32_t now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec);
}

uint32_t load(const uint32_t &word) {
    return __atomic_load_n(&word, __ATOMIC_RELAXED);
}

void store(uint32_t &word, uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELAXED);
}

// Counts one event; true when its line is due now, with the number left unlogged before it.
// Of processes racing for the same line one wins; the others are counted for the next.
bool line_due(line_limit &l, uint32_t now, uint32_t &unlogged) {
    uint32_t last = load(l.logged_at);
    if (now - last < log_interval_s ||
        !__atomic_compare_exchange_n(&l.logged_at, &last, now, false, __ATOMIC_RELAXED,
                                     __ATOMIC_RELAXED)) {
        __atomic_add_fetch(&l.unlogged, 1, __ATOMIC_RELAXED);
        return false;
    }
    unlogged = __atomic_exchange_n(&l.unlogged, 0, __ATOMIC_RELAXED);
    return true;
}

// " (N more WHAT)", or nothing when none went unlogged.
void more_text(char (&text)[32], uint32_t unlogged, const char *what) {
    text[0] = '\0';
    if (unlogged > 0)
        snprintf(text, sizeof text, " (%u more %s)", unlogged, what);
}

void refuse(const sockaddr_in &peer, int count, const char *why) {
    uint32_t unlogged;
    if (!line_due(page->refusals, now_s(), unlogged))
        return;
    char more[32];
    more_text(more, unlogged, "refused");
    printf("%s:%d refused: %d %s%s\n", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port), count, why,
           more);
}

// Ends the slot's process and reaps it here, so the slot is free when the newcomer takes it.
void evict(connection_slot &s, uint32_t now) {
    kill(s.pid, SIGKILL);
    while (waitpid(s.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    in_addr peer{s.peer};
    printf("%s:%u closed to make room: no ask for %u s\n", inet_ntoa(peer), s.port,
           now - load(s.last_ask));
    s.pid = 0;
}

} // namespace

bool map_connections() {
    void *p = mmap(nullptr, sizeof(shared_page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED)
        return false;
    page = static_cast<shared_page *>(p);
    // The first line of each kind is logged at once, however soon after boot.
    page->refusals.logged_at = page->table_lines.logged_at = now_s() - log_interval_s;
    return true;
}

int claim_slot(const sockaddr_in &peer) {
    uint32_t now = now_s();
    int free = -1, idlest = -1, live = 0, from_peer = 0;
    uint32_t longest = 0;
    for (int i = 0; i < max_connections; ++i) {
        const connection_slot &s = page->slot[i];
        if (s.pid == 0) {
            free = free < 0 ? i : free;
            continue;
        }
        ++live;
        from_peer += s.peer == peer.sin_addr.s_addr;
        // A stamp its process stored after now was read is no idle time at all.
        auto since = static_cast<int32_t>(now - load(s.last_ask));
        if (uint32_t idle = since > 0 ? static_cast<uint32_t>(since) : 0;
            idlest < 0 || idle > longest) {
            idlest = i;
            longest = idle;
        }
    }
    if (from_peer >= max_per_peer) {
        refuse(peer, from_peer, "connections from that address being served");
        return -1;
    }
    if (free < 0) {
        // The stamps are whole seconds: more than idle_limit_s of them is at least that long.
        if (longest <= idle_limit_s) {
            refuse(peer, live, "connections being served");
            return -1;
        }
        evict(page->slot[idlest], now);
        free = idlest;
    }
    connection_slot &s = page->slot[free];
    s.peer = peer.sin_addr.s_addr;
    s.port = ntohs(peer.sin_port);
    store(s.last_ask, now);
    return free;
}

void bind_slot(int slot, pid_t pid) {
    page->slot[slot].pid = pid;
}

void release_slot(pid_t pid) {
    for (connection_slot &s : page->slot)
        if (s.pid == pid)
            s.pid = 0;
}

void stamp_ask(int slot) {
    store(page->slot[slot].last_ask, now_s());
}

// A failure is logged as the limit allows; the first good read after a logged failure says
// so at once, one after failures left unlogged once the limit allows.
void note_table_read(bool failed) {
    uint32_t now = now_s(), unlogged;
    char more[32];
    if (failed) {
        store(page->table_failing, 1);
        if (line_due(page->table_lines, now, unlogged)) {
            store(page->failed_line_last, 1);
            more_text(more, unlogged, "failed");
            printf("get proc data failed%s\n", more);
        }
        return;
    }
    if (load(page->table_failing) == 0 ||
        (load(page->failed_line_last) == 0 &&
         now - load(page->table_lines.logged_at) < log_interval_s) ||
        __atomic_exchange_n(&page->table_failing, 0, __ATOMIC_RELAXED) == 0)
        return;
    store(page->failed_line_last, 0);
    store(page->table_lines.logged_at, now);
    more_text(more, __atomic_exchange_n(&page->table_lines.unlogged, 0, __ATOMIC_RELAXED),
              "failed");
    printf("get proc data ok again%s\n", more);
}
