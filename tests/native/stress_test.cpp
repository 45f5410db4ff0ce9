// Every thread that enters the table at once: POP3 threads deciding and logging in on
// overlapping addresses through the whole decision, with a shared store in use (the fake store
// of tests/native/fake_store.h) and networks counted, so that the store's refusals are merged
// and their network counts taken back; other servers raising the shared counts; the sweeper
// expiring while the clock moves; and the dialog walking, clearing, changing the settings,
// gathering and publishing the white list, and making the store stop and start answering. Run
// under ThreadSanitizer (no race may be reported) and AddressSanitizer, on the default table and
// on one of 1024 slots (four index stripes). Afterwards the held counts equal the held slots,
// no address or network is held twice, and every copy the walk handed out was whole.
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

namespace {

enum : int {
    POOL_SIZE = 80,      // more than the 48 slots, so the table fills up at times
    POP3_THREADS = 4,
    AUTH_FAILURES_MAX_USED = 8,
    STRESS_MILLISECONDS = 1500,
    SWEEP_CLOCK_STEP = 61, // seconds per sweep: a slot untouched for two sweeps is expired
    NETWORK_BITS_USED = 16, // the pool's 80 addresses fall into 10 networks
    NETWORK_FAILURES_USED = 200,
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
                bool known = d.verdict == CHECK_NETWORK_BLOCKED ||
                             (d.verdict >= CHECK_FULL && d.verdict <= CHECK_OFFENDER);
                if (!known || (d.shared && d.verdict != CHECK_BLOCKED)) bad_decisions++;
                if (d.shared) shared_refusals++;
                connects++;
                if ((seed >> 20) % 4 == 0) { // roughly one login in four connections
                    decision_forget(db_current(), ip_parse(address));
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
                                     0, 0}; // offenders too, while they are remembered
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

} // namespace
