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
// Offenders. With RepeatFactor set, the request carries the offender rules too, and the same
// script keeps the address's offences ("<prefix>o:<address>") and its refusal in force
// ("<prefix>r:<address>", a key that lives exactly as long as the refusal) beside its count:
// one round trip still. A shared refusal thus ends by the store's own clock, its key's expiry:
// the servers' clocks, which differ, never decide it. It refuses and escalates by the offences of every server, and answers
// them back, so that the table learns them (tracking/decision.cpp). Without RepeatFactor it
// reads and writes the counts alone, as before.
// The administrator's hand. "Refuse now" holds the address's (or network's) count at the most
// any allowance allows, as the table does, so every server refuses it from its next
// connection; a login or "Forget" forgets it everywhere, and leaves an offender's offences at 0
// until they would have expired, so that a server whose table still holds them hears so.
// Sentinel. With SharedSentinels, start-up and the first call after each failure first ask
// the sentinels which server is the primary (shared_sentinel.h), within the call's one
// deadline; a new answer aims the pool there (the sockets to the last primary close) and is
// logged once. A primary that was made a replica refuses writes (READONLY): a failure like any
// other, so the breaker trips and the next try asks the sentinels again.
// Trust and the siege. With TrustDays set, a login's one call also puts its trusted entry in
// the store's set ("<prefix>t"); the sweeper's sync, every few seconds, reads the entries other
// servers added, pushes the siege's count and reads the others' and the siege mark
// ("<prefix>s", "<prefix>m"): one more call every few seconds, none more a connection or a
// login (tracking/decision.h). Each server tells its own mark by a token it draws at start-up.
#include "tracking/shared/shared_store.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/ip_address.h"
#include "tracking/shared/shared_connections.h"
#include "tracking/shared/shared_protocol.h"
#include "tracking/shared/shared_sentinel.h"

static_assert(STORE_LET_IN == 0 && STORE_REFUSED == 1 && STORE_REFUSED_NETWORK == 2,
              "the script's decisions are the seam's answers");

enum : int32_t { SHARED_WHERE_SIZE = SETTINGS_SHARED_TEXT_SIZE + 8 }; // "'name'" or "a.b.c.d:port"

// The store in force: the on flag written by start-up and shutdown, read by every call
// (relaxed, see the header); the ask flag set by start-up and by any call that fails, taken by
// the call that asks the sentinels (relaxed: it only decides who asks, the primary's address
// is the connections' and guarded there); the rest written by start-up before the on flag.
static struct {
    std::atomic<int32_t> on;
    std::atomic<int32_t> ask;               // 1: ask the sentinels before the next call
    bool sentinels;                         // the primary is found through sentinels
    char master[SETTINGS_SHARED_TEXT_SIZE]; // its name there
    char prefix[SETTINGS_SHARED_TEXT_SIZE];
    uint32_t token;                         // this server's siege mark in the store
} shared_store;

// The breaker's clock unless a test replaces it: milliseconds since the system started.
static uint32_t shared_tick() { return GetTickCount(); }
uint32_t (*shared_clock)() = shared_tick; // fixed before the first call (tests set it)

// The store as the log lines name it, into `text` (SHARED_WHERE_SIZE bytes): "address:port",
// or the primary's name in quotes while the sentinels have named none.
static void shared_where(char *text)
{
    uint32_t address;
    int32_t port;
    shared_connections_target(&address, &port);
    char dotted[IP_TEXT_SIZE];
    ip_format(address, dotted);
    if (port == 0) snprintf(text, SHARED_WHERE_SIZE, "'%s'", shared_store.master);
    else snprintf(text, SHARED_WHERE_SIZE, "%s:%d", dotted, (int)port);
}

// A call that failed: trips the breaker, empties the pool and, with sentinels, has the next try
// ask them again; the first failure after a good spell is logged.
static void shared_fail(const shared_error &error)
{
    bool first = shared_breaker_trip(shared_clock());
    shared_connections_drain();
    if (shared_store.sentinels) shared_store.ask.store(1, std::memory_order_relaxed);
    if (!first) return;
    char where[SHARED_WHERE_SIZE];
    shared_where(where);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                    "Tollgate: shared store %s failed (error %d: %s), deciding locally", where,
                    (int)error.code, error.text);
}

// A call that succeeded closes the breaker; the first after a failure is logged.
static void shared_succeed()
{
    if (!shared_breaker_mend()) return;
    char where[SHARED_WHERE_SIZE];
    shared_where(where);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                    "Tollgate: shared store %s answers again, counts shared", where);
}

// With sentinels, when a start or a failure asked for it, asks them for the primary within
// `deadline` and aims the pool at a new one, saying which. False, with `error`, when none named
// it (the next call asks again).
static bool shared_find_primary(const shared_deadline &deadline, shared_error *error)
{
    if (!shared_store.ask.exchange(0, std::memory_order_relaxed)) return true;
    uint32_t address, last_address;
    int32_t port, last_port;
    if (!shared_sentinel_ask(deadline, &address, &port, error)) {
        shared_store.ask.store(1, std::memory_order_relaxed);
        return false;
    }
    shared_connections_target(&last_address, &last_port);
    if (address == last_address && port == last_port) return true;
    char was[SHARED_WHERE_SIZE], now[SHARED_WHERE_SIZE];
    shared_where(was);
    shared_connections_aim(address, port);
    shared_where(now);
    if (last_port == 0)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: shared store primary '%s' is %s", shared_store.master, now);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: shared store primary '%s' is now %s (was %s)",
                        shared_store.master, now, was);
    return true;
}

// One script call: a sync's (`sync` given) or the call `kind` for `request`.
struct shared_script_call {
    char kind;
    const store_request *request;
    const store_sync_request *sync;
};

// Writes `call` into `command`, with `digest` ("": the script whole); its length.
static int32_t shared_write(char *command, const char *digest, const shared_script_call &call)
{
    if (call.sync)
        return shared_sync_command(command, digest, shared_store.prefix, call.sync,
                                   shared_store.token);
    return shared_script_command(command, digest, shared_store.prefix, call.kind, call.request);
}

// Runs `call` within one SharedTimeout and reads its reply as `expected` into *reply: true when
// it was read whole; false when the store could not be asked or failed (the breaker then trips).
static bool shared_exchange(const shared_script_call &call, int32_t expected, shared_reply *reply)
{
    if (!shared_store.on.load(std::memory_order_relaxed) ||
        !shared_breaker_may_call(shared_clock()))
        return false;
    shared_deadline deadline = shared_deadline_start();
    shared_link link;
    if (!shared_find_primary(deadline, &reply->error)) {
        shared_fail(reply->error);
        return false;
    }
    int32_t taken = shared_connections_take(&link, deadline, &reply->error);
    if (taken != SHARED_TAKEN) {
        if (taken == SHARED_TAKE_FAILED) shared_fail(reply->error);
        return false;
    }
    char digest[SHARED_DIGEST_SIZE];
    shared_connections_digest(digest);
    char command[SHARED_REQUEST_SIZE];
    int32_t length = shared_write(command, digest, call);
    int32_t verdict = shared_connections_call(link, command, length, expected, deadline, reply);
    if (verdict == SHARED_READ_REFUSED && digest[0] != '\0' &&
        shared_reply_noscript(reply->error)) { // the server lost the script: send it whole
        length = shared_write(command, "", call);
        verdict = shared_connections_call(link, command, length, expected, deadline, reply);
    }
    bool sound = verdict == SHARED_READ_DONE;
    shared_connections_give(link, sound);
    if (!sound) {
        shared_fail(reply->error);
        return false;
    }
    shared_succeed();
    return true;
}

// Runs the script call `kind` for `request`: the script's decision (a STORE_ answer), or
// STORE_NO_ANSWER when the store could not be asked or failed. With offenders kept, the
// offender's state goes into *answer (when given).
static int32_t shared_run(char kind, const store_request *request, store_answer *answer)
{
    shared_reply reply;
    int32_t expected = shared_script_reply(kind, request);
    if (!shared_exchange({kind, request, nullptr}, expected, &reply)) return STORE_NO_ANSWER;
    if (expected == SHARED_EXPECT_OFFENDER && answer) {
        answer->offences = reply.counts[3];
        answer->forgotten = reply.counts[4] != 0;
    }
    return reply.counts[0];
}

// The store_backend's procedures (their contracts: tracking/store_seam.h).
static int32_t shared_store_connect(const store_request *request, store_answer *answer)
{
    return shared_run(SHARED_CALL_CONNECT, request, answer);
}

static void shared_store_forget(uint32_t address, uint32_t network, int32_t network_bits)
{
    store_request request = {};
    request.address = address;
    request.network = network;
    request.network_bits = network_bits;
    shared_run(SHARED_CALL_LOGIN, &request, nullptr);
}

static void shared_store_forget_network(uint32_t network, int32_t network_bits)
{
    if (network_bits == 0) return; // no network is counted
    store_request request = {};
    request.network = network;
    request.network_bits = network_bits;
    shared_run(SHARED_CALL_FORGET_NETWORK, &request, nullptr);
}

static void shared_store_refuse(const store_request *request)
{
    shared_run(SHARED_CALL_REFUSE, request, nullptr);
}

static void shared_store_refuse_network(const store_request *request)
{
    if (request->network_bits != 0) shared_run(SHARED_CALL_REFUSE_NETWORK, request, nullptr);
}

static void shared_store_login(const store_request *request)
{
    shared_run(SHARED_CALL_LOGIN, request, nullptr);
}

static bool shared_store_sync(const store_sync_request *request, store_sync_answer *answer)
{
    shared_reply reply;
    if (!shared_exchange({SHARED_CALL_SYNC, nullptr, request}, SHARED_EXPECT_SYNC, &reply))
        return false;
    *answer = reply.sync;
    return true;
}

static const store_backend shared_backend = {
    shared_store_connect,        shared_store_forget, shared_store_forget_network,
    shared_store_refuse,         shared_store_refuse_network, shared_store_login,
    shared_store_sync};

// A token for this server's siege mark, unlike another server's: drawn from the performance
// counter, the tick count and the process.
static uint32_t shared_token()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t token = (uint32_t)counter.QuadPart ^ (uint32_t)(counter.QuadPart >> 32) ^
                     GetTickCount() ^ GetCurrentProcessId() * 2654435761u;
    return token != 0 ? token : 1;
}

const store_backend *shared_store_start(const settings_shared_t &config)
{
    if (config.port == 0 && config.sentinel_count == 0) return nullptr;
    if (!shared_connections_start(config)) return nullptr;
    shared_store.sentinels = config.sentinel_count > 0;
    if (shared_store.sentinels) shared_sentinel_start(config);
    memcpy(shared_store.master, config.master, sizeof shared_store.master);
    memcpy(shared_store.prefix, config.prefix, sizeof shared_store.prefix);
    shared_store.token = shared_token();
    shared_breaker_reset();
    shared_store.ask.store(shared_store.sentinels ? 1 : 0, std::memory_order_relaxed);
    shared_store.on.store(1, std::memory_order_relaxed);
    shared_deadline deadline = shared_deadline_start();
    shared_link link;
    shared_error error;
    int32_t taken = SHARED_TAKE_FAILED;
    if (shared_find_primary(deadline, &error))
        taken = shared_connections_take(&link, deadline, &error);
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
