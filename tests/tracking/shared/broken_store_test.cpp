// The shared store against a broken store of the tests' own, on a loopback port: one that is
// not there, drips its reply, floods it, or answers with the wrong shape. Whatever it does, a
// call ends within SharedTimeout (plus a margin for a loaded machine), the process's memory
// stays flat, and the failure trips the breaker with one warning.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/module_fixture.h"
#include "tracking/shared/shared_store.h"

namespace {

enum : int32_t { TIMEOUT_MS = 50, MARGIN_MS = 1000, MEMORY_BOUND = 8 << 20 };
const char HUGE_STRING[] = "$2147483647\r\n";
const char LONG_ERROR[] = "-ERR "; // then bytes that never end the line
using test_clock_t = std::chrono::steady_clock;

// A store that speaks just enough of the protocol: "+OK" to AUTH, a digest to SCRIPT LOAD, "let
// in" to the script. Given `bad`, from the `good`-th command named `stage` (by its first
// letters) on it answers `bad` instead, then for DRIP one byte more every 20 ms, for FLOOD
// 64 KB after 64 KB, until the client goes, 64 MB are sent or 10 s are over.
struct fake_store {
    enum { ONCE, DRIP, FLOOD };
    std::string stage, bad;
    int good, then, port;
    std::atomic<int> calls{0};
    std::atomic<bool> stopping{false};
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    std::vector<SOCKET> clients;         // the acceptor's until it ends
    std::vector<std::thread> servers;    // likewise
    std::thread acceptor;

    fake_store(const char *stage_, int good_, const char *bad_, int then_, int at_port = 0)
        : stage(stage_), bad(bad_), good(good_), then(then_)
    {
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        where.sin_port = htons((u_short)at_port);
        where.sin_addr.s_addr = inet_addr("127.0.0.1");
        int length = sizeof where;
        bind(listener, (sockaddr *)&where, sizeof where);
        listen(listener, 64);
        getsockname(listener, (sockaddr *)&where, &length);
        port = ntohs(where.sin_port);
        acceptor = std::thread([this] {
            for (SOCKET client; (client = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;) {
                clients.push_back(client);
                servers.emplace_back([this, client] { serve(client); });
            }
        });
    }
    ~fake_store()
    {
        stopping = true;
        closesocket(listener);
        acceptor.join();
        for (SOCKET client : clients) closesocket(client);
        for (std::thread &server : servers) server.join();
    }
    // Takes one whole command off the front of `in`, its first word into `name`.
    static bool take_command(std::string &in, std::string &name)
    {
        size_t end = in.find("\r\n"); // each line's end: the count's, then each word's
        for (int i = 0, words = atoi(in.c_str() + 1); i < words && end != std::string::npos; i++) {
            size_t header = end + 2;
            if ((end = in.find("\r\n", header)) == std::string::npos) return false;
            size_t length = (size_t)atoi(in.c_str() + header + 1);
            if (in.size() < end + 4 + length) return false;
            if (i == 0) name = in.substr(end + 2, length);
            end += 2 + length;
        }
        if (end == std::string::npos) return false;
        in.erase(0, end + 2);
        return true;
    }
    void serve(SOCKET client)
    {
        std::string in, name, reply;
        char chunk[4096];
        for (int got; (got = recv(client, chunk, sizeof chunk, 0)) > 0;)
            for (in.append(chunk, (size_t)got); take_command(in, name);) {
                if (!bad.empty() && name.compare(0, stage.size(), stage) == 0 && calls++ >= good) {
                    misbehave(client);
                    continue;
                }
                reply = name == "AUTH"     ? "+OK\r\n"
                        : name == "SCRIPT" ? "$40\r\n" + std::string(40, 'a') + "\r\n"
                                           : "*3\r\n:0\r\n:1\r\n:0\r\n";
                send(client, reply.data(), (int)reply.size(), 0);
            }
    }
    void misbehave(SOCKET client)
    {
        if (send(client, bad.data(), (int)bad.size(), 0) <= 0 || then == ONCE) return;
        std::string block(then == FLOOD ? 65536 : 1, 'x');
        auto end = test_clock_t::now() + std::chrono::seconds(10);
        for (size_t sent = 0; !stopping && sent < (64u << 20) && test_clock_t::now() < end;
             sent += block.size()) {
            if (send(client, block.data(), (int)block.size(), 0) <= 0) return;
            if (then == DRIP) Sleep(20);
        }
    }
};

uint32_t test_ticks = 1000;
uint32_t test_tick_clock() { return test_ticks; }

int64_t ms_since(test_clock_t::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(test_clock_t::now() - start)
        .count();
}

// The most memory the process has held so far, in bytes (what Wine keeps a peak of).
int64_t peak_memory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return (int64_t)counters.PeakWorkingSetSize;
}

class BrokenStore : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        WSADATA version;
        WSAStartup(MAKEWORD(2, 2), &version); // for the fake store's sockets
        shared_clock = test_tick_clock;
    }
    void TearDown() override
    {
        shared_store_stop(true);
        ModuleTest::TearDown();
    }
    // Starts the module's store on `port`; the milliseconds the start took.
    int64_t start(int port, const char *password = "")
    {
        shared_store_stop(true);
        settings_shared_t config = {"127.0.0.1", port, "", "test:", TIMEOUT_MS,
                                    "",          0,    {}, {},        ""};
        snprintf(config.password, sizeof config.password, "%s", password);
        auto begin = test_clock_t::now();
        store_ = shared_store_start(config);
        EXPECT_NE(store_, nullptr);
        return ms_since(begin);
    }
    // One connection's call from `address`: the store's answer; *took its milliseconds.
    int32_t connect(const char *address, int64_t *took = nullptr)
    {
        store_request request = {ip_parse(address), 5, 1800, true, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        auto begin = test_clock_t::now();
        int32_t answer = store_->connect(&request, nullptr);
        if (took) *took = ms_since(begin);
        return answer;
    }
    int warnings() { return host_side_log_count("failed (error "); }
    const store_backend *store_ = nullptr;
};

// A store that answers three calls, then drips each reply (one that can never be the script's,
// and one that could still become a reply): none of 20 connections at once waits past
// SharedTimeout, the breaker trips, and a later connection does not reach the store.
TEST_F(BrokenStore, ADrippingStoreHoldsNoConnectionPastTheTimeoutAndTripsTheBreaker)
{
    for (const char *head : {HUGE_STRING, LONG_ERROR}) {
        SCOPED_TRACE(head);
        fake_store store("EVAL", 3, head, fake_store::DRIP);
        start(store.port);
        for (int i = 0; i < 3; i++) EXPECT_EQ(connect("10.0.1.1"), STORE_LET_IN);
        int warned = warnings();
        std::vector<int64_t> took(20);
        std::vector<std::thread> calls;
        for (int i = 0; i < 20; i++) {
            std::string address = "10.0.0." + std::to_string(i);
            calls.emplace_back([this, address, &took, i] { connect(address.c_str(), &took[i]); });
        }
        for (std::thread &call : calls) call.join();
        EXPECT_LE(*std::max_element(took.begin(), took.end()), TIMEOUT_MS + MARGIN_MS);
        EXPECT_EQ(warnings(), warned + 1);
        int called = store.calls;
        EXPECT_EQ(connect("10.0.1.1"), STORE_NO_ANSWER);
        EXPECT_EQ(store.calls, called) << "the breaker is open";
    }
}

// A store that drips its answer to AUTH or to the script's loading holds start-up no longer
// than SharedTimeout; the store is still put in use, behind its tripped breaker.
TEST_F(BrokenStore, ASlowStoreHoldsStartUpNoLongerThanTheTimeout)
{
    for (const char *stage : {"AUTH", "SCRIPT"})
        for (const char *head : {HUGE_STRING, LONG_ERROR}) {
            SCOPED_TRACE(std::string(stage) + " " + head);
            fake_store store(stage, 0, head, fake_store::DRIP);
            int warned = warnings();
            EXPECT_LE(start(store.port, "s3cret"), TIMEOUT_MS + MARGIN_MS);
            EXPECT_EQ(warnings(), warned + 1);
        }
}

// A store that floods a reply (a huge string, an endless error line, an array of a huge string)
// leaves the process's memory within a few MB, and the call within its time.
TEST_F(BrokenStore, AFloodingStoreLeavesMemoryFlat)
{
    for (const char *head : {HUGE_STRING, LONG_ERROR, "*3\r\n$2147483647\r\n"}) {
        SCOPED_TRACE(head);
        fake_store store("EVAL", 0, head, fake_store::FLOOD);
        start(store.port);
        int64_t before = peak_memory(), took = 0;
        EXPECT_EQ(connect("10.0.0.7", &took), STORE_NO_ANSWER);
        EXPECT_LE(took, TIMEOUT_MS + MARGIN_MS);
        EXPECT_LT(peak_memory() - before, MEMORY_BOUND);
    }
}

// A reply of the wrong shape, type or range is a failure of the call, never a count of 0.
TEST_F(BrokenStore, AReplyOfTheWrongShapeIsAFailure)
{
    for (const char *reply : {
             "*3\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nc\r\n",         // three strings
             "*3\r\n$-1\r\n$-1\r\n$-1\r\n",                     // three nils
             "*3\r\n:-9223372036854775808\r\n:-1\r\n:-1\r\n",   // huge negative integers
             "*3\r\n:3\r\n:0\r\n:0\r\n",                        // no such decision
             "*3\r\n:0\r\n:0\r\n:2147483648\r\n",               // a count past 32 bits
             "*2\r\n:0\r\n:0\r\n", "*-1\r\n", ":0\r\n", "+OK\r\n", // other shapes
             "*3\r\n:0\r\n:0\r\n:0\r\n:0\r\n",                  // a byte past the reply
         }) {
        SCOPED_TRACE(reply);
        fake_store store("EVAL", 0, reply, fake_store::ONCE);
        start(store.port);
        int warned = host_side_log_count("(error 4: ");
        EXPECT_EQ(connect("10.0.0.7"), STORE_NO_ANSWER);
        EXPECT_EQ(host_side_log_count("(error 4: "), warned + 1);
    }
}

TEST_F(BrokenStore, AFailureTripsTheBreakerWithOneWarningAndARecoveryLine)
{
    int port = fake_store("", 0, "", fake_store::ONCE).port; // gone: nothing listens there
    start(port);
    for (int i = 0; i < 50; i++) EXPECT_EQ(connect("10.0.0.9"), STORE_NO_ANSWER);
    EXPECT_EQ(host_side_log_count("Tollgate: shared store 127.0.0.1:"), 1);
    EXPECT_EQ(host_side_log_count("(error 10061"), 1) // the socket's code, not "Unknown error"
        << host_side_log().back().text;
    fake_store store("", 0, "", fake_store::ONCE, port); // the store is back...
    test_ticks += SHARED_BREAKER_MS - 1;
    EXPECT_EQ(connect("10.0.0.9"), STORE_NO_ANSWER);     // ...but the breaker holds for 30 s
    test_ticks += 1;
    EXPECT_EQ(connect("10.0.0.9"), STORE_LET_IN);
    EXPECT_EQ(host_side_log_count("answers again"), 1);
    EXPECT_EQ(host_side_log_count("Tollgate: shared store"), 2);
}

} // namespace
