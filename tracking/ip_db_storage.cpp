// The address table's storage: a table's life, its slots, index and free-slot bitmap, the
// freeing of an address on a login (with its connections taken back from its network), the
// sweep's walk, and the module's current table. What a connection does to a slot, and which
// slots the sweep frees, are ip_db_rules.cpp's.
//
// DESIGN
//
// The table
// One object holds everything a table is: its slots, its index, its bitmap of free slots, its
// shape, its hash key, its locks, its held count and its change mark. A table made by db_table_make
// lives in one block (the object, then the bitmap, the index and the slots); the reserve keeps the
// same parts in static storage. The module reaches its table through one pointer (db_current), so
// two tables never share a word and a test may make as many as it likes.
//
// Slots
// One array in slot order, 12 bytes each, as the list view walks them. A new address takes the
// lowest free slot. Which slots are held and the address in each are written only under the
// allocator lock; a slot's counts only under the stripe lock of its address.
//
// Index
// An open-addressing array of 32-bit entries (slot + 1 in the low 21 bits, 11 bits of the address's
// hash above them as a tag, 0 for empty) with linear probing; deletion shifts the entries behind
// the hole back, so churn leaves no tombstones and a search ends at the first empty entry. 2.5
// entries per slot (load at most 0.4), so a whole table costs about 22 bytes a slot. The hash is
// keyed with a random word chosen when the table is made, so the stripes share the addresses evenly
// whatever the clients choose. Every procedure finds an address the one way (db_enter in
// tracking/ip_db_storage.h: hash, stripe, lock, search).
//
// Stripes and locks
// The index is cut into stripes by the hash of the address, each a region of its own with its own
// lock: decisions on different addresses on two threads then rarely touch the same lock, and a new
// address on a full table writes nothing shared at all (the held count answers "full"). One stripe
// while the table holds fewer than 512 slots (the default 48 among them), otherwise up to 64
// stripes of at least 256 slots each. The allocator lock is taken only to claim or free a slot and
// always after a stripe lock; with a single stripe that stripe's lock serves as the allocator's
// too. db_next copies a slot whole under its stripe lock after checking, under the allocator lock,
// that the slot still holds the address it saw. A stripe whose region is full (about 2.5 times its
// share, never seen in practice) answers "full" for its new addresses instead of overrunning.
//
// Free-slot bitmap
// One bit per slot (1 = free), with summary levels above it (one bit per non-empty word below),
// under the allocator lock: the lowest free slot is a few count-trailing-zeros away whatever the
// table's size, and the walks of held slots skip empty words.
//
// Sweep
// The sweep looks at DB_EXPIRE_CHUNK slots per hold of the allocator lock, reading last_seen
// and repeat (atomic) without the stripe locks, and then frees the due ones one by one, each
// under its stripe lock after checking it again, so a POP3 thread never waits long behind it.
// Which slots are due is the rules' answer (db_expire).
//
// Order
// An ordered table (the trusted set) also keeps its held slots in a doubly linked list, oldest
// first: a claim appends its slot, db_touch moves a slot to the end as it stamps it, and a free
// unlinks it, each under the allocator lock. The list's first slot is then the one stamped
// longest ago, found at once however large the table (db_oldest); the links cost 8 bytes a slot.
#include "tracking/ip_db_storage.h"

#include <cstring>
#include <new>

#include "host/base/ip_address.h"

static_assert(DB_SLOTS_MAX < (int32_t)DB_ENTRY_SLOT, "slot + 1 fits an index entry");
static_assert(sizeof(ip_entry) == 12, "a slot is 12 bytes");
static_assert(sizeof(std::atomic<uint8_t>) == 1, "an offender's state is one byte");

// The shape of a table of `slots` slots.
static constexpr db_geometry db_geometry_for(int32_t slots)
{
    db_geometry g{};
    g.slots = slots;
    while ((1 << g.stripe_shift) < DB_STRIPES_MAX && slots >> (g.stripe_shift + 1) >= DB_STRIPE_MIN_SLOTS)
        g.stripe_shift++;
    uint32_t stripes = 1u << g.stripe_shift;
    g.region = ((uint32_t)slots * DB_INDEX_PER_SLOT_TIMES_2 / 2 + stripes - 1) / stripes;
    int32_t words = (slots + 63) / 64, start = 0;
    for (;;) {
        g.level_start[g.levels++] = start;
        start += words;
        if (words == 1) break;
        words = (words + 63) / 64;
    }
    g.bit_words = start;
    return g;
}

// Index entries of a table of shape g.
static constexpr size_t db_index_entries(const db_geometry &g)
{
    return (size_t)g.region << g.stripe_shift;
}

// The reserve's storage, the module's current table and the retired one.
constexpr db_geometry DB_RESERVE_SHAPE = db_geometry_for(DB_SLOTS);
static ip_entry db_reserve_slots[DB_SLOTS];                           // the reserve's parts,
static uint32_t db_reserve_index[db_index_entries(DB_RESERVE_SHAPE)]; // laid out at load and
static uint64_t db_reserve_bits[DB_RESERVE_SHAPE.bit_words];          // then guarded as in any
static db_table db_reserve;                                           // table
static ip_entry db_reserve_net_slots[DB_SLOTS];                           // the reserve's
static uint32_t db_reserve_net_index[db_index_entries(DB_RESERVE_SHAPE)]; // network table,
static uint64_t db_reserve_net_bits[DB_RESERVE_SHAPE.bit_words];          // likewise
static db_table db_reserve_networks;
static std::atomic<db_table *> db_current_table{&db_reserve}; // written by start-up/shutdown,
    // read by every thread. Sequentially consistent, paired with the event gate's count:
    // start-up and shutdown publish, then drain the gate, then give the old table back, and a
    // dialog counts itself in, then reads the pointer; so either the dialog sees the new table
    // or the drain sees the dialog. (Release/acquire alone would not order the store before
    // the drain's load.) It also makes the table's fields visible to whoever reads the pointer.
static db_table *db_retired_table; // start-up/shutdown thread only
int32_t (*db_clock)() = platform_time_now; // set by tests before other threads start
void (*db_expire_between_chunks)();        // set by tests before other threads start

static void db_alloc_enter(db_table *t) { db_mutex_enter(t->alloc_mutex); }
static void db_alloc_leave(db_table *t) { db_mutex_leave(t->alloc_mutex); }

// ---- Index (caller holds the stripe lock) ------------------------------------------------------

// Removes the entry at index position `pos` of stripe `stripe`, shifting back each entry behind
// it that may move closer to its home, so that no search that passes the hole can miss it.
static void db_index_remove(db_table *t, int32_t stripe, uint32_t pos)
{
    uint32_t region = t->shape.region;
    uint32_t base = (uint32_t)stripe * region;
    uint32_t hole = pos - base, j = hole;
    for (;;) {
        if (++j == region) j = 0;
        uint32_t entry = t->index[base + j];
        if (entry == 0) break;
        uint32_t home = db_home_of(t, db_hash(t, t->slots[(entry & DB_ENTRY_SLOT) - 1].ip));
        // The entry may fill the hole unless its home lies cyclically in (hole, j].
        bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        t->index[base + hole] = entry;
        hole = j;
    }
    t->index[base + hole] = 0;
    t->stripe[stripe].entries--;
}

// ---- Free-slot bitmap (caller holds the allocator lock) --------------------------------------

static int32_t db_ctz(uint64_t word) { return __builtin_ctzll(word); }

// Takes the lowest free slot off the bitmap; -1 when none is free.
static int32_t db_bits_take_lowest(db_table *t)
{
    const db_geometry &g = t->shape;
    int32_t top = g.levels - 1;
    if (t->free_bits[g.level_start[top]] == 0) return -1;
    uint32_t w = 0;
    for (int32_t l = top; l >= 0; l--)
        w = w * 64 + (uint32_t)db_ctz(t->free_bits[g.level_start[l] + w]);
    uint32_t i = w;
    for (int32_t l = 0; l < g.levels; l++, i >>= 6) {
        uint64_t &word = t->free_bits[g.level_start[l] + (i >> 6)];
        word &= ~(1ull << (i & 63));
        if (word != 0) break; // the levels above still see free slots below this word
    }
    return (int32_t)w;
}

// Puts slot `slot` back on the bitmap.
static void db_bits_give(db_table *t, int32_t slot)
{
    const db_geometry &g = t->shape;
    uint32_t i = (uint32_t)slot;
    for (int32_t l = 0; l < g.levels; l++, i >>= 6) {
        uint64_t &word = t->free_bits[g.level_start[l] + (i >> 6)];
        bool was_empty = word == 0;
        word |= 1ull << (i & 63);
        if (!was_empty) break;
    }
}

// The first held slot at or after `from` and before `end` (at most the table's size), or -1.
static int32_t db_bits_next_held(const db_table *t, int32_t from, int32_t end)
{
    if (from >= end) return -1;
    int32_t w = from >> 6, last = (end - 1) >> 6;
    uint64_t held = ~t->free_bits[w] & (~0ull << (from & 63));
    for (;;) {
        if (w == last && (end & 63) != 0) held &= (1ull << (end & 63)) - 1;
        if (held != 0) return w * 64 + db_ctz(held);
        if (++w > last) return -1;
        held = ~t->free_bits[w];
    }
}

// Marks every slot free and empties the index, the stripes' counts and the held count. Only
// while the table is being laid out: no other thread can reach it yet.
static void db_reset_storage(db_table *t)
{
    const db_geometry &g = t->shape;
    int32_t bits = g.slots; // bits that mean something in this level
    for (int32_t l = 0; l < g.levels; l++) {
        uint64_t *level = t->free_bits + g.level_start[l];
        int32_t words = (bits + 63) / 64;
        for (int32_t w = 0; w < words; w++) {
            int32_t valid = bits - w * 64;
            level[w] = valid >= 64 ? ~0ull : (1ull << valid) - 1;
        }
        bits = words;
    }
    for (int32_t i = 0; i < g.slots; i++) t->slots[i].held = 0;
    memset(t->index, 0, sizeof(uint32_t) * db_index_entries(g));
    for (int32_t s = 0; s < db_stripes(t); s++) t->stripe[s].entries = 0;
    t->held_count.store(0, std::memory_order_relaxed);
    t->order_oldest = t->order_newest = -1;
}

// ---- An ordered table's list (caller holds the allocator lock) ---------------------------------

// Appends `slot` at the newest end of the list.
static void db_order_append(db_table *t, int32_t slot)
{
    int32_t *link = t->order;
    link[2 * slot] = t->order_newest;
    link[2 * slot + 1] = -1;
    if (t->order_newest >= 0) link[2 * t->order_newest + 1] = slot;
    else t->order_oldest = slot;
    t->order_newest = slot;
}

// Takes `slot` out of the list.
static void db_order_unlink(db_table *t, int32_t slot)
{
    int32_t *link = t->order;
    int32_t before = link[2 * slot], after = link[2 * slot + 1];
    if (before >= 0) link[2 * before + 1] = after;
    else t->order_oldest = after;
    if (after >= 0) link[2 * after] = before;
    else t->order_newest = before;
}

// ---- Claiming and freeing slots ----------------------------------------------------------------

int32_t db_claim(db_table *t, uint32_t ip, int32_t last_seen)
{
    db_alloc_enter(t);
    int32_t i = db_bits_take_lowest(t);
    if (i >= 0) {
        ip_entry &slot = t->slots[i];
        slot.held = 1;
        slot.last_seen.store(last_seen, std::memory_order_relaxed);
        slot.ip = ip;
        slot.conns = 0;
        slot.repeat.store(0, std::memory_order_relaxed);
        t->held_count.store(t->held_count.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        if (t->order) db_order_append(t, i);
    }
    db_alloc_leave(t);
    return i;
}

int32_t db_hold(db_table *t, uint32_t ip, uint16_t conns, int32_t last_seen, bool at_least)
{
    db_spot spot = db_enter(t, ip);
    int32_t i = spot.slot;
    if (i < 0 && db_stripe_has_room(t, spot.stripe)) {
        i = db_claim(t, ip, last_seen);
        if (i >= 0) db_index_enter(t, spot, i);
    }
    if (i >= 0) {
        if (!at_least || t->slots[i].conns < conns) t->slots[i].conns = conns;
        t->slots[i].last_seen.store(last_seen, std::memory_order_relaxed);
    }
    db_leave(t, spot);
    if (i >= 0) db_note_change(t);
    return i >= 0 ? 1 : 0;
}

void db_free_spot(db_table *t, db_spot *spot)
{
    db_index_remove(t, spot->stripe, spot->pos);
    db_alloc_enter(t);
    t->slots[spot->slot].held = 0;
    db_bits_give(t, spot->slot);
    if (t->order) db_order_unlink(t, spot->slot);
    t->held_count.store(t->held_count.load(std::memory_order_relaxed) - 1,
                        std::memory_order_relaxed);
    db_alloc_leave(t);
    spot->slot = -1;
}

void db_touch(db_table *t, const db_spot &spot, int32_t last_seen)
{
    t->slots[spot.slot].last_seen.store(last_seen, std::memory_order_relaxed);
    db_alloc_enter(t);
    db_order_unlink(t, spot.slot);
    db_order_append(t, spot.slot);
    db_alloc_leave(t);
}

int32_t db_oldest(db_table *t, uint32_t *ip)
{
    db_alloc_enter(t);
    int32_t slot = t->order_oldest;
    if (slot >= 0) *ip = t->slots[slot].ip;
    db_alloc_leave(t);
    return slot;
}

// ---- Life of a table -------------------------------------------------------------------------

// Makes an empty table of `slots` slots in `t` over the parts given (`order` null for a table
// that is not ordered), with its locks and a key of its own; its change mark is set.
static void db_table_lay_out(db_table *t, int32_t slots, ip_entry *slot_storage, uint32_t *index,
                             uint64_t *free_bits, int32_t *order = nullptr)
{
    t->shape = db_geometry_for(slots);
    t->slots = slot_storage;
    t->index = index;
    t->free_bits = free_bits;
    t->order = order;
    for (int32_t i = 0; i < slots; i++) new (&slot_storage[i]) ip_entry();
    for (int32_t s = 0; s < db_stripes(t); s++) db_mutex_init(&t->stripe[s].mutex);
    // With one stripe its lock already orders every claim and free; entering it again (the
    // caller holds it) costs no second contended cache line.
    if (db_stripes(t) == 1) {
        t->alloc_mutex = &t->stripe[0].mutex;
    } else {
        db_mutex_init(&t->alloc_lock);
        t->alloc_mutex = &t->alloc_lock;
    }
    t->key = platform_random_word();
    db_reset_storage(t);
    t->changed.store(true, std::memory_order_relaxed);
}

// The reserve, laid out when the module is loaded: before any thread can take it.
[[maybe_unused]] static const bool db_reserve_laid_out =
    (db_table_lay_out(&db_reserve, DB_SLOTS, db_reserve_slots, db_reserve_index, db_reserve_bits),
     db_table_lay_out(&db_reserve_networks, DB_SLOTS, db_reserve_net_slots, db_reserve_net_index,
                      db_reserve_net_bits),
     true);

static int32_t db_clamp_slots(int32_t slots)
{
    return slots < DB_SLOTS ? DB_SLOTS : slots > DB_SLOTS_MAX ? DB_SLOTS_MAX : slots;
}

// Bytes of an ordered table's links.
static size_t db_order_bytes(int32_t slots, bool ordered)
{
    return ordered ? 2 * sizeof(int32_t) * (size_t)slots : 0;
}

size_t db_table_bytes(int32_t slots, bool ordered)
{
    slots = db_clamp_slots(slots);
    db_geometry g = db_geometry_for(slots);
    // Room to align the object, then the object, the bitmap words, the index, the slots and an
    // ordered table's links: each part stays aligned.
    return DB_ALIGN - 1 + sizeof(db_table) + sizeof(uint64_t) * (size_t)g.bit_words +
           sizeof(uint32_t) * db_index_entries(g) + sizeof(ip_entry) * (size_t)g.slots +
           db_order_bytes(slots, ordered);
}

db_table *db_table_make(int32_t slots, void *(*alloc)(size_t), void (*release)(void *),
                        bool ordered)
{
    slots = db_clamp_slots(slots);
    void *block = alloc ? alloc(db_table_bytes(slots, ordered)) : nullptr;
    if (block == nullptr) return nullptr;
    uintptr_t at = ((uintptr_t)block + DB_ALIGN - 1) & ~(uintptr_t)(DB_ALIGN - 1);
    db_table *t = new ((void *)at) db_table();
    at += sizeof(db_table);
    db_geometry g = db_geometry_for(slots);
    uint64_t *free_bits = (uint64_t *)at;
    at += sizeof(uint64_t) * (size_t)g.bit_words;
    uint32_t *index = (uint32_t *)at;
    at += sizeof(uint32_t) * db_index_entries(g);
    ip_entry *slot_storage = (ip_entry *)at;
    at += sizeof(ip_entry) * (size_t)slots;
    db_table_lay_out(t, slots, slot_storage, index, free_bits, ordered ? (int32_t *)at : nullptr);
    t->block = block;
    t->release = release;
    return t;
}

void db_table_free(db_table *t)
{
    if (t == nullptr || t->block == nullptr) return;
    db_table_free(t->networks);
    db_table_free(t->trusted);
    for (int32_t s = 0; s < db_stripes(t); s++) db_mutex_destroy(&t->stripe[s].mutex);
    if (db_stripes(t) > 1) db_mutex_destroy(&t->alloc_lock);
    void *block = t->block;
    void (*release)(void *) = t->release;
    t->~db_table();
    if (release) release(block);
}

db_table *db_table_reserve() { return &db_reserve; }

db_table *db_table_reserve_networks() { return &db_reserve_networks; }

db_table *db_current() { return db_current_table.load(); }

void db_publish(db_table *t)
{
    db_table *last = db_current_table.exchange(t);
    if (last != t) db_retired_table = last;
}

void db_give_back_retired()
{
    db_table *t = db_retired_table;
    db_retired_table = nullptr;
    db_table_free(t);
}

// ---- A table as a whole ------------------------------------------------------------------------

int32_t db_capacity(const db_table *t) { return t->shape.slots; }

int32_t db_held(const db_table *t) { return t->held_count.load(std::memory_order_relaxed); }

int32_t db_clear(db_table *t)
{
    for (int32_t s = 0; s < db_stripes(t); s++) {
        db_stripe_enter(t, s);
        db_alloc_enter(t);
        uint32_t *entry = t->index + (uint32_t)s * t->shape.region;
        int32_t freed = 0;
        for (uint32_t p = 0; p < t->shape.region; p++, entry++) {
            if (*entry == 0) continue;
            int32_t slot = (int32_t)(*entry & DB_ENTRY_SLOT) - 1;
            t->slots[slot].held = 0;
            db_bits_give(t, slot);
            if (t->order) db_order_unlink(t, slot);
            *entry = 0;
            freed++;
        }
        t->stripe[s].entries = 0;
        t->held_count.store(t->held_count.load(std::memory_order_relaxed) - freed,
                            std::memory_order_relaxed);
        db_alloc_leave(t);
        db_stripe_leave(t, s);
    }
    db_note_change(t);
    if (t->networks) db_clear(t->networks);
    return 1;
}

int32_t db_next(db_table *t, int32_t after, ip_entry_copy *out)
{
    if (after < -1) after = -1;
    for (;;) {
        if (after >= t->shape.slots - 1) return -1;
        db_alloc_enter(t);
        int32_t i = db_bits_next_held(t, after + 1, t->shape.slots);
        uint32_t ip = i >= 0 ? t->slots[i].ip : 0;
        db_alloc_leave(t);
        if (i < 0) return -1;
        // The slot's counts are guarded by its address's stripe lock; the slot may have been
        // freed, or taken by another address, before that lock is held: then look again.
        int32_t s = db_spot_of(t, ip).stripe;
        db_stripe_enter(t, s);
        db_alloc_enter(t);
        bool same = t->slots[i].held && t->slots[i].ip == ip;
        db_alloc_leave(t);
        if (same) {
            out->last_seen = t->slots[i].last_seen.load(std::memory_order_relaxed);
            out->ip = ip;
            out->conns = t->slots[i].conns;
            uint8_t repeat = t->slots[i].repeat.load(std::memory_order_relaxed);
            out->offences = repeat & DB_OFFENCES_MAX;
            out->refusing = (repeat & DB_REFUSING) != 0;
        }
        db_stripe_leave(t, s);
        if (same) return i;
    }
}

// ---- Freeing on a login -----------------------------------------------------------------------

// Takes `conns` connections back from the network `net` in the network table `n`, freeing the
// network's slot when none remain.
static void db_network_take_back(db_table *n, uint32_t net, uint16_t conns)
{
    db_spot spot = db_enter(n, net);
    bool held = spot.slot >= 0;
    if (held) {
        ip_entry &slot = n->slots[spot.slot];
        if (slot.conns <= conns) db_free_spot(n, &spot);
        else slot.conns = (uint16_t)(slot.conns - conns);
    }
    db_leave(n, spot);
    if (held) db_note_change(n);
}

int32_t db_release(db_table *t, uint32_t ip)
{
    db_spot spot = db_enter(t, ip);
    bool held = spot.slot >= 0;
    if (held) {
        uint16_t conns = t->slots[spot.slot].conns;
        db_free_spot(t, &spot);
        if (t->networks) db_network_take_back(t->networks, ip & t->network_mask, conns);
    }
    db_leave(t, spot);
    if (held) db_note_change(t);
    return 0;
}

void db_uncount_network(db_table *t, uint32_t net)
{
    if (t->networks) db_network_take_back(t->networks, net, 1);
}

int32_t db_forget_network(db_table *t, uint32_t net)
{
    return t->networks ? db_release(t->networks, net) : 0;
}

// ---- The sweep's walk --------------------------------------------------------------------------

int32_t db_sweep(db_table *t, bool (*due)(const ip_entry &slot, const void *context),
                 const void *context)
{
    int32_t freed = 0, slots = t->shape.slots;
    struct due_slot {
        int32_t slot;
        uint32_t ip;
    } found[DB_EXPIRE_CHUNK];
    for (int32_t start = 0; start < slots; start += DB_EXPIRE_CHUNK) {
        int32_t end = start + DB_EXPIRE_CHUNK < slots ? start + DB_EXPIRE_CHUNK : slots;
        int32_t n = 0;
        db_alloc_enter(t);
        for (int32_t i = db_bits_next_held(t, start, end); i >= 0;
             i = db_bits_next_held(t, i + 1, end))
            if (due(t->slots[i], context)) found[n++] = {i, t->slots[i].ip};
        db_alloc_leave(t);
        // Each due slot again under its stripe lock: a connection or a login since the look
        // above keeps it or has freed it already.
        for (int32_t k = 0; k < n; k++) {
            db_spot spot = db_enter(t, found[k].ip);
            if (spot.slot == found[k].slot && due(t->slots[spot.slot], context)) {
                db_free_spot(t, &spot);
                freed++;
            }
            db_leave(t, spot);
        }
        if (end < slots && db_expire_between_chunks) db_expire_between_chunks();
    }
    if (freed > 0) db_note_change(t);
    return freed;
}

// ---- The state file's marks, the networks' wiring, the tests' probe ----------------------------

int32_t db_restore(db_table *t, uint32_t ip, uint16_t conns, int32_t last_seen)
{
    return db_hold(t, ip, conns, last_seen, false);
}

int32_t db_restore_offences(db_table *t, uint32_t ip, int32_t offences, bool refusing)
{
    if (offences < 0) offences = 0;
    if (offences > DB_OFFENCES_MAX) offences = DB_OFFENCES_MAX;
    uint8_t repeat = offences == 0 ? 0 : (uint8_t)(offences | (refusing ? DB_REFUSING : 0));
    db_spot spot = db_enter(t, ip);
    if (spot.slot >= 0) t->slots[spot.slot].repeat.store(repeat, std::memory_order_relaxed);
    db_leave(t, spot);
    if (spot.slot >= 0) db_note_change(t);
    return spot.slot >= 0 ? 1 : 0;
}

// Takes one table's own change mark.
static bool db_take_mark(db_table *t)
{
    if (!t->changed.load(std::memory_order_relaxed)) return false;
    return t->changed.exchange(false, std::memory_order_relaxed);
}

bool db_take_changed(db_table *t)
{
    bool changed = db_take_mark(t);
    if (t->networks && db_take_mark(t->networks)) changed = true;
    if (t->trusted && db_take_mark(t->trusted)) changed = true;
    return changed;
}

void db_mark_changed(db_table *t) { t->changed.store(true, std::memory_order_relaxed); }

bool db_lock_held_by_caller(db_table *t)
{
    if (t->networks && db_lock_held_by_caller(t->networks)) return true;
    if (t->trusted && db_lock_held_by_caller(t->trusted)) return true;
    for (int32_t s = 0; s < db_stripes(t); s++)
        if (db_mutex_owned(&t->stripe[s].mutex)) return true;
    return db_stripes(t) > 1 && db_mutex_owned(&t->alloc_lock);
}

void db_set_networks(db_table *t, db_table *networks, int32_t bits)
{
    if (t->networks != networks) db_table_free(t->networks);
    t->networks = networks;
    t->network_bits = networks ? bits : 0;
    t->network_mask = networks ? prefix_to_mask(bits) : 0xFFFFFFFFu;
    if (networks) networks->untracked.store(0, std::memory_order_relaxed);
}

db_table *db_networks(const db_table *t) { return t->networks; }

int32_t db_network_bits(const db_table *t) { return t->network_bits; }

uint32_t db_network_of(const db_table *t, uint32_t ip)
{
    return t->networks ? ip & t->network_mask : ip;
}

int32_t db_take_untracked(db_table *n)
{
    if (n->untracked.load(std::memory_order_relaxed) == 0) return 0;
    return n->untracked.exchange(0, std::memory_order_relaxed);
}

void db_set_trusted(db_table *t, db_table *trusted, int32_t bits)
{
    if (t->trusted != trusted) db_table_free(t->trusted);
    t->trusted = trusted;
    t->trust_bits = trusted ? bits : 0;
    t->trust_mask = trusted ? prefix_to_mask(bits) : 0xFFFFFFFFu;
}

db_table *db_trusted_set(const db_table *t) { return t->trusted; }

int32_t db_trust_bits(const db_table *t) { return t->trust_bits; }
