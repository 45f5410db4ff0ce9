// Tests' access to the address table: a fresh table of their own made current, and the table's
// calls with the address given as text, parsed once as the event handler parses it.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "host/base/ip_address.h"
#include "tracking/decision.h"
#include "tracking/ip_db.h"

// Makes an empty table of `slots` slots the current table and gives back the one made current
// before (the reserve stays). No other thread may be inside either.
inline db_table *test_table_publish(int32_t slots = DB_SLOTS)
{
    db_table *table = db_table_make(slots, malloc, free);
    db_publish(table);
    db_give_back_retired();
    return table;
}

// The verdict on a connection from `ip` (network byte order), or from `text`, decided as the
// event handler decides it, and the login from `text`, on `table` (the current one unless
// named).
inline int32_t connect_ip(uint32_t ip, db_table *table = db_current())
{
    return decision_connect(table, ip).verdict;
}
inline int32_t connect_text(const char *text, db_table *table = db_current())
{
    return connect_ip(ip_parse(text), table);
}
inline int32_t release_text(const char *text, db_table *table = db_current())
{
    return db_release(table, ip_parse(text));
}

// Makes the current table count networks of `bits` bits, `failures` allowed; the network table.
inline db_table *test_count_networks(int32_t bits, int32_t failures)
{
    settings.network_failures.store(failures);
    db_set_networks(db_current(), db_table_make(db_capacity(db_current()), malloc, free), bits);
    return db_networks(db_current());
}

// Makes the reserve current again and gives back the table the test made.
inline void test_table_give_back()
{
    db_publish(db_table_reserve());
    db_give_back_retired();
}
