// The shared store: the counts of several mail servers kept together in one Redis server, so
// that a guesser who spreads its tries over the servers gets one allowance, not one per server.
//
// Owns: the pool of store connections, the loaded script's digest and the breaker.
// Threads: shared_store_start and shared_store_stop run on the host's start-up/shutdown thread;
// shared_store_connect and shared_store_login on the host's POP3 threads, inside the event gate.
// The pool is guarded by its own lock (never db_lock, and no host call is made while it is held);
// the breaker and the on flag are atomic words.
//
// With no store configured (settings_shared.port 0) every call returns at once: no socket is
// made and no Winsock procedure is called.
#pragma once
#include <cstdint>

enum : int32_t {
    SHARED_NO_ANSWER = -1,       // no store, its breaker is open, or the call failed: decide locally
    SHARED_LET_IN = 0,           // the shared counts let the connection in
    SHARED_REFUSED = 1,          // the address has used up its allowance across the servers
    SHARED_REFUSED_NETWORK = 2,  // its network has
};
enum : uint32_t {
    SHARED_BREAKER_MS = 30000,   // decisions stay local this long after a failure
    SHARED_POOL_MAX = 64,        // most connections open at once; beyond, decisions stay local
};

// A network counted beside the address: its first address (network byte order), its prefix
// length and its allowance of let-in connections.
struct shared_network {
    uint32_t address;
    int32_t bits;
    int32_t allowance;
};

// The breaker's clock in milliseconds: GetTickCount; tests replace it before the first call.
extern uint32_t (*shared_clock)();

// Opens the first connection (and loads the script) when a store is configured. A store that
// cannot be had trips the breaker with its one warning; start-up goes on either way.
void shared_store_start();
// Closes every connection that is not in use, and makes those in use close when given back.
// Returns at once: each call in flight is bounded by SharedTimeout.
void shared_store_stop();
// True while a store is configured and started (relaxed; for the handler's quick test).
bool shared_store_on();
// One connection's round trip. Raises the shared counts of `address` (and of `network`, when not
// null) when `let_in_locally` and the shared counts allow it; refreshes their quiet time in any
// case; refuses as the local table would (the first connection is always let in). `allowance` is
// AuthFailures; the quiet time is ClearTime. Returns one of the SHARED_ codes.
int32_t shared_store_connect(uint32_t address, int32_t allowance, bool let_in_locally,
                             const shared_network *network);
// A login: forgets the address's shared count and takes its connections back from `network`.
void shared_store_login(uint32_t address, const shared_network *network);
