// The white list natively: matching by address and mask, the 16-entry limit, the masks of
// prefix lengths, and the split of an "address/prefix" entry text.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/native/native_support.h"

namespace {

struct WhiteListTest : ::testing::Test {
    void SetUp() override { test_reset(); }
};

TEST_F(WhiteListTest, MatchesByAddressAndMask)
{
    const struct {
        const char *entry;
        int32_t prefix;
        uint32_t address;
        bool match;
    } cases[] = {
        {"192.168.1.0", 24, ip_of(192, 168, 1, 77), true},
        {"192.168.1.0", 24, ip_of(192, 168, 2, 77), false},
        {"192.168.1.5", 24, ip_of(192, 168, 1, 5), false}, // stored unmasked: matches nothing
        {"192.168.16.0", 20, ip_of(192, 168, 31, 5), true},
        {"192.168.16.0", 20, ip_of(192, 168, 32, 1), false},
        {"10.0.0.0", 0, ip_of(10, 0, 0, 0), true},
        {"10.0.0.0", 0, ip_of(10, 0, 0, 1), false},
        {"10.0.0.0", 40, ip_of(10, 0, 0, 0), true},
        {"10.0.0.0", 40, ip_of(10, 0, 0, 1), false},
        {"10.0.0.0", 8, ip_of(10, 255, 1, 2), true},
        {"128.0.0.0", 1, ip_of(200, 1, 1, 1), true},
        {"128.0.0.0", 1, ip_of(127, 1, 1, 1), false},
    };
    for (const auto &c : cases) {
        white_clear();
        ASSERT_EQ(white_add(c.entry, c.prefix), 1) << c.entry;
        white_publish();
        EXPECT_EQ(white_match(c.address), c.match ? 1 : 0) << c.entry << "/" << c.prefix;
    }
}

TEST_F(WhiteListTest, RefusesTextsTheParserRejects)
{
    for (const char *text : {"", "letters", "255.255.255.255", "1.2.3.4.5"}) {
        EXPECT_EQ(white_add(text, 24), 0) << text;
        white_publish();
        EXPECT_EQ(white_count(), 0) << text;
    }
    EXPECT_EQ(white_add(nullptr, 24), 0);
    EXPECT_EQ(white_match(IP_NONE), 0);
}

TEST_F(WhiteListTest, SeventeenthEntryIsRefusedAndLeavesTheListUnchanged)
{
    for (int n = 0; n < WHITE_MAX; n++)
        ASSERT_EQ(white_add(("172.16." + std::to_string(n) + ".0").c_str(), 24), 1) << n;
    EXPECT_EQ(white_add("10.0.0.0", 8), 0);
    white_publish();
    EXPECT_EQ(white_count(), WHITE_MAX);
    EXPECT_EQ(white_match(ip_of(10, 1, 1, 1)), 0);
    EXPECT_EQ(white_match(ip_of(172, 16, 15, 9)), 1);
}

TEST_F(WhiteListTest, ClearEmptiesTheList)
{
    white_add("10.0.0.0", 8);
    white_publish();
    white_clear();
    EXPECT_EQ(white_count(), 0);
    EXPECT_EQ(white_match(ip_of(10, 1, 1, 1)), 0);
}

TEST(Masks, PrefixSelectsLeadingBitsInNetworkOrder)
{
    const struct { int32_t n; uint32_t mask; } cases[] = {
        {1, ip_of(128, 0, 0, 0)},      {8, ip_of(255, 0, 0, 0)},
        {20, ip_of(255, 255, 240, 0)}, {24, ip_of(255, 255, 255, 0)},
        {31, ip_of(255, 255, 255, 254)}, {32, IP_NONE},
        {0, IP_NONE}, {-1, IP_NONE}, {33, IP_NONE}, {INT32_MIN, IP_NONE}, {INT32_MAX, IP_NONE},
    };
    for (const auto &c : cases) EXPECT_EQ(prefix_to_mask(c.n), c.mask) << c.n;
}

TEST(Masks, PrefixOfMaskInvertsPrefixToMask)
{
    for (int32_t n = -5; n <= 40; n++)
        EXPECT_EQ(mask_to_prefix(prefix_to_mask(n)), n >= 1 && n <= 32 ? n : 32) << n;
    EXPECT_EQ(mask_to_prefix(0), 0);
    EXPECT_EQ(mask_to_prefix(ip_of(255, 0, 255, 0)), 0) << "not a run of leading ones";
    EXPECT_EQ(mask_to_prefix(ip_of(0, 0, 0, 255)), 0);
}

TEST(SplitEntry, CutsAtTheFirstSlashAndReadsThePrefixLikePercentD)
{
    const struct {
        const char *text;
        const char *address;
        int32_t prefix_if_none_0;  // with no_number 0
        int32_t prefix_if_none_32; // with no_number 32
    } cases[] = {
        {"10.0.0.0/8", "10.0.0.0", 8, 8},
        {"192.168.1.5", "192.168.1.5", 32, 32},
        {"10.0.0.0/", "10.0.0.0", 0, 32},
        {"172.16.0.0/x", "172.16.0.0", 0, 32},
        {"1.2.3.4/24x", "1.2.3.4", 24, 24},
        {"1.2.3.4/ \t-3", "1.2.3.4", -3, -3},
        {"1.2.3.4/+7", "1.2.3.4", 7, 7},
        {"1.2.3.4/- 7", "1.2.3.4", 0, 32},
        {"1.2.3.4/8/16", "1.2.3.4", 8, 8},
        {"/5", "", 5, 5},
        {"1.2.3.4/99999999999999999999", "1.2.3.4", INT32_MAX, INT32_MAX},
        {"1.2.3.4/-2147483648", "1.2.3.4", INT32_MIN, INT32_MIN},
        {"1.2.3.4/-99999999999", "1.2.3.4", INT32_MIN, INT32_MIN},
        {"", "", 32, 32},
    };
    for (const auto &c : cases) {
        for (int32_t no_number : {0, 32}) {
            std::string text = c.text;
            int32_t prefix = ip_split_entry(text.data(), no_number);
            EXPECT_EQ(prefix, no_number == 0 ? c.prefix_if_none_0 : c.prefix_if_none_32)
                << c.text << " with no_number " << no_number;
            EXPECT_STREQ(text.c_str(), c.address) << c.text;
        }
    }
}

} // namespace
