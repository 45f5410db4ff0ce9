// The address table: slots of client addresses with their unanswered-connection counts, 48 by
// default or as many as MaxAddresses asks for, found through an index keyed by the address.
//
// Owns: ip_db (the slots), its index, the bitmap of free slots, the held count, db_lock (one
// lock per stripe of the index) and db_alloc_lock (the lowest-free allocator's lock).
// Threads: the host's POP3 threads (db_check_connect, db_release), the sweeper (db_expire), the
// dialog's thread (db_clear, db_next), the start-up/shutdown thread (db_init, db_resize,
// db_destroy), the state file (db_restore, db_take_changed, db_mark_changed).
// Lock: the stripe lock of an address guards its part of the index and its slot's counts;
// db_alloc_lock guards which slots are in use and the addresses in them. Every stripe lock is
// taken before db_alloc_lock, never after. The held count is also published in an atomic word
// so that db_held needs no lock. No procedure here calls the host or a window.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "settings/values/settings.h"

enum : int32_t {
    DB_SLOTS = MAX_ADDRESSES_DEFAULT, // the table without MaxAddresses, kept in static storage
    DB_SLOTS_MAX = MAX_ADDRESSES_MAX,
    DB_STRIPES_MAX = 64,              // index stripes, each with its own lock
    DB_EXPIRE_CHUNK = 1024,           // slots the sweeper looks at per hold of the allocator lock
};

// Decisions of db_check_connect.
enum : int32_t {
    CHECK_BLOCKED = 0, // held and out of allowance: refuse
    CHECK_KNOWN = 1,   // held, count raised: allow
    CHECK_NEW = -1,    // given a slot with count 1: allow
    CHECK_WHITE = -2,  // white-listed: allow, nothing stored
    CHECK_FULL = -3,   // not held and no free slot: allow, nothing stored
    CHECK_BLACK = -4,  // black-listed: refuse, nothing stored
};

// One slot, 12 bytes. A slot whose in_use is 0 is free and its other fields mean nothing.
struct ip_entry {
    uint32_t ip;                    // network byte order, as inet_addr gives it
    std::atomic<int32_t> last_seen; // seconds since 1970 of the claim or the latest connection;
                                    // atomic (relaxed) so that the sweeper may look without the
                                    // stripe lock; written only under it
    uint16_t conns;                 // connections counted since the claim
    uint16_t in_use;
};

// A whole copy of one slot, as db_next hands it out.
struct ip_entry_copy {
    uint32_t ip;
    int32_t last_seen;
    uint16_t conns;
    int32_t valid; // 1 whenever db_next returned a slot
};

// Creates the locks (once; a second call keeps them) and empties the table, at the size in
// force, and the white list. Always 1.
int32_t db_init();
// Destroys the locks and gives back the storage of a table made by db_resize, leaving the
// empty 48-slot table. No other thread may be inside the table (shutdown drains them first).
void db_destroy();
// Makes the table hold `slots` addresses (clamped to 48..DB_SLOTS_MAX), empty. 48 uses the
// static storage; other sizes one block from `alloc`, which db_destroy or the next db_resize
// hands to `release`. 1 when the table now has `slots` slots, 0 when the block could not be
// had (the table then has 48). Start-up only: no other thread may be inside the table.
int32_t db_resize(int32_t slots, void *(*alloc)(size_t), void (*release)(void *));
// Bytes of the block db_resize asks for `slots` slots (0 for the static 48).
size_t db_storage_bytes(int32_t slots);
// Slots in the table in force (48 by default).
int32_t db_capacity();
// Frees every slot and zeroes the held count; the white list is left alone. Always 1. One
// stripe at a time, so a decision may claim a slot behind it. Without the locks (module
// stopped: no POP3 call and no sweeper can be inside) it works unlocked.
int32_t db_clear();
// Index of the slot in use holding `ip`, or -1. Caller holds the stripe lock of `ip`.
int32_t db_find(uint32_t ip);
// Claims the lowest free slot for `ip` (in_use 1, last_seen now, conns 0) and counts it, or
// -1 when every slot is in use. Takes db_alloc_lock; the caller holds the stripe lock of `ip`
// and enters the slot in the index.
int32_t db_alloc(uint32_t ip);
// Copies the first slot in use after index `after` (-1 to start) into *out and returns its
// index, or -1. Each copy is taken whole under the slot's stripe lock; nothing is held
// between calls.
int32_t db_next(int32_t after, ip_entry_copy *out);
// The number of slots in use, read without a lock.
int32_t db_held();
// The decision on a new connection from the address `text`.
int32_t db_check_connect(const char *text);
// Forgets the address `text` after a login. Always 0.
int32_t db_release(const char *text);
// Frees the slots quiet for more than ClearTime minutes; returns how many. Works through the
// slots DB_EXPIRE_CHUNK at a time and holds no lock between chunks.
int32_t db_expire();

// Puts an address back as it was saved: if `ip` is held, overwrites its conns and last_seen;
// otherwise claims the lowest free slot with these values. 1 stored, 0 table full. Does not
// consult the white list or the clock.
int32_t db_restore(uint32_t ip, uint16_t conns, int32_t last_seen);
// True when the slots changed (claim, count raised, last_seen moved, release, expiry, clear,
// restore) since the last call; clears the mark. Lock-free.
bool db_take_changed();
// Sets the mark again (a write of the state file that failed wants another try next pass).
void db_mark_changed();

// The clock the table stamps slots with: seconds since 1970. Tests point it elsewhere before
// any other thread runs; production keeps platform_time_now, the system time.
extern int32_t (*db_clock)();
// Called by db_expire between two chunks, holding no lock; null in production. Tests use it
// to see that a sweep lets other threads in.
extern void (*db_expire_between_chunks)();

// True when the calling thread holds any of the table's locks; for tests that check what runs
// outside them.
bool db_lock_held_by_caller();

// The administrator's "refuse now": holds `ip` (claiming the lowest free slot when it is not
// held) with a count no AuthFailures can exceed, stamped now, so that its next connection is
// refused and the quiet time runs from now. 1 done, 0 table full.
int32_t db_refuse(uint32_t ip);
