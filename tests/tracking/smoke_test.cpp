#include <gtest/gtest.h>
#include "tracking/white_list.h"
TEST(Smoke, Mask) { EXPECT_EQ(mask_to_prefix(prefix_to_mask(24)), 24); }
