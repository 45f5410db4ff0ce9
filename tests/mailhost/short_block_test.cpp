// The host's short-term block: an address is refused until its time is up, then forgotten.
#include <gtest/gtest.h>

#include "mailhost/short_block.h"

TEST(MailhostShortBlock, HoldsAnAddressUntilItsTimeIsUp)
{
    short_block_clear();
    short_block_add("10.0.0.7", 1300);
    EXPECT_EQ(short_block_left("10.0.0.7", 1000), 300);
    EXPECT_EQ(short_block_left("10.0.0.8", 1000), 0);
    EXPECT_EQ(short_block_count(1000), 1);
    EXPECT_EQ(short_block_left("10.0.0.7", 1299), 1);
    EXPECT_EQ(short_block_left("10.0.0.7", 1300), 0);
    EXPECT_EQ(short_block_count(1000), 0); // dropped when it was found expired
}

TEST(MailhostShortBlock, ALaterBlockReplacesTheEarlier)
{
    short_block_clear();
    short_block_add("10.0.0.7", 1100);
    short_block_add("10.0.0.7", 1500);
    EXPECT_EQ(short_block_left("10.0.0.7", 1200), 300);
    EXPECT_EQ(short_block_count(1200), 1);
}
