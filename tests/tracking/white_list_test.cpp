// The white list's rules: masks, matching, capacity, and the entry text form.
#include <cstring>

#include "tests/support/module_fixture.h"

using WhiteList = ModuleTest;

struct MatchCase {
    const char *entry;
    int32_t prefix;
    const char *client;
    bool matches;
};

class WhiteListMatch : public ModuleTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(WhiteListMatch, ClientMatchesWhenItsMaskedAddressEqualsTheEntry)
{
    const MatchCase c = GetParam();
    ASSERT_EQ(white_add(c.entry, c.prefix), 1);
    white_publish();
    EXPECT_EQ(white_match(ip_parse(c.client)), c.matches ? 1 : 0)
        << c.entry << "/" << c.prefix << " vs " << c.client;
}

INSTANTIATE_TEST_SUITE_P(
    WhiteList, WhiteListMatch,
    ::testing::Values(MatchCase{"192.168.1.0", 24, "192.168.1.77", true},
                      MatchCase{"192.168.1.0", 24, "192.168.2.77", false},
                      // Host bits outside the mask: the stored address is not masked.
                      MatchCase{"192.168.1.5", 24, "192.168.1.5", false},
                      MatchCase{"192.168.1.5", 24, "192.168.1.77", false},
                      MatchCase{"192.168.16.0", 20, "192.168.31.5", true},
                      MatchCase{"192.168.16.0", 20, "192.168.32.1", false},
                      MatchCase{"192.168.16.0", 20, "192.168.15.255", false},
                      MatchCase{"10.0.0.0", 8, "10.255.1.2", true},
                      // Out-of-range prefixes stand for the single address.
                      MatchCase{"10.0.0.0", 0, "10.0.0.0", true},
                      MatchCase{"10.0.0.0", 0, "10.0.0.1", false},
                      MatchCase{"10.0.0.0", 40, "10.0.0.0", true},
                      MatchCase{"10.0.0.0", 40, "10.0.0.1", false},
                      MatchCase{"10.0.0.0", -8, "10.0.0.0", true},
                      MatchCase{"10.1.2.3", 32, "10.1.2.3", true},
                      MatchCase{"10.1.2.3", 32, "10.1.2.4", false},
                      MatchCase{"128.0.0.0", 1, "200.1.1.1", true},
                      MatchCase{"128.0.0.0", 1, "127.255.255.255", false}));

TEST_F(WhiteList, PrefixAndMaskRoundTripWithinOneToThirtyTwo)
{
    for (int32_t n = -40; n <= 70; n++) {
        int32_t expected = (n >= 1 && n <= 32) ? n : 32;
        EXPECT_EQ(mask_to_prefix(prefix_to_mask(n)), expected) << n;
    }
}

TEST_F(WhiteList, MaskIsInNetworkOrder)
{
    EXPECT_EQ(prefix_to_mask(24), ip_parse("255.255.255.0"));
    EXPECT_EQ(prefix_to_mask(20), ip_parse("255.255.240.0"));
    EXPECT_EQ(prefix_to_mask(8), ip_parse("255.0.0.0"));
    EXPECT_EQ(prefix_to_mask(1), ip_parse("128.0.0.0"));
}

TEST_F(WhiteList, MaskThatIsNotALeadingRunGivesZero)
{
    EXPECT_EQ(mask_to_prefix(0), 0);
    EXPECT_EQ(mask_to_prefix(IP_NONE), 32);
    EXPECT_EQ(mask_to_prefix(ip_parse("255.0.255.0")), 0);
    EXPECT_EQ(mask_to_prefix(ip_parse("0.0.0.255")), 0);
    EXPECT_EQ(mask_to_prefix(ip_parse("255.255.255.254")), 31);
}

TEST_F(WhiteList, RefusesTextsThatAreNotAddresses)
{
    for (const char *text : {"", "abc", "255.255.255.255", "1.2.3.4.5"}) {
        EXPECT_EQ(white_add(text, 24), 0) << text;
    }
    EXPECT_EQ(white_add(nullptr, 24), 0);
    white_publish();
    EXPECT_EQ(white_count(), 0);
}

TEST_F(WhiteList, SeventeenthEntryIsRefusedAndTheListUnchanged)
{
    for (int i = 0; i < WHITE_MAX; i++) {
        std::string text = "10.0." + std::to_string(i) + ".0";
        ASSERT_EQ(white_add(text.c_str(), 24), 1) << i;
    }
    EXPECT_EQ(white_add("172.16.0.0", 12), 0);
    white_publish();
    EXPECT_EQ(white_count(), WHITE_MAX);
    EXPECT_EQ(white_match(ip_parse("172.16.0.1")), 0);
    EXPECT_EQ(white_match(ip_parse("10.0.15.9")), 1);
}

TEST_F(WhiteList, EntriesKeepTheirAddressAsWritten)
{
    white_add("10.1", 16); // short dotted form: 10.0.0.1
    white_publish();
    uint32_t address, mask;
    white_entry(0, &address, &mask);
    EXPECT_EQ(address, ip_parse("10.0.0.1"));
    EXPECT_EQ(mask, prefix_to_mask(16));
}

struct SplitCase {
    const char *text;
    int32_t no_number;
    const char *address;
    int32_t prefix;
};

class WhiteListEntryText : public ModuleTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(WhiteListEntryText, SplitsAtTheFirstSlashAndReadsTheLeadingNumber)
{
    const SplitCase c = GetParam();
    char text[WHITE_TEXT_SIZE];
    snprintf(text, sizeof(text), "%s", c.text);
    EXPECT_EQ(ip_split_entry(text, c.no_number), c.prefix) << c.text;
    EXPECT_STREQ(text, c.address) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    WhiteList, WhiteListEntryText,
    ::testing::Values(SplitCase{"10.1.2.3", 0, "10.1.2.3", 32},
                      SplitCase{"10.1.0.0/16", 0, "10.1.0.0", 16},
                      SplitCase{"10.0.0.0/", 0, "10.0.0.0", 0},
                      SplitCase{"10.0.0.0/", 32, "10.0.0.0", 32},
                      SplitCase{"10.0.0.0/x", 0, "10.0.0.0", 0},
                      SplitCase{"172.16.0.0/x", 32, "172.16.0.0", 32},
                      SplitCase{"10.0.0.0/24x", 0, "10.0.0.0", 24},
                      SplitCase{"10.0.0.0/ 24", 0, "10.0.0.0", 24},
                      SplitCase{"10.0.0.0/-8", 0, "10.0.0.0", -8},
                      SplitCase{"10.0.0.0/+8", 0, "10.0.0.0", 8},
                      SplitCase{"10.0.0.0/40", 0, "10.0.0.0", 40},
                      SplitCase{"10.0.0.0/8/16", 0, "10.0.0.0", 8},
                      SplitCase{"10.0.0.0/99999999999", 0, "10.0.0.0", INT32_MAX},
                      SplitCase{"10.0.0.0/-99999999999", 0, "10.0.0.0", INT32_MIN},
                      SplitCase{"/24", 0, "", 24}));
