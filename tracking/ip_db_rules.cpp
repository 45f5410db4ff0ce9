// The address table's rules: what a connection, a login, the sweeper and the administrator do
// to the slots. Where the slots are and how they are found is ip_db_storage.cpp's.
//
// DESIGN
//
// One decision
// A connection is decided in one look at the table: its address is found once under its stripe
// lock, one rule reads the slot and one snapshot of the settings (db_settings, taken once per
// decision, as soon as the address is neither white- nor black-listed), and the decision hands
// back one record (db_decision) with all its log line, its refusal and its statistics need: the
// verdict, the offences, the network and its bits, whether the connection was counted for the
// network, and the held count.
//
// Allowance
// An address is let in while its count of connections without a login is below AuthFailures;
// a refusal leaves the count alone but stamps the slot, so an address that keeps trying stays
// held until it has been quiet for ClearTime.
//
// Networks
// A network table is an ordinary table whose keys are network addresses; the address
// table it belongs to points at it and decides with both: under the address's stripe lock it
// takes the network's stripe lock (never the other way round), so that the check of a network's
// allowance and the count that uses it are one step, and a login's take-back cannot fall
// between a connection's two counts. A connection refused for its network leaves its address
// alone; one refused for its address only stamps its network when that is refused too, so a
// swarm that keeps trying keeps its network refused and one address alone never fills it.
// Clearing, the change mark and giving back go through the address table to both.
//
// Repeat offenders
// With RepeatFactor set, an address refused becomes an offender: a byte of its slot (`repeat`)
// counts its offences and says whether the latest refusal is in force. Its state is a function
// of that byte, its count and its quiet time: a refusal in force clears when the next
// connection finds the address quiet for long enough (so it clears on time whatever the
// sweeper's pace), the count then starts again from 0 against RepeatAuthFailures, and the
// sweeper forgets the slot once it has been quiet for the rest of its remembered time. Nothing
// but the decision writes the byte, apart from a claim (0) and the state file's restore; with
// RepeatFactor missing it stays 0 and every path is the one without offenders.
//
// The siege
// With SiegeFailures set, a connection from an address that is not trusted (the trusted set's
// one look-up, before the address's stripe lock is taken) is counted for the siege and the
// siege judged, refused or not; then, under siege, the address is let in only while it holds
// fewer than SiegeAuthFailures connections. Its own refusal comes first (its count, its
// offences); a siege's refusal comes before its network is counted and changes nothing: no
// slot is claimed or stamped, no offence counted and no network counted or stamped, since a
// siege is not the address's own doing. With SiegeFailures missing nothing of it runs.
#include "tracking/ip_db.h"

#include "settings/values/settings.h"
#include "tracking/black_list.h"
#include "tracking/ip_db_storage.h"
#include "tracking/list_sets.h"
#include "tracking/white_list.h"

// ---- Repeat offenders --------------------------------------------------------------------------

bool db_remembers(const db_settings &s)
{
    return s.repeat_factor >= REPEAT_FACTOR_MIN && s.repeat_factor <= REPEAT_FACTOR_MAX;
}

// Never below ClearTime: the dialog may raise ClearTime past the cap read at start-up.
int64_t db_cap_seconds(const db_settings &s)
{
    return (int64_t)(s.max_clear_time > s.clear_time ? s.max_clear_time : s.clear_time) * 60;
}

// The quiet time that clears the refusal of the offences-th offence. Grows until it reaches
// the cap, so no power can overflow.
static int64_t db_refusal_seconds(const db_settings &s, int32_t offences)
{
    int64_t seconds = db_clear_seconds(s), cap = db_cap_seconds(s);
    for (int32_t k = 1; k < offences && seconds > 0 && seconds < cap; k++)
        seconds *= s.repeat_factor;
    return seconds < cap ? seconds : cap;
}

// The quiet time after which a slot whose offender byte is `repeat` is forgotten.
static int64_t db_remembered(const db_settings &s, uint8_t repeat)
{
    int32_t offences = repeat & DB_OFFENCES_MAX;
    if (!db_remembers(s) || offences == 0) return db_clear_seconds(s);
    if (repeat & DB_REFUSING) return db_refusal_seconds(s, offences) + db_cap_seconds(s);
    return db_cap_seconds(s);
}

bool db_repeat_on() { return db_remembers(db_settings_now()); }

int64_t db_remembered_seconds(int32_t offences, bool refusing)
{
    if (offences < 0) offences = 0;
    if (offences > DB_OFFENCES_MAX) offences = DB_OFFENCES_MAX;
    return db_remembered(db_settings_now(), (uint8_t)(offences | (refusing ? DB_REFUSING : 0)));
}

// Counts one more offence for the slot, whose refusal is now in force. Caller holds the stripe
// lock of its address.
static void db_offence(ip_entry &slot)
{
    int32_t offences = slot.repeat.load(std::memory_order_relaxed) & DB_OFFENCES_MAX;
    if (offences < DB_OFFENCES_MAX) offences++;
    slot.repeat.store((uint8_t)(offences | DB_REFUSING), std::memory_order_relaxed);
}

// ---- The rule for a held address ----------------------------------------------------------------

// What a connection from a held address gets, and what it does to the address's slot.
struct db_ruling {
    int32_t verdict; // CHECK_KNOWN, CHECK_OFFENDER or CHECK_BLOCKED
    bool clears;     // an offender's refusal has cleared: its count starts again from 0
    bool offence;    // the refusal counts one more offence
};

// The one rule for a connection from a held address, `quiet` seconds after its last one, from
// its slot and the snapshot alone; it changes nothing. An address that is no offender (or with
// RepeatFactor off) is refused once its count has reached AuthFailures, and with RepeatFactor
// set that refusal is its first offence. An offender's refusal holds until it has been quiet
// for longer than the refusal's time; then its count starts again from 0, and past
// RepeatAuthFailures the next refusal is its next offence. Caller holds the stripe lock.
static db_ruling db_rule(const ip_entry &slot, int64_t quiet, const db_settings &s)
{
    uint8_t repeat = slot.repeat.load(std::memory_order_relaxed);
    bool remembered = db_remembers(s);
    if (repeat == 0 || !remembered) {
        if ((int32_t)slot.conns >= s.auth_failures) return {CHECK_BLOCKED, false, remembered};
        return {CHECK_KNOWN, false, false};
    }
    bool clears = false;
    if (repeat & DB_REFUSING) {
        if (quiet <= db_refusal_seconds(s, repeat & DB_OFFENCES_MAX))
            return {CHECK_BLOCKED, false, false};
        clears = true;
    }
    int32_t conns = clears ? 0 : slot.conns;
    if (conns >= s.repeat_auth_failures) return {CHECK_BLOCKED, clears, true};
    return {CHECK_OFFENDER, clears, false};
}

// ---- Networks (caller holds the address's stripe lock) ------------------------------------------

// One connection from the network of `spot` (its place in the network table `n`, not yet looked
// up): with `count` (the address is let in as far as it goes) counts it, claiming a slot for a
// new network or, with none free, adding it to the untracked; without, only stamps the network
// if it is refused. True when the network is refused by `allowance`: then nothing is counted,
// and the stamp starts its quiet time again. *counted is set when the connection was counted.
static bool db_network_step(db_table *n, db_spot *spot, bool count, int32_t allowance,
                            bool *counted)
{
    bool refused = false, changed = false;
    db_find(n, spot);
    if (spot->slot >= 0) {
        ip_entry &slot = n->slots[spot->slot];
        int32_t now = db_clock();
        refused = (int32_t)slot.conns >= allowance;
        if (refused || count) {
            changed = slot.last_seen.load(std::memory_order_relaxed) != now;
            slot.last_seen.store(now, std::memory_order_relaxed);
        }
        if (!refused && count) {
            slot.conns++;
            changed = *counted = true;
        }
    } else if (count) {
        if (db_claim_new(n, spot) < 0) n->untracked.fetch_add(1, std::memory_order_relaxed);
        else changed = *counted = true;
    }
    db_leave(n, *spot);
    if (changed) db_note_change(n);
    return refused;
}

// ---- The siege --------------------------------------------------------------------------------

// The siege's step for a connection from `ip` (neither white- nor black-listed), by the
// snapshot `s`: whether the address is trusted, its count for the siege when it is not, and the
// siege judged, into *d. No lock of the address table held.
static void db_siege_step(db_table *t, uint32_t ip, const db_settings &s, db_decision *d)
{
    if (s.siege_failures <= 0) return;
    int32_t now = db_clock();
    d->trusted = db_trusted(t, ip, s);
    int32_t count = d->trusted ? siege_count(now) : siege_add_local(now);
    d->besieged = siege_judge(now, count, s, &d->siege) && !d->trusted;
}

// True when the siege refuses a connection from an address that holds `conns` connections.
static bool db_siege_refuses(const db_decision &d, int32_t conns, const db_settings &s)
{
    return d.besieged && conns >= s.siege_auth_failures;
}

// ---- The decision ------------------------------------------------------------------------------

// The decision on a connection from the held address in `slot`, its network's place in `net`
// (null when no network is counted), into *d. True when the slot changed. Caller holds the
// address's stripe lock.
static bool db_decide_held(db_table *t, ip_entry &slot, db_spot *net, const db_settings &s,
                           db_decision *d)
{
    int32_t now = db_clock();
    int32_t seen = slot.last_seen.load(std::memory_order_relaxed);
    db_ruling r = db_rule(slot, (int64_t)now - seen, s);
    bool refused = r.verdict == CHECK_BLOCKED;
    if (!refused && db_siege_refuses(*d, r.clears ? 0 : slot.conns, s)) {
        d->verdict = CHECK_SIEGE_BLOCKED; // the slot and the network stay as they were
        return false;
    }
    // A refused address's tries count nothing for its network; they only keep a refused network
    // refused.
    bool network_refused =
        net && db_network_step(t->networks, net, !refused, s.network_failures, &d->network_counted);
    if (network_refused && !refused) {
        d->verdict = CHECK_NETWORK_BLOCKED; // the address's own slot stays as it was
        return false;
    }
    uint16_t conns = slot.conns;
    uint8_t repeat = slot.repeat.load(std::memory_order_relaxed);
    // A refusal leaves the count alone but keeps the slot fresh, so an address that keeps trying
    // stays held.
    slot.last_seen.store(now, std::memory_order_relaxed);
    if (r.clears) {
        slot.repeat.store((uint8_t)(repeat & DB_OFFENCES_MAX), std::memory_order_relaxed);
        slot.conns = 0;
    }
    if (r.offence) db_offence(slot);
    if (!refused) slot.conns++;
    d->verdict = r.verdict;
    d->offences = slot.repeat.load(std::memory_order_relaxed) & DB_OFFENCES_MAX;
    return seen != now || conns != slot.conns ||
           repeat != slot.repeat.load(std::memory_order_relaxed);
}

db_decision db_check_connect(db_table *t, uint32_t ip, db_settings *taken)
{
    db_decision d{};
    db_table *n = t->networks;
    d.network = n ? ip & t->network_mask : ip;
    d.network_bits = t->network_bits;
    db_spot spot = db_spot_of(t, ip), net;
    // Start the index line on its way while the white list is tested and the lock taken, and
    // the network's, while the address is looked up; the lists' first lines, while the white
    // list is tested; and the trusted set's, for the siege.
    db_prefetch(t, spot);
    if (n) {
        net = db_spot_of(n, d.network);
        db_prefetch(n, net);
    }
    list_prefetch(ip);
    if (t->trusted && settings.siege_failures.load(std::memory_order_relaxed) > 0)
        db_prefetch(t->trusted, db_spot_of(t->trusted, ip & t->trust_mask));
    if (white_match(ip)) {
        d.verdict = CHECK_WHITE;
    } else if (black_match(ip)) {
        d.verdict = CHECK_BLACK;
    } else if (allow_refuses(ip)) {
        d.verdict = CHECK_NOT_ALLOWED;
    } else {
        const db_settings &s = *taken = db_settings_now();
        db_siege_step(t, ip, s, &d);
        bool changed = true;
        db_find(t, &spot);
        if (spot.slot >= 0) {
            changed = db_decide_held(t, t->slots[spot.slot], n ? &net : nullptr, s, &d);
        } else if (db_siege_refuses(d, 0, s)) {
            d.verdict = CHECK_SIEGE_BLOCKED;
            changed = false;
        } else if (n && db_network_step(n, &net, true, s.network_failures, &d.network_counted)) {
            d.verdict = CHECK_NETWORK_BLOCKED;
            changed = false;
        } else if (db_claim_new(t, &spot) < 0) {
            d.verdict = CHECK_FULL;
            changed = false;
        } else {
            d.verdict = CHECK_NEW;
            d.claimed = true;
        }
        db_leave(t, spot);
        if (changed) db_note_change(t);
        if (d.verdict == CHECK_SIEGE_BLOCKED) siege_note_refusal();
    }
    d.held = t->held_count.load(std::memory_order_relaxed);
    return d;
}

// ---- The sweeper and the administrator ----------------------------------------------------------

// What a sweep decides by: its clock and its settings, each read once, so that a minute count
// the dialog changes mid-sweep applies to the whole sweep or to none of it.
struct db_sweep_rules {
    int32_t now;
    db_settings settings;
};

// True when `slot` has been quiet for longer than it is remembered.
static bool db_due(const ip_entry &slot, const void *context)
{
    const db_sweep_rules &r = *(const db_sweep_rules *)context;
    return (int64_t)r.now - slot.last_seen.load(std::memory_order_relaxed) >
           db_remembered(r.settings, slot.repeat.load(std::memory_order_relaxed));
}

int32_t db_expire(db_table *t)
{
    const db_sweep_rules rules = {db_clock(), db_settings_now()};
    return db_sweep(t, db_due, &rules);
}

// AuthFailures never exceeds its maximum, so no later setting lets the address back in.
int32_t db_refuse(db_table *t, uint32_t ip)
{
    return db_hold(t, ip, AUTH_FAILURES_MAX, db_clock(), true);
}

int32_t db_refuse_network(db_table *t, uint32_t net)
{
    return t->networks ? db_hold(t->networks, net, NETWORK_FAILURES_MAX, db_clock(), true) : 0;
}

// ---- What the servers sharing a store know -----------------------------------------------------

int32_t db_learn_offender(db_table *t, uint32_t ip, int32_t offences, bool refusing)
{
    if (offences > DB_OFFENCES_MAX) offences = DB_OFFENCES_MAX;
    db_spot spot = db_enter(t, ip);
    int32_t known = 0;
    bool changed = false;
    if (spot.slot >= 0) {
        ip_entry &slot = t->slots[spot.slot];
        uint8_t repeat = slot.repeat.load(std::memory_order_relaxed);
        known = (repeat & DB_OFFENCES_MAX) > offences ? repeat & DB_OFFENCES_MAX : offences;
        bool was_refusing = (repeat & DB_REFUSING) != 0;
        uint8_t learnt = (uint8_t)(known | (was_refusing || refusing ? DB_REFUSING : 0));
        // A refusal learnt runs from now, as the store's does.
        if (refusing && !was_refusing) slot.last_seen.store(db_clock(), std::memory_order_relaxed);
        changed = learnt != repeat;
        slot.repeat.store(learnt, std::memory_order_relaxed);
    }
    db_leave(t, spot);
    if (changed) db_note_change(t);
    return known;
}
