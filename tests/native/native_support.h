// Shared by the native tests and fuzz targets: a clock the test drives, a reset of the table,
// the white list and the settings, and addresses built from their octets.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "tests/support/table_text.h"
#include "tracking/ip_db.h"
#include "tracking/range_set.h"
#include "host/base/ip_address.h"
#include "tracking/white_list.h"

enum : int32_t { TEST_CLOCK_START = 1000000000 }; // 2001-09-09, any fixed second will do

// The table's clock in the tests: moved only by the test, read by every thread (relaxed: a
// reader needs a whole second, not an order with other words).
inline std::atomic<int32_t> test_now{TEST_CLOCK_START};
inline int32_t test_clock() { return test_now.load(std::memory_order_relaxed); }

// Points the tables at the test clock, puts the settings back to their defaults, empties the
// white list, and makes a new empty 48-slot table current (the one made before given back).
inline void test_reset()
{
    test_now.store(TEST_CLOCK_START, std::memory_order_relaxed);
    db_clock = test_clock;
    settings_reset();
    siege_reset();
    white_clear();
    test_table_publish();
}

// The address a.b.c.d in network byte order, built byte by byte (no parser involved).
inline uint32_t ip_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t v;
    memcpy(&v, octets, sizeof(v));
    return v;
}

// The octet k (0 = first) of an address in network byte order.
inline uint8_t ip_octet(uint32_t ip, int k)
{
    uint8_t octets[4];
    memcpy(octets, &ip, sizeof(ip));
    return octets[k];
}

// The address `host` (host byte order: the first octet in the top bits) as dotted text.
inline std::string host_dotted(uint32_t host) { char text[IP_TEXT_SIZE]; return {text, (size_t)ip_format(htonl(host), text)}; }

// The bytes of an empty range set: the fixed part every set has.
inline size_t test_range_set_fixed_bytes()
{
    range_set_gather none{};
    range_set *empty = range_set_make(&none, malloc, free);
    size_t bytes = range_set_bytes(empty);
    range_set_free(empty);
    return bytes;
}
