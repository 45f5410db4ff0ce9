// The event handler as the host sees it: results, response line, log lines and statistics.
#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "host/base/entry_points.h"
#include "tests/support/module_fixture.h"
#include "tests/support/scripted_store.h"
#include "tracking/black_list.h"
#include "tracking/events/event_handler.h"

// A connection record as the host lays it out, larger than the part the module touches.
struct TestConnection {
    alignas(void *) uint8_t bytes[256 * sizeof(void *)];
    explicit TestConnection(const char *address)
    {
        memset(bytes, 0x5A, sizeof(bytes));
        record()->client_address = address;
    }
    host_connection *record() { return (host_connection *)bytes; }
};

class EventHandler : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        stat_blocked = 11;
        stat_max_list = 12;
    }
    static int32_t connect(const char *address)
    {
        TestConnection conn(address);
        return event_handler(0, EVENT_CONNECT2, conn.record());
    }
    // The lines logged since the last call, as "type/priority text".
    std::vector<std::string> new_lines()
    {
        std::vector<host_log_line> log = host_side_log();
        std::vector<std::string> lines;
        for (size_t i = seen_; i < log.size(); i++)
            lines.push_back(std::to_string(log[i].type) + "/" + std::to_string(log[i].priority) +
                            " " + log[i].text);
        seen_ = log.size();
        return lines;
    }
    size_t seen_ = 0;
};

using Lines = std::vector<std::string>;

TEST_F(EventHandler, EachDecisionIsLoggedWithItsTypeAndPriority)
{
    white_add("192.168.1.0", 24);
    white_publish();
    connect("10.0.0.7");
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.0.0.7",
                                  "19402/25     new IP, allowed"}));
    connect("10.0.0.7");
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.0.0.7",
                                  "19402/25     found IP, allowed"}));
    connect("192.168.1.9");
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 192.168.1.9",
                                  "19402/25     whitelisted"}));
    for (int i = 0; i < 4; i++) connect("10.0.0.7");
    new_lines();
    connect("10.0.0.7");
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.0.0.7",
                                  "19402/25     connection blocked"}));
}

TEST_F(EventHandler, FullTableLogsAWarningAndLetsTheClientIn)
{
    for (int i = 0; i < DB_SLOTS; i++)
        connect(("10.1.0." + std::to_string(i + 1)).c_str());
    new_lines();
    EXPECT_EQ(connect("10.2.0.1"), EVENT_GO_ON);
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.2.0.1",
                                  "19400/10 Tollgate:  DB full, connection allowed"}));
}

TEST_F(EventHandler, SixthConnectionIsRefusedWithTheResponseLine)
{
    for (int i = 0; i < 5; i++) ASSERT_EQ(connect("10.0.0.7"), EVENT_GO_ON) << i;
    TestConnection conn("10.0.0.7");
    EXPECT_EQ(event_handler(0, EVENT_CONNECT2, conn.record()), EVENT_REFUSE);
    EXPECT_EQ(memcmp(conn.bytes + HOST_RESPONSE_OFFSET, "-ERR: BlackListed by Tollgate.", 31), 0);
    EXPECT_EQ(conn.bytes[HOST_RESPONSE_OFFSET + 31], 0x5A) << "nothing written past the 31 bytes";
    EXPECT_EQ(conn.bytes[HOST_RESPONSE_OFFSET - 1], 0x5A);
}

TEST_F(EventHandler, ShortTermSettingAsksTheHostToBlockToo)
{
    settings.use_short_term = 1;
    for (int i = 0; i < 5; i++) connect("10.0.0.7");
    EXPECT_EQ(connect("10.0.0.7"), EVENT_REFUSE_SHORT_TERM);
}

// A black-listed client is refused at its first connection and at every one after, with the
// refusal line, its own detail line and a "Blocked hosts" report; it is never held.
TEST_F(EventHandler, BlackListedClientIsRefusedEveryTimeAndNeverHeld)
{
    black_clear();
    black_add("10.9.0.0", 16);
    black_publish();
    for (int32_t short_term : {0, 1}) {
        settings.use_short_term = short_term;
        TestConnection conn("10.9.4.4");
        EXPECT_EQ(event_handler(0, EVENT_CONNECT2, conn.record()),
                  short_term ? EVENT_REFUSE_SHORT_TERM : EVENT_REFUSE);
        EXPECT_EQ(memcmp(conn.bytes + HOST_RESPONSE_OFFSET, REFUSAL_LINE, sizeof(REFUSAL_LINE)), 0);
        EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.9.4.4",
                                      "19402/25     connection blocked (black list)"}));
    }
    EXPECT_EQ(host_side_calls(), (Lines{"report 11 1", "report 11 1"}));
    EXPECT_EQ(db_held(db_current()), 0);
    black_clear();
}

TEST_F(EventHandler, AllowedConnectionLeavesTheResponseAlone)
{
    TestConnection conn("10.0.0.7");
    event_handler(0, EVENT_CONNECT2, conn.record());
    EXPECT_EQ(conn.bytes[HOST_RESPONSE_OFFSET], 0x5A);
}

TEST_F(EventHandler, ReportsEveryRefusalAndTheHeldCountOfEveryNewAddress)
{
    connect("10.0.0.1");
    connect("10.0.0.2");
    for (int i = 0; i < 10; i++) connect("10.0.0.2");
    EXPECT_EQ(host_side_calls(),
              (Lines{"report 12 1", "report 12 2", "report 11 1", "report 11 1", "report 11 1",
                     "report 11 1", "report 11 1", "report 11 1"}));
}

TEST_F(EventHandler, UnregisteredCategoriesAreStillReportedTo)
{
    stat_blocked = 0;
    stat_max_list = 0;
    settings.auth_failures = 0;
    connect("10.0.0.1");
    connect("10.0.0.1");
    EXPECT_EQ(host_side_calls(), (Lines{"report 0 1", "report 0 1"}));
}

TEST_F(EventHandler, LoginEventsLogAndReleaseTheAddress)
{
    const struct {
        int32_t code;
        const char *line;
    } logins[] = {{EVENT_LOGIN, "19400/25 Tollgate: login from 10.0.0.7"},
                  {EVENT_APOP, "19400/25 Tollgate: APOP auth from 10.0.0.7"},
                  {EVENT_AUTH_OTHER, "19400/25 Tollgate: OtherAuth from 10.0.0.7"}};
    for (const auto &login : logins) {
        for (int i = 0; i < 6; i++) connect("10.0.0.7");
        new_lines();
        TestConnection conn("10.0.0.7");
        EXPECT_EQ(event_handler(0, login.code, conn.record()), EVENT_GO_ON);
        EXPECT_EQ(new_lines(), (Lines{login.line}));
        EXPECT_EQ(db_held(db_current()), 0) << login.line;
        EXPECT_EQ(conn.bytes[HOST_RESPONSE_OFFSET], 0x5A);
    }
}

TEST_F(EventHandler, LoginOfAnAddressNotHeldOnlyLogs)
{
    connect("10.0.0.1");
    new_lines();
    TestConnection conn("10.0.0.9");
    EXPECT_EQ(event_handler(0, EVENT_LOGIN, conn.record()), EVENT_GO_ON);
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: login from 10.0.0.9"}));
    EXPECT_EQ(db_held(db_current()), 1);
}

TEST_F(EventHandler, UnexpectedEventCodesOnlyLog)
{
    for (int32_t code : {0, 1, 3, 7, -1, 1000}) {
        TestConnection conn("10.0.0.7");
        EXPECT_EQ(event_handler(0, code, conn.record()), EVENT_GO_ON) << code;
        EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: unexpected call from 10.0.0.7"})) << code;
    }
    EXPECT_EQ(db_held(db_current()), 0);
    EXPECT_TRUE(host_side_calls().empty());
}

TEST_F(EventHandler, NullAddressPointerIsAnEmptyText)
{
    for (int32_t code : std::initializer_list<int32_t>{EVENT_CONNECT2, EVENT_LOGIN, EVENT_APOP, EVENT_AUTH_OTHER, 3}) {
        TestConnection conn(nullptr);
        EXPECT_EQ(event_handler(0, code, conn.record()), EVENT_GO_ON) << code;
    }
    Lines lines = new_lines();
    EXPECT_EQ(lines.front(), "19400/25 Tollgate: connect from ");
    EXPECT_EQ(lines.back(), "19400/25 Tollgate: unexpected call from ");
    EXPECT_EQ(db_held(db_current()), 0) << "the login of the empty text released it";
}

TEST_F(EventHandler, NullConnectionRecordIsDecidedButNothingWritten)
{
    settings.auth_failures = 0;
    EXPECT_EQ(event_handler(0, EVENT_CONNECT2, nullptr), EVENT_GO_ON);
    EXPECT_EQ(event_handler(0, EVENT_CONNECT2, nullptr), EVENT_REFUSE);
    EXPECT_EQ(event_handler(0, EVENT_LOGIN, nullptr), EVENT_GO_ON);
}

TEST_F(EventHandler, CallsWhileTheDaemonIsStoppedDoNothing)
{
    daemon_started = 0;
    for (int32_t code : std::initializer_list<int32_t>{EVENT_CONNECT2, EVENT_LOGIN, 3}) {
        TestConnection conn("10.0.0.7");
        EXPECT_EQ(event_handler(0, code, conn.record()), EVENT_GO_ON);
    }
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_EQ(db_held(db_current()), 0);
}

// Set by the probe when the module called the host while holding a table lock.
static std::atomic<int> host_calls_under_lock;
static void probe_lock_not_held()
{
    if (db_lock_held_by_caller(db_current())) host_calls_under_lock++;
}

TEST_F(EventHandler, NeverCallsTheHostWhileHoldingTheTableLock)
{
    host_calls_under_lock = 0;
    host_side_set_probe(probe_lock_not_held);
    white_add("192.168.0.0", 16);
    white_publish();
    settings.auth_failures = 1;
    for (int i = 0; i < DB_SLOTS + 2; i++) connect(("10.1.0." + std::to_string(i + 1)).c_str());
    for (int i = 0; i < 3; i++) connect("10.1.0.1");
    connect("192.168.0.1");
    TestConnection conn("10.1.0.1");
    event_handler(0, EVENT_LOGIN, conn.record());
    event_handler(0, 3, conn.record());
    EXPECT_GT(host_side_log().size(), 100u);
    EXPECT_EQ(host_calls_under_lock.load(), 0);
}

TEST_F(EventHandler, ConcurrentConnectsAndLoginsKeepTheTableConsistent)
{
    settings.auth_failures = 30;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; i++) {
                // Overlapping sets: every thread touches addresses the others touch too.
                std::string address = "10.5.0." + std::to_string((i * 7 + t * 13) % 60 + 1);
                TestConnection conn(address.c_str());
                int32_t code = (i + t) % 5 == 0 ? EVENT_LOGIN : EVENT_CONNECT2;
                event_handler(0, code, conn.record());
            }
        });
    }
    for (std::thread &t : threads) t.join();
    std::vector<ip_entry_copy> slots = held();
    EXPECT_EQ(db_held(db_current()), (int32_t)slots.size());
    std::set<uint32_t> distinct;
    for (const ip_entry_copy &s : slots) {
        distinct.insert(s.ip);
        EXPECT_GE(s.conns, 1);
        EXPECT_LE(s.conns, 30);
    }
    EXPECT_EQ(distinct.size(), slots.size()) << "an address is held at most once";
}

// A new address the shared counts refuse is logged by the refusal's own line, counted in
// "Blocked hosts", and still counted in the peak, since the table holds it.
TEST_F(EventHandler, SharedCountsRefusalIsLoggedAndReportedFromTheDecision)
{
    const struct {
        int32_t bits, answer;
        const char *line;
        Lines calls;
    } cases[] = {
        {0, STORE_LET_IN, "19402/25     new IP, allowed", {"report 12 1"}},
        {0, STORE_REFUSED, "19402/25     connection blocked (shared count)",
         {"report 12 1", "report 11 1"}},
        {24, STORE_REFUSED_NETWORK, "19402/25     connection blocked (network 10.1.2.0/24)",
         {"report 12 1", "report 11 1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        test_table_publish();
        if (c.bits) test_count_networks(c.bits, 20);
        host_side_reset();
        host_copy = host_side_record();
        seen_ = 0;
        scripted_answer = c.answer;
        store_install(&scripted_store);
        int32_t result = connect("10.1.2.3");
        store_install(nullptr);
        EXPECT_EQ(result, c.answer == STORE_LET_IN ? EVENT_GO_ON : EVENT_REFUSE);
        EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.1.2.3", c.line}));
        EXPECT_EQ(host_side_calls(), c.calls);
    }
}

// The siege begins with the connection that brings the last minute's count of untrusted
// connections (a login taking its own back) to SiegeFailures, and is logged there; its refusals
// have their own detail line, the refusal line and a "Blocked hosts" report, while an address a
// login trusted is served; it ends, logged too, once the count has stayed below half of
// SiegeFailures (half is no calm) for ClearTime, as connections and sweeps find it.
TEST_F(EventHandler, SiegeBeginsAndEndsAtItsThresholdsAndALoginTrusts)
{
    settings.trust_days = 1;
    db_set_trusted(db_current(), db_table_make(DB_SLOTS, malloc, free, true), 32);
    settings.siege_failures = 4;
    settings.siege_auth_failures = 0;
    settings.clear_time = 1;
    auto at = [](int32_t second) { test_now = 1700000000 + second; };
    auto sweep = [] {
        siege_news news{};
        siege_judge(test_now, siege_count(test_now), db_settings_now(), &news);
        return news.kind;
    };
    TestConnection login("10.0.0.2");
    connect("10.0.0.1"), connect("10.0.0.2");
    event_handler(0, EVENT_LOGIN, login.record()); // takes its connection back, and trusts it
    connect("10.0.0.3"), connect("10.0.0.4");
    new_lines();
    TestConnection conn("10.0.0.5");
    EXPECT_EQ(event_handler(0, EVENT_CONNECT2, conn.record()), EVENT_REFUSE);
    EXPECT_EQ(memcmp(conn.bytes + HOST_RESPONSE_OFFSET, REFUSAL_LINE, sizeof(REFUSAL_LINE)), 0);
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.0.0.5",
                                  "19400/10 Tollgate: under siege: 4 connections without a login "
                                  "in the last minute; untrusted addresses get 0",
                                  "19402/25     connection blocked (siege)"}));
    EXPECT_EQ(connect("10.0.0.2"), EVENT_GO_ON) << "trusted";
    at(60);
    EXPECT_EQ(sweep(), SIEGE_NO_NEWS) << "calm from here";
    at(119);
    EXPECT_EQ(connect("10.0.0.6"), EVENT_REFUSE);
    at(120);
    EXPECT_EQ(connect("10.0.0.7"), EVENT_REFUSE) << "two, half of four: the calm is over";
    at(180);
    EXPECT_EQ(sweep(), SIEGE_NO_NEWS) << "calm again";
    at(239);
    EXPECT_EQ(sweep(), SIEGE_NO_NEWS);
    at(240);
    new_lines();
    EXPECT_EQ(connect("10.0.0.8"), EVENT_GO_ON);
    EXPECT_EQ(new_lines(), (Lines{"19400/25 Tollgate: connect from 10.0.0.8",
                                  "19400/15 Tollgate: siege over after 4 min: 3 connections "
                                  "refused",
                                  "19402/25     new IP, allowed"}));
    Lines calls = host_side_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "report 11 1"), 3);
}
