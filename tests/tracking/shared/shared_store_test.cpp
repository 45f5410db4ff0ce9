// The shared store's rules, run against a real redis-server: counting and refusal, the network
// rule, logins and the administrator's forgetting, the quiet time, repeat offenders, and silence
// without a store.
#include <hiredis/hiredis.h>

#include <cstdlib>
#include <string>

#include "settings/settings_file.h"
#include "tests/support/module_fixture.h"
#include "tracking/shared/shared_store.h"

// A network counted beside the address: its first address, prefix length and allowance.
struct test_network {
    uint32_t address;
    int32_t bits;
    int32_t allowance;
};

class SharedStore : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        const char *port = getenv("TOLLGATE_TEST_REDIS_PORT");
        if (port == nullptr) GTEST_SKIP() << "no redis-server for this run";
        port_ = atoi(port);
        // A prefix of this test's own, so that tests running at once never meet.
        prefix_ = std::string("test:") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ":" +
                  std::to_string(GetCurrentProcessId()) + ":";
        settings_shared_t config = {};
        snprintf(config.address, sizeof config.address, "127.0.0.1");
        config.port = port_;
        snprintf(config.prefix, sizeof config.prefix, "%s", prefix_.c_str());
        config.timeout_ms = 500;
        store_ = shared_store_start(config);
        ASSERT_NE(store_, nullptr);
        raw_ = redisConnect("127.0.0.1", port_);
        ASSERT_TRUE(raw_ && !raw_->err);
    }
    void TearDown() override
    {
        shared_store_stop(true);
        if (raw_) redisFree(raw_);
        ModuleTest::TearDown();
    }
    // The store's word on one connection from `address`.
    int32_t connect(const char *address, bool let_in = true, const test_network *net = nullptr)
    {
        store_request request = {ip_parse(address), 5, CLEAR_TIME_DEFAULT * 60, let_in, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0};
        if (net) {
            request.network = net->address;
            request.network_bits = net->bits;
            request.network_allowance = net->allowance;
        }
        return store_->connect(&request, nullptr);
    }
    // The store's word on one connection from `address` with offenders kept (RepeatFactor 2,
    // ClearTime a minute, at most ten, one connection once cleared), the asking server's table
    // holding `offences` of it; the offender's state in *answer.
    int32_t offend(const char *address, store_answer *answer, int32_t offences = 0)
    {
        store_request request = {ip_parse(address), 5, 60, true, 0, 0, 0, 2, 600, 1, offences,
                                 0, 0, 0};
        *answer = {};
        return store_->connect(&request, answer);
    }
    void login(const char *address, const test_network &net)
    {
        store_->forget(ip_parse(address), net.address, net.bits);
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
    const store_backend *store_ = nullptr;
    std::string prefix_;
    redisContext *raw_ = nullptr;
};

TEST_F(SharedStore, FiveConnectionsAreLetInTheSixthIsRefusedAndEachRestartsTheQuietTime)
{
    for (int i = 0; i < 5; i++) EXPECT_EQ(connect("10.0.0.7"), STORE_LET_IN) << i;
    raw("EXPIRE " + key("a:10.0.0.7") + " 5");
    EXPECT_EQ(connect("10.0.0.7"), STORE_REFUSED);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.7")), 5);
    EXPECT_EQ(raw("TTL " + key("a:10.0.0.7")), 30 * 60);
}

TEST_F(SharedStore, ALocallyRefusedConnectionCountsNowhereButRestartsTheQuietTime)
{
    test_network net = {ip_parse("10.0.0.0"), 24, 20};
    connect("10.0.0.7", true, &net);
    raw("EXPIRE " + key("a:10.0.0.7") + " 5");
    EXPECT_EQ(connect("10.0.0.7", false, &net), STORE_LET_IN);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.7")), 1);
    EXPECT_EQ(raw("GET " + key("n:10.0.0.0/24")), 1);
    EXPECT_EQ(raw("TTL " + key("a:10.0.0.7")), 30 * 60);
}

TEST_F(SharedStore, OnlyLetInConnectionsCountForTheNetworkAndItsRefusalIsNotCountedForTheAddress)
{
    test_network net = {ip_parse("10.1.2.0"), 24, 7};
    for (int i = 0; i < 5; i++) connect("10.1.2.1", true, &net);
    EXPECT_EQ(connect("10.1.2.1", true, &net), STORE_REFUSED); // one address alone
    EXPECT_EQ(raw("GET " + key("n:10.1.2.0/24")), 5);           // cannot bring it down
    EXPECT_EQ(connect("10.1.2.2", true, &net), STORE_LET_IN);
    EXPECT_EQ(connect("10.1.2.3", true, &net), STORE_LET_IN);
    raw("EXPIRE " + key("n:10.1.2.0/24") + " 5");
    EXPECT_EQ(connect("10.1.2.4", true, &net), STORE_REFUSED_NETWORK);
    EXPECT_EQ(raw("EXISTS " + key("a:10.1.2.4")), 0);
    EXPECT_EQ(raw("TTL " + key("n:10.1.2.0/24")), 30 * 60);
}

TEST_F(SharedStore, ALoginForgetsTheAddressAndTakesItsConnectionsBackFromItsNetwork)
{
    test_network net = {ip_parse("10.1.2.0"), 24, 20};
    for (int i = 0; i < 3; i++) connect("10.1.2.1", true, &net);
    for (int i = 0; i < 2; i++) connect("10.1.2.2", true, &net);
    login("10.1.2.1", net);
    EXPECT_EQ(raw("EXISTS " + key("a:10.1.2.1")), 0);
    EXPECT_EQ(raw("GET " + key("n:10.1.2.0/24")), 2);
    login("10.1.2.2", net);
    EXPECT_EQ(raw("EXISTS " + key("n:10.1.2.0/24")), 0);
}

TEST_F(SharedStore, AnExpiredCountStartsAgainAndAFlushedScriptIsSentAgain)
{
    for (int i = 0; i < 6; i++) connect("10.0.0.8");
    raw("PEXPIRE " + key("a:10.0.0.8") + " 1");
    Sleep(20);
    raw("SCRIPT FLUSH");
    EXPECT_EQ(connect("10.0.0.8"), STORE_LET_IN);
    EXPECT_EQ(raw("GET " + key("a:10.0.0.8")), 1);
    EXPECT_EQ(host_side_log_count("shared store"), 0);
}

// "Forget" on a network row forgets the network's count, and no address's.
TEST_F(SharedStore, AForgottenNetworkIsForgottenEverywhere)
{
    test_network net = {ip_parse("10.1.2.0"), 24, 20};
    for (int i = 0; i < 3; i++) connect("10.1.2.1", true, &net);
    store_->forget_network(net.address, net.bits);
    EXPECT_EQ(raw("EXISTS " + key("n:10.1.2.0/24")), 0);
    EXPECT_EQ(raw("GET " + key("a:10.1.2.1")), 3);
}

// Refused on any server, an address is an offender on all: a minute's refusal that starts again
// at each connection, then one connection, then a refusal twice as long; its offences answered
// back each time, its count gone while a refusal is in force. A login forgives it everywhere:
// its count and refusal go, its offences read 0 for as long as they would have lasted, and a
// server whose table still holds some hears so.
TEST_F(SharedStore, AnOffenderIsEscalatedByEveryServersConnectionsAndForgivenByALogin)
{
    store_answer answer;
    for (int i = 0; i < 5; i++) EXPECT_EQ(offend("10.0.0.20", &answer), STORE_LET_IN) << i;
    EXPECT_EQ(answer.offences, 0);
    EXPECT_EQ(offend("10.0.0.20", &answer), STORE_REFUSED);
    EXPECT_EQ(answer.offences, 1);
    EXPECT_EQ(raw("TTL " + key("r:10.0.0.20")), 60);
    EXPECT_EQ(raw("TTL " + key("o:10.0.0.20")), 660);
    EXPECT_EQ(raw("EXISTS " + key("a:10.0.0.20")), 0);
    raw("EXPIRE " + key("r:10.0.0.20") + " 5");
    EXPECT_EQ(offend("10.0.0.20", &answer), STORE_REFUSED);
    EXPECT_EQ(raw("TTL " + key("r:10.0.0.20")), 60);
    raw("DEL " + key("r:10.0.0.20")); // the refusal has cleared
    EXPECT_EQ(offend("10.0.0.20", &answer), STORE_LET_IN);
    EXPECT_EQ(answer.offences, 1);
    EXPECT_EQ(raw("TTL " + key("a:10.0.0.20")), 600);
    EXPECT_EQ(raw("TTL " + key("o:10.0.0.20")), 600);
    EXPECT_EQ(offend("10.0.0.20", &answer), STORE_REFUSED);
    EXPECT_EQ(answer.offences, 2);
    EXPECT_EQ(raw("TTL " + key("r:10.0.0.20")), 120);
    login("10.0.0.20", {});
    EXPECT_EQ(raw("EXISTS " + key("a:10.0.0.20") + " " + key("r:10.0.0.20")), 0);
    EXPECT_EQ(raw("GET " + key("o:10.0.0.20")), 0);
    EXPECT_GT(raw("TTL " + key("o:10.0.0.20")), 600);
    EXPECT_EQ(offend("10.0.0.20", &answer, 1), STORE_LET_IN);
    EXPECT_TRUE(answer.forgotten);
    EXPECT_EQ(offend("10.0.0.20", &answer, 0), STORE_LET_IN);
    EXPECT_FALSE(answer.forgotten);
}

TEST(SharedStoreOff, AStartWithoutAStoreCallsNoWinsockProcedure)
{
    settings_shared_t config = {};
    EXPECT_EQ(shared_store_start(config), nullptr); // nothing to ask
    // Winsock was never started in this process: a socket cannot be made.
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

// A login that trusts puts its entry in the store's set, kept to MaxTrusted; a sync adds its
// siege count to the shared one and answers the count before it, hears another server's mark
// (never its own), and pages the entries after the second it is given, oldest first.
TEST_F(SharedStore, TrustedLoginsAndTheSiegeAreSharedThroughTheSync)
{
    store_request request = {};
    request.trust_seconds = 86400;
    request.trust_most = 2;
    for (const char *address : {"10.2.0.7", "10.2.1.7", "10.2.2.7"})
        request.address = request.trust_key = ip_parse(address), store_->login(&request);
    EXPECT_EQ(raw("ZCARD " + key("t")) * 10 + raw("ZSCORE " + key("t") + " 10.2.0.7"), 20);
    store_sync_request sync = {true, 3, true, 15, 86400, 0};
    store_sync_answer a = {};
    ASSERT_TRUE(store_->sync(&sync, &a));
    EXPECT_EQ(std::vector<int64_t>({a.counted, a.marked, a.trusted, a.trust_keys[1]}),
              std::vector<int64_t>({0, false, 2, ip_parse("10.2.2.7")}));
    raw("SET " + key("m") + " another EX 15");
    sync = {true, -1, false, 15, 86400, a.store_now};
    ASSERT_TRUE(store_->sync(&sync, &a));
    EXPECT_EQ(std::vector<int64_t>({a.counted, a.marked, a.trusted, raw("GET " + key("s"))}),
              std::vector<int64_t>({3, true, 0, 2}));
}
