// The shared store as a decision sees it: one narrow interface that a store of several servers
// (tracking/shared/), a fake store in the tests, or nothing at all sits behind.
//
// Owns: the store in use (store_in_use).
// Threads: start-up and shutdown install and remove a store (store_install), on the host's
// start-up/shutdown thread, while no event call can be inside the gate; the POP3 threads and the
// dialog's thread read it on every decision, login and "Forget". A store's procedures are called
// outside every table lock, and each returns within the bounds its request or its own start
// gave it.
//
// Every limit a store applies to one call travels in that call: the store reads no setting of
// its own, so one decision's values reach it exactly as the table used them.
//
// More shared state joins by adding fields at the end of the request and the answer, so that it
// travels in the same one round trip a connection.
#pragma once
#include <atomic>
#include <cstdint>

// What one connection asks of the store, made from the decision's own snapshot of the settings.
struct store_request {
    uint32_t address;          // the client, network byte order
    int32_t allowance;         // connections without a login the address may make (AuthFailures)
    int32_t quiet_seconds;     // how long a count is kept after its latest connection (ClearTime)
    bool let_in_locally;       // the server's own table let the connection in
    uint32_t network;          // the client's network (its first address), with network_bits
    int32_t network_bits;      // the network's prefix length; 0 when no network is counted
    int32_t network_allowance; // connections the network may make (NetworkFailures)
    // Repeat offenders, kept in the store only while repeat_factor is not 0.
    int32_t repeat_factor;     // RepeatFactor; 0 when offenders are not remembered
    int32_t longest_refusal;   // seconds: MaxClearTime (never below ClearTime), the longest
                               // refusal and how long an offender is kept once it has cleared
    int32_t repeat_allowance;  // connections an offender whose refusal has cleared may make
                               // (RepeatAuthFailures)
    int32_t offences;          // the address's offences as the server's own table holds them
};

enum : int32_t { STORE_OFFENCES_MAX = 127 }; // offences beyond this count as this many

// What a store says of a connection's address besides its verdict, when it kept offenders.
struct store_answer {
    int32_t offences; // the address's offences across the servers, this connection's included
    bool forgotten;   // a login or the administrator forgot the offender on some server since
                      // this server's table learnt its offences: forget them here too
};

// A store's answer to one connection.
enum : int32_t {
    STORE_NO_ANSWER = -1,       // no store, or it could not answer in time: decide locally
    STORE_LET_IN = 0,           // the shared counts let the connection in
    STORE_REFUSED = 1,          // the address has used up its allowance across the servers
    STORE_REFUSED_NETWORK = 2,  // its network has
};

// One store. Each procedure is bounded and never fails the caller: a store that cannot be asked
// answers STORE_NO_ANSWER (or, for the others, does nothing) and says why itself.
struct store_backend {
    // One connection's round trip: counts it, when let in locally and by the shared counts,
    // and gives the shared word on it; with offenders kept, also the offender's state, in
    // *answer (left alone otherwise).
    int32_t (*connect)(const store_request *request, store_answer *answer);
    // A login (or the administrator's "Forget" on an address): forgets the address's count and
    // takes its connections back from its network (network_bits 0: none counted); an offender's
    // refusal in force ends and its offences are forgiven on every server.
    void (*forget)(uint32_t address, uint32_t network, int32_t network_bits);
    // The administrator's "Forget" on a network row: forgets the network's count.
    void (*forget_network)(uint32_t network, int32_t network_bits);
    // The administrator's "Refuse now" on an address: holds its count at request->allowance
    // (the most any AuthFailures allows) for request->quiet_seconds, or, with offenders kept and
    // a refusal of the address in force, starts that refusal's quiet time again.
    void (*refuse)(const store_request *request);
    // The administrator's "Refuse now" on a network row: holds request->network's count at
    // request->network_allowance (the most any NetworkFailures allows) for
    // request->quiet_seconds.
    void (*refuse_network)(const store_request *request);
};

// The store in use: written by start-up and shutdown (store_install), read by the POP3 and
// dialog threads; relaxed: the event gate orders an install before the calls that may see it.
extern std::atomic<const store_backend *> store_current;

// The store in use, or null when there is none (no store configured, or not started): then a
// decision asks nothing of anyone. One relaxed load, inline: a decision without a store pays no
// call for it.
inline const store_backend *store_in_use() { return store_current.load(std::memory_order_relaxed); }
// Puts `store` in use (null: none). Start-up and shutdown only, with no event call inside the
// gate; the gate's own ordering publishes it to the calls that follow.
void store_install(const store_backend *store);
