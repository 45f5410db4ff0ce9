// The address table's storage, inside the table: how a table is laid out, how an address is
// found in it, and how slots are claimed and freed. ip_db_storage.cpp keeps the storage;
// ip_db_rules.cpp decides with it. Nothing outside tracking/ip_db_*.cpp includes this file.
//
// Owns: the layout of db_table (below); the procedures that claim, free, find and walk slots.
// Threads: as the table's (tracking/ip_db.h): the POP3 threads, the sweeper, the dialog's
// thread and the start-up/shutdown thread, each on the table it was handed.
// Lock: a table's stripe lock of an address guards its part of the index and its slot's
// counts; its allocator lock guards which slots are held and the addresses in them. Every
// stripe lock is taken before the allocator lock, never after; an address's stripe lock before
// any lock of the table's network table. Each procedure below says which lock its caller holds.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/base/platform.h"
#include "tracking/ip_db.h"

enum : int32_t {
    DB_INDEX_PER_SLOT_TIMES_2 = 5, // index entries per slot, times 2
    DB_STRIPE_MIN_SLOTS = 256,     // fewest slots per stripe when there are several
    DB_LEVELS_MAX = 4,             // bitmap levels: 64^4 words' worth covers DB_SLOTS_MAX
    DB_SLOT_BITS = 21,             // slot + 1 in an index entry
    DB_TAG_BITS = 32 - DB_SLOT_BITS,
    DB_ALIGN = 64,                 // a cache line: the object's stripe locks each have one
};
constexpr uint32_t DB_ENTRY_SLOT = (1u << DB_SLOT_BITS) - 1;

// One stripe's lock and the count of entries in its region, on a cache line of its own.
struct alignas(DB_ALIGN) db_stripe_lock {
    db_mutex mutex;
    int32_t entries; // filled index entries in the stripe's region; under mutex
};

// The shape of a table of a given size.
struct db_geometry {
    int32_t slots;
    int32_t stripe_shift;               // stripes = 1 << stripe_shift
    uint32_t region;                    // index entries per stripe
    int32_t levels;                     // bitmap levels; the last has one word
    int32_t level_start[DB_LEVELS_MAX]; // first word of each level
    int32_t bit_words;                  // words of all levels
};

// One table. Every field but the counts and the locks' insides is written by the table's
// lay-out alone, before the table is published, and only read afterwards.
struct db_table {
    db_geometry shape;
    ip_entry *slots;       // the slots; see tracking/ip_db.h for their guards
    uint32_t *index;       // entries under the stripe locks
    uint64_t *free_bits;   // 1 = free; under the allocator lock
    uint32_t key;          // the hash's key
    db_mutex *alloc_mutex; // the allocator's lock: stripe[0].mutex with one stripe, else alloc_lock
    void *block;             // db_table_make's block, or null for the reserve
    void (*release)(void *); // how to give `block` back
    std::atomic<int32_t> held_count; // written under the allocator lock; read anywhere, relaxed
    std::atomic<bool> changed;       // any thread; relaxed (a hint for the state file, stored
                                     // only when not already set)
    db_table *networks;        // the network table counted into, or null; set by start-up alone
    uint32_t network_mask;     // the mask of network_bits; set with `networks`
    int32_t network_bits;      // 0 with no network table
    std::atomic<int32_t> untracked; // of a network table: connections let in while it was full,
                                    // since the sweeper last took them; relaxed
    int32_t *order;       // an ordered table's links, two a slot (the slot stamped before it and
                          // the one after), or null; under the allocator lock
    int32_t order_oldest; // an ordered table's first and last held slot in that order, -1 when
    int32_t order_newest; // none is held; under the allocator lock
    db_table *trusted;    // the trusted set, an ordered table, or null; set by start-up alone
    uint32_t trust_mask;  // the mask of trust_bits; set with `trusted`
    int32_t trust_bits;   // 0 with no trusted set
    db_mutex alloc_lock;
    db_stripe_lock stripe[DB_STRIPES_MAX]; // the first 1 << shape.stripe_shift are made
};

// ---- Locks and the change mark ----------------------------------------------------------------

inline int32_t db_stripes(const db_table *t) { return 1 << t->shape.stripe_shift; }
inline void db_stripe_enter(db_table *t, int32_t s) { db_mutex_enter(&t->stripe[s].mutex); }
inline void db_stripe_leave(db_table *t, int32_t s) { db_mutex_leave(&t->stripe[s].mutex); }

// Marks the table changed for the state file; any thread, any lock.
inline void db_note_change(db_table *t)
{
    if (!t->changed.load(std::memory_order_relaxed))
        t->changed.store(true, std::memory_order_relaxed);
}

// ---- Finding an address ------------------------------------------------------------------------

// The keyed hash of an address (the finaliser of MurmurHash3: every input bit moves every
// output bit). Its top bits pick the stripe, the rest the home position in the stripe's region.
inline uint32_t db_hash(const db_table *t, uint32_t ip)
{
    uint32_t h = ip ^ t->key;
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}
inline int32_t db_stripe_of(const db_table *t, uint32_t h)
{
    return (int32_t)(((uint64_t)h << t->shape.stripe_shift) >> 32);
}
// Position of the home entry within the stripe's region.
inline uint32_t db_home_of(const db_table *t, uint32_t h)
{
    uint32_t rest = h << t->shape.stripe_shift;
    return (uint32_t)(((uint64_t)rest * t->shape.region) >> 32);
}
inline uint32_t db_tag_of(uint32_t h) { return (h * 0x9E3779B1u) >> DB_SLOT_BITS; }

// One address's place in a table: where its stripe and its index entry are, and its slot.
struct db_spot {
    uint32_t ip;
    uint32_t hash;
    int32_t stripe;
    uint32_t pos; // index position of its entry, or of the empty entry where the search ended
    int32_t slot; // its slot, or -1 when it is not held
};

// The place of `ip` before the lookup: its hash and its stripe. No lock.
inline db_spot db_spot_of(const db_table *t, uint32_t ip)
{
    uint32_t h = db_hash(t, ip);
    return db_spot{ip, h, db_stripe_of(t, h), 0, -1};
}

// Starts the index line of `spot` on its way to the cache, ahead of db_find.
inline void db_prefetch(const db_table *t, const db_spot &spot)
{
    uint32_t home = (uint32_t)spot.stripe * t->shape.region + db_home_of(t, spot.hash);
    __builtin_prefetch(&t->index[home]);
}

// Takes the stripe lock of `spot` and looks its address up: spot->slot and spot->pos. The
// caller ends with db_leave.
inline void db_find(db_table *t, db_spot *spot)
{
    db_stripe_enter(t, spot->stripe);
    uint32_t region = t->shape.region;
    uint32_t base = (uint32_t)spot->stripe * region;
    uint32_t p = db_home_of(t, spot->hash), tag = db_tag_of(spot->hash);
    spot->slot = -1;
    for (;;) {
        uint32_t entry = t->index[base + p];
        if (entry == 0) break;
        if (entry >> DB_SLOT_BITS == tag) {
            int32_t slot = (int32_t)(entry & DB_ENTRY_SLOT) - 1;
            if (t->slots[slot].ip == spot->ip) {
                spot->slot = slot;
                break;
            }
        }
        if (++p == region) p = 0;
    }
    spot->pos = base + p;
}

// Hashes `ip`, takes its stripe lock and looks it up: the one way every procedure finds an
// address. The caller ends with db_leave.
inline db_spot db_enter(db_table *t, uint32_t ip)
{
    db_spot spot = db_spot_of(t, ip);
    db_find(t, &spot);
    return spot;
}

// Lets go of the stripe lock db_find or db_enter took.
inline void db_leave(db_table *t, const db_spot &spot) { db_stripe_leave(t, spot.stripe); }

// ---- Claiming and freeing slots (caller holds the stripe lock of the spot) --------------------

// True when stripe s may take one more entry: a search must always meet an empty entry.
inline bool db_stripe_has_room(const db_table *t, int32_t s)
{
    return (uint32_t)t->stripe[s].entries + 1 < t->shape.region;
}

// Enters a slot just claimed at the empty index position the failed search of `spot` ended on.
inline void db_index_enter(db_table *t, const db_spot &spot, int32_t slot)
{
    t->index[spot.pos] = db_tag_of(spot.hash) << DB_SLOT_BITS | (uint32_t)(slot + 1);
    t->stripe[spot.stripe].entries++;
}

// Claims the lowest free slot for `ip`, stamped `last_seen`, with no connection counted; the
// slot or -1 when every slot is held. The caller enters the slot in the index.
int32_t db_claim(db_table *t, uint32_t ip, int32_t last_seen);

// Claims the lowest free slot for the address of `spot` (not held), stamped `last_seen`, with
// one connection counted, and enters it in the index; the slot, or -1 when the table or the
// stripe is full. A full table is answered from the held count alone: nothing shared is written.
inline int32_t db_claim_at(db_table *t, db_spot *spot, int32_t last_seen)
{
    int32_t i;
    if (t->held_count.load(std::memory_order_relaxed) >= t->shape.slots ||
        !db_stripe_has_room(t, spot->stripe) || (i = db_claim(t, spot->ip, last_seen)) < 0)
        return -1;
    t->slots[i].conns = 1;
    db_index_enter(t, *spot, i);
    spot->slot = i;
    return i;
}
// The same, stamped now.
inline int32_t db_claim_new(db_table *t, db_spot *spot) { return db_claim_at(t, spot, db_clock()); }
// Frees the slot of `spot` (held) and takes it out of the index.
void db_free_spot(db_table *t, db_spot *spot);

// ---- An ordered table (caller holds the stripe lock of the spot) -------------------------------

// Stamps the held slot of `spot` `last_seen` and makes it the newest of an ordered table.
void db_touch(db_table *t, const db_spot &spot, int32_t last_seen);
// The oldest held slot of an ordered table, with its address in *ip; -1 when none is held. No
// lock held by the caller, or a stripe lock.
int32_t db_oldest(db_table *t, uint32_t *ip);

// Holds `ip` with `conns` (or, with `at_least`, its count raised to `conns` when lower) and
// `last_seen`, claiming the lowest free slot when it is not held. 1 stored, 0 table full. Takes
// and leaves the stripe lock of `ip` itself.
int32_t db_hold(db_table *t, uint32_t ip, uint16_t conns, int32_t last_seen, bool at_least);

// ---- The sweep ----------------------------------------------------------------------------------

// Frees every held slot for which `due` answers true, both when it is first looked at under
// the allocator lock and again under its stripe lock; returns how many. DB_EXPIRE_CHUNK slots
// per hold of the allocator lock, no lock held between chunks. `due` reads only the slot's
// atomic words (last_seen, repeat) and `context`.
int32_t db_sweep(db_table *t, bool (*due)(const ip_entry &slot, const void *context),
                 const void *context);
