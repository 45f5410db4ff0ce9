// The address table's rules: counting, refusing, releasing, slot reuse and expiry.
#include <algorithm>
#include <ctime>
#include <set>
#include <string>

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
    EXPECT_EQ(connect_text("10.200.0.1"), CHECK_FULL) << "still not stored";
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
    for (int i = 0; i < 50; i++) ASSERT_EQ(connect_text("192.168.1.77"), CHECK_WHITE);
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_TRUE(held().empty());
}

TEST_F(AddressTable, ClearEmptiesTheTableButKeepsTheWhiteList)
{
    white_add("127.0.0.1", 32);
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
    // Five connections let in, the sixth refused: offence 1 of `address`.
    static void offend(const char *address)
    {
        for (int i = 0; i < 5; i++) ASSERT_NE(connect_text(address), CHECK_BLOCKED);
        ASSERT_EQ(connect_text(address), CHECK_BLOCKED);
    }
    // Moves the clock on by `seconds` and sweeps, as the sweeper would have by then.
    static int32_t wait_and_sweep(int32_t seconds)
    {
        test_now += seconds;
        return db_expire(db_current());
    }
};

TEST_F(RepeatOffenders, EachRefusalLastsTwiceTheLastUpToTheCapAndTheAllowanceIsOne)
{
    offend("10.0.0.7");
    for (int32_t offences = 1; offences <= 8; offences++) {
        int32_t quiet = std::min(60 << (offences - 1), 64 * 60);
        EXPECT_EQ(wait_and_sweep(quiet), 0) << "an offender stays held";
        EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED) << offences << ": not quiet for longer";
        EXPECT_EQ(wait_and_sweep(quiet + 1), 0);
        int32_t reported = 0;
        EXPECT_EQ(db_check_connect(db_current(), ip_parse("10.0.0.7"), &reported), CHECK_OFFENDER);
        EXPECT_EQ(reported, offences);
        EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED) << "one connection, then the next offence";
        EXPECT_EQ(held()[0].offences, std::min(offences + 1, 127));
    }
}

// The figures: an address that waits out each refusal and comes back at once, trying every
// second while it is let in, with a sweep every 30 s: 5 + 6 let in over the first two hours,
// then one per MaxClearTime (64 minutes).
TEST_F(RepeatOffenders, WaitingOutEachRefusalGetsElevenInTwoHoursThenOnePerMaxClearTime)
{
    const int32_t start = test_now;
    int32_t offences = 0, early = 0, late = 0, next_sweep = start;
    while (test_now - start < 12 * 3600) {
        if (test_now >= next_sweep) {
            ASSERT_EQ(db_expire(db_current()), 0);
            next_sweep += 30;
        }
        if (connect_text("10.0.0.7") == CHECK_BLOCKED) {
            offences++;
            test_now += std::min(60 << std::min(offences - 1, 20), 64 * 60) + 1;
        } else {
            (test_now - start < 2 * 3600 ? early : late)++;
            test_now += 1;
        }
    }
    EXPECT_EQ(early, 5 + 6);
    EXPECT_LE(late, 10 * 3600 / (64 * 60) + 1);
}

TEST_F(RepeatOffenders, RememberedOffenderGetsRepeatAuthFailuresConnections)
{
    for (int32_t allowance : {0, 1, 3}) {
        settings.repeat_auth_failures = allowance;
        db_clear(db_current());
        offend("10.0.0.7");
        test_now += 61;
        for (int32_t i = 0; i < allowance; i++)
            EXPECT_EQ(connect_text("10.0.0.7"), CHECK_OFFENDER) << allowance;
        EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED) << allowance;
        EXPECT_EQ(held()[0].offences, 2) << allowance;
    }
}

TEST_F(RepeatOffenders, ForgottenAfterAFurtherMaxClearTimeOfQuiet)
{
    // Refusal in force: its own 60 s, then 64 min. Cleared and let in since: 64 min.
    for (bool cleared : {false, true}) {
        db_clear(db_current());
        offend("10.0.0.7");
        if (cleared) {
            test_now += 61;
            ASSERT_EQ(connect_text("10.0.0.7"), CHECK_OFFENDER);
        }
        EXPECT_EQ(wait_and_sweep((cleared ? 0 : 60) + 64 * 60), 0) << cleared;
        EXPECT_EQ(wait_and_sweep(1), 1) << cleared;
        EXPECT_EQ(connect_text("10.0.0.7"), CHECK_NEW) << cleared;
    }
}

TEST_F(RepeatOffenders, LoginForgetsAnOffender)
{
    offend("10.0.0.7");
    test_now += 61;
    connect_text("10.0.0.7");
    connect_text("10.0.0.7"); // offence 2
    release_text("10.0.0.7");
    EXPECT_EQ(db_held(db_current()), 0);
    offend("10.0.0.7");
    EXPECT_EQ(held()[0].offences, 1);
}
