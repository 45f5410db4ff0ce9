// The address table: claim, count, refuse, release and expire client addresses.
//
// DESIGN: the slots are one array in slot order, 12 bytes each, as the list view walks them.
// An address is found through an open-addressing index of 32-bit entries (slot + 1 in the low
// 21 bits, 11 bits of the address's hash above them as a tag, 0 for empty) with linear probing;
// deletion shifts the entries behind the hole back, so churn leaves no tombstones and a search
// ends at the first empty entry. The index is cut into stripes by the hash of the address, each
// a region of its own with its own lock (db_lock[s]): decisions on different addresses on two
// threads then rarely touch the same lock, and a new address on a full table writes nothing
// shared at all (the held count answers "full"). The lowest free slot comes from a bitmap of
// free slots with summary levels (one bit per non-empty word below), under db_alloc_lock, taken
// only to claim or free a slot and always after a stripe lock (with a single stripe, as in the
// default table, that stripe's lock serves as the allocator's too). Which slots are in use and the
// address in each are written only under db_alloc_lock; a slot's counts only under the stripe
// lock of its address, so db_next copies a slot whole under that lock after checking, under
// db_alloc_lock, that the slot still holds the address it saw. The sweeper looks at 1024 slots
// per hold of db_alloc_lock, reading last_seen (atomic) without the stripe locks, and then frees
// the due ones one by one, each under its stripe lock after checking it again, so a POP3 thread
// never waits long behind it.
//
// Sizes: the index has 2.5 entries per slot (load at most 0.4), so the whole table costs about
// 22 bytes a slot. One stripe while the table holds fewer than 512 slots (the default 48 among
// them), otherwise up to 64 stripes of at least 256 slots each. The hash is keyed with a random
// word chosen when the table is made, so the stripes share the addresses evenly whatever the
// clients choose; a stripe whose region is full (about 2.5 times its share, never seen in
// practice) answers "full" for its new addresses instead of overrunning.
#include "tracking/ip_db.h"

#include <cstring>
#include <new>

#include "host/base/platform.h"
#include "tracking/black_list.h"
#include "tracking/white_list.h"

enum : int32_t {
    DB_INDEX_PER_SLOT_TIMES_2 = 5, // index entries per slot, times 2
    DB_STRIPE_MIN_SLOTS = 256,     // fewest slots per stripe when there are several
    DB_LEVELS_MAX = 4,             // bitmap levels: 64^4 words' worth covers DB_SLOTS_MAX
    DB_SLOT_BITS = 21,             // slot + 1 in an index entry
    DB_TAG_BITS = 32 - DB_SLOT_BITS,
    DB_STATIC_INDEX = DB_SLOTS * DB_INDEX_PER_SLOT_TIMES_2 / 2,
};
constexpr uint32_t DB_ENTRY_SLOT = (1u << DB_SLOT_BITS) - 1;
static_assert(DB_SLOTS_MAX < (int32_t)DB_ENTRY_SLOT, "slot + 1 fits an index entry");
static_assert(sizeof(ip_entry) == 12, "a slot is 12 bytes");

// One stripe's lock and the count of entries in its region, on a cache line of its own.
struct alignas(64) db_stripe_lock {
    db_mutex mutex;
    int32_t entries; // index entries in use in the stripe's region; under mutex
};

// The shape of a table of a given size.
struct db_geometry {
    int32_t slots;
    int32_t stripe_shift;                 // stripes = 1 << stripe_shift
    uint32_t region;                      // index entries per stripe
    int32_t levels;                       // bitmap levels; the last has one word
    int32_t level_start[DB_LEVELS_MAX];   // first word of each level
    int32_t bit_words;                    // words of all levels
};

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

static ip_entry db_static_slots[DB_SLOTS];      // storage of the default table
static uint32_t db_static_index[DB_STATIC_INDEX];
static uint64_t db_static_bits[1] = {(1ull << DB_SLOTS) - 1}; // every slot free at load

// The table in force. Written only by start-up and shutdown (db_init, db_resize, db_destroy)
// while no other thread is inside the table; read by every thread without a lock.
static ip_entry *ip_db = db_static_slots;       // the slots; see the header for their guards
static uint32_t *db_index = db_static_index;    // entries under the stripe locks
static uint64_t *db_free_bits = db_static_bits; // 1 = free; under db_alloc_lock
static db_geometry db_shape = db_geometry_for(DB_SLOTS); // of the table in force
static uint32_t db_key;                         // the hash's key
static void *db_block;                          // storage from db_resize, or null
static void (*db_block_release)(void *);        // how to give db_block back

static db_stripe_lock db_lock[DB_STRIPES_MAX]; // made and destroyed by start-up/shutdown
static db_mutex db_alloc_lock;                 // likewise
static db_mutex *db_alloc_mutex = &db_lock[0].mutex; // the allocator's lock in force (set with
                                                     // the table's shape; see db_install)
static std::atomic<bool> db_lock_ready; // written by the start-up/shutdown thread; read by all
                                        // (acquire: a thread that sees true sees the locks made)
static std::atomic<int32_t> db_held_count; // written under db_alloc_lock; read anywhere, relaxed
static std::atomic<bool> db_changed;       // any thread; relaxed (a hint for the state file,
                                           // stored only when not already set)
int32_t (*db_clock)() = platform_time_now; // set by tests before other threads start
void (*db_expire_between_chunks)();        // set by tests before other threads start

// ---- Locks ----------------------------------------------------------------------------------

// Take a lock when the locks exist. Without them the module is stopped: no POP3 call and no
// sweeper can be inside the table (shutdown drains them before the locks go), so the dialog's
// thread may work alone. Each returns whether it took the lock; its leave is handed that answer.
static bool db_stripe_enter(int32_t stripe)
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return false;
    db_mutex_enter(&db_lock[stripe].mutex);
    return true;
}
static void db_stripe_leave(int32_t stripe, bool locked)
{
    if (locked) db_mutex_leave(&db_lock[stripe].mutex);
}
static bool db_alloc_enter()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return false;
    db_mutex_enter(db_alloc_mutex);
    return true;
}
static void db_alloc_leave(bool locked)
{
    if (locked) db_mutex_leave(db_alloc_mutex);
}

static void db_note_change()
{
    if (!db_changed.load(std::memory_order_relaxed)) db_changed.store(true, std::memory_order_relaxed);
}

// ---- Hash and index (caller holds the stripe lock) -------------------------------------------

// The keyed hash of an address (the finaliser of MurmurHash3: every input bit moves every
// output bit). Its top bits pick the stripe, the rest the home position in the stripe's region.
static inline uint32_t db_hash(uint32_t ip)
{
    uint32_t h = ip ^ db_key;
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}
static inline int32_t db_stripe_of(uint32_t h)
{
    return (int32_t)(((uint64_t)h << db_shape.stripe_shift) >> 32);
}
// Position of the home entry within the stripe's region.
static inline uint32_t db_home_of(uint32_t h)
{
    uint32_t rest = h << db_shape.stripe_shift;
    return (uint32_t)(((uint64_t)rest * db_shape.region) >> 32);
}
static inline uint32_t db_tag_of(uint32_t h) { return (h * 0x9E3779B1u) >> DB_SLOT_BITS; }

// Looks `ip` (hash h) up in its stripe's region. Returns the slot, or -1; *pos is the index
// position of its entry, or of the empty entry where the search ended.
static int32_t db_index_find(uint32_t ip, uint32_t h, uint32_t *pos)
{
    uint32_t base = (uint32_t)db_stripe_of(h) * db_shape.region;
    uint32_t p = db_home_of(h), tag = db_tag_of(h);
    for (;;) {
        uint32_t entry = db_index[base + p];
        if (entry == 0) break;
        if (entry >> DB_SLOT_BITS == tag) {
            int32_t slot = (int32_t)(entry & DB_ENTRY_SLOT) - 1;
            if (ip_db[slot].ip == ip) {
                *pos = base + p;
                return slot;
            }
        }
        if (++p == db_shape.region) p = 0;
    }
    *pos = base + p;
    return -1;
}

// Removes the entry at index position `pos` of stripe `stripe`, shifting back each entry behind
// it that may move closer to its home, so that no search that passes the hole can miss it.
static void db_index_remove(int32_t stripe, uint32_t pos)
{
    uint32_t base = (uint32_t)stripe * db_shape.region;
    uint32_t hole = pos - base, j = hole;
    for (;;) {
        if (++j == db_shape.region) j = 0;
        uint32_t entry = db_index[base + j];
        if (entry == 0) break;
        uint32_t home = db_home_of(db_hash(ip_db[(entry & DB_ENTRY_SLOT) - 1].ip));
        // The entry may fill the hole unless its home lies cyclically in (hole, j].
        bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        db_index[base + hole] = entry;
        hole = j;
    }
    db_index[base + hole] = 0;
    db_lock[stripe].entries--;
}

// ---- Free-slot bitmap (caller holds db_alloc_lock) -------------------------------------------

static int32_t db_ctz(uint64_t word) { return __builtin_ctzll(word); }

// Takes the lowest free slot off the bitmap; -1 when none is free.
static int32_t db_bits_take_lowest()
{
    int32_t top = db_shape.levels - 1;
    if (db_free_bits[db_shape.level_start[top]] == 0) return -1;
    uint32_t w = 0;
    for (int32_t l = top; l >= 0; l--) w = w * 64 + (uint32_t)db_ctz(db_free_bits[db_shape.level_start[l] + w]);
    uint32_t i = w;
    for (int32_t l = 0; l < db_shape.levels; l++, i >>= 6) {
        uint64_t &word = db_free_bits[db_shape.level_start[l] + (i >> 6)];
        word &= ~(1ull << (i & 63));
        if (word != 0) break; // the levels above still see free slots below this word
    }
    return (int32_t)w;
}

// Puts slot `slot` back on the bitmap.
static void db_bits_give(int32_t slot)
{
    uint32_t i = (uint32_t)slot;
    for (int32_t l = 0; l < db_shape.levels; l++, i >>= 6) {
        uint64_t &word = db_free_bits[db_shape.level_start[l] + (i >> 6)];
        bool was_empty = word == 0;
        word |= 1ull << (i & 63);
        if (!was_empty) break;
    }
}

// The first slot in use at or after `from` and before `end` (at most the table's size), or -1.
static int32_t db_bits_next_used(int32_t from, int32_t end)
{
    if (from >= end) return -1;
    int32_t w = from >> 6, last = (end - 1) >> 6;
    uint64_t used = ~db_free_bits[w] & (~0ull << (from & 63));
    for (;;) {
        if (w == last && (end & 63) != 0) used &= (1ull << (end & 63)) - 1;
        if (used != 0) return w * 64 + db_ctz(used);
        if (++w > last) return -1;
        used = ~db_free_bits[w];
    }
}

// Marks every slot free and empties the index and the stripes' counts. The caller keeps every
// other thread out (all locks held, or none exist).
static void db_reset_storage()
{
    int32_t bits = db_shape.slots; // bits that mean something in this level
    for (int32_t l = 0; l < db_shape.levels; l++) {
        uint64_t *level = db_free_bits + db_shape.level_start[l];
        int32_t words = (bits + 63) / 64;
        for (int32_t w = 0; w < words; w++) {
            int32_t valid = bits - w * 64;
            level[w] = valid >= 64 ? ~0ull : (1ull << valid) - 1;
        }
        bits = words;
    }
    for (int32_t i = 0; i < db_shape.slots; i++) ip_db[i].in_use = 0;
    memset(db_index, 0, sizeof(uint32_t) * ((size_t)db_shape.region << db_shape.stripe_shift));
    for (db_stripe_lock &stripe : db_lock) stripe.entries = 0;
    db_held_count.store(0, std::memory_order_relaxed);
}

size_t db_storage_bytes(int32_t slots)
{
    if (slots <= DB_SLOTS) return 0;
    if (slots > DB_SLOTS_MAX) slots = DB_SLOTS_MAX;
    db_geometry g = db_geometry_for(slots);
    return sizeof(uint64_t) * (size_t)g.bit_words +
           sizeof(uint32_t) * ((size_t)g.region << g.stripe_shift) + sizeof(ip_entry) * (size_t)slots;
}

// Installs the static 48-slot table (block null) or one laid out in `block`, and empties it.
// The caller keeps every other thread out.
static void db_install(void *block, int32_t slots)
{
    db_shape = db_geometry_for(slots);
    // With one stripe its lock already orders every claim and free; entering it again (the
    // caller holds it) costs no second contended cache line.
    db_alloc_mutex = db_shape.stripe_shift == 0 ? &db_lock[0].mutex : &db_alloc_lock;
    if (block == nullptr) {
        ip_db = db_static_slots;
        db_index = db_static_index;
        db_free_bits = db_static_bits;
    } else {
        // Words first, then the index, then the slots: each part stays aligned.
        char *at = (char *)block;
        db_free_bits = (uint64_t *)at;
        at += sizeof(uint64_t) * (size_t)db_shape.bit_words;
        db_index = (uint32_t *)at;
        at += sizeof(uint32_t) * ((size_t)db_shape.region << db_shape.stripe_shift);
        ip_db = (ip_entry *)at;
        for (int32_t i = 0; i < slots; i++) new (&ip_db[i]) ip_entry();
    }
    db_key = platform_random_word(); // the index is empty: any key will do from here on
    db_reset_storage();
}

// ---- Life of the table -----------------------------------------------------------------------

int32_t db_init()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) {
        for (db_stripe_lock &stripe : db_lock) db_mutex_init(&stripe.mutex);
        db_mutex_init(&db_alloc_lock);
        db_key = platform_random_word(); // db_clear below empties the index whatever its key
        db_lock_ready.store(true, std::memory_order_release);
    }
    white_clear();
    return db_clear();
}

void db_destroy()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return;
    db_lock_ready.store(false, std::memory_order_release);
    for (db_stripe_lock &stripe : db_lock) db_mutex_destroy(&stripe.mutex);
    db_mutex_destroy(&db_alloc_lock);
    if (db_block != nullptr) {
        void *block = db_block;
        db_block = nullptr;
        db_install(nullptr, DB_SLOTS);
        db_block_release(block);
    }
}

int32_t db_resize(int32_t slots, void *(*alloc)(size_t), void (*release)(void *))
{
    if (slots < DB_SLOTS) slots = DB_SLOTS;
    if (slots > DB_SLOTS_MAX) slots = DB_SLOTS_MAX;
    // The same table again (always so without MaxAddresses) keeps its storage and its key:
    // db_init has emptied it, and a thread left behind by a shutdown that could not wait for
    // it still finds the table it knew.
    if (slots == db_shape.slots && (slots == DB_SLOTS) == (db_block == nullptr)) return 1;
    void *block = nullptr;
    if (slots != DB_SLOTS) {
        block = alloc ? alloc(db_storage_bytes(slots)) : nullptr;
        if (block == nullptr) release = nullptr;
    }
    bool made = slots == DB_SLOTS || block != nullptr;
    void *old = db_block;
    void (*old_release)(void *) = db_block_release;
    db_block = block;
    db_block_release = release;
    db_install(block, made ? slots : DB_SLOTS);
    if (old != nullptr) old_release(old);
    db_note_change();
    return made ? 1 : 0;
}

int32_t db_capacity() { return db_shape.slots; }

int32_t db_clear()
{
    int32_t stripes = 1 << db_shape.stripe_shift;
    for (int32_t s = 0; s < stripes; s++) {
        bool locked = db_stripe_enter(s);
        bool alloc_locked = db_alloc_enter();
        uint32_t *entry = db_index + (uint32_t)s * db_shape.region;
        int32_t freed = 0;
        for (uint32_t p = 0; p < db_shape.region; p++, entry++) {
            if (*entry == 0) continue;
            int32_t slot = (int32_t)(*entry & DB_ENTRY_SLOT) - 1;
            ip_db[slot].in_use = 0;
            db_bits_give(slot);
            *entry = 0;
            freed++;
        }
        db_lock[s].entries = 0;
        db_held_count.store(db_held_count.load(std::memory_order_relaxed) - freed,
                            std::memory_order_relaxed);
        db_alloc_leave(alloc_locked);
        db_stripe_leave(s, locked);
    }
    db_note_change();
    return 1;
}

// ---- Slots -----------------------------------------------------------------------------------

// Claims the lowest free slot for `ip`, stamped `last_seen`; the slot or -1. Caller holds the
// stripe lock of `ip`.
static int32_t db_claim(uint32_t ip, int32_t last_seen)
{
    bool locked = db_alloc_enter();
    int32_t i = db_bits_take_lowest();
    if (i >= 0) {
        ip_entry &slot = ip_db[i];
        slot.in_use = 1;
        slot.last_seen.store(last_seen, std::memory_order_relaxed);
        slot.ip = ip;
        slot.conns = 0;
        db_held_count.store(db_held_count.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
    }
    db_alloc_leave(locked);
    return i;
}

// Frees slot i, already out of the index. Caller holds the stripe lock of its address.
static void db_free(int32_t i)
{
    bool locked = db_alloc_enter();
    ip_db[i].in_use = 0;
    db_bits_give(i);
    db_held_count.store(db_held_count.load(std::memory_order_relaxed) - 1,
                        std::memory_order_relaxed);
    db_alloc_leave(locked);
}

int32_t db_find(uint32_t ip)
{
    uint32_t pos;
    return db_index_find(ip, db_hash(ip), &pos);
}

int32_t db_alloc(uint32_t ip) { return db_claim(ip, db_clock()); }

// Enters a claimed slot at the empty index position `pos` found by the failed search.
static void db_index_enter(uint32_t h, uint32_t pos, int32_t slot)
{
    db_index[pos] = db_tag_of(h) << DB_SLOT_BITS | (uint32_t)(slot + 1);
    db_lock[db_stripe_of(h)].entries++;
}

// True when stripe s may take one more entry: a search must always meet an empty entry.
static bool db_stripe_has_room(int32_t s) { return (uint32_t)db_lock[s].entries + 1 < db_shape.region; }

int32_t db_next(int32_t after, ip_entry_copy *out)
{
    if (after < -1) after = -1;
    for (;;) {
        if (after >= db_shape.slots - 1) return -1;
        bool alloc_locked = db_alloc_enter();
        int32_t i = db_bits_next_used(after + 1, db_shape.slots);
        uint32_t ip = i >= 0 ? ip_db[i].ip : 0;
        db_alloc_leave(alloc_locked);
        if (i < 0) return -1;
        // The slot's counts are guarded by its address's stripe lock; the slot may have been
        // freed, or taken by another address, before that lock is held: then look again.
        int32_t s = db_stripe_of(db_hash(ip));
        bool locked = db_stripe_enter(s);
        alloc_locked = db_alloc_enter();
        bool same = ip_db[i].in_use && ip_db[i].ip == ip;
        db_alloc_leave(alloc_locked);
        if (same) {
            out->valid = 1;
            out->last_seen = ip_db[i].last_seen.load(std::memory_order_relaxed);
            out->ip = ip;
            out->conns = ip_db[i].conns;
        }
        db_stripe_leave(s, locked);
        if (same) return i;
    }
}

int32_t db_held() { return db_held_count.load(std::memory_order_relaxed); }

int32_t db_check_connect(const char *text)
{
    uint32_t ip = ip_parse(text);
    uint32_t h = db_hash(ip);
    int32_t s = db_stripe_of(h);
    // Start the index line on its way while the white list is tested and the lock taken.
    __builtin_prefetch(&db_index[(uint32_t)s * db_shape.region + db_home_of(h)]);
    if (white_match(ip)) return CHECK_WHITE;
    if (black_match(ip)) return CHECK_BLACK;

    int32_t decision;
    bool changed = true;
    bool locked = db_stripe_enter(s);
    uint32_t pos;
    int32_t i = db_index_find(ip, h, &pos);
    if (i >= 0) {
        ip_entry &slot = ip_db[i];
        int32_t now = db_clock();
        changed = slot.last_seen.load(std::memory_order_relaxed) != now;
        slot.last_seen.store(now, std::memory_order_relaxed);
        // A refusal leaves the count alone but keeps the slot fresh, so an address that keeps
        // trying stays held.
        if ((int32_t)slot.conns >= settings.auth_failures.load(std::memory_order_relaxed)) {
            decision = CHECK_BLOCKED;
        } else {
            slot.conns++;
            changed = true;
            decision = CHECK_KNOWN;
        }
    } else if (db_held_count.load(std::memory_order_relaxed) >= db_shape.slots ||
               !db_stripe_has_room(s) || (i = db_alloc(ip)) < 0) {
        // A full table is answered from the held count alone: nothing shared is written.
        decision = CHECK_FULL;
        changed = false;
    } else {
        ip_db[i].conns = 1;
        db_index_enter(h, pos, i);
        decision = CHECK_NEW;
    }
    db_stripe_leave(s, locked);
    if (changed) db_note_change();
    return decision;
}

int32_t db_release(const char *text)
{
    uint32_t ip = ip_parse(text);
    uint32_t h = db_hash(ip);
    int32_t s = db_stripe_of(h);
    bool locked = db_stripe_enter(s);
    uint32_t pos;
    int32_t i = db_index_find(ip, h, &pos);
    if (i >= 0) {
        db_index_remove(s, pos);
        db_free(i);
    }
    db_stripe_leave(s, locked);
    if (i >= 0) db_note_change();
    return 0;
}

int32_t db_expire()
{
    int32_t now = db_clock();
    // Read once: a minute count the dialog changes mid-sweep applies to the whole sweep or to
    // none of it.
    int64_t limit = (int64_t)settings.clear_time.load(std::memory_order_relaxed) * 60;
    int32_t freed = 0;
    struct due_slot {
        int32_t slot;
        uint32_t ip;
    } due[DB_EXPIRE_CHUNK];
    for (int32_t start = 0; start < db_shape.slots; start += DB_EXPIRE_CHUNK) {
        int32_t end = start + DB_EXPIRE_CHUNK < db_shape.slots ? start + DB_EXPIRE_CHUNK : db_shape.slots;
        int32_t n = 0;
        bool alloc_locked = db_alloc_enter();
        for (int32_t i = db_bits_next_used(start, end); i >= 0; i = db_bits_next_used(i + 1, end))
            if ((int64_t)now - ip_db[i].last_seen.load(std::memory_order_relaxed) > limit)
                due[n++] = {i, ip_db[i].ip};
        db_alloc_leave(alloc_locked);
        // Each due slot again under its stripe lock: a connection or a login since the look
        // above keeps it or has freed it already.
        for (int32_t k = 0; k < n; k++) {
            uint32_t h = db_hash(due[k].ip);
            int32_t s = db_stripe_of(h);
            bool locked = db_stripe_enter(s);
            uint32_t pos;
            int32_t i = db_index_find(due[k].ip, h, &pos);
            if (i == due[k].slot &&
                (int64_t)now - ip_db[i].last_seen.load(std::memory_order_relaxed) > limit) {
                db_index_remove(s, pos);
                db_free(i);
                freed++;
            }
            db_stripe_leave(s, locked);
        }
        if (end < db_shape.slots && db_expire_between_chunks) db_expire_between_chunks();
    }
    if (freed > 0) db_note_change();
    return freed;
}

// ---- The state file's access -------------------------------------------------------------------

int32_t db_restore(uint32_t ip, uint16_t conns, int32_t last_seen)
{
    uint32_t h = db_hash(ip);
    int32_t s = db_stripe_of(h);
    int32_t stored = 0;
    bool locked = db_stripe_enter(s);
    uint32_t pos;
    int32_t i = db_index_find(ip, h, &pos);
    if (i < 0 && db_stripe_has_room(s)) {
        i = db_claim(ip, last_seen);
        if (i >= 0) db_index_enter(h, pos, i);
    }
    if (i >= 0) {
        ip_db[i].conns = conns;
        ip_db[i].last_seen.store(last_seen, std::memory_order_relaxed);
        stored = 1;
    }
    db_stripe_leave(s, locked);
    if (stored) db_note_change();
    return stored;
}

bool db_take_changed()
{
    if (!db_changed.load(std::memory_order_relaxed)) return false;
    return db_changed.exchange(false, std::memory_order_relaxed);
}

void db_mark_changed() { db_changed.store(true, std::memory_order_relaxed); }

bool db_lock_held_by_caller()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return false;
    for (db_stripe_lock &stripe : db_lock)
        if (db_mutex_owned(&stripe.mutex)) return true;
    return db_mutex_owned(&db_alloc_lock);
}

int32_t db_refuse(uint32_t ip)
{
    uint32_t h = db_hash(ip);
    int32_t s = db_stripe_of(h);
    bool locked = db_stripe_enter(s);
    uint32_t pos;
    int32_t now = db_clock();
    int32_t i = db_index_find(ip, h, &pos);
    if (i < 0 && db_stripe_has_room(s)) {
        i = db_claim(ip, now);
        if (i >= 0) db_index_enter(h, pos, i);
    }
    if (i >= 0) {
        // AuthFailures never exceeds its maximum, so no later setting lets the address back in.
        if (ip_db[i].conns < AUTH_FAILURES_MAX) ip_db[i].conns = AUTH_FAILURES_MAX;
        ip_db[i].last_seen.store(now, std::memory_order_relaxed);
    }
    db_stripe_leave(s, locked);
    if (i >= 0) db_note_change();
    return i >= 0 ? 1 : 0;
}
