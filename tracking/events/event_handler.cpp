// The POP3 event handler: a decision per connection, a release per login.
#include "tracking/events/event_handler.h"

#include <cstdio>
#include <cstring>

#include "host/base/platform.h"
#include "settings/values/settings.h"
#include "tracking/events/event_gate.h"
#include "tracking/ip_db.h"

int32_t stat_blocked;  // start-up writes, POP3 threads read (see the header)
int32_t stat_max_list; // likewise

enum : int32_t { EVENT_DETAIL_SIZE = 64 }; // a detail line with a network in it

// Refuses the connection: the response line, one report to "Blocked hosts", and the result
// UseShortTerm asks for.
static int32_t event_refuse(host_connection *conn)
{
    if (conn) memcpy(conn->response, REFUSAL_LINE, sizeof(REFUSAL_LINE));
    host_stat_report(stat_blocked, 1);
    return settings.use_short_term.load(std::memory_order_relaxed) ? EVENT_REFUSE_SHORT_TERM
                                                                    : EVENT_REFUSE;
}

// Logs the refusal of `ip` for its network, naming the network as the table counts it.
static void event_log_network_refusal(db_table *table, uint32_t ip)
{
    uint32_t net = db_network_of(table, ip);
    const unsigned char *b = (const unsigned char *)&net;
    char line[EVENT_DETAIL_SIZE];
    snprintf(line, sizeof line, "    connection blocked (network %u.%u.%u.%u/%d)", b[0], b[1],
             b[2], b[3], (int)db_network_bits(table));
    host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, line);
}

// Logs the decision on a connection and turns it into the host's result. `conn` may be null
// (a host that passed no record): the decision is made and logged, nothing is written.
static int32_t event_connect(db_table *table, host_connection *conn, const char *address)
{
    host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: connect from %s", address);
    uint32_t ip = ip_parse(address);
    switch (db_check_connect(table, ip)) {
    case CHECK_BLOCKED:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    connection blocked");
        return event_refuse(conn);
    case CHECK_NETWORK_BLOCKED:
        event_log_network_refusal(table, ip);
        return event_refuse(conn);
    case CHECK_KNOWN:
        host_log_text(LOG_TYPE_POP3_DETAIL, LOG_PRIO_DETAIL, "    found IP, allowed");
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
        db_release(table, ip_parse(address));
        break;
    default:
        host_log_format(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "Tollgate: unexpected call from %s",
                        address);
        break;
    }
    daemon_leave();
    return result;
}
