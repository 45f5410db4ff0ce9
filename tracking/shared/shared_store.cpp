// The shared store: the backend a decision asks, on the protocol, the connections and the
// breaker.
//
// DESIGN
// What is shared. One count per address (and per network, when one is given), under
// "<prefix>a:<address>" and "<prefix>n:<address>/<bits>", each expiring after ClearTime of
// quiet. The local table still decides and counts as before; the store's answer can only add a
// refusal.
// One round trip. A Lua script updates and reads the counts in one atomic step on the server, so
// that two servers deciding at once never both let in the last allowed connection, and a
// connection refused anywhere never counts for its network. It runs by EVALSHA; a server that
// does not know it (first use, a restart, a flush) answers NOSCRIPT and gets it whole by EVAL.
// One deadline. Each call to the backend (a connection's round trip, a login's or the
// administrator's forgetting) ends within SharedTimeout from its start, whatever the store
// does: opening a connection, AUTH, SCRIPT LOAD, EVALSHA and EVAL all count against it, and
// a call never holds more than SHARED_REPLY_SIZE bytes of a reply (shared_connections.h).
// Failure. Any error, timeout or reply of the wrong shape trips the breaker: for
// SHARED_BREAKER_MS every decision is local at the cost of one atomic load and a tick count,
// then one caller tries again while the others stay local. One warning when the store fails,
// one information line when it answers again. The pool is emptied on a trip (its connections
// may all be dead), so the retry opens a fresh one.
#include "tracking/shared/shared_store.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "host/base/host_interface.h"
#include "tracking/shared/shared_connections.h"
#include "tracking/shared/shared_protocol.h"

static_assert(STORE_LET_IN == 0 && STORE_REFUSED == 1 && STORE_REFUSED_NETWORK == 2,
              "the script's decisions are the seam's answers");

// The store in force: the on flag written by start-up and shutdown, read by every call
// (relaxed, see the header); the settings written by start-up before the on flag.
static struct {
    std::atomic<int32_t> on;
    char address[SETTINGS_SHARED_TEXT_SIZE];
    int32_t port;
    char prefix[SETTINGS_SHARED_TEXT_SIZE];
} shared_store;

// The breaker's clock unless a test replaces it: milliseconds since the system started.
static uint32_t shared_tick() { return GetTickCount(); }
uint32_t (*shared_clock)() = shared_tick; // fixed before the first call (tests set it)

// A call that failed: trips the breaker and empties the pool; the first failure after a good
// spell is logged.
static void shared_fail(const shared_error &error)
{
    bool first = shared_breaker_trip(shared_clock());
    shared_connections_drain();
    if (first)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: shared store %s:%d failed (error %d: %s), deciding locally",
                        shared_store.address, (int)shared_store.port, (int)error.code,
                        error.text);
}

// A call that succeeded closes the breaker; the first after a failure is logged.
static void shared_succeed()
{
    if (shared_breaker_mend())
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: shared store %s:%d answers again, counts shared",
                        shared_store.address, (int)shared_store.port);
}

// Runs the script call `kind` for `request` within one SharedTimeout: the script's decision (a
// STORE_ answer), or STORE_NO_ANSWER when the store could not be asked or failed (the breaker
// then trips).
static int32_t shared_run(char kind, const store_request *request)
{
    if (!shared_store.on.load(std::memory_order_relaxed) ||
        !shared_breaker_may_call(shared_clock()))
        return STORE_NO_ANSWER;
    shared_deadline deadline = shared_deadline_start();
    shared_link link;
    shared_reply reply;
    int32_t taken = shared_connections_take(&link, deadline, &reply.error);
    if (taken != SHARED_TAKEN) {
        if (taken == SHARED_TAKE_FAILED) shared_fail(reply.error);
        return STORE_NO_ANSWER;
    }
    char digest[SHARED_DIGEST_SIZE];
    shared_connections_digest(digest);
    char command[SHARED_REQUEST_SIZE];
    int32_t length = shared_script_command(command, digest, shared_store.prefix, kind, request);
    int32_t verdict = shared_connections_call(link, command, length, SHARED_EXPECT_COUNTS,
                                              deadline, &reply);
    if (verdict == SHARED_READ_REFUSED && digest[0] != '\0' &&
        shared_reply_noscript(reply.error)) { // the server lost the script: send it whole
        length = shared_script_command(command, "", shared_store.prefix, kind, request);
        verdict = shared_connections_call(link, command, length, SHARED_EXPECT_COUNTS, deadline,
                                          &reply);
    }
    bool sound = verdict == SHARED_READ_DONE;
    shared_connections_give(link, sound);
    if (!sound) {
        shared_fail(reply.error);
        return STORE_NO_ANSWER;
    }
    shared_succeed();
    return reply.counts[0];
}

// The store_backend's procedures (their contracts: tracking/store_seam.h).
static int32_t shared_store_connect(const store_request *request)
{
    return shared_run(SHARED_CALL_CONNECT, request);
}

static void shared_store_forget(uint32_t address, uint32_t network, int32_t network_bits)
{
    store_request request = {};
    request.address = address;
    request.network = network;
    request.network_bits = network_bits;
    shared_run(SHARED_CALL_LOGIN, &request);
}

static void shared_store_forget_network(uint32_t network, int32_t network_bits)
{
    if (network_bits == 0) return; // no network is counted
    store_request request = {};
    request.network = network;
    request.network_bits = network_bits;
    shared_run(SHARED_CALL_FORGET_NETWORK, &request);
}

static const store_backend shared_backend = {shared_store_connect, shared_store_forget,
                                             shared_store_forget_network};

const store_backend *shared_store_start(const settings_shared_t &config)
{
    if (config.port == 0) return nullptr;
    if (!shared_connections_start(config)) return nullptr;
    memcpy(shared_store.address, config.address, sizeof shared_store.address);
    shared_store.port = config.port;
    memcpy(shared_store.prefix, config.prefix, sizeof shared_store.prefix);
    shared_breaker_reset();
    shared_store.on.store(1, std::memory_order_relaxed);
    shared_deadline deadline = shared_deadline_start();
    shared_link link;
    shared_error error;
    int32_t taken = shared_connections_take(&link, deadline, &error);
    if (taken == SHARED_TAKEN) shared_connections_give(link, true);
    else if (taken == SHARED_TAKE_FAILED) shared_fail(error);
    return &shared_backend;
}

void shared_store_stop(bool calls_drained)
{
    if (!shared_store.on.load(std::memory_order_relaxed)) return;
    shared_store.on.store(0, std::memory_order_relaxed);
    shared_connections_stop(calls_drained);
}
