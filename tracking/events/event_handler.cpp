// The POP3 event handler: a decision per connection, a release per login.
#include "tracking/events/event_handler.h"

#include <cstdio>
#include <cstring>

#include "host/base/ip_address.h"
#include "settings/values/settings.h"
#include "tracking/events/event_gate.h"
#include "tracking/ip_db.h"
#include "tracking/shared/shared_store.h"

int32_t stat_blocked;  // start-up writes, POP3 threads read (see the header)
int32_t stat_max_list; // likewise

enum : int32_t { EVENT_DETAIL_SIZE = 64 }; // a detail line with a network in it

// Refuses a connection: logs `detail`, writes the refusal line (when there is a record),
// counts it in "Blocked hosts" and gives the host's refusal result.
static int32_t event_refuse(host_connection *conn, const char *detail)
{
    host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, detail);
    if (conn) memcpy(conn->response, REFUSAL_LINE, sizeof(REFUSAL_LINE));
    host_stat_report(stat_blocked, 1);
    return settings.use_short_term.load(std::memory_order_relaxed) ? EVENT_REFUSE_SHORT_TERM
                                                                    : EVENT_REFUSE;
}

// The shared store's view of the network of `ip`, when the table counts networks: into *out,
// and returned; null when it does not.
static const shared_network *event_shared_network(db_table *table, uint32_t ip,
                                                  shared_network *out)
{
    if (db_networks(table) == nullptr) return nullptr;
    out->address = db_network_of(table, ip);
    out->bits = db_network_bits(table);
    out->allowance = settings.network_failures.load(std::memory_order_relaxed);
    return out;
}

// Refuses the connection of `ip` for its network, naming the network as the table counts it.
static int32_t event_refuse_network(host_connection *conn, db_table *table, uint32_t ip)
{
    char network[IP_ENTRY_TEXT_SIZE];
    ip_format_entry(db_network_of(table, ip), db_network_bits(table), network);
    char line[EVENT_DETAIL_SIZE];
    snprintf(line, sizeof line, "    connection blocked (network %s)", network);
    return event_refuse(conn, line);
}

// Logs the decision on a connection and turns it into the host's result. `conn` may be null
// (a host that passed no record): the decision is made and logged, nothing is written.
static int32_t event_connect(db_table *table, host_connection *conn, const char *address)
{
    host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: connect from %s", address);
    uint32_t ip = ip_parse(address);
    int32_t offences = 0;
    int32_t decision = db_check_connect(table, ip, &offences);
    // The counts shared with the other servers, after the local decision: they can only add a
    // refusal. Nothing happens here without a store.
    int32_t shared = SHARED_NO_ANSWER;
    if (decision != CHECK_WHITE && decision != CHECK_BLACK && shared_store_on()) {
        shared_network network;
        bool let_in = decision != CHECK_BLOCKED && decision != CHECK_NETWORK_BLOCKED;
        int32_t allowance = settings.auth_failures.load(std::memory_order_relaxed);
        shared = shared_store_connect(ip, allowance, let_in,
                                      event_shared_network(table, ip, &network));
        if (!let_in || shared < SHARED_REFUSED) {
            shared = SHARED_NO_ANSWER; // the local refusal stands, or nothing more to refuse
        } else {
            // A refused new address is still held here: the peak counts it as it would have.
            if (decision == CHECK_NEW) host_stat_report(stat_max_list, db_held(table));
            decision = shared == SHARED_REFUSED_NETWORK ? CHECK_NETWORK_BLOCKED : CHECK_BLOCKED;
        }
    }
    switch (decision) {
    case CHECK_BLOCKED:
        return event_refuse(conn, shared == SHARED_REFUSED ? "    connection blocked (shared count)"
                                                           : "    connection blocked");
    case CHECK_NETWORK_BLOCKED:
        return event_refuse_network(conn, table, ip);
    case CHECK_BLACK:
        return event_refuse(conn, "    connection blocked (black list)");
    case CHECK_KNOWN:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    found IP, allowed");
        return EVENT_GO_ON;
    case CHECK_OFFENDER:
        host_log_format(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    known offender (%d), allowed",
                        offences);
        return EVENT_GO_ON;
    case CHECK_NEW:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    new IP, allowed");
        host_stat_report(stat_max_list, db_held(table));
        return EVENT_GO_ON;
    case CHECK_WHITE:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    whitelisted");
        return EVENT_GO_ON;
    default: // CHECK_FULL
        host_log_text(LOG_TYPE_POP3, LOG_PRIO_WARNING, "Tollgate:  DB full, connection allowed");
        return EVENT_GO_ON;
    }
}

// The log line of a login event of kind `code`.
static const char *event_login_format(int32_t code)
{
    return code == EVENT_LOGIN  ? "Tollgate: login from %s"
           : code == EVENT_APOP ? "Tollgate: APOP auth from %s"
                                : "Tollgate: OtherAuth from %s";
}

void event_forget(db_table *table, uint32_t ip)
{
    db_release(table, ip);
    shared_network network;
    if (shared_store_on()) shared_store_login(ip, event_shared_network(table, ip, &network));
}

// Dispatches one host event. Every path returns 0, -1 or -3; a call that arrives while the
// daemon is not started (before start-up, during or after shutdown) returns 0 untouched.
extern "C" int32_t __cdecl event_handler(int32_t, int32_t code, host_connection *conn)
{
    if (!daemon_enter()) return EVENT_GO_ON;
    const char *address = conn ? host_client_address(conn) : "";
    db_table *table = db_current();
    int32_t result = EVENT_GO_ON;
    switch (code) {
    case EVENT_CONNECT2:
        result = event_connect(table, conn, address);
        break;
    case EVENT_LOGIN:
    case EVENT_APOP:
    case EVENT_AUTH_OTHER: // a login of any kind forgets the address
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, event_login_format(code), address);
        event_forget(table, ip_parse(address));
        break;
    default:
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: unexpected call from %s",
                        address);
        break;
    }
    daemon_leave();
    return result;
}
