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

void decision_ask(const store_backend *store, db_table *table, uint32_t ip,
                  const db_settings &in_force, db_decision *decision)
{
    const store_request request = {ip,
                                   in_force.auth_failures,
                                   (int32_t)db_clear_seconds(in_force),
                                   decision_lets_in(decision->verdict),
                                   decision->network,
                                   decision->network_bits,
                                   in_force.network_failures};
    decision_merge(table, decision, store->connect(&request));
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
