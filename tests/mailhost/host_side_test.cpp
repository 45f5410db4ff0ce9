// The host's side of the interface when it is not recording: a host serving for hours keeps no
// line and no call, yet its sink sees every line and its statistics still count.
#include <gtest/gtest.h>

#include "mailhost/host_side.h"

static int sink_lines; // test thread only
static void count_line(const host_log_line &) { sink_lines++; }

TEST(MailhostHostSide, WithoutRecordingNothingGrowsButTheSinkAndStatisticsSeeAll)
{
    host_side_reset();
    host_side_set_log_sink(count_line);
    host_side_set_recording(false);
    host_interface *record = host_side_record();
    int32_t module = record->stat_module_create("Tollgate");
    int32_t category = record->stat_category_create(module, "Blocked hosts", 0, 0, 0, 1);
    sink_lines = 0;
    for (int i = 0; i < 1000; i++) {
        record->log_text(0, 25, "line");
        record->log_format(0, 25, "line %d", i);
        record->stat_report(category, 1);
    }
    EXPECT_EQ(sink_lines, 2000);
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_TRUE(host_side_calls().empty());
    host_stat_category blocked{};
    ASSERT_TRUE(host_side_category("Tollgate", "Blocked hosts", &blocked));
    EXPECT_EQ(blocked.total, 1000);
    host_side_set_log_sink(nullptr);
}
