#include "connections.h"

#include "clock.h"
#include "log.h"
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/mman.h>
#include <sys/wait.h>

namespace {

// The daemon's own record of a slot.
struct connection_slot {
    pid_t pid; // 0: free
    in_addr peer;
    unsigned port;
};

// What connection processes write. Every word is 32 bits and aligned, so a MIPS32 loads and
// stores it whole without libatomic.
struct shared_page {
    uint32_t last_ask[max_connections]; // second of each slot's last "ask", or of its accept
    line_limit table_lines;
    uint32_t table_failing;    // a read failed since the last "ok again" line
    uint32_t failed_line_last; // the latest table line says "failed"
    uint32_t dropped_lines;
};

connection_slot slots[max_connections];
shared_page *page;
// The daemon's own lines; the refusals of both kinds count as one.
line_limit refusal_lines, connected_lines, eviction_lines;

uint32_t load(const uint32_t &word) {
    return __atomic_load_n(&word, __ATOMIC_RELAXED);
}

void store(uint32_t &word, uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELAXED);
}

void refuse(const sockaddr_in &peer, uint32_t now, int count, const char *why) {
    log_limited(refusal_lines, now, "refused", "%s:%d refused: %d %s", inet_ntoa(peer.sin_addr),
                ntohs(peer.sin_port), count, why);
}

// Ends the slot's process and reaps it here, so the slot is free when the newcomer takes it.
void evict(int slot, uint32_t now) {
    connection_slot &s = slots[slot];
    kill(s.pid, SIGKILL);
    while (waitpid(s.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    log_limited(eviction_lines, now, "closed", "%s:%u closed to make room: no ask for %u s",
                inet_ntoa(s.peer), s.port, now - load(page->last_ask[slot]));
    s.pid = 0;
}

} // namespace

bool map_connections() {
    void *p = mmap(nullptr, sizeof(shared_page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED)
        return false;
    page = static_cast<shared_page *>(p);
    open_log(&page->dropped_lines);
    uint32_t now = now_s();
    prime(page->table_lines, now);
    prime(refusal_lines, now);
    prime(connected_lines, now);
    prime(eviction_lines, now);
    return true;
}

int claim_slot(const sockaddr_in &peer) {
    uint32_t now = now_s();
    int free = -1, idlest = -1, live = 0, from_peer = 0;
    uint32_t longest = 0;
    for (int i = 0; i < max_connections; ++i) {
        const connection_slot &s = slots[i];
        if (s.pid == 0) {
            free = free < 0 ? i : free;
            continue;
        }
        ++live;
        from_peer += s.peer.s_addr == peer.sin_addr.s_addr;
        // A stamp its process stored after now was read is no idle time at all.
        auto since = static_cast<int32_t>(now - load(page->last_ask[i]));
        if (uint32_t idle = since > 0 ? static_cast<uint32_t>(since) : 0;
            idlest < 0 || idle > longest) {
            idlest = i;
            longest = idle;
        }
    }
    if (from_peer >= max_per_peer) {
        refuse(peer, now, from_peer, "connections from that address being served");
        return -1;
    }
    if (free < 0) {
        // The stamps are whole seconds: more than idle_limit_s of them is at least that long.
        if (longest <= idle_limit_s) {
            refuse(peer, now, live, "connections being served");
            return -1;
        }
        evict(idlest, now);
        free = idlest;
    }
    connection_slot &s = slots[free];
    s.peer = peer.sin_addr;
    s.port = ntohs(peer.sin_port);
    store(page->last_ask[free], now);
    return free;
}

void bind_slot(int slot, pid_t pid) {
    connection_slot &s = slots[slot];
    s.pid = pid;
    log_limited(connected_lines, now_s(), "connected", "%s:%u connected", inet_ntoa(s.peer),
                s.port);
}

void release_slot(pid_t pid) {
    for (connection_slot &s : slots)
        if (s.pid == pid)
            s.pid = 0;
}

void stamp_ask(int slot) {
    store(page->last_ask[slot], now_s());
}

// A failure is logged as the limit allows; the first good read after a logged failure says
// so at once, one after failures left unlogged once the limit allows.
void note_table_read(bool failed) {
    uint32_t now = now_s();
    if (failed) {
        store(page->table_failing, 1);
        if (log_limited(page->table_lines, now, "failed", "get proc data failed"))
            store(page->failed_line_last, 1);
        return;
    }
    if (load(page->table_failing) == 0 ||
        (load(page->failed_line_last) == 0 &&
         now - load(page->table_lines.logged_at) < log_interval_s) ||
        __atomic_exchange_n(&page->table_failing, 0, __ATOMIC_RELAXED) == 0)
        return;
    store(page->failed_line_last, 0);
    store(page->table_lines.logged_at, now);
    log_counted(__atomic_exchange_n(&page->table_lines.unlogged, 0, __ATOMIC_RELAXED), "failed",
                "get proc data ok again");
}
