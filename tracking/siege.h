// The siege: the connections without a login that the server saw from untrusted addresses in
// the last minute, and whether it is under siege. With SiegeFailures set, every connection that
// reaches the table's pass (neither white- nor black-listed) from an address that is not trusted
// is counted, refused ones included, and a login takes its connection's count back. Once the
// count reaches SiegeFailures the server is under siege: untrusted addresses are then let in
// only within SiegeAuthFailures (the table's rules, tracking/ip_db_rules.cpp). The siege ends
// once the count has stayed below half of SiegeFailures for ClearTime minutes.
//
// Owns: the siege's one state (static in siege.cpp): a ring of 60 per-second counts and their
// sum, the second the ring stands at, and the siege's start, its calm and its refusals.
// Threads: the POP3 threads (siege_add_local through the decision, siege_take_back through a
// login, siege_note_refusal), the sweeper (siege_judge; with a shared store siege_add of the
// other servers' counts, siege_take_unsent, siege_keep_unsent, siege_set_marked), start-up and
// the tests (siege_reset, with no other thread inside).
// Lock: the ring's own lock, taken only to move the ring to a later second (once a second) and
// to take a count back; never with a table lock, never across the host. Every other word is an
// atomic read and written relaxed: a count or a second is needed whole, not in an order with
// other words, and each change of the siege's state is one compare-and-swap whose winner alone
// reports it.
//
// The counting (siege_add, siege_take_back, siege_count) and the judging (siege_judge) are apart,
// so that counts another source gives (other servers') can be added to the same ring. With a
// shared store the sweeper's sync (tracking/decision.h) takes this server's own counts since
// the last sync (siege_take_unsent), adds the other servers' and says whether another server's
// siege mark is in force (siege_set_marked), which the judge reads: a siege declared elsewhere
// begins one here and keeps it from ending. The unsent count and the mark are atomic words,
// relaxed like the others.
#pragma once
#include <cstdint>

struct db_settings; // tracking/ip_db.h

enum : int32_t {
    SIEGE_WINDOW_SECONDS = 60, // the ring: the last minute, one count a second
};

// What a step of the siege changed, for the log.
enum : int32_t {
    SIEGE_NO_NEWS = 0,
    SIEGE_BEGAN = 1, // with `count` and `allowance`
    SIEGE_ENDED = 2, // with `minutes` and `refused`
};
struct siege_news {
    int32_t kind;      // SIEGE_ code
    int32_t count;     // SIEGE_BEGAN: the connections counted in the last minute
    int32_t allowance; // SIEGE_BEGAN: the connections untrusted addresses are let in with
    int32_t minutes;   // SIEGE_ENDED: how long the siege lasted
    int32_t refused;   // SIEGE_ENDED: the connections the siege refused
};

// Empties the ring and ends any siege without news. Start-up and the tests only.
void siege_reset();
// Counts `n` connections at second `now` (the ring moved there first when it stands earlier);
// the count of the last minute after it.
int32_t siege_add(int32_t now, int32_t n);
// The count of the last minute at second `now` (the ring moved there first).
int32_t siege_count(int32_t now);
// Takes one connection back from the count, at the latest second at or before `now` that holds
// one (a login's connection came before it); nothing when none does.
void siege_take_back(int32_t now);
// Judges the siege at second `now` by the count `count` and the snapshot `s`: begins one when
// the count has reached SiegeFailures; ends it once the count has stayed below half of that for
// ClearTime (the calm is timed from the first step that found it below half). Another server's
// mark in force (siege_set_marked) counts as a count at SiegeFailures. Reports a
// beginning or an end in *news. True while under siege.
bool siege_judge(int32_t now, int32_t count, const db_settings &s, siege_news *news);
// Counts one connection of this server's own at second `now`, as siege_add(now, 1), and keeps
// it for the next sync; the count of the last minute after it.
int32_t siege_add_local(int32_t now);
// This server's own connections counted since the last call, take-backs netted, and none kept
// after it: the sweeper's sync, which gives them back (siege_keep_unsent) when the store failed.
int32_t siege_take_unsent();
// Keeps `n` connections for the next sync again.
void siege_keep_unsent(int32_t n);
// Says whether another server's siege mark is in force (the sweeper's sync).
void siege_set_marked(bool marked);
// True while a siege is in force.
bool siege_in_force();
// Counts one connection the siege refused.
void siege_note_refusal();
