// A store for the native tests, behind the store seam (tracking/store_seam.h): the counts of
// the other servers, kept in a table of its own and decided from as the shared store's script
// decides (tracking/shared/shared_protocol.cpp): one count per address and per network, each
// kept for its quiet time after its latest connection; a connection is refused for its address
// once that count has reached its allowance, else for its network once that one's has; only a
// connection the asking server let in, and the store too, is counted. With offenders kept (a
// request's repeat_factor), an address's offences and its refusal in force too, by the script's
// rules; the administrator's forgetting as the script takes it. It can also be made a store
// that does not answer. Trusted logins, the siege's count and its mark as the script shares
// them, on a clock of the store's own. Any thread; one lock guards it.
#pragma once
#include <cstdint>
#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "host/base/ip_address.h"
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
    store_answer last_detail = {};
    std::map<uint32_t, int32_t> trusted; // entry (network byte order) -> store's second
    int64_t siege = 0;                   // the siege's running count, modulo 2^31
    uint32_t mark = 0;                   // the siege mark's token; 0: none
    int32_t mark_until = 0;              // the store's second it lapses at
};
inline fake_store_t fake_store;

// The store's clock, ahead of the table's; the marks of this server and of another.
enum : int32_t { FAKE_STORE_SKEW = 1000, FAKE_OWN_MARK = 1, FAKE_OTHER_MARK = 2 };
inline int32_t fake_store_now() { return db_clock() + FAKE_STORE_SKEW; }

// The key of an address's count (bits 0) or of a network's; FAKE_OFFENCES and FAKE_REFUSAL
// for an address's offences and refusal in force.
enum : int32_t { FAKE_OFFENCES = 64, FAKE_REFUSAL = 65 };
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

// The refusal of the address `address` in force from now, by its `offences`: the script's
// refuse(); its count starts afresh when the refusal clears. Caller holds the lock.
inline int32_t fake_store_refusal(const store_request *r, int64_t offences)
{
    int64_t d = r->quiet_seconds, cap = r->longest_refusal;
    for (int64_t k = 2; k <= offences && d > 0 && d < cap; k++) d *= r->repeat_factor;
    d = d < cap ? d : cap;
    fake_store.counts[fake_store_key(r->address, FAKE_OFFENCES)] = {offences, db_clock(),
                                                                    (int32_t)(d + cap)};
    fake_store.counts[fake_store_key(r->address, FAKE_REFUSAL)] = {1, db_clock(), (int32_t)d};
    fake_store.counts.erase(fake_store_key(r->address, 0));
    return STORE_REFUSED;
}

// One connection, decided and counted as the script does it; the offender's state into *answer
// while offenders are kept. Caller holds the lock.
inline int32_t fake_store_decide(const store_request *r, store_answer *answer)
{
    uint64_t address = fake_store_key(r->address, 0);
    uint64_t network = fake_store_key(r->network, r->network_bits);
    uint64_t offences = fake_store_key(r->address, FAKE_OFFENCES);
    int64_t a = fake_store_get(address), n = 0, o = r->repeat_factor ? fake_store_get(offences) : 0;
    answer->forgotten = r->repeat_factor && !o && r->offences > 0 &&
                        fake_store.counts.count(offences);
    answer->offences = (int32_t)o;
    bool refusing = o > 0 && fake_store_get(fake_store_key(r->address, FAKE_REFUSAL));
    bool full = false;
    if (r->network_bits > 0) {
        n = fake_store_get(network);
        full = n >= r->network_allowance;
        if (full) fake_store_touch(network, r->quiet_seconds, 0);
    }
    if (refusing) return fake_store_refusal(r, o);
    if ((a > 0 || o > 0) && a >= (o > 0 ? r->repeat_allowance : r->allowance)) {
        if (r->repeat_factor > 0) {
            answer->offences = (int32_t)(o < STORE_OFFENCES_MAX ? o + 1 : o);
            return fake_store_refusal(r, answer->offences);
        }
        fake_store_touch(address, r->quiet_seconds, 0);
        return STORE_REFUSED;
    }
    if (full) return STORE_REFUSED_NETWORK;
    int32_t keep = o > 0 ? r->longest_refusal : r->quiet_seconds;
    if (o > 0) fake_store_touch(offences, r->longest_refusal, 0);
    if (!r->let_in_locally) {
        if (a > 0) fake_store_touch(address, keep, 0);
        return STORE_LET_IN;
    }
    fake_store_touch(address, keep, 1);
    if (r->network_bits > 0) fake_store_touch(network, r->quiet_seconds, 1);
    return STORE_LET_IN;
}

inline int32_t fake_store_connect(const store_request *r, store_answer *answer)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    fake_store.calls++;
    fake_store.last = *r;
    fake_store.last_detail = {}; // all 0 unless offenders are kept
    fake_store.last_answer = fake_store.answers ? fake_store_decide(r, &fake_store.last_detail)
                                                : STORE_NO_ANSWER;
    if (answer) *answer = fake_store.last_detail;
    return fake_store.last_answer;
}

// A login: the address's count and refusal go, its connections leave its network, and its
// offences are left at 0 while they last (forgiven).
inline void fake_store_forget(uint32_t address, uint32_t network, int32_t bits)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    if (!fake_store.answers) return;
    int64_t a = fake_store_get(fake_store_key(address, 0));
    fake_store.counts.erase(fake_store_key(address, 0));
    fake_store.counts.erase(fake_store_key(address, FAKE_REFUSAL));
    if (fake_store_get(fake_store_key(address, FAKE_OFFENCES)) > 0)
        fake_store.counts[fake_store_key(address, FAKE_OFFENCES)].value = 0;
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

// "Refuse now" on an address or a network row: no native test asks the store for it.
inline void fake_store_refuse(const store_request *) {}

// A login while TrustDays is set: forgets as fake_store_forget, and trusts its entry.
inline void fake_store_login(const store_request *r)
{
    fake_store_forget(r->address, r->network, r->network_bits);
    std::lock_guard<std::mutex> hold(fake_store.lock);
    if (fake_store.answers && r->trust_seconds > 0)
        fake_store.trusted[r->trust_key] = fake_store_now();
}

// The sweeper's sync as the script answers it (the page ordered by second, then by key, which
// the script orders by its text: the tests' entries never share a second).
inline bool fake_store_sync(const store_sync_request *r, store_sync_answer *a)
{
    std::lock_guard<std::mutex> hold(fake_store.lock);
    if (!fake_store.answers) return false;
    int32_t now = fake_store_now();
    *a = {now, 0, false, 0, {}, {}};
    if (r->siege_on) {
        a->counted = (int32_t)fake_store.siege;
        fake_store.siege = (fake_store.siege + r->counted + 2147483648) % 2147483648;
        bool held = fake_store.mark != 0 && fake_store.mark_until > now;
        a->marked = held && fake_store.mark != FAKE_OWN_MARK;
        if (r->pressed)
            fake_store.mark = FAKE_OWN_MARK, fake_store.mark_until = now + r->mark_seconds;
        else if (held && fake_store.mark == FAKE_OWN_MARK) fake_store.mark = 0;
    }
    if (r->trust_seconds <= 0) return true;
    std::erase_if(fake_store.trusted,
                  [&](const auto &e) { return e.second < now - r->trust_seconds; });
    std::vector<std::pair<int32_t, uint32_t>> page;
    for (const auto &[key, second] : fake_store.trusted)
        if (second > r->trust_since) page.push_back({second, ntohl(key)});
    std::sort(page.begin(), page.end());
    for (; a->trusted < (int32_t)page.size() && a->trusted < STORE_TRUST_PAGE; a->trusted++) {
        a->trust_keys[a->trusted] = htonl(page[a->trusted].second);
        a->trust_stamps[a->trusted] = page[a->trusted].first;
    }
    return true;
}

inline constexpr store_backend fake_store_backend = {fake_store_connect, fake_store_forget,
                                                     fake_store_forget_network, fake_store_refuse,
                                                     fake_store_refuse, fake_store_login,
                                                     fake_store_sync};

// Empties the store, makes it answer, and puts it in use (or, with `use` false, none).
inline void fake_store_reset(bool use)
{
    {
        std::lock_guard<std::mutex> hold(fake_store.lock);
        fake_store.counts.clear();
        fake_store.answers = true;
        fake_store.calls = 0;
        fake_store.last_answer = STORE_NO_ANSWER;
        fake_store.trusted.clear();
        fake_store.siege = fake_store.mark = fake_store.mark_until = 0;
    }
    store_install(use ? &fake_store_backend : nullptr);
}
