// The address table's rules: counting, refusing, releasing, slot reuse and expiry.
#include <algorithm>
#include <ctime>
#include <set>
#include <string>

#include "host/base/platform.h"
#include "tests/support/module_fixture.h"

using AddressTable = ModuleTest;

static std::string nth_address(int n) { return "10.9." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1); }

TEST_F(AddressTable, AllowsAuthFailuresConnectionsThenRefuses)
{
    const int32_t expected[] = {CHECK_NEW,   CHECK_KNOWN,   CHECK_KNOWN,  CHECK_KNOWN,
                                CHECK_KNOWN, CHECK_BLOCKED, CHECK_BLOCKED};
    for (int32_t decision : expected) EXPECT_EQ(connect_text("10.0.0.7"), decision);
    ASSERT_EQ(held().size(), 1u);
    EXPECT_EQ(held()[0].conns, 5) << "a refusal does not raise the count";
    EXPECT_EQ(db_held(db_current()), 1);
}

TEST_F(AddressTable, RefusedConnectionKeepsTheSlotFresh)
{
    for (int i = 0; i < 5; i++) connect_text("10.0.0.7");
    test_now += 100;
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED);
    EXPECT_EQ(held()[0].last_seen, test_now.load());
}

TEST_F(AddressTable, AuthFailuresZeroOrNegativeRefusesTheSecondConnection)
{
    for (int32_t limit : {0, -1, -30}) {
        db_clear(db_current());
        settings.auth_failures = limit;
        EXPECT_EQ(connect_text("10.0.0.8"), CHECK_NEW) << limit;
        EXPECT_EQ(connect_text("10.0.0.8"), CHECK_BLOCKED) << limit;
    }
}

TEST_F(AddressTable, ReleaseForgetsTheAddressAndCountingStartsAgain)
{
    for (int i = 0; i < 6; i++) connect_text("10.0.0.7");
    EXPECT_EQ(release_text("10.0.0.7"), 0);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_NEW);
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_KNOWN);
}

TEST_F(AddressTable, ReleaseOfAnAddressNotHeldChangesNothing)
{
    connect_text("10.0.0.1");
    connect_text("10.0.0.2");
    EXPECT_EQ(release_text("10.0.0.3"), 0);
    EXPECT_EQ(db_held(db_current()), 2);
    EXPECT_EQ(held().size(), 2u);
}

TEST_F(AddressTable, FullTableLetsTheNewcomerInAndStoresNothing)
{
    for (int i = 0; i < DB_SLOTS; i++)
        ASSERT_EQ(connect_text(nth_address(i).c_str()), CHECK_NEW) << i;
    EXPECT_EQ(connect_text("10.200.0.1"), CHECK_FULL);
    EXPECT_EQ(connect_text("10.200.0.1"), CHECK_FULL) << "still not held";
    EXPECT_EQ(db_held(db_current()), DB_SLOTS);
    EXPECT_EQ(connect_text(nth_address(7).c_str()), CHECK_KNOWN) << "held ones still count";
}

TEST_F(AddressTable, NewAddressTakesTheLowestFreeSlot)
{
    for (int i = 0; i < DB_SLOTS; i++) connect_text(nth_address(i).c_str());
    release_text(nth_address(30).c_str());
    release_text(nth_address(3).c_str());
    EXPECT_EQ(connect_text("10.200.0.1"), CHECK_NEW);
    EXPECT_EQ(slot_of("10.200.0.1"), 3);
    EXPECT_EQ(connect_text("10.200.0.2"), CHECK_NEW);
    EXPECT_EQ(slot_of("10.200.0.2"), 30);
    EXPECT_EQ(db_held(db_current()), DB_SLOTS);
}

TEST_F(AddressTable, TextTheParserRejectsIsTrackedUnderAllOnes)
{
    EXPECT_EQ(connect_text("not-an-address"), CHECK_NEW);
    EXPECT_EQ(connect_text(""), CHECK_KNOWN) << "every rejected text is the same address";
    ASSERT_EQ(held().size(), 1u);
    EXPECT_EQ(held()[0].ip, IP_NONE);
}

TEST_F(AddressTable, WhiteListedAddressIsNeverCountedOrStored)
{
    ASSERT_EQ(white_add("192.168.1.0", 24), 1);
    white_publish();
    for (int i = 0; i < 50; i++) ASSERT_EQ(connect_text("192.168.1.77"), CHECK_WHITE);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_TRUE(held().empty());
}

TEST_F(AddressTable, ClearEmptiesTheTableButKeepsTheWhiteList)
{
    white_add("127.0.0.1", 32);
    white_publish();
    connect_text("10.0.0.1");
    connect_text("10.0.0.2");
    EXPECT_EQ(db_clear(db_current()), 1);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(white_count(), 1) << "clearing the held addresses must not drop trusted ranges";
    EXPECT_EQ(connect_text("127.0.0.1"), CHECK_WHITE);
}

TEST_F(AddressTable, NextVisitsEverySlotInUseOnceInIndexOrder)
{
    for (int i = 0; i < 5; i++) connect_text(nth_address(i).c_str());
    release_text(nth_address(1).c_str());
    connect_text(nth_address(2).c_str());
    ip_entry_copy copy{};
    std::vector<int32_t> indexes;
    db_table *table = db_current();
    for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy)) {
        indexes.push_back(i);
    }
    EXPECT_EQ(indexes, (std::vector<int32_t>{0, 2, 3, 4}));
    EXPECT_EQ(db_next(db_current(), 47, &copy), -1);
    EXPECT_EQ(db_next(db_current(), 100, &copy), -1);
    EXPECT_EQ(held()[1].conns, 2);
}

struct ExpiryCase {
    int32_t clear_time; // minutes
    int32_t age;        // seconds since the last connection
    bool freed;
};

class Expiry : public ModuleTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(Expiry, FreesOnlySlotsQuietForMoreThanClearTime)
{
    const ExpiryCase c = GetParam();
    settings.clear_time = c.clear_time;
    connect_text("10.0.0.1");
    test_now += c.age;
    connect_text("10.0.0.2"); // seen just now: never freed
    EXPECT_EQ(db_expire(db_current()), c.freed ? 1 : 0);
    EXPECT_EQ(slot_of("10.0.0.1") < 0, c.freed);
    EXPECT_GE(slot_of("10.0.0.2"), 0);
    EXPECT_EQ(db_held(db_current()), c.freed ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(AddressTable, Expiry,
                         ::testing::Values(ExpiryCase{30, 1800, false}, ExpiryCase{30, 1801, true},
                                           ExpiryCase{1, 60, false}, ExpiryCase{1, 61, true},
                                           ExpiryCase{1440, 86400, false},
                                           ExpiryCase{1440, 86401, true}));

TEST_F(AddressTable, ExpiryMeasuresFromTheLatestConnection)
{
    settings.clear_time = 1;
    connect_text("10.0.0.1");
    test_now += 50;
    connect_text("10.0.0.1");
    test_now += 50;
    EXPECT_EQ(db_expire(db_current()), 0);
    test_now += 11;
    EXPECT_EQ(db_expire(db_current()), 1);
    EXPECT_EQ(db_held(db_current()), 0);
}

TEST_F(AddressTable, ClockSetBackNeverExpiresAndNeverOverflows)
{
    settings.clear_time = 1;
    test_now = INT32_MAX - 10;
    connect_text("10.0.0.1");
    test_now = INT32_MIN + 10; // a wrapped or reset clock: "now" far before last_seen
    EXPECT_EQ(db_expire(db_current()), 0);
    EXPECT_EQ(db_held(db_current()), 1);
}

// A table counting /24 networks, each allowed 3 unanswered connections.
class Networks : public AddressTable {
protected:
    void SetUp() override
    {
        AddressTable::SetUp();
        networks = test_count_networks(24, 3);
    }
    db_table *networks = nullptr;
};

TEST_F(Networks, CountsOnlyLetInConnectionsAndALoginTakesItsOwnBack)
{
    settings.auth_failures = 2;
    for (int i = 0; i < 9; i++) connect_text("10.1.2.1"); // let in twice, then refused
    EXPECT_EQ(held(networks)[0].conns, 2);
    EXPECT_EQ(connect_text("10.1.2.2"), CHECK_NEW);
    EXPECT_EQ(connect_text("10.1.2.3"), CHECK_NETWORK_BLOCKED) << "the fourth of three";
    EXPECT_EQ(connect_text("10.1.2.2"), CHECK_NETWORK_BLOCKED);
    EXPECT_EQ(slot_of("10.1.2.3"), -1) << "a network refusal is not counted for its address";
    EXPECT_EQ(connect_text("10.1.3.1"), CHECK_NEW) << "the next network is its own";
    release_text("10.1.2.1");
    EXPECT_EQ(held(networks)[0].conns, 1);
    EXPECT_EQ(connect_text("10.1.2.3"), CHECK_NEW);
}

TEST_F(Networks, WhiteListedAreNeverCountedAndANetworkExpiresAfterItsLastRefusal)
{
    settings.clear_time = 1;
    white_add("10.1.2.200", 32);
    white_publish();
    for (int i = 0; i < 3; i++) EXPECT_EQ(connect_text("10.1.2.200"), CHECK_WHITE);
    for (int i = 0; i < 3; i++) EXPECT_EQ(connect_text("10.1.2.1"), i ? CHECK_KNOWN : CHECK_NEW);
    EXPECT_EQ(connect_text("10.1.2.200"), CHECK_WHITE) << "nor refused";
    test_now += 40;
    EXPECT_EQ(connect_text("10.1.2.5"), CHECK_NETWORK_BLOCKED);
    test_now += 60;
    EXPECT_EQ(db_expire(networks), 0) << "the refusal 60 s ago started the wait again";
    test_now += 1;
    EXPECT_EQ(db_expire(networks), 1);
    EXPECT_EQ(connect_text("10.1.2.5"), CHECK_NEW);
}

TEST(TableClock, ReadsTheSecondsSince1970ThatTimeGives)
{
    int32_t before = (int32_t)time(nullptr);
    int32_t now = platform_time_now();
    int32_t after = (int32_t)time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

// ---- Repeat offenders ------------------------------------------------------------------------

class RepeatOffenders : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        settings.clear_time = 1;
        settings.repeat_factor = 2;
        settings.max_clear_time = 64;
        settings.repeat_auth_failures = 1;
    }
};

// The figures: an address that waits out each refusal (one second past 1, 2, 4, ... minutes,
// at most 64) and comes back at once, trying every second while let in, swept every 30 s:
// 5 + 6 let in over the first two hours, then one per 64 minutes and 2 seconds.
TEST_F(RepeatOffenders, WaitingOutEachRefusalGetsElevenInTwoHoursThenOnePerMaxClearTime)
{
    const int32_t start = test_now;
    int32_t offences = 0, early = 0, late = 0, next_sweep = start;
    while (test_now - start < 12 * 3600) {
        for (; next_sweep <= test_now; next_sweep += 30) ASSERT_EQ(db_expire(db_current()), 0);
        if (connect_text("10.0.0.7") == CHECK_BLOCKED) {
            offences++;
            test_now += std::min(60 << std::min(offences - 1, 20), 64 * 60) + 1;
        } else {
            (test_now - start < 2 * 3600 ? early : late)++;
            test_now += 1;
        }
    }
    EXPECT_EQ(early, 5 + 6);
    EXPECT_EQ(late, 10);
}

// Once its first refusal has cleared, an offender is let in RepeatAuthFailures times and then
// refused for its second offence (two minutes); a further MaxClearTime of quiet, or a login,
// forgets it.
TEST_F(RepeatOffenders, ClearedOffenderGetsItsAllowanceAndIsForgottenByQuietOrLogin)
{
    for (int32_t allowance : {0, 1, 3}) {
        SCOPED_TRACE(allowance);
        settings.repeat_auth_failures = allowance;
        for (int i = 0; i < 6; i++) connect_text("10.0.0.7");
        test_now += 61;
        for (int32_t i = 0; i < allowance; i++)
            EXPECT_EQ(connect_text("10.0.0.7"), CHECK_OFFENDER);
        EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED);
        EXPECT_EQ(held()[0].offences, 2);
        test_now += 120 + 64 * 60;
        EXPECT_EQ(db_expire(db_current()), 0);
        test_now += 1;
        EXPECT_EQ(db_expire(db_current()), 1);
    }
    for (int i = 0; i < 6; i++) connect_text("10.0.0.8");
    release_text("10.0.0.8");
    EXPECT_EQ(db_held(db_current()), 0);
}
