// A store for the native tests, behind the store seam (tracking/store_seam.h): the counts of
// the other servers, kept in a table of its own and decided from as the shared store's script
// decides (tracking/shared/shared_store.cpp): one count per address and per network, each kept
// for its quiet time after its latest connection; a connection is refused for its address once
// that count has reached its allowance, else for its network once that one's has; only a
// connection the asking server let in, and the store too, is counted. It can also be made a
// store that does not answer. Any thread; one lock guards it.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>

#include "tracking/ip_db.h"
#include "tracking/store_seam.h"

struct fake_store_t {
    struct count {
        int64_t value;
        int32_t touched; // the table clock's second of its latest connection
        int32_t quiet;   // seconds it is kept after that
    };
    std::mutex lock;
    std::map<uint64_t, count> counts; // by fake_store_key
    bool answers = true;
    int64_t calls = 0;       // connections asked about
    store_request last = {}; // the latest of them
    int32_t last_answer = STORE_NO_ANSWER;
};
inline fake_store_t fake_store;

// The key of an address (bits 0) or of a network.
inline uint64_t fake_store_key(uint32_t address, int32_t bits)
{
    return (uint64_t)(uint32_t)bits << 32 | address;
}

// The count under `key` now (0 when it has none, or its quiet time has passed). Caller holds
// the lock.
inline int64_t fake_store_get(uint64_t key)
{
    auto found = fake_store.counts.find(key);
    if (found == fake_store.counts.end()) return 0;
    if ((int64_t)db_clock() - found->second.touched >= found->second.quiet) {
        fake_store.counts.erase(found);
        return 0;
    }
    return found->second.value;
}

// Starts the quiet time of `key` again, raising its count by `raise`. Caller holds the lock.
inline void fake_store_touch(uint64_t key, int32_t quiet, int64_t raise)
{
    int64_t value = fake_store_get(key) + raise;
    if (value > 0) fake_store.counts[key] = {value, db_clock(), quiet};
}

// One connection, decided and counted as the script does it.
inline int32_t fake_store_decide(const store_request *r)
{
    uint64_t address = fake_store_key(r->address, 0);
    uint64_t network = fake_store_key(r->network, r->network_bits);
    int64_t a = fake_store_get(address), n = 0;
    bool full = false;
    if (r->network_bits > 0) {
        n = fake_store_get(network);
        full = n >= r->network_allowance;
        if (full) fake_store_touch(network, r->quiet_seconds, 0);
    }
    if (a > 0 && a >= r->allowance) {
        fake_store_touch(address, r->quiet_seconds, 0);
        return STORE_REFUSED;
    }
    if (full) return STORE_REFUSED_NETWORK;
    if (!r->let_in_locally) {
        if (a > 0) fake_store_touch(address, r->quiet_seconds, 0);
        return STORE_LET_IN;
    }
    fake_store_touch(address, r->quiet_seconds, 1);
    if (r->network_bits > 0) fake_store_touch(network, r->quiet_seconds, 1);
    return STORE_LET_IN;
}

inline int32_t fake_store_connect(const store_request *r)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    fake_store.calls++;
    fake_store.last = *r;
    fake_store.last_answer = fake_store.answers ? fake_store_decide(r) : STORE_NO_ANSWER;
    return fake_store.last_answer;
}

inline void fake_store_forget(uint32_t address, uint32_t network, int32_t bits)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    if (!fake_store.answers) return;
    int64_t a = fake_store_get(fake_store_key(address, 0));
    fake_store.counts.erase(fake_store_key(address, 0));
    if (bits <= 0 || a <= 0) return;
    auto found = fake_store.counts.find(fake_store_key(network, bits));
    if (found == fake_store.counts.end()) return;
    if ((found->second.value -= a) <= 0) fake_store.counts.erase(found);
}

inline void fake_store_forget_network(uint32_t network, int32_t bits)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    if (fake_store.answers) fake_store.counts.erase(fake_store_key(network, bits));
}

inline constexpr store_backend fake_store_backend = {fake_store_connect, fake_store_forget,
                                                     fake_store_forget_network};

// Empties the store, makes it answer, and puts it in use (or, with `use` false, none).
inline void fake_store_reset(bool use)
{
    {
        std::lock_guard<std::mutex> hold(fake_store.lock);
        fake_store.counts.clear();
        fake_store.answers = true;
        fake_store.calls = 0;
        fake_store.last_answer = STORE_NO_ANSWER;
    }
    store_install(use ? &fake_store_backend : nullptr);
}
