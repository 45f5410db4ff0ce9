// The decision on one connection: the table's pass, the store's answer, the merge; and a login.
#include "tracking/decision.h"

#include "host/base/ip_address.h"
#include "tracking/black_list.h"
#include "tracking/siege.h"
#include "tracking/white_list.h"

// The sync's state: the sweeper's thread alone reads and writes it (decision_sync) and resets
// it as it starts (decision_sync_reset); no lock.
static struct {
    int32_t synced_at;   // the table clock's second of the latest sync; 0: none yet
    int32_t pushed_at;   // that of the latest sync that pushed a siege count; 0: none
    uint32_t counted;    // the shared running count after that push, modulo 2^31
    int32_t trust_since; // the store's second after which the next page of trusted entries lies
} decision_sync_state;

enum : uint32_t {
    DECISION_COUNT_MASK = 0x7FFFFFFFu, // the shared running count is kept modulo 2^31
    DECISION_COUNT_BACK = 0x40000000u, // a difference past this is a count that went back
};

// True when the verdict lets the connection in.
static bool decision_lets_in(int32_t verdict)
{
    return verdict != CHECK_BLOCKED && verdict != CHECK_NETWORK_BLOCKED && verdict != CHECK_BLACK &&
           verdict != CHECK_NOT_ALLOWED && verdict != CHECK_SIEGE_BLOCKED;
}

// The request about the address `ip`, whose network is `network` (of `bits`; 0: none counted),
// with the limits of the settings `s`: the offender rules only while they remember offenders.
static store_request decision_request(const db_settings &s, uint32_t ip, uint32_t network,
                                      int32_t bits)
{
    store_request request = {};
    request.address = ip;
    request.allowance = s.auth_failures;
    request.quiet_seconds = (int32_t)db_clear_seconds(s);
    request.network = network;
    request.network_bits = bits;
    request.network_allowance = s.network_failures;
    if (db_remembers(s)) {
        request.repeat_factor = s.repeat_factor;
        request.longest_refusal = (int32_t)db_cap_seconds(s);
        request.repeat_allowance = s.repeat_auth_failures;
    }
    return request;
}

// What the store knows of the address as an offender (its answer `verdict` and `answer`),
// learnt by the table, so that each server's log, dialog and state file tell what the others'
// do: an offender forgiven elsewhere (a login, "Forget") is forgotten here as a login forgets
// it; otherwise its slot's offences are raised to the store's, with the refusal in force when
// the store refused the address, and a connection the table let in is reported as the
// offender's it is. Nothing here lets in a connection the table refused.
static void decision_learn(db_table *table, uint32_t ip, int32_t verdict,
                           const store_answer &answer, db_decision *decision)
{
    if (answer.forgotten) {
        db_release(table, ip);
        return;
    }
    if (answer.offences <= 0) return;
    int32_t offences = db_learn_offender(table, ip, answer.offences, verdict == STORE_REFUSED);
    int32_t local = decision->verdict;
    if (offences > 0 && (local == CHECK_NEW || local == CHECK_KNOWN || local == CHECK_OFFENDER)) {
        decision->verdict = CHECK_OFFENDER;
        decision->offences = offences;
    }
}

void decision_ask(const store_backend *store, db_table *table, uint32_t ip,
                  const db_settings &in_force, db_decision *decision)
{
    store_request request =
        decision_request(in_force, ip, decision->network, decision->network_bits);
    request.let_in_locally = decision_lets_in(decision->verdict);
    request.offences = decision->offences;
    store_answer answer = {};
    int32_t verdict = store->connect(&request, &answer);
    decision_merge(table, decision, verdict);
    decision_learn(table, ip, verdict, answer, decision);
}

void decision_merge(db_table *table, db_decision *decision, int32_t answer)
{
    if (answer != STORE_REFUSED && answer != STORE_REFUSED_NETWORK) return;
    if (!decision_lets_in(decision->verdict)) return; // the table's refusal stands
    if (decision->network_counted) {
        db_uncount_network(table, decision->network);
        decision->network_counted = false;
    }
    bool network = answer == STORE_REFUSED_NETWORK && decision->network_bits > 0;
    decision->verdict = network ? CHECK_NETWORK_BLOCKED : CHECK_BLOCKED;
    decision->shared = !network;
}

void decision_forget(db_table *table, uint32_t ip)
{
    db_release(table, ip);
    if (const store_backend *store = store_in_use())
        store->forget(ip, db_network_of(table, ip), db_network_bits(table));
}

void decision_forget_network(db_table *table, uint32_t net)
{
    db_forget_network(table, net);
    const store_backend *store = store_in_use();
    if (store && db_network_bits(table) > 0) store->forget_network(net, db_network_bits(table));
}

void decision_login(db_table *table, uint32_t ip)
{
    const db_settings s = db_settings_now();
    int32_t now = db_clock();
    if (s.siege_failures > 0 && !white_match(ip) && !black_match(ip) && !db_trusted(table, ip, s))
        siege_take_back(now);
    db_trust(table, ip, now);
    const store_backend *store = store_in_use();
    if (store == nullptr || store->login == nullptr || s.trust_days <= 0 ||
        db_trusted_set(table) == nullptr) {
        decision_forget(table, ip);
        return;
    }
    db_release(table, ip);
    store_request request = {};
    request.address = ip;
    request.network = db_network_of(table, ip);
    request.network_bits = db_network_bits(table);
    request.trust_key = ip & prefix_to_mask(db_trust_bits(table));
    request.trust_seconds = (int32_t)db_trust_seconds(s);
    request.trust_most = settings.max_trusted.load(std::memory_order_relaxed);
    store->login(&request);
}

void decision_sync_reset() { decision_sync_state = {}; }

// Adds to the siege's ring the connections the other servers counted since this server's last
// push, as the sync's answer `a` to the push of `pushed` tells them, at second `now`: none on
// the first push, after a gap longer than the ring's minute, or when the count went back (it
// expired, or logins took back more than was counted).
static void decision_sync_siege(int32_t now, int32_t pushed, const store_sync_answer &a)
{
    uint32_t others = ((uint32_t)a.counted - decision_sync_state.counted) & DECISION_COUNT_MASK;
    bool recent = decision_sync_state.pushed_at != 0 &&
                  (int64_t)now - decision_sync_state.pushed_at <= SIEGE_WINDOW_SECONDS;
    if (recent && others > 0 && others < DECISION_COUNT_BACK) siege_add(now, (int32_t)others);
    decision_sync_state.counted = ((uint32_t)a.counted + (uint32_t)pushed) & DECISION_COUNT_MASK;
    decision_sync_state.pushed_at = now;
    siege_set_marked(a.marked);
}

// Has `table`'s trusted set learn the page of entries in `a`, each stamped on the table's clock
// `now` as long before now as the store's clock says (never later than now), those past
// `seconds` left out; and moves the page's start on: past the page's last second when the page
// is full (re-reading that second, which the page may have cut, unless it was the page's only
// one), else to the store's second before its clock (entries of the current second may follow).
static void decision_sync_trust(db_table *table, int32_t now, int32_t seconds,
                                const store_sync_answer &a)
{
    for (int32_t i = 0; i < a.trusted && i < STORE_TRUST_PAGE; i++) {
        int64_t age = (int64_t)a.store_now - a.trust_stamps[i];
        if (age < 0) age = 0;
        if (age <= seconds) db_trust_learn(table, a.trust_keys[i], (int32_t)(now - age));
    }
    int32_t since = a.store_now - 1;
    if (a.trusted >= STORE_TRUST_PAGE) {
        int32_t last = a.trust_stamps[STORE_TRUST_PAGE - 1];
        since = a.trust_stamps[0] == last ? last : last - 1;
    }
    if (since > decision_sync_state.trust_since) decision_sync_state.trust_since = since;
}

bool decision_syncs(db_table *table)
{
    const store_backend *store = store_in_use();
    if (store == nullptr || store->sync == nullptr) return false;
    const db_settings s = db_settings_now();
    return s.siege_failures > 0 || (s.trust_days > 0 && db_trusted_set(table) != nullptr);
}

bool decision_sync(db_table *table)
{
    if (!decision_syncs(table)) return false;
    const store_backend *store = store_in_use();
    const db_settings s = db_settings_now();
    bool trust = s.trust_days > 0 && db_trusted_set(table) != nullptr;
    int32_t now = db_clock();
    if (decision_sync_state.synced_at != 0 &&
        (int64_t)now - decision_sync_state.synced_at < DECISION_SYNC_SECONDS &&
        now >= decision_sync_state.synced_at)
        return false;
    decision_sync_state.synced_at = now;
    store_sync_request request = {};
    if (s.siege_failures > 0) {
        request.siege_on = true;
        request.counted = siege_take_unsent();
        request.pressed = siege_in_force() && (int64_t)siege_count(now) * 2 >= s.siege_failures;
        request.mark_seconds = DECISION_MARK_SECONDS;
    }
    if (trust) {
        request.trust_seconds = (int32_t)db_trust_seconds(s);
        request.trust_since = decision_sync_state.trust_since;
    }
    store_sync_answer answer = {};
    if (!store->sync(&request, &answer)) { // kept for the next; no mark heard of is in force
        if (request.siege_on) siege_keep_unsent(request.counted);
        siege_set_marked(false);
        return false;
    }
    if (request.siege_on) decision_sync_siege(now, request.counted, answer);
    if (trust) decision_sync_trust(table, now, request.trust_seconds, answer);
    return true;
}

int32_t decision_refuse(db_table *table, uint32_t ip)
{
    if (!db_refuse(table, ip)) return 0;
    if (const store_backend *store = store_in_use()) {
        store_request request = decision_request(db_settings_now(), ip, db_network_of(table, ip),
                                                 db_network_bits(table));
        request.allowance = AUTH_FAILURES_MAX; // as db_refuse holds it
        store->refuse(&request);
    }
    return 1;
}

int32_t decision_refuse_network(db_table *table, uint32_t net)
{
    if (!db_refuse_network(table, net)) return 0;
    if (const store_backend *store = store_in_use()) {
        store_request request =
            decision_request(db_settings_now(), net, net, db_network_bits(table));
        request.network_allowance = NETWORK_FAILURES_MAX; // as db_refuse_network holds it
        store->refuse_network(&request);
    }
    return 1;
}
