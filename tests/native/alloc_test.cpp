// Nothing is allocated on the event path after start-up: every decision, a release, an expiry,
// a white-list test and the dialog's walk run with the allocation counter at zero.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/native/alloc_counter.h"
#include "tests/native/native_support.h"

namespace {

// Start-up as the module does it: table and white list emptied, the white list filled.
void start_up()
{
    test_reset();
    for (int n = 0; n < WHITE_MAX; n++) {
        char text[32];
        snprintf(text, sizeof(text), "172.16.%d.0", n);
        ASSERT_EQ(white_add(text, 24), 1);
    }
    white_publish();
}

// Where the control allocations go, so that the optimiser cannot drop them.
void *volatile allocation_sink;

TEST(AllocationCounter, SeesAllocationsOfCAndCxx)
{
    alloc_count_start();
    allocation_sink = malloc(64);
    int64_t after_malloc = alloc_count_stop();
    free(allocation_sink);
    alloc_count_start();
    allocation_sink = new std::string(200, 'x');
    int64_t after_new = alloc_count_stop();
    delete (std::string *)allocation_sink;
    EXPECT_GE(after_malloc, 1) << alloc_count_method();
    EXPECT_GE(after_new, 2) << alloc_count_method(); // the string and its characters
}

// Every kind of event on a started table of `slots` slots, with `clients` distinct addresses
// (more than it holds, so that it fills), counted: nothing may be allocated.
void expect_event_path_allocates_nothing(int32_t slots, int clients)
{
    start_up();
    ASSERT_NE(test_table_publish(slots), nullptr);
    // The texts are made first: the count covers the module's work alone.
    static char tracked[3][1100][32], white[16][32];
    for (int round = 0; round < 3; round++)
        for (int n = 0; n < clients; n++)
            snprintf(tracked[round][n], 32, "10.2.%d.%d", round * 5 + n / 256, n % 256);
    for (int n = 0; n < 16; n++) snprintf(white[n], 32, "172.16.%d.9", n);
    int decisions[5] = {}; // by decision code - CHECK_FULL
    alloc_count_start();
    for (int round = 0; round < 3; round++) {
        // Distinct addresses, seven connections each: new, known, blocked and, past the last
        // slot, full; then white-listed clients, logins, the dialog's walk and expiry.
        for (int n = 0; n < clients; n++)
            for (int k = 0; k < 7; k++) decisions[connect_text(tracked[round][n]) - CHECK_FULL]++;
        for (int n = 0; n < 16; n++) {
            decisions[connect_text(white[n]) - CHECK_FULL]++;
            white_match(ip_of(172, 16, (uint8_t)n, 9));
            white_match(ip_of(10, 2, 0, (uint8_t)n));
        }
        for (int n = 0; n < 20; n++) release_text(tracked[round][n]);
        ip_entry_copy copy;
        db_table *table = db_current();
        for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy)) {
        }
        test_now += 31 * 60;
        db_expire(db_current());
    }
    int64_t allocations = alloc_count_stop();
    EXPECT_EQ(allocations, 0) << alloc_count_method();
    for (int32_t d : {CHECK_FULL, CHECK_WHITE, CHECK_NEW, CHECK_BLOCKED, CHECK_KNOWN})
        EXPECT_GT(decisions[d - CHECK_FULL], 0) << "decision " << d << " was not exercised";
}

TEST(AllocationCounter, EventPathAllocatesNothingAfterStartUp)
{
    expect_event_path_allocates_nothing(DB_SLOTS, 60);
}

TEST(AllocationCounter, EventPathAllocatesNothingOnALargeTable)
{
    expect_event_path_allocates_nothing(1024, 1100);
}

} // namespace
