// The POP3 event handler: a decision per connection, a release per login.
#include "tracking/events/event_handler.h"

#include <cstdio>
#include <cstring>

#include "host/base/ip_address.h"
#include "settings/values/settings.h"
#include "tracking/decision.h"
#include "tracking/events/event_gate.h"

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

// Refuses a connection for its network, naming the network as the table counts it.
static int32_t event_refuse_network(host_connection *conn, const db_decision &decision)
{
    char network[IP_ENTRY_TEXT_SIZE];
    ip_format_entry(decision.network, decision.network_bits, network);
    char line[EVENT_DETAIL_SIZE];
    snprintf(line, sizeof line, "    connection blocked (network %s)", network);
    return event_refuse(conn, line);
}

void event_log_siege(const siege_news &news)
{
    if (news.kind == SIEGE_BEGAN)
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_WARNING,
                        "Tollgate: under siege: %d connections without a login in the last "
                        "minute; untrusted addresses get %d",
                        news.count, news.allowance);
    else if (news.kind == SIEGE_ENDED)
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_INFO,
                        "Tollgate: siege over after %d min: %d connections refused", news.minutes,
                        news.refused);
}

// Logs the decision on a connection and turns it into the host's result. `conn` may be null
// (a host that passed no record): the decision is made and logged, nothing is written.
static int32_t event_connect(db_table *table, host_connection *conn, const char *address)
{
    host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: connect from %s", address);
    const db_decision decision = decision_connect(table, ip_parse(address));
    event_log_siege(decision.siege);
    // A new address refused by the shared counts is still held here: the peak counts it as it
    // would have.
    if (decision.claimed && decision.verdict != CHECK_NEW)
        host_stat_report(stat_max_list, decision.held);
    switch (decision.verdict) {
    case CHECK_BLOCKED:
        return event_refuse(conn, decision.shared ? "    connection blocked (shared count)"
                                                  : "    connection blocked");
    case CHECK_NETWORK_BLOCKED:
        return event_refuse_network(conn, decision);
    case CHECK_BLACK:
        return event_refuse(conn, "    connection blocked (black list)");
    case CHECK_NOT_ALLOWED:
        return event_refuse(conn, "    connection blocked (not on the allow list)");
    case CHECK_SIEGE_BLOCKED:
        return event_refuse(conn, "    connection blocked (siege)");
    case CHECK_KNOWN:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    found IP, allowed");
        return EVENT_GO_ON;
    case CHECK_OFFENDER:
        host_log_format(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    known offender (%d), allowed",
                        decision.offences);
        return EVENT_GO_ON;
    case CHECK_NEW:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    new IP, allowed");
        host_stat_report(stat_max_list, decision.held);
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

// Dispatches one host event. Every path returns 0, -1 or -3; a call that arrives while the
// daemon is not started (before start-up, during or after shutdown) returns 0 untouched.
extern "C" int32_t __cdecl event_handler(int32_t, int32_t code, host_connection *conn)
{
    int32_t counted = event_call_enter();
    if (counted < 0) return EVENT_GO_ON;
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
        decision_login(table, ip_parse(address));
        break;
    default:
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: unexpected call from %s",
                        address);
        break;
    }
    event_call_leave(counted);
    return result;
}
