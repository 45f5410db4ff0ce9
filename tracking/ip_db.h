// The address table: slots of client addresses with their unanswered-connection counts (and,
// while repeat offenders are remembered, their offences), found through an index keyed by the
// address. A table is one object (db_table), 48 slots by default or as many as MaxAddresses
// asks for, made whole with its locks by db_table_make and given back whole by db_table_free;
// every operation takes it as its first argument. Its storage (index, free-slot bitmap, making
// and freeing, claiming and freeing slots) is tracking/ip_db_storage.cpp's; the rules that decide
// (allowance, networks, offenders, the siege's refusals) are tracking/ip_db_rules.cpp's; the
// trusted set's, tracking/ip_db_trust.cpp's.
//
// Owns: db_table (the slots, the index, the bitmap of free slots, the shape, the hash key, the
// stripe locks, the held count and the change mark, the network table it may count into and
// the trusted set it may trust logins in), the reserve (a 48-slot table in static storage that
// cannot fail to exist) with its network table, and the module's current table (db_current).
// Threads: the host's POP3 threads (db_check_connect, db_release, db_trusted, db_trust, through
// tracking/decision.h), the sweeper (db_expire, db_expire_trusted), the dialog's thread
// (db_clear, db_next, db_trusted), the start-up/shutdown thread (db_table_make, db_table_free,
// db_publish, db_set_networks, db_set_trusted), the state file (db_restore, db_trust,
// db_take_changed, db_mark_changed), each on the table db_current hands it.
// Lock: the stripe lock of an address guards its part of the index and its slot's counts; the
// table's allocator lock guards which slots are held and the addresses in them. Every stripe
// lock is taken before the allocator lock, never after. The held count is also published in an
// atomic word so that db_held needs no lock. No procedure here calls the host or a window.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "settings/values/settings.h"
#include "tracking/siege.h"

enum : int32_t {
    DB_SLOTS = MAX_ADDRESSES_DEFAULT, // the table without MaxAddresses: the reserve's size
    DB_SLOTS_MAX = MAX_ADDRESSES_MAX,
    DB_STRIPES_MAX = 64,              // index stripes, each with its own lock
    DB_EXPIRE_CHUNK = 1024,           // slots the sweeper looks at per hold of the allocator lock
};

// Decisions of db_check_connect.
enum : int32_t {
    CHECK_BLOCKED = 0, // held and out of allowance: refuse
    CHECK_KNOWN = 1,   // held, count raised: allow
    CHECK_NEW = -1,    // given a slot with count 1: allow
    CHECK_WHITE = -2,  // white-listed: allow, no slot held
    CHECK_FULL = -3,   // not held and no free slot: allow, no slot held
    CHECK_BLACK = -4,  // black-listed: refuse, no slot held
    CHECK_NETWORK_BLOCKED = -5, // its network is out of allowance: refuse, the address not counted
    CHECK_OFFENDER = 2, // held as an offender whose refusal has cleared, count raised: allow
    CHECK_NOT_ALLOWED = -6, // an allow list is applied and does not hold it: refuse, no slot held
    CHECK_SIEGE_BLOCKED = -7, // under siege, untrusted and past SiegeAuthFailures: refuse,
                              // nothing counted for the address or its network
};

// An offender's state in a slot's `repeat` byte (only while RepeatFactor is set): the number of
// its offences, and whether the refusal of the latest one is still in force.
enum : uint8_t {
    DB_OFFENCES_MAX = 0x7F, // offences beyond this count as this many
    DB_REFUSING = 0x80,
};

// One slot, 12 bytes. A slot whose `held` is 0 is free and its other fields mean nothing.
struct ip_entry {
    uint32_t ip;                    // network byte order, as ip_parse gives it
    std::atomic<int32_t> last_seen; // seconds since 1970 of the claim or the latest connection;
                                    // atomic (relaxed) so that the sweeper may look without the
                                    // stripe lock; written only under it
    uint16_t conns;                 // connections counted since the claim (an offender's:
                                    // since its latest refusal cleared)
    uint8_t held;                   // 1 while an address holds the slot
    std::atomic<uint8_t> repeat;    // 0, or an offender's offences | DB_REFUSING; relaxed, so
                                    // that the sweeper may look without the stripe lock;
                                    // written only under it
};

// A whole copy of one held slot, as db_next hands it out.
struct ip_entry_copy {
    uint32_t ip;
    int32_t last_seen;
    uint16_t conns;
    uint8_t offences; // 0 for an address that has never been refused (or with RepeatFactor off)
    bool refusing;    // the refusal of its latest offence is still in force
};

// One table; its fields are the table's own (tracking/ip_db_storage.h).
struct db_table;

// The settings one decision reads, taken once (db_settings_now) and handed to every rule it
// applies, so that a dialog's save in between cannot mix old and new values in one decision.
struct db_settings {
    int32_t auth_failures;        // AuthFailures
    int32_t network_failures;     // NetworkFailures
    int32_t clear_time;           // ClearTime, minutes
    int32_t repeat_factor;        // RepeatFactor as set: offenders are remembered from 2 to 16
    int32_t max_clear_time;       // MaxClearTime, minutes
    int32_t repeat_auth_failures; // RepeatAuthFailures
    int32_t trust_days;           // TrustDays; 0: no login is trusted
    int32_t siege_failures;       // SiegeFailures; 0: no siege
    int32_t siege_auth_failures;  // SiegeAuthFailures
};

// What the decision on one connection found: all that its log line, its refusal and its
// statistics are made from.
struct db_decision {
    int32_t verdict;      // CHECK_ code
    int32_t offences;     // the address's offences as its slot holds them once decided (0 for
                          // none, or when the decision left the slot alone); its log line shows
                          // them with CHECK_OFFENDER
    uint32_t network;     // the address's network as the table counts it (its first address);
                          // the address itself when the table counts no networks
    int32_t network_bits; // the networks' prefix length; 0 when the table counts none
    int32_t held;         // the table's held count once the decision was made
    bool claimed;         // a slot was claimed for the address (it came in CHECK_NEW)
    bool network_counted; // the connection was counted for its network
    bool shared;          // refused for the address by the counts shared with other servers,
                          // where the table let it in (set by decision_merge,
                          // tracking/decision.h)
    bool trusted;         // with SiegeFailures set: the address is trusted (else not looked up)
    bool besieged;        // under siege and not trusted: let in within SiegeAuthFailures only
    siege_news siege;     // the siege began or ended with this connection
};

// ---- Life of a table ---------------------------------------------------------------------------

// Makes an empty table of `slots` slots (clamped to DB_SLOTS..DB_SLOTS_MAX) with its locks and
// a hash key of its own, in one block from `alloc`, which db_table_free hands to `release`.
// Null when the block could not be had. Its change mark is set.
// An `ordered` table also keeps its held slots in the order they were stamped (the trusted set).
db_table *db_table_make(int32_t slots, void *(*alloc)(size_t), void (*release)(void *),
                        bool ordered = false);
// Destroys the locks of a table made by db_table_make and gives its block back. No other thread
// may be inside it, nor take it afterwards. Null and the reserve are left alone.
void db_table_free(db_table *table);
// The reserve: a table of DB_SLOTS slots in static storage, made with its locks when the module
// is loaded, never given back. It is the current table until start-up publishes another, and
// the one start-up falls back to when a larger table cannot be had.
db_table *db_table_reserve();
// Bytes of the block db_table_make asks for `slots` slots.
size_t db_table_bytes(int32_t slots, bool ordered = false);

// ---- The module's current table ---------------------------------------------------------------

// The table the module works on, read by every thread that uses a table (event handler,
// sweeper, state file, dialog): each reads it once per piece of work, inside the event gate
// (tracking/events/event_gate.h) or as the sweeper, and holds on to the answer only until that
// work is done. Never null: the reserve until start-up publishes another.
db_table *db_current();
// Makes `table` the current table. The table that was current, unless it is `table`, becomes
// the retired one: kept whole, locks and all, for a call that read the pointer before and may
// still be inside it. Start-up and shutdown only, with no table retired.
void db_publish(db_table *table);
// Gives the retired table back (db_table_free), if there is one. Start-up and shutdown only, and
// only once no call that may have read the pointer before the db_publish that retired it can
// still be inside: the event gate has drained since, and the sweeper of that run has ended.
void db_give_back_retired();

// ---- Operations --------------------------------------------------------------------------------

// Slots in the table.
int32_t db_capacity(const db_table *table);
// The number of held slots, read without a lock.
int32_t db_held(const db_table *table);
// Frees every slot and zeroes the held count, and empties the table's network table too; the
// white list is left alone. Always 1. One stripe at a time, so a decision may claim a slot
// behind it.
int32_t db_clear(db_table *table);
// Copies the first held slot after index `after` (-1 to start) into *out and returns its
// index, or -1. Each copy is taken whole under the slot's stripe lock; nothing is held between
// calls.
int32_t db_next(db_table *table, int32_t after, ip_entry_copy *out);
// The settings in force, read once (each word relaxed: a decision needs whole values, and reads
// each of them once).
inline db_settings db_settings_now()
{
    const std::memory_order relaxed = std::memory_order_relaxed;
    return db_settings{settings.auth_failures.load(relaxed),
                       settings.network_failures.load(relaxed),
                       settings.clear_time.load(relaxed),
                       settings.repeat_factor.load(relaxed),
                       settings.max_clear_time.load(relaxed),
                       settings.repeat_auth_failures.load(relaxed),
                       settings.trust_days.load(relaxed),
                       settings.siege_failures.load(relaxed),
                       settings.siege_auth_failures.load(relaxed)};
}
// ClearTime in seconds: how long an address (and a network) is kept after its latest connection.
inline int64_t db_clear_seconds(const db_settings &s) { return (int64_t)s.clear_time * 60; }
// TrustDays in seconds: how long a login trusts its address.
inline int64_t db_trust_seconds(const db_settings &s) { return (int64_t)s.trust_days * 86400; }
// The decision on a new connection from the address `ip` (network byte order), in one look at
// the table under one stripe lock. A white- or black-listed address, and one outside the allow
// list, is answered before any setting is read (in that order: the white list wins over both
// lists); for any other, the settings in force are read once, into *settings, and the
// decision is made by those values alone (the caller asks the store by the same). With
// RepeatFactor set, an
// address refused becomes an offender: the refusal of its n-th offence clears once it has been
// quiet for longer than ClearTime x RepeatFactor^(n - 1) minutes, at most MaxClearTime (or
// ClearTime, when the dialog has raised that above it), and it is then let in with
// RepeatAuthFailures connections (CHECK_OFFENDER, with its offence count) before the next
// refusal counts one more offence. With a network table, the connection is also counted for the
// address's network, or refused for it (see Networks below). With SiegeFailures set, the
// connection of an address that is not trusted is counted for the siege (tracking/siege.h), and
// under siege such an address is let in only while it holds fewer than SiegeAuthFailures
// connections (CHECK_SIEGE_BLOCKED otherwise: the refusal changes no slot and no network, and
// is no offence); the record carries the siege's news.
db_decision db_check_connect(db_table *table, uint32_t ip, db_settings *settings);
// Forgets the address `ip` after a login, and takes its counted connections back from its
// network. Always 0.
int32_t db_release(db_table *table, uint32_t ip);
// Frees the slots quiet for longer than they are remembered (db_remembered_seconds: ClearTime
// minutes unless an offender); returns how many. Works through the slots DB_EXPIRE_CHUNK at a
// time and holds no lock between chunks.
int32_t db_expire(db_table *table);

// ---- Repeat offenders (settings read at each call) ----------------------------------------------

// True when RepeatFactor is set, so that refused addresses are remembered as offenders.
bool db_repeat_on();
// The same, by the settings `s`: RepeatFactor 2 to 16.
bool db_remembers(const db_settings &s);
// The longest refusal, and how long a cleared offender is remembered, by the settings `s`:
// MaxClearTime in seconds, never below ClearTime.
int64_t db_cap_seconds(const db_settings &s);
// What the store shared with other servers knows of the address `ip` as an offender, learnt:
// its slot's offences are raised to `offences` (1 to DB_OFFENCES_MAX; beyond counts as that
// many), and with `refusing` a refusal of the latest is in force from now unless one already
// was. Never lowers what the slot holds. The slot's offences afterwards; 0 when `ip` is not
// held.
int32_t db_learn_offender(db_table *table, uint32_t ip, int32_t offences, bool refusing);
// Seconds of quiet after which a slot is forgotten: ClearTime minutes for an address that is no
// offender (or with RepeatFactor off); for an offender whose refusal is in force, that
// refusal's quiet time and then MaxClearTime; for one whose refusal has cleared (it has been
// let in since), MaxClearTime.
int64_t db_remembered_seconds(int32_t offences, bool refusing);

// Puts an address back as it was saved: if `ip` is held, overwrites its conns and last_seen;
// otherwise claims the lowest free slot with these values. 1 held, 0 table full. Does not
// consult the white list or the clock.
int32_t db_restore(db_table *table, uint32_t ip, uint16_t conns, int32_t last_seen);
// Puts a held address's offender state back as it was saved (offences beyond DB_OFFENCES_MAX
// count as that many; 0 offences make it no offender). 1 stored, 0 when `ip` is not held.
int32_t db_restore_offences(db_table *table, uint32_t ip, int32_t offences, bool refusing);
// True when the slots, or those of the table's network table, changed (claim, count raised,
// last_seen moved, release, expiry, clear, restore) since the last call; clears the mark.
// Lock-free.
bool db_take_changed(db_table *table);
// Sets the mark again (a write of the state file that failed wants another try next pass).
void db_mark_changed(db_table *table);

// ---- Networks ----------------------------------------------------------------------------------
//
// An address table may count whole networks in a second table of the same kind, its network
// table: a slot there holds a network's address (the client address masked to `bits` bits), in
// `conns` the connections its addresses were let in with and no login followed, and in
// `last_seen` its latest such connection or refusal. Once a network holds NetworkFailures
// connections, every address of it is refused (CHECK_NETWORK_BLOCKED) until the network has
// been quiet for ClearTime; such a refusal is not counted for the address. A connection refused
// for its address counts nothing for the network. White-listed addresses count for neither. A
// full network table lets new networks in untracked and counts them for one warning per sweep.
// Locks: an address's stripe lock is always taken before any lock of the network table.

// Gives `table` the network table `networks` (made for networks of `bits` bits, 8 to 31), or
// none with a null `networks`; a network table of its own it had before is given back. The
// network table lives and dies with `table` from then on: db_table_free gives both back.
// Start-up only, with no other thread inside either table.
void db_set_networks(db_table *table, db_table *networks, int32_t bits);
// The table's network table, or null when it counts no networks.
db_table *db_networks(const db_table *table);
// The prefix length the table counts networks by; 0 when it counts none.
int32_t db_network_bits(const db_table *table);
// The network of the address `ip` as the table counts it: `ip` masked to db_network_bits (in
// network byte order); `ip` itself when the table counts no networks.
uint32_t db_network_of(const db_table *table, uint32_t ip);
// The connections let in untracked because the network table `networks` was full since the last
// call; the count starts again at 0. Lock-free.
int32_t db_take_untracked(db_table *networks);
// The network table of the reserve: 48 slots in static storage, never given back.
db_table *db_table_reserve_networks();
// The administrator's hand on a network row, as db_refuse and a login on an address: refuse
// now holds the network `net` (claiming a slot when it is not held) with a count no
// NetworkFailures can exceed, stamped now (1 done, 0 no room or no network table); forget frees
// it (always 0).
int32_t db_refuse_network(db_table *table, uint32_t net);
int32_t db_forget_network(db_table *table, uint32_t net);
// Takes back the one connection db_check_connect counted for the network `net` (its decision
// said network_counted) when the connection was refused after all, by the counts shared with
// other servers; frees the network's slot when no connection remains.
void db_uncount_network(db_table *table, uint32_t net);

// The clock every table stamps slots with: seconds since 1970. Tests point it elsewhere before
// any other thread runs; production keeps platform_time_now, the system time.
extern int32_t (*db_clock)();
// Called by db_expire between two chunks, holding no lock; null in production. Tests use it
// to see that a sweep lets other threads in.
extern void (*db_expire_between_chunks)();

// True when the calling thread holds any of the table's locks or its network table's; for tests
// that check what runs outside them.
bool db_lock_held_by_caller(db_table *table);

// ---- Trusted logins --------------------------------------------------------------------------
//
// A table may trust logins in a trusted set: an ordered table of its own (MaxTrusted slots)
// whose slots hold the addresses, masked to TrustBits, that logged in, stamped with their latest
// login. An address is trusted while the latest login of its entry is at most TrustDays old.
// When the set is full, a new entry takes the place of the one whose latest login is the
// oldest. Trust changes nothing about counting: it only exempts an address from a siege.
// Locks: the set's locks are taken alone, never with a lock of the address table.

// Gives `table` the trusted set `trusted` (an ordered table, trusting networks of `bits` bits,
// 16 to 32), or none with a null `trusted`; a set of its own it had before is given back. The
// set lives and dies with `table` from then on. Start-up and shutdown only, with no other thread
// inside either table.
void db_set_trusted(db_table *table, db_table *trusted, int32_t bits);
// The table's trusted set, or null when it trusts no login.
db_table *db_trusted_set(const db_table *table);
// The prefix length the table trusts by; 0 when it trusts no login.
int32_t db_trust_bits(const db_table *table);
// True when TrustDays is set, so that logins are trusted (settings read at the call).
bool db_trust_on();
// True when `ip` is trusted by `table` at the table's clock, by the settings `s`.
bool db_trusted(db_table *table, uint32_t ip, const db_settings &s);
// Trusts `ip` (its network of the table's bits) as of `when`, no earlier than any before it:
// refreshes its entry, or makes one, in place of the oldest when the set is full. 1 trusted, 0
// when the table has no set (or, against every chance, no room was had).
int32_t db_trust(db_table *table, uint32_t ip, int32_t when);
// Learns an entry another server trusted: trusts `ip` as db_trust does, stamped `when` (at or
// before the table's clock), unless its entry here is as recent already. 1 trusted, 0 not.
int32_t db_trust_learn(db_table *table, uint32_t ip, int32_t when);
// Frees the entries of the trusted set older than TrustDays; how many.
int32_t db_expire_trusted(db_table *table);

// The administrator's "refuse now": holds `ip` (claiming the lowest free slot when it is not
// held) with a count no AuthFailures can exceed, stamped now, so that its next connection is
// refused and the quiet time runs from now. 1 done, 0 table full.
int32_t db_refuse(db_table *table, uint32_t ip);
