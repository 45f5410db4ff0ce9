// The shared store's rules, run against a real redis-server: counting and refusal, the network
// rule, logins, the quiet time, the breaker, and silence without a store.
#include <hiredis/hiredis.h>

#include <cstdlib>
#include <string>

#include "settings/settings_file.h"
#include "tests/support/module_fixture.h"
#include "tracking/shared/shared_store.h"

static uint32_t test_ticks = 1000;
static uint32_t test_tick_clock() { return test_ticks; }

class SharedStore : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        const char *port = getenv("TOLLGATE_TEST_REDIS_PORT");
        if (port == nullptr) GTEST_SKIP() << "no redis-server for this run";
        port_ = atoi(port);
        shared_clock = test_tick_clock;
        // A prefix of this test's own, so that tests running at once never meet.
        prefix_ = std::string("test:") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ":" +
                  std::to_string(GetCurrentProcessId()) + ":";
        settings_shared = {};
        snprintf(settings_shared.address, sizeof settings_shared.address, "127.0.0.1");
        settings_shared.port = port_;
        snprintf(settings_shared.prefix, sizeof settings_shared.prefix, "%s", prefix_.c_str());
        settings_shared.timeout_ms = 500;
        shared_store_start();
        raw_ = redisConnect("127.0.0.1", port_);
        ASSERT_TRUE(raw_ && !raw_->err);
    }
    void TearDown() override
    {
        shared_store_stop();
        if (raw_) redisFree(raw_);
        ModuleTest::TearDown();
    }
    // The store's word on one connection from `address`.
    int32_t connect(const char *address, bool let_in = true, const shared_network *net = nullptr)
    {
        return shared_store_connect(ip_parse(address), 5, let_in, net);
    }
    // A command on the test's own connection; its integer reply (-9 for anything else).
    long long raw(const std::string &command)
    {
        redisReply *reply = (redisReply *)redisCommand(raw_, command.c_str());
        long long value = reply && reply->type == REDIS_REPLY_INTEGER ? reply->integer
                          : reply && reply->type == REDIS_REPLY_STRING ? atoll(reply->str)
                          : reply && reply->type == REDIS_REPLY_NIL    ? 0
                                                                        : -9;
        if (reply) freeReplyObject(reply);
        return value;
    }
    std::string key(const char *name) { return prefix_ + name; }
    int port_ = 0;
    std::string prefix_;
    redisContext *raw_ = nullptr;
};

TEST_F(SharedStore, FiveConnectionsAreLetInTheSixthIsRefusedAndEachRestartsTheQuietTime)
{
    for (int i = 0; i < 5; i++) EXPECT_EQ(connect("10.0.0.7"), SHARED_LET_IN) << i;
    raw("EXPIRE " + key("a:10.0.0.7") + " 5");
    EXPECT_EQ(connect("10.0.0.7"), SHARED_REFUSED);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.7")), 5);
    EXPECT_EQ(raw("TTL " + key("a:10.0.0.7")), 30 * 60);
}

TEST_F(SharedStore, ALocallyRefusedConnectionCountsNowhereButRestartsTheQuietTime)
{
    shared_network net = {ip_parse("10.0.0.0"), 24, 20};
    connect("10.0.0.7", true, &net);
    raw("EXPIRE " + key("a:10.0.0.7") + " 5");
    EXPECT_EQ(connect("10.0.0.7", false, &net), SHARED_LET_IN);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.7")), 1);
    EXPECT_EQ(raw("GET " + key("n:10.0.0.0/24")), 1);
    EXPECT_EQ(raw("TTL " + key("a:10.0.0.7")), 30 * 60);
}

TEST_F(SharedStore, OnlyLetInConnectionsCountForTheNetworkAndItsRefusalIsNotCountedForTheAddress)
{
    shared_network net = {ip_parse("10.1.2.0"), 24, 7};
    for (int i = 0; i < 5; i++) connect("10.1.2.1", true, &net);
    EXPECT_EQ(connect("10.1.2.1", true, &net), SHARED_REFUSED); // one address alone
    EXPECT_EQ(raw("GET " + key("n:10.1.2.0/24")), 5);            // cannot bring it down
    EXPECT_EQ(connect("10.1.2.2", true, &net), SHARED_LET_IN);
    EXPECT_EQ(connect("10.1.2.3", true, &net), SHARED_LET_IN);
    raw("EXPIRE " + key("n:10.1.2.0/24") + " 5");
    EXPECT_EQ(connect("10.1.2.4", true, &net), SHARED_REFUSED_NETWORK);
    EXPECT_EQ(raw("EXISTS " + key("a:10.1.2.4")), 0);
    EXPECT_EQ(raw("TTL " + key("n:10.1.2.0/24")), 30 * 60);
}

TEST_F(SharedStore, ALoginForgetsTheAddressAndTakesItsConnectionsBackFromItsNetwork)
{
    shared_network net = {ip_parse("10.1.2.0"), 24, 20};
    for (int i = 0; i < 3; i++) connect("10.1.2.1", true, &net);
    for (int i = 0; i < 2; i++) connect("10.1.2.2", true, &net);
    shared_store_login(ip_parse("10.1.2.1"), &net);
    EXPECT_EQ(raw("EXISTS " + key("a:10.1.2.1")), 0);
    EXPECT_EQ(raw("GET " + key("n:10.1.2.0/24")), 2);
    shared_store_login(ip_parse("10.1.2.2"), &net);
    EXPECT_EQ(raw("EXISTS " + key("n:10.1.2.0/24")), 0);
}

TEST_F(SharedStore, AnExpiredCountStartsAgainAndAFlushedScriptIsSentAgain)
{
    for (int i = 0; i < 6; i++) connect("10.0.0.8");
    raw("PEXPIRE " + key("a:10.0.0.8") + " 1");
    Sleep(20);
    raw("SCRIPT FLUSH");
    EXPECT_EQ(connect("10.0.0.8"), SHARED_LET_IN);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.8")), 1);
    EXPECT_EQ(host_side_log_count("shared store"), 0);
}

TEST_F(SharedStore, AFailureTripsTheBreakerWithOneWarningAndARecoveryLine)
{
    shared_store_stop();
    settings_shared.port = atoi(getenv("TOLLGATE_TEST_REDIS_PORT")) == 1 ? 2 : 1; // nothing there
    shared_store_start();
    for (int i = 0; i < 50; i++) EXPECT_EQ(connect("10.0.0.9"), SHARED_NO_ANSWER);
    EXPECT_EQ(host_side_log_count("Tollgate: shared store 127.0.0.1:"), 1);
    EXPECT_EQ(host_side_log_count("(error 10061"), 1) // the socket's code, not "Unknown error"
        << host_side_log().back().text;
    settings_shared.port = port_;                       // the store is back...
    test_ticks += SHARED_BREAKER_MS - 1;
    EXPECT_EQ(connect("10.0.0.9"), SHARED_NO_ANSWER);   // ...but the breaker holds for 30 s
    test_ticks += 1;
    EXPECT_EQ(connect("10.0.0.9"), SHARED_LET_IN);
    EXPECT_EQ(host_side_log_count("answers again"), 1);
    EXPECT_EQ(host_side_log_count("Tollgate: shared store"), 2);
}

TEST(SharedStoreOff, AStartWithoutAStoreCallsNoWinsockProcedure)
{
    settings_shared = {};
    shared_store_start();
    EXPECT_FALSE(shared_store_on());
    EXPECT_EQ(shared_store_connect(ip_parse("10.0.0.7"), 5, true, nullptr), SHARED_NO_ANSWER);
    // Winsock was never started in this process: a socket cannot be made.
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}
