// The decision on one connection: the table's pass, the store's answer, the merge; and a login.
#include "tracking/decision.h"

#include "tracking/black_list.h"
#include "tracking/white_list.h"

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
    decision_forget(table, ip);
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
