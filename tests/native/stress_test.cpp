// Every thread that enters the table at once: POP3 threads deciding and logging in on
// overlapping addresses through the whole decision, with a shared store in use (the fake store
// of tests/native/fake_store.h) and networks counted, so that the store's refusals are merged
// and their network counts taken back, and with logins trusted in a small set and a siege
// counted, begun and ended; other servers raising the shared counts; the sweeper
// expiring while the clock moves; and the dialog walking, clearing, changing the settings,
// gathering and publishing the white list, and making the store stop and start answering. Run
// under ThreadSanitizer (no race may be reported) and AddressSanitizer, on the default table and
// on one of 1024 slots (four index stripes). Afterwards the held counts equal the held slots,
// no address or network is held twice, and every copy the walk handed out was whole. And the
// lists swapped under load: POP3 threads deciding inside the call gate while the black list and
// the allow list are replaced and the old sets given back after their grace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "tests/native/fake_store.h"
#include "tests/native/native_support.h"
#include "tracking/black_list.h"
#include "tracking/call_gate.h"
#include "tracking/list_sets.h"

namespace {

enum : int {
    POOL_SIZE = 80,      // more than the 48 slots, so the table fills up at times
    POP3_THREADS = 4,
    AUTH_FAILURES_MAX_USED = 8,
    STRESS_MILLISECONDS = 1500,
    SWEEP_CLOCK_STEP = 61, // seconds per sweep: a slot untouched for two sweeps is expired
    NETWORK_BITS_USED = 16, // the pool's 80 addresses fall into 10 networks
    NETWORK_FAILURES_USED = 200,
    SIEGE_FAILURES_USED = 100,
};

// Pool address n is 10.b.c.d with b = n / 8, c = n % 8 + 1 and a check octet d derived from
// b and c: a copy whose octets disagree was torn or never written by the table.
uint8_t check_octet(int b, int c) { return (uint8_t)((b * 37 + c * 11 + 5) & 0xFF); }

struct pool_t {
    char text[POOL_SIZE][24];
};

pool_t make_pool()
{
    pool_t pool;
    for (int n = 0; n < POOL_SIZE; n++) {
        int b = n / 8, c = n % 8 + 1;
        snprintf(pool.text[n], sizeof(pool.text[n]), "10.%d.%d.%d", b, c, check_octet(b, c));
    }
    return pool;
}

bool whole_pool_address(uint32_t ip)
{
    int a = ip_octet(ip, 0), b = ip_octet(ip, 1), c = ip_octet(ip, 2), d = ip_octet(ip, 3);
    return a == 10 && b < POOL_SIZE / 8 && c >= 1 && c <= 8 && d == check_octet(b, c);
}

// What one bad copy looked like, for the failure message.
struct bad_copy {
    int32_t index;
    ip_entry_copy copy;
    int32_t now;
};

bool whole_copy(const ip_entry_copy &copy, int32_t now)
{
    // An offender's count starts again from 0 when its refusal clears.
    return whole_pool_address(copy.ip) && copy.conns >= (copy.offences ? 0 : 1) &&
           copy.conns <= AUTH_FAILURES_MAX_USED && copy.last_seen >= TEST_CLOCK_START &&
           copy.last_seen <= now;
}

void stress(int32_t slots)
{
    test_reset();
    ASSERT_NE(test_table_publish(slots), nullptr);
    settings.clear_time.store(1);
    test_count_networks(NETWORK_BITS_USED, NETWORK_FAILURES_USED);
    db_set_trusted(db_current(), db_table_make(DB_SLOTS, malloc, free, true), 30);
    settings.trust_days.store(1);
    settings.siege_failures.store(SIEGE_FAILURES_USED);
    fake_store_reset(true);
    const pool_t pool = make_pool();
    std::atomic<bool> stop{false};
    std::atomic<int64_t> connects{0}, releases{0}, expired{0}, walks{0}, copies{0}, clears{0};
    std::atomic<int64_t> bad_decisions{0}, bad_held{0}, shared_refusals{0}, others{0};
    std::vector<bad_copy> bad_copies; // dialog thread only

    std::vector<std::thread> threads;
    for (int t = 0; t < POP3_THREADS; t++) {
        threads.emplace_back([&, t] {
            uint32_t seed = 12345u + (uint32_t)t * 7919u;
            while (!stop.load(std::memory_order_relaxed)) {
                seed = seed * 1103515245u + 12345u;
                const char *address = pool.text[(seed >> 8) % POOL_SIZE];
                db_decision d = decision_connect(db_current(), ip_parse(address));
                bool known = d.verdict == CHECK_NETWORK_BLOCKED || d.verdict == CHECK_SIEGE_BLOCKED ||
                             (d.verdict >= CHECK_FULL && d.verdict <= CHECK_OFFENDER);
                if (!known || (d.shared && d.verdict != CHECK_BLOCKED)) bad_decisions++;
                if (d.shared) shared_refusals++;
                connects++;
                if ((seed >> 20) % 4 == 0) { // roughly one login in four connections
                    decision_login(db_current(), ip_parse(address));
                    releases++;
                }
                int32_t held = db_held(db_current());
                if (held < 0 || held > slots) bad_held++;
            }
        });
    }
    threads.emplace_back([&] { // the other servers, whose own tables let every connection in
        uint32_t seed = 4242u;
        while (!stop.load(std::memory_order_relaxed)) {
            seed = seed * 1103515245u + 12345u;
            uint32_t ip = ip_parse(pool.text[(seed >> 8) % POOL_SIZE]);
            const store_request r = {ip, AUTH_FAILURES_DEFAULT, 60, true,
                                     ip & prefix_to_mask(NETWORK_BITS_USED), NETWORK_BITS_USED,
                                     NETWORK_FAILURES_USED,
                                     settings.repeat_factor.load(std::memory_order_relaxed), 600,
                                     0, 0, 0, 0, 0}; // offenders too, while remembered
            fake_store_connect(&r, nullptr);
            others++;
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] { // the sweeper, with a clock running far faster than real time
        while (!stop.load(std::memory_order_relaxed)) {
            test_now.fetch_add(SWEEP_CLOCK_STEP, std::memory_order_relaxed);
            expired += db_expire(db_current());
            db_expire(db_networks(db_current()));
            db_expire_trusted(db_current());
            decision_sync(db_current()); // and syncing with the store
            siege_news news{};
            siege_judge(test_clock(), siege_count(test_clock()), db_settings_now(), &news);
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] { // the dialog
        int round = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            ip_entry_copy copy;
            db_table *table = db_current();
            for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy)) {
                copies++;
                int32_t now = test_clock();
                if (!whole_copy(copy, now) && bad_copies.size() < 10)
                    bad_copies.push_back({i, copy, now});
            }
            walks++;
            round++;
            settings.auth_failures.store(3 + round % (AUTH_FAILURES_MAX_USED - 2));
            settings.clear_time.store(1 + round % 3);
            settings.repeat_factor.store(round % 4 ? 2 : 0); // offenders remembered, mostly
            settings.repeat_auth_failures.store(round % 3);
            // Gather a new white list and put it in force as "OK / Save" does; it covers pool
            // addresses 10.9.x.x (and, every other round, 10.2.x.x); every fifth round empties it.
            if (round % 5 == 0) white_clear();
            white_add("10.9.0.0", 16);
            if (round % 2) white_add("10.2.0.0", 16);
            for (int n = 0; n < 10; n++) white_add("192.0.2.0", 24 + n % 8);
            white_publish();
            if (round % 64 == 0) {
                db_clear(db_current());
                clears++;
            }
            if (round % 16 == 0) {
                std::lock_guard<std::mutex> hold(fake_store.lock);
                fake_store.answers = !fake_store.answers;
            }
        }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(STRESS_MILLISECONDS));
    stop.store(true);
    for (std::thread &t : threads) t.join();
    store_install(nullptr);

    EXPECT_EQ(bad_decisions.load(), 0);
    EXPECT_EQ(bad_held.load(), 0);
    for (const bad_copy &b : bad_copies)
        ADD_FAILURE() << "torn copy of slot " << b.index << ": ip " << std::hex << b.copy.ip
                      << std::dec << " conns " << b.copy.conns << " last_seen "
                      << b.copy.last_seen << " (now " << b.now << ")";

    // The table at rest: the held count equals the held slots, each address held once.
    std::set<uint32_t> held;
    int32_t in_use = 0;
    ip_entry_copy copy;
    db_table *table = db_current();
    for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy)) {
        in_use++;
        EXPECT_TRUE(whole_copy(copy, test_clock())) << "slot " << i;
        EXPECT_TRUE(held.insert(copy.ip).second) << "address held twice, slot " << i;
    }
    EXPECT_EQ(db_held(db_current()), in_use);
    // And its networks: each held once, with its count.
    std::set<uint32_t> networks;
    db_table *network_table = db_networks(table);
    for (int32_t i = db_next(network_table, -1, &copy); i >= 0; i = db_next(network_table, i, &copy)) {
        EXPECT_TRUE(networks.insert(copy.ip).second) << "network held twice, slot " << i;
        EXPECT_GE(copy.conns, 1) << "slot " << i;
    }
    EXPECT_EQ(db_held(network_table), (int32_t)networks.size());
    // And its trusted entries: each held once.
    std::set<uint32_t> keys;
    for (int32_t i = db_next(db_trusted_set(table), -1, &copy); i >= 0; i = db_next(db_trusted_set(table), i, &copy))
        EXPECT_TRUE(keys.insert(copy.ip).second) << "trusted twice, slot " << i;
    EXPECT_EQ(db_held(db_trusted_set(table)), (int32_t)keys.size());

    // The run did exercise every kind of work.
    EXPECT_GT(connects.load(), 1000);
    EXPECT_GT(releases.load(), 0);
    EXPECT_GT(expired.load(), 0);
    EXPECT_GT(walks.load(), 10);
    EXPECT_GT(copies.load(), 0);
    EXPECT_GT(clears.load(), 0);
    EXPECT_GT(shared_refusals.load(), 0);
    EXPECT_GT(others.load(), 0);
    printf("stress: %lld connects, %lld releases, %lld expired, %lld walks (%lld copies), "
           "%lld clears\n",
           (long long)connects.load(), (long long)releases.load(), (long long)expired.load(),
           (long long)walks.load(), (long long)copies.load(), (long long)clears.load());
}

TEST(TableStress, AllThreadsAtOnceKeepTheTableConsistent) { stress(DB_SLOTS); }
TEST(TableStress, AllThreadsAtOnceKeepAStripedTableConsistent) { stress(1024); }

// ---- The lists swapped under load ------------------------------------------------------------

// The sets made for the lists and those given back: each set is made with this release.
std::atomic<int32_t> sets_made{0}, sets_given_back{0};
void count_release(void *block)
{
    sets_given_back++;
    free(block);
}

// A set of the ranges first..last (host order).
range_set *make_set(std::initializer_list<std::pair<uint32_t, uint32_t>> ranges)
{
    range_set_gather g;
    range_set_gather_init(&g, RANGE_SET_MAX, malloc, free);
    for (auto [first, last] : ranges) range_set_gather_add(&g, first, last);
    range_set *set = range_set_make(&g, malloc, count_release);
    range_set_gather_free(&g);
    sets_made++;
    return set;
}

// A set retired while a call counted in before is still inside stays whole until that call
// leaves; one retired while no call is inside is given back at once.
TEST(ListSets, ARetiredSetIsGivenBackOnlyOnceNoCallFromBeforeItIsInside)
{
    sets_made = sets_given_back = 0;
    ASSERT_TRUE(list_publish(LIST_BLACK, make_set({{0x0A000000u, 0x0AFFFFFFu}}), 0));
    ASSERT_TRUE(list_publish(LIST_BLACK, make_set({{0x0B000000u, 0x0BFFFFFFu}}), 0));
    EXPECT_EQ(sets_given_back.load(), 1);
    int32_t inside = call_gate_enter();
    const range_set *read = list_set(LIST_BLACK);
    ASSERT_TRUE(list_publish(LIST_BLACK, nullptr, 0));
    EXPECT_FALSE(list_give_back_retired(20));
    EXPECT_EQ(list_retired(), 1);
    EXPECT_EQ(range_set_contains(read, ip_of(11, 1, 2, 3)), 1);
    call_gate_leave(inside);
    EXPECT_TRUE(list_give_back_retired(20));
    EXPECT_EQ(sets_given_back.load(), 2);
    EXPECT_EQ(black_match(ip_of(11, 1, 2, 3)), 0);
}

// A writer puts two versions of both lists in force by turns, as fast as it can, and gives the
// old sets back as soon as their grace allows, while POP3 threads decide inside the gate. Each
// probe gets its list's refusal in one version and a verdict of the table in the other, never
// anything else; no set is read once given back (the sanitizers watch every read); every set
// made is given back in the end.
TEST(ListsStress, ListsSwappedUnderLoadAreReadWholeAndGivenBackAfterTheirGrace)
{
    test_reset();
    settings.auth_failures.store(AUTH_FAILURES_MAX);
    sets_made = sets_given_back = 0;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> decisions{0}, bad{0}, swaps{0};
    // Black-listed in the first version, in the second, outside the allow list in the first, never.
    const uint32_t probes[] = {ip_of(10, 1, 0, 9), ip_of(10, 2, 0, 9), ip_of(11, 0, 0, 9), ip_of(10, 3, 0, 9)};
    const int32_t refusal[] = {CHECK_BLACK, CHECK_BLACK, CHECK_NOT_ALLOWED, CHECK_NEW};
    std::vector<std::thread> threads;
    for (int t = 0; t < POP3_THREADS; t++)
        threads.emplace_back([&, t] {
            for (uint32_t n = (uint32_t)t; !stop.load(std::memory_order_relaxed); n++) {
                int32_t counted = call_gate_enter();
                int32_t verdict = decision_connect(db_current(), probes[n % 4]).verdict;
                call_gate_leave(counted);
                if (verdict != refusal[n % 4] && verdict != CHECK_NEW && verdict != CHECK_KNOWN &&
                    verdict != CHECK_BLOCKED)
                    bad++;
                decisions++;
            }
        });
    threads.emplace_back([&] {
        for (uint32_t v = 0; !stop.load(std::memory_order_relaxed); v ^= 1, swaps++) {
            range_set *black = make_set({{v ? 0x0A020000u : 0x0A010000u, v ? 0x0A02FFFFu : 0x0A01FFFFu}});
            range_set *allow = make_set({{0x0A000000u, v ? 0x0BFFFFFFu : 0x0AFFFFFFu}});
            if (!list_publish(LIST_BLACK, black, LIST_GRACE_MS)) range_set_free(black);
            if (!list_publish(LIST_ALLOW, allow, LIST_GRACE_MS)) range_set_free(allow);
            list_give_back_retired(LIST_GRACE_MS);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(STRESS_MILLISECONDS));
    stop.store(true);
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(decisions.load(), 1000);
    EXPECT_GT(swaps.load(), 10);
    ASSERT_TRUE(list_publish(LIST_BLACK, nullptr, 0));
    ASSERT_TRUE(list_publish(LIST_ALLOW, nullptr, 0));
    EXPECT_EQ(list_retired(), 0);
    EXPECT_EQ(sets_given_back.load(), sets_made.load());
    printf("lists stress: %lld decisions, %lld swaps\n", (long long)decisions.load(), (long long)swaps.load());
}

} // namespace
