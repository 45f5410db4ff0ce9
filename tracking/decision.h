// The decision on one connection, whole: the table's one pass, the request to the store in use
// (tracking/store_seam.h) and the merge of its answer. Platform-free, so that the native builds
// compile and exercise exactly what the module runs; the event handler only logs, refuses and
// reports from the record it hands back.
//
// Owns: the sync's state (static in decision.cpp): the siege's shared count as this server last
// pushed it, and where the next page of trusted entries begins; else each call works on the
// table it is handed and the store in use.
// Threads: the host's POP3 threads (decision_connect, decision_login, decision_forget) and the
// dialog's thread (decision_forget, decision_forget_network, decision_refuse,
// decision_refuse_network), inside the event gate; the sweeper (decision_sync,
// decision_sync_reset), which alone touches the sync's state.
// Lock: none of its own. The table's locks are taken inside the table's procedures only, and
// the store is asked after they are let go: no lock is held across a store's call.
#pragma once
#include <cstdint>

#include "tracking/ip_db.h"
#include "tracking/store_seam.h"

// Asks `store` about the connection from `ip` that the table decided in *decision by the
// settings `in_force`, merges its answer in (decision_merge), and has the table learn what the
// store knows of the address as an offender.
void decision_ask(const store_backend *store, db_table *table, uint32_t ip,
                  const db_settings &in_force, db_decision *decision);

// The decision on a connection from `ip` (network byte order) on `table`, by one snapshot of the
// settings: the table decides and counts, then the store in use, when there is one, is asked for
// the counts shared with the other servers (never for a white- or black-listed address, nor for
// one outside the allow list or one the siege refused, which count for nothing), and its answer
// is merged in. Inline, so that a decision without a store costs what the table's pass costs.
inline db_decision decision_connect(db_table *table, uint32_t ip)
{
    db_settings in_force;
    db_decision decision = db_check_connect(table, ip, &in_force);
    if (decision.verdict == CHECK_WHITE || decision.verdict == CHECK_BLACK ||
        decision.verdict == CHECK_NOT_ALLOWED || decision.verdict == CHECK_SIEGE_BLOCKED)
        return decision;
    if (const store_backend *store = store_in_use())
        decision_ask(store, table, ip, in_force, &decision);
    return decision;
}
// Merges the store's answer `answer` (a STORE_ code) to the connection decided in *decision: the
// store can only add a refusal, to a connection the table let in; and a connection refused
// anywhere counts for no network, so the count the table gave the network for it is taken back.
// A refusal for a network where the table counts none is taken as a refusal for the address.
void decision_merge(db_table *table, db_decision *decision, int32_t answer);
// Forgets `ip` as a login does: frees its slot in `table` (taking its connections back from its
// network) and its shared count.
void decision_forget(db_table *table, uint32_t ip);
// A login from `ip`: with SiegeFailures set, takes its connection back from the siege's count
// when that connection was counted (the address neither listed nor trusted); trusts it, when the
// table trusts logins; then forgets it (decision_forget), or, when the store in use shares
// trust, forgets it and trusts it on every server in the store's one call.
void decision_login(db_table *table, uint32_t ip);
// The administrator's "Forget" on the network row `net`: frees the network in `table` and its
// shared count.
void decision_forget_network(db_table *table, uint32_t net);
// The administrator's "Refuse now" on the address `ip`: holds it refused in `table` (db_refuse)
// and, when that was done, in the store in use, so that every server refuses it from its next
// connection. 1 done, 0 table full.
int32_t decision_refuse(db_table *table, uint32_t ip);
// The administrator's "Refuse now" on the network row `net`: holds it refused in `table`
// (db_refuse_network) and, when that was done, in the store in use. 1 done, 0 no room or no
// network table.
int32_t decision_refuse_network(db_table *table, uint32_t net);

enum : int32_t {
    DECISION_SYNC_SECONDS = 5,  // the least time between two syncs with the store
    DECISION_MARK_SECONDS = 15, // a siege mark's life unless its server renews it
};
// The sweeper's sync with the store in use, at most once every DECISION_SYNC_SECONDS, when it
// has one and SiegeFailures or TrustDays is set: pushes this server's siege count and adds the
// other servers' to the ring, sets or drops this server's siege mark and learns whether
// another's is in force, and has `table`'s trusted set learn the entries other servers trusted
// since the last page. True when a sync was made (the siege is then judged again by the caller).
bool decision_sync(db_table *table);
// True when decision_sync has work: a store in use that syncs, and SiegeFailures or TrustDays
// (with a trusted set) set.
bool decision_syncs(db_table *table);
// Forgets the sync's state: the sweeper, as it starts.
void decision_sync_reset();
