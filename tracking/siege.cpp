// The siege: its ring of per-second counts and its state.
//
// DESIGN
//
// The ring
// One count a second for the last 60 seconds, in 60 atomic words indexed by the second modulo
// 60, and their sum, so that the count of the last minute is one load. A connection adds one to
// its second's word and to the sum: two atomic additions, no lock. The ring stands at a second
// (the latest it was moved to); a connection of a later second first moves it there, under the
// ring's lock, taking out of the sum the words of the seconds that left the minute and zeroing
// them for reuse, then publishing the new second (release, paired with the adders' acquire), so
// that no adder writes into a word before it is zeroed. That happens once a second; the lock is
// held for at most 60 words. A clock set back by more than a minute empties the ring, which
// then counts from the new second. A stamp that has already left the minute (a thread held up
// across a move) counts at the ring's second. A login's take-back, under the same lock, takes
// one from the latest second that holds one at or before it, so that no word goes below 0.
//
// The state
// The second the siege began (0: none), the second from which its count has stayed below half
// (0: not calm), and the connections it refused. A step that finds the count at SiegeFailures
// begins a siege with one compare-and-swap, and only its winner reports it; a step that finds it
// calm for long enough ends it the same way. Steps come with connections and with every sweep,
// since an attack that stops sends no connections: a calm is timed from the first step that
// found the count below half, so an end comes at most one sweep interval late.
//
// Shared with other servers
// The sweeper's sync pushes the connections this server counted (`unsent`, taken whole with an
// exchange) and adds the other servers' to the ring at the sync's second, so that every
// server's ring holds the whole minute's count, at most one sync late. A server whose siege is
// pressed (its count at half of SiegeFailures or more) keeps a mark in the store; another
// server's mark in force begins a siege here and keeps it from calming. Each server thus logs
// its own one beginning and one end, with its own ring's count, and the marks let go once
// every server's count has fallen below half, so that no two servers hold each other's siege.
#include "tracking/siege.h"

#include <atomic>

#include "host/base/platform.h"
#include "tracking/ip_db.h"

// The module's one siege. The POP3 threads add, judge and count refusals; the sweeper judges;
// start-up resets. `second` and the ring's moves are under `lock` (see DESIGN); every word is
// atomic and relaxed except `second`'s publication (release/acquire).
static struct {
    std::atomic<int32_t> counts[SIEGE_WINDOW_SECONDS]; // connections of each second of the ring
    std::atomic<int32_t> total;   // the sum of `counts`
    std::atomic<int32_t> second;  // the latest second the ring was moved to; 0 before the first
    std::atomic<int32_t> began;   // the second the siege began; 0 while there is none
    std::atomic<int32_t> calm;    // under siege, the second from which the count has stayed
                                  // below half; 0 otherwise
    std::atomic<int32_t> refused; // connections the siege refused since it began
    std::atomic<int32_t> unsent;  // this server's connections not yet pushed to a shared store
    std::atomic<bool> marked;     // another server's siege mark is in force
    db_mutex lock;
} siege;

// The lock, made when the module is loaded: before any thread can take it.
[[maybe_unused]] static const bool siege_lock_made = (db_mutex_init(&siege.lock), true);

static const std::memory_order relaxed = std::memory_order_relaxed;

// The word of second `t`.
static std::atomic<int32_t> &siege_word(int32_t t)
{
    int32_t k = t % SIEGE_WINDOW_SECONDS;
    return siege.counts[k < 0 ? k + SIEGE_WINDOW_SECONDS : k];
}

// Zeroes the word of second `t`, taking its count out of the sum. Caller holds the lock.
static void siege_retire(int32_t t)
{
    siege.total.fetch_sub(siege_word(t).exchange(0, relaxed), relaxed);
}

// True when second `t` lies in the minute that ends at `at`.
static bool siege_in_minute(int32_t t, int32_t at)
{
    return t <= at && (int64_t)t > (int64_t)at - SIEGE_WINDOW_SECONDS;
}

// Moves the ring to `now` when it stands earlier, or empties it there when the clock was set
// back by more than a minute; otherwise nothing.
static void siege_move(int32_t now)
{
    int32_t at = siege.second.load(std::memory_order_acquire);
    if (siege_in_minute(now, at)) return;
    db_mutex_enter(&siege.lock);
    at = siege.second.load(relaxed);
    if (!siege_in_minute(now, at)) {
        bool whole = now < at || (int64_t)now - at >= SIEGE_WINDOW_SECONDS;
        for (int32_t k = 0; whole && k < SIEGE_WINDOW_SECONDS; k++) siege_retire(k);
        for (int32_t t = at + 1; !whole && t <= now; t++) siege_retire(t);
        siege.second.store(now, std::memory_order_release);
    }
    db_mutex_leave(&siege.lock);
}

void siege_reset()
{
    db_mutex_enter(&siege.lock);
    for (std::atomic<int32_t> &word : siege.counts) word.store(0, relaxed);
    for (std::atomic<int32_t> *word : {&siege.total, &siege.second, &siege.began, &siege.calm,
                                       &siege.refused, &siege.unsent})
        word->store(0, relaxed);
    siege.marked.store(false, relaxed);
    db_mutex_leave(&siege.lock);
}

int32_t siege_add(int32_t now, int32_t n)
{
    siege_move(now);
    int32_t at = siege.second.load(std::memory_order_acquire);
    siege_word(siege_in_minute(now, at) ? now : at).fetch_add(n, relaxed);
    return siege.total.fetch_add(n, relaxed) + n;
}

int32_t siege_count(int32_t now)
{
    siege_move(now);
    return siege.total.load(relaxed);
}

void siege_take_back(int32_t now)
{
    siege_move(now);
    db_mutex_enter(&siege.lock);
    int32_t at = siege.second.load(relaxed);
    for (int32_t t = now < at ? now : at; siege_in_minute(t, at); t--) {
        if (siege_word(t).load(relaxed) <= 0) continue;
        siege_word(t).fetch_sub(1, relaxed);
        siege.total.fetch_sub(1, relaxed);
        siege.unsent.fetch_sub(1, relaxed);
        break;
    }
    db_mutex_leave(&siege.lock);
}

bool siege_judge(int32_t now, int32_t count, const db_settings &s, siege_news *news)
{
    int32_t began = siege.began.load(relaxed);
    bool marked = siege.marked.load(relaxed);
    if (began == 0) {
        if (count < s.siege_failures && !marked) return false;
        if (siege.began.compare_exchange_strong(began, now, relaxed)) {
            siege.calm.store(0, relaxed);
            siege.refused.store(0, relaxed);
            news->kind = SIEGE_BEGAN;
            news->count = count;
            news->allowance = s.siege_auth_failures;
        }
        return true;
    }
    int32_t calm = siege.calm.load(relaxed);
    if ((int64_t)count * 2 >= s.siege_failures || marked) {
        if (calm != 0) siege.calm.store(0, relaxed);
        return true;
    }
    if (calm == 0) {
        siege.calm.compare_exchange_strong(calm, now, relaxed);
        return true;
    }
    if ((int64_t)now - calm < db_clear_seconds(s)) return true;
    if (!siege.began.compare_exchange_strong(began, 0, relaxed)) return began != 0;
    news->kind = SIEGE_ENDED;
    news->minutes = (int32_t)(((int64_t)now - began) / 60);
    news->refused = siege.refused.exchange(0, relaxed);
    return false;
}

int32_t siege_add_local(int32_t now)
{
    siege.unsent.fetch_add(1, relaxed);
    return siege_add(now, 1);
}

int32_t siege_take_unsent() { return siege.unsent.exchange(0, relaxed); }

void siege_keep_unsent(int32_t n) { siege.unsent.fetch_add(n, relaxed); }

void siege_set_marked(bool marked) { siege.marked.store(marked, relaxed); }

bool siege_in_force() { return siege.began.load(relaxed) != 0; }

void siege_note_refusal() { siege.refused.fetch_add(1, relaxed); }
