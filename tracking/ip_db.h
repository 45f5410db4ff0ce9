// The address table: 48 slots of client addresses with their unanswered-connection counts.
//
// Owns: ip_db (the slots), its held count, db_lock, and the mark that the slots changed since the
// state file last took it.
// Threads: the host's POP3 threads (db_check_connect, db_release), the sweeper (db_expire), the
// dialog's thread (db_clear, db_next), the start-up/shutdown thread (db_init, db_destroy).
// Lock: db_lock guards the slots and the held count; the held count is also published in an
// atomic word so that db_held needs no lock. No procedure here calls the host or a window.
#pragma once
#include <cstdint>

enum : int32_t { DB_SLOTS = 48 };

// Decisions of db_check_connect.
enum : int32_t {
    CHECK_BLOCKED = 0, // held and out of allowance: refuse
    CHECK_KNOWN = 1,   // held, count raised: allow
    CHECK_NEW = -1,    // given a slot with count 1: allow
    CHECK_WHITE = -2,  // white-listed: allow, nothing stored
    CHECK_FULL = -3,   // not held and no free slot: allow, nothing stored
};

// One slot. A slot whose in_use is 0 is free and its other fields mean nothing.
struct ip_entry {
    uint32_t ip;       // network byte order, as inet_addr gives it
    int32_t last_seen; // seconds since 1970 of the claim or the latest connection
    uint16_t conns;    // connections counted since the claim
    uint16_t in_use;
};

// A whole copy of one slot, as db_next hands it out.
struct ip_entry_copy {
    uint32_t ip;
    int32_t last_seen;
    uint16_t conns;
    int32_t valid; // 1 whenever db_next returned a slot
};

// Creates db_lock (once; a second call keeps the lock it has) and empties the table and the
// white list. Always 1.
int32_t db_init();
// Destroys db_lock. No other thread may be inside the table (shutdown drains them first).
void db_destroy();
// Frees every slot and zeroes the held count; the white list is left alone. Always 1.
// Without a lock (module stopped: no POP3 call and no sweeper can be inside) it works unlocked.
int32_t db_clear();
// Index of the slot in use holding `ip`, or -1. Caller holds db_lock.
int32_t db_find(uint32_t ip);
// Claims the lowest free slot (in_use 1, last_seen now, ip 0, conns 0), or -1 when all 48 are
// in use. Caller holds db_lock.
int32_t db_alloc();
// Copies the first slot in use after index `after` (-1 to start) into *out and returns its
// index, or -1. Each copy is taken under the lock; nothing is held between calls.
int32_t db_next(int32_t after, ip_entry_copy *out);
// The number of slots in use, read without the lock.
int32_t db_held();
// The decision on a new connection from the address `text`.
int32_t db_check_connect(const char *text);
// Forgets the address `text` after a login. Always 0.
int32_t db_release(const char *text);
// Frees the slots quiet for more than ClearTime minutes; returns how many.
int32_t db_expire();

// Slots in the table in force (48 by default).
int32_t db_capacity();
// Puts an address back as it was saved: takes db_lock; if `ip` is held, overwrites its conns and
// last_seen; otherwise claims the lowest free slot with these values. 1 stored, 0 table full.
// Does not consult the white list or the clock (the caller filters).
int32_t db_restore(uint32_t ip, uint16_t conns, int32_t last_seen);
// True when the slots changed (claim, count raised, last_seen moved, release, expiry, clear,
// restore) since the last call; clears the mark. Lock-free; cheap on the event path (a relaxed
// load, and a store only when the mark is not already set, so the cache line is not written on
// every decision).
bool db_take_changed();
// Sets the mark again (a write of the state file that failed wants another try next pass).
void db_mark_changed();

// The clock the table stamps slots with: seconds since 1970. Tests point it elsewhere before
// any other thread runs; production keeps platform_time_now, the system time.
extern int32_t (*db_clock)();

// True when the calling thread holds db_lock; for tests that check what runs outside it.
bool db_lock_held_by_caller();
