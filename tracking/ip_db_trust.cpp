// The trusted set's rules: a login trusts its address (or its network of TrustBits bits) for
// TrustDays days from that login, in a set of bounded size that forgets the oldest entry first.
// Where the entries are and how they are found is ip_db_storage.cpp's.
//
// DESIGN
//
// The set is an address table of its own, an ordered one (tracking/ip_db_storage.cpp): it has
// the index, the stripes, the claims and the sweep every table has, tested and measured as
// theirs, and one thing more, its slots in the order of their latest stamp. An entry's key is
// the address masked to TrustBits and its stamp (last_seen) its latest login. A lookup takes the
// key's stripe lock once and compares the stamp with the clock, so an entry stops trusting
// exactly TrustDays after its login whatever the sweeper's pace; the sweeper only gives the room
// back. A login on a full set takes the place of the oldest entry, the first of the order: it is
// looked up under its own stripe lock (never while another is held) and freed only if it is
// still the first, so that exactly the entry whose latest login is the oldest goes, and the
// login then tries again.
// An entry learnt from another server (db_trust_learn) keeps the stamp of its login there, put
// on this server's clock; it joins the order as the newest, so that an entry learnt late may
// stand before one stamped a little later: it then gives its room back a little early, when the
// set is full, and trusts no longer than its stamp says.
#include "tracking/ip_db.h"

#include "settings/values/settings.h"
#include "tracking/ip_db_storage.h"

enum : int32_t { DB_TRUST_ROUNDS = 4 }; // a login's tries for room in a full set

bool db_trust_on() { return db_settings_now().trust_days > 0; }

bool db_trusted(db_table *t, uint32_t ip, const db_settings &s)
{
    db_table *set = t->trusted;
    if (set == nullptr || s.trust_days <= 0) return false;
    db_spot spot = db_enter(set, ip & t->trust_mask);
    bool trusted = spot.slot >= 0 && (int64_t)db_clock() - set->slots[spot.slot].last_seen.load(
                                                               std::memory_order_relaxed) <=
                                         db_trust_seconds(s);
    db_leave(set, spot);
    return trusted;
}

// Frees the oldest entry of the set, if it is still the oldest once its stripe lock is held.
static void db_trust_evict(db_table *set)
{
    uint32_t key;
    int32_t oldest = db_oldest(set, &key);
    if (oldest < 0) return;
    db_spot spot = db_enter(set, key);
    if (spot.slot == oldest && db_oldest(set, &key) == oldest) db_free_spot(set, &spot);
    db_leave(set, spot);
}

int32_t db_trust(db_table *t, uint32_t ip, int32_t when)
{
    db_table *set = t->trusted;
    if (set == nullptr) return 0;
    for (int32_t round = 0; round < DB_TRUST_ROUNDS; round++) {
        db_spot spot = db_enter(set, ip & t->trust_mask);
        bool done = true;
        if (spot.slot >= 0) db_touch(set, spot, when);
        else done = db_claim_at(set, &spot, when) >= 0;
        db_leave(set, spot);
        if (done) {
            db_note_change(set);
            return 1;
        }
        db_trust_evict(set);
    }
    return 0;
}

int32_t db_trust_learn(db_table *t, uint32_t ip, int32_t when)
{
    db_table *set = t->trusted;
    if (set == nullptr) return 0;
    db_spot spot = db_enter(set, ip & t->trust_mask);
    bool newer = spot.slot < 0 ||
                 set->slots[spot.slot].last_seen.load(std::memory_order_relaxed) < when;
    db_leave(set, spot);
    return newer ? db_trust(t, ip, when) : 0;
}

// What the trusted set's sweep decides by: its clock and TrustDays, each read once.
struct db_trust_sweep {
    int32_t now;
    int64_t seconds;
};

// True when the entry's latest login is older than TrustDays.
static bool db_trust_due(const ip_entry &slot, const void *context)
{
    const db_trust_sweep &r = *(const db_trust_sweep *)context;
    return (int64_t)r.now - slot.last_seen.load(std::memory_order_relaxed) > r.seconds;
}

int32_t db_expire_trusted(db_table *t)
{
    if (t->trusted == nullptr) return 0;
    const db_trust_sweep rules = {db_clock(), db_trust_seconds(db_settings_now())};
    return db_sweep(t->trusted, db_trust_due, &rules);
}
