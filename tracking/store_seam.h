// The shared store as a decision sees it: one narrow interface that a store of several servers
// (tracking/shared/), a fake store in the tests, or nothing at all sits behind.
//
// Owns: the store in use (store_in_use).
// Threads: start-up and shutdown install and remove a store (store_install), on the host's
// start-up/shutdown thread, while no event call can be inside the gate; the POP3 threads and the
// dialog's thread read it on every decision, login and "Forget", and the sweeper for its sync
// (shutdown joins the sweeper before it removes the store). A store's procedures are called
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
    // A login that trusts (store_backend.login), sent only while TrustDays is set.
    uint32_t trust_key;        // the login's address masked to TrustBits, network byte order
    int32_t trust_seconds;     // TrustDays in seconds: how long the shared set keeps an entry
    int32_t trust_most;        // MaxTrusted: the most entries the shared set keeps
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

enum : int32_t { STORE_TRUST_PAGE = 32 }; // trusted entries one sync brings at most

// What the sweeper's periodic sync (store_backend.sync) sends: the siege's part while
// SiegeFailures is set (siege_on), the trusted set's while TrustDays is (trust_seconds).
struct store_sync_request {
    bool siege_on;          // push this server's count and read the others' and the mark
    int32_t counted;        // connections this server counted for the siege since its last
                            // push, its logins' take-backs netted (may be below 0)
    bool pressed;           // this server is under siege with at least half of SiegeFailures
                            // counted: set or renew the shared mark (else drop its own)
    int32_t mark_seconds;   // how long the mark lasts unless renewed (the store tells its
                            // servers' marks apart by a token of its own)
    int32_t trust_seconds;  // TrustDays in seconds; 0: no trusted entry is read
    int32_t trust_since;    // the store's second after which entries are read (0: all)
};

// What the store answers a sync. Times are the store's own clock, in seconds.
struct store_sync_answer {
    int32_t store_now;    // the store's clock at the sync
    int32_t counted;      // the siege's shared running count before this push, modulo 2^31
    bool marked;          // another server's siege mark is in force
    int32_t trusted;      // entries in the page, oldest first, at most STORE_TRUST_PAGE
    uint32_t trust_keys[STORE_TRUST_PAGE];   // each entry's key, network byte order
    int32_t trust_stamps[STORE_TRUST_PAGE];  // and the store's second of its latest login
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
    // A login while TrustDays is set: forgets as forget does (request->address, network and
    // network_bits), and in the same call trusts request->trust_key on every server. Null in a
    // store that shares no trust: forget is used.
    void (*login)(const store_request *request);
    // The sweeper's periodic sync (tracking/decision.h, decision_sync): the siege's counts and
    // mark and a page of trusted entries, in one bounded call. False when the store could not
    // answer (*answer is then not to be used). Null in a store that shares neither.
    bool (*sync)(const store_sync_request *request, store_sync_answer *answer);
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
