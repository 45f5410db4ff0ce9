// The host's side of the interface when it is not recording: a host serving for hours keeps no
// line and no call, yet its sink sees every line and its statistics still count.
#include <gtest/gtest.h>

#include "mailhost/host_side.h"

static int sink_lines; // test thread only

TEST(MailhostHostSide, WithoutRecordingNothingGrowsButTheSinkAndStatisticsSeeAll)
{
    host_side_reset();
    host_side_set_log_sink([](const host_log_line &) { sink_lines++; });
    host_side_set_recording(false);
    host_interface *r = host_side_record();
    int32_t category = r->stat_category_create(r->stat_module_create("Tollgate"), "Blocked hosts",
                                               0, 0, 0, 1);
    for (int i = 0; i < 1000; i++) {
        r->log_text(0, 25, "line");
        r->log_format(0, 25, "line %d", i);
        r->stat_report(category, 1);
    }
    host_stat_category blocked{};
    ASSERT_TRUE(host_side_category("Tollgate", "Blocked hosts", &blocked));
    EXPECT_EQ(blocked.total, 1000);
    EXPECT_EQ(sink_lines, 2000);
    EXPECT_TRUE(host_side_log().empty());
    EXPECT_TRUE(host_side_calls().empty());
    host_side_set_log_sink(nullptr);
}
