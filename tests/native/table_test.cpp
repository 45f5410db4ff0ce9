// The address table's rules, natively: counting and refusal, the full table, release, expiry
// at the ClearTime boundary, and the walk the dialog uses; and the merge of a store's answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/native_support.h"
#include "tests/support/scripted_store.h"

namespace {

struct TableTest : ::testing::Test {
    void SetUp() override { test_reset(); }
};

// The held slots, in index order, as the dialog's walk sees them.
std::vector<std::pair<int32_t, ip_entry_copy>> walk()
{
    std::vector<std::pair<int32_t, ip_entry_copy>> out;
    ip_entry_copy copy{};
    db_table *table = db_current();
    for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy))
        out.push_back({i, copy});
    return out;
}

std::string nth_address(int n)
{
    char text[32];
    snprintf(text, sizeof(text), "10.1.%d.%d", n / 200, n % 200 + 1);
    return text;
}

TEST_F(TableTest, CountsFiveConnectionsThenRefusesWithDefaultAuthFailures)
{
    const int32_t expected[] = {CHECK_NEW,   CHECK_KNOWN,   CHECK_KNOWN,  CHECK_KNOWN,
                                CHECK_KNOWN, CHECK_BLOCKED, CHECK_BLOCKED};
    for (int32_t decision : expected) EXPECT_EQ(connect_text("10.0.0.7"), decision);
    auto slots = walk();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].second.ip, ip_of(10, 0, 0, 7));
    EXPECT_EQ(slots[0].second.conns, 5) << "a refusal leaves the count alone";
    EXPECT_EQ(db_held(db_current()), 1);
}

// AuthFailures of 1 or less refuses the second connection; larger values allow that many.
TEST_F(TableTest, AllowsAsManyConnectionsAsAuthFailuresButAtLeastOne)
{
    const struct { int32_t auth_failures; int allowed; } cases[] = {
        {-3, 1}, {0, 1}, {1, 1}, {2, 2}, {30, 30}};
    for (const auto &c : cases) {
        test_reset();
        settings.auth_failures.store(c.auth_failures);
        for (int n = 1; n <= c.allowed; n++)
            EXPECT_NE(connect_text("10.0.0.9"), CHECK_BLOCKED)
                << "AuthFailures " << c.auth_failures << ", connection " << n;
        EXPECT_EQ(connect_text("10.0.0.9"), CHECK_BLOCKED) << "AuthFailures " << c.auth_failures;
    }
}

TEST_F(TableTest, LoginStartsTheCountAgain)
{
    for (int n = 0; n < 6; n++) connect_text("10.0.0.7");
    EXPECT_EQ(release_text("10.0.0.7"), 0);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_NEW);
}

TEST_F(TableTest, ReleaseOfAnAddressNotHeldChangesNothing)
{
    connect_text("10.0.0.1");
    connect_text("10.0.0.1");
    EXPECT_EQ(release_text("10.0.0.2"), 0);
    EXPECT_EQ(db_held(db_current()), 1);
    auto slots = walk();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].second.conns, 2);
}

TEST_F(TableTest, RefusedConnectionKeepsTheSlotFresh)
{
    for (int n = 0; n < 6; n++) connect_text("10.0.0.7");
    test_now += 1000;
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED);
    EXPECT_EQ(walk()[0].second.last_seen, TEST_CLOCK_START + 1000);
    test_now += 1000; // 2000 s after the claim, 1000 s after the last attempt
    EXPECT_EQ(db_expire(db_current()), 0);
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED);
}

TEST_F(TableTest, FullTableAllowsAndStoresNothingThenReusesTheLowestFreeSlot)
{
    for (int n = 0; n < DB_SLOTS; n++)
        ASSERT_EQ(connect_text(nth_address(n).c_str()), CHECK_NEW) << n;
    EXPECT_EQ(db_held(db_current()), DB_SLOTS);
    EXPECT_EQ(connect_text("192.0.2.1"), CHECK_FULL);
    EXPECT_EQ(connect_text("192.0.2.1"), CHECK_FULL) << "nothing was stored";
    EXPECT_EQ(db_held(db_current()), DB_SLOTS);

    release_text(nth_address(30).c_str());
    release_text(nth_address(17).c_str());
    EXPECT_EQ(db_held(db_current()), DB_SLOTS - 2);
    EXPECT_EQ(connect_text("192.0.2.1"), CHECK_NEW);
    ip_entry_copy copy{};
    EXPECT_EQ(db_next(db_current(), 16, &copy), 17);
    EXPECT_EQ(copy.ip, ip_of(192, 0, 2, 1));
    EXPECT_EQ(copy.conns, 1);
    EXPECT_EQ(copy.last_seen, TEST_CLOCK_START);
}

// A slot is freed once it is more than ClearTime minutes old, never at exactly that age.
TEST_F(TableTest, ExpiryFreesOnlySlotsOlderThanClearTime)
{
    for (int32_t minutes : {1, 30, 1440}) {
        test_reset();
        settings.clear_time.store(minutes);
        connect_text("10.0.0.1"); // claimed at start
        test_now += 1;
        connect_text("10.0.0.2"); // one second younger
        test_now += minutes * 60;     // 10.0.0.1 is ClearTime*60+1 old, 10.0.0.2 exactly ClearTime*60
        EXPECT_EQ(db_expire(db_current()), 1) << minutes;
        auto slots = walk();
        ASSERT_EQ(slots.size(), 1u) << minutes;
        EXPECT_EQ(slots[0].second.ip, ip_of(10, 0, 0, 2));
        EXPECT_EQ(db_held(db_current()), 1);
        test_now += 1;
        EXPECT_EQ(db_expire(db_current()), 1) << minutes;
        EXPECT_EQ(db_held(db_current()), 0);
    }
}

TEST_F(TableTest, TextsTheParserRejectsShareTheAllOnesSlot)
{
    EXPECT_EQ(connect_text("not-an-address"), CHECK_NEW);
    EXPECT_EQ(connect_text("255.255.255.255"), CHECK_KNOWN);
    EXPECT_EQ(connect_text("300.1.2.3"), CHECK_KNOWN);
    auto slots = walk();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].second.ip, IP_NONE);
    EXPECT_EQ(slots[0].second.conns, 3);
}

TEST_F(TableTest, WhiteListedAddressIsNeverStored)
{
    ASSERT_EQ(white_add("192.168.1.0", 24), 1);
    white_publish();
    for (int n = 0; n < 10; n++) EXPECT_EQ(connect_text("192.168.1.77"), CHECK_WHITE);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(connect_text("192.168.2.77"), CHECK_NEW);
}

TEST_F(TableTest, WalkVisitsEverySlotInUseOnceInIndexOrder)
{
    for (int n = 0; n < 6; n++) connect_text(nth_address(n).c_str());
    release_text(nth_address(0).c_str());
    release_text(nth_address(3).c_str());
    auto slots = walk();
    ASSERT_EQ(slots.size(), 4u);
    const int32_t expected[] = {1, 2, 4, 5};
    for (size_t k = 0; k < slots.size(); k++) EXPECT_EQ(slots[k].first, expected[k]);
    ip_entry_copy copy{};
    EXPECT_EQ(db_next(db_current(), 5, &copy), -1);
    EXPECT_EQ(db_next(db_current(), DB_SLOTS - 1, &copy), -1);
    EXPECT_EQ(db_next(db_current(), DB_SLOTS + 10, &copy), -1);
}

TEST_F(TableTest, ClearFreesEverySlot)
{
    for (int n = 0; n < 20; n++) connect_text(nth_address(n).c_str());
    EXPECT_EQ(db_clear(db_current()), 1);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_TRUE(walk().empty());
    EXPECT_EQ(connect_text(nth_address(5).c_str()), CHECK_NEW);
}

TEST_F(TableTest, NoOperationReturnsHoldingTheLock)
{
    connect_text("10.0.0.1");
    connect_text("10.0.0.1");
    release_text("10.0.0.2");
    db_expire(db_current());
    ip_entry_copy copy{};
    db_next(db_current(), -1, &copy);
    db_clear(db_current());
    EXPECT_FALSE(db_lock_held_by_caller(db_current()));
}

// What the sweep's pauses saw (the test's thread and the one it starts in each pause).
int sweep_pauses, sweep_pauses_locked, sweep_decisions;
void sweep_pause()
{
    sweep_pauses++;
    if (db_lock_held_by_caller(db_current())) sweep_pauses_locked++;
    // A decision on another thread must get through now; a lock kept would hang it here.
    std::thread pop3([] { sweep_decisions += connect_text("192.0.2.1") != CHECK_FULL; });
    pop3.join();
}

// A sweep of a large table lets go of every lock between chunks of slots, and still frees
// exactly the slots that are due.
TEST_F(TableTest, SweepOfALargeTablePausesBetweenChunksHoldingNoLock)
{
    const int32_t slots = 65536;
    ASSERT_NE(test_table_publish(slots), nullptr);
    for (int32_t n = 0; n < slots; n++) // every other address quiet for too long
        ASSERT_EQ(db_restore(db_current(), ip_of(10, 4, (uint8_t)(n >> 8), (uint8_t)n), 1,
                             n % 2 ? TEST_CLOCK_START : TEST_CLOCK_START - 1801),
                  1);
    db_expire_between_chunks = sweep_pause;
    EXPECT_EQ(db_expire(db_current()), slots / 2);
    db_expire_between_chunks = nullptr;
    EXPECT_EQ(sweep_pauses, slots / DB_EXPIRE_CHUNK - 1);
    EXPECT_EQ(sweep_pauses_locked, 0);
    EXPECT_EQ(sweep_decisions, sweep_pauses);
    EXPECT_EQ(db_held(db_current()), slots / 2 + 1);
}

} // namespace

namespace {

// Tables of sizes on both sides of each change of shape (one stripe or several, one bitmap
// level or two or three) live in one process, each holding exactly its own slots: filled to
// the last, full beyond it, lowest free slot reused, every slot expired.
TEST(Tables, EachSizeHoldsExactlyItsSlots)
{
    test_reset();
    for (int32_t slots : {-5, 48, 64, 65, 511, 512, 4096, 4097, 65536}) {
        SCOPED_TRACE(slots);
        int32_t expected = slots < DB_SLOTS ? DB_SLOTS : slots;
        db_table *table = db_table_make(slots, malloc, free);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(db_capacity(table), expected);
        for (int32_t n = 0; n < expected; n++)
            ASSERT_EQ(connect_ip(ip_of(10, 7, (uint8_t)(n >> 8), (uint8_t)n), table), CHECK_NEW)
                << n;
        EXPECT_EQ(connect_ip(ip_of(192, 0, 2, 1), table), CHECK_FULL);
        EXPECT_EQ(db_held(table), expected);
        int32_t middle = expected / 2;
        db_release(table, ip_of(10, 7, (uint8_t)(middle >> 8), (uint8_t)middle));
        EXPECT_EQ(connect_ip(ip_of(192, 0, 2, 1), table), CHECK_NEW);
        ip_entry_copy copy{};
        EXPECT_EQ(db_next(table, middle - 1, &copy), middle);
        EXPECT_EQ(copy.ip, ip_of(192, 0, 2, 1));
        test_now += CLEAR_TIME_DEFAULT * 60 + 1;
        EXPECT_EQ(db_expire(table), expected);
        EXPECT_EQ(db_next(table, -1, &copy), -1);
        db_table_free(table);
    }
}

// The same work on two tables at once, one thread each, leaves both exactly as one table alone
// would be; and what is done to one table (decisions, clear, change mark) leaves the other be.
TEST(Tables, TwoTablesSideBySideNeverTouchEachOther)
{
    test_reset();
    db_table *a = db_table_make(1024, malloc, free), *b = db_table_make(1024, malloc, free);
    ASSERT_TRUE(a && b);
    auto work = [](db_table *table) {
        for (int n = 0; n < 3000; n++) {
            uint32_t ip = ip_of(10, 8, (uint8_t)(n % 1500 >> 8), (uint8_t)(n % 1500));
            connect_ip(ip, table);
            if (n % 7 == 0) db_release(table, ip);
        }
    };
    std::thread on_a(work, a), on_b(work, b);
    on_a.join();
    on_b.join();
    ip_entry_copy copy_a{}, copy_b{};
    int32_t i = db_next(a, -1, &copy_a), j = db_next(b, -1, &copy_b);
    for (; i >= 0 || j >= 0; i = db_next(a, i, &copy_a), j = db_next(b, j, &copy_b)) {
        ASSERT_EQ(i, j);
        EXPECT_EQ(copy_a.ip, copy_b.ip) << i;
        EXPECT_EQ(copy_a.conns, copy_b.conns) << i;
    }
    EXPECT_EQ(db_held(a), db_held(b));

    db_take_changed(a);
    db_take_changed(b);
    db_clear(a);
    EXPECT_EQ(db_held(a), 0);
    EXPECT_EQ(db_held(b), 1024);
    EXPECT_TRUE(db_take_changed(a));
    EXPECT_FALSE(db_take_changed(b)) << "clearing one table marked the other changed";
    EXPECT_EQ(connect_ip(ip_of(10, 8, 0, 1), a), CHECK_NEW);
    EXPECT_NE(connect_ip(ip_of(10, 8, 0, 1), b), CHECK_NEW);
    db_table_free(a);
    db_table_free(b);
}


// Whatever a store answers, it can only add a refusal to a connection the table let in, that
// connection counts for no network, and a network is named only where the table counts one.
TEST(DecisionMerge, StoreOnlyAddsARefusalAndNamesNoNetworkTheTableDoesNotCount)
{
    const struct {
        int32_t bits, answer, verdict;
        bool shared;
    } cases[] = {
        {0, STORE_NO_ANSWER, CHECK_NEW, false},
        {24, STORE_LET_IN, CHECK_NEW, false},
        {24, STORE_REFUSED, CHECK_BLOCKED, true},
        {24, STORE_REFUSED_NETWORK, CHECK_NETWORK_BLOCKED, false},
        {0, STORE_REFUSED_NETWORK, CHECK_BLOCKED, true}, // no network asked about
        {24, 7, CHECK_NEW, false},                       // an answer no store gives
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        test_reset();
        db_table *networks = c.bits ? test_count_networks(c.bits, 20) : nullptr;
        scripted_answer = c.answer;
        store_install(&scripted_store);
        db_decision d = decision_connect(db_current(), ip_of(10, 1, 2, 3));
        store_install(nullptr);
        EXPECT_EQ(d.verdict, c.verdict);
        EXPECT_EQ(d.shared, c.shared);
        if (networks) EXPECT_EQ(db_held(networks), c.verdict == CHECK_NEW ? 1 : 0);
    }
}

} // namespace

namespace {

bool trusted(uint32_t ip) { return db_trusted(db_current(), ip, db_settings_now()); }

// A full set gives up exactly the entry whose latest login is the oldest, on one stripe or many.
TEST(Trust, AFullSetGivesUpTheOldestLogin)
{
    for (int32_t entries : {(int32_t)DB_SLOTS, 1024}) {
        SCOPED_TRACE(entries);
        test_reset();
        settings.trust_days.store(1);
        db_table *set = db_table_make(entries, malloc, free, true);
        db_set_trusted(db_current(), set, 32);
        for (int32_t n = 0; n < entries; n++, test_now += 1)
            decision_login(db_current(), ip_of(10, 0, (uint8_t)(n >> 8), (uint8_t)n));
        decision_login(db_current(), ip_of(10, 0, 0, 0)); // the oldest logs in again
        decision_login(db_current(), ip_of(10, 9, 0, 0)); // a newcomer takes 10.0.0.1's place
        EXPECT_EQ(db_held(set), entries);
        EXPECT_TRUE(trusted(ip_of(10, 0, 0, 0)));
        EXPECT_FALSE(trusted(ip_of(10, 0, 0, 1)));
        EXPECT_TRUE(trusted(ip_of(10, 0, 0, 2)));
        EXPECT_TRUE(trusted(ip_of(10, 9, 0, 0)));
    }
}

} // namespace
