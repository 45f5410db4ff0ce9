// A started module inside the test process: the shared host record installed as the module's
// interface copy, an empty table of the test's own made current, default settings, and a clock
// the test sets.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "host/daemon.h"
#include "host/base/host_interface.h"
#include "host/stats.h"
#include "mailhost/host_side.h"
#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "tests/support/table_text.h"
#include "tracking/ip_db.h"
#include "host/base/ip_address.h"
#include "tracking/white_list.h"

// The test clock: seconds since 1970, moved by the test.
inline std::atomic<int32_t> test_now{1700000000};
inline int32_t test_clock() { return test_now.load(); }

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_side_reset();
        host_copy = host_side_record();
        test_now = 1700000000;
        db_clock = test_clock;
        settings_reset();
        stat_blocked = 0;
        stat_max_list = 0;
        white_clear();
        test_table_publish();
        daemon_started = 1;
    }
    void TearDown() override
    {
        daemon_started = 0;
        test_table_give_back();
        host_copy = nullptr;
    }

    // The held slots of `table` (the current one unless named), in index order, as db_next
    // hands them out.
    static std::vector<ip_entry_copy> held(db_table *table = db_current())
    {
        std::vector<ip_entry_copy> slots;
        ip_entry_copy copy{};
        for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy))
            slots.push_back(copy);
        return slots;
    }
    // The slot index holding `text`, or -1.
    static int32_t slot_of(const char *text, db_table *table = db_current())
    {
        ip_entry_copy copy{};
        for (int32_t i = db_next(table, -1, &copy); i >= 0; i = db_next(table, i, &copy))
            if (copy.ip == ip_parse(text)) return i;
        return -1;
    }
};
