// The black list natively: matching at the edges of every entry against a plain scan of the
// entries, the entries it refuses, and its place in the decision (white first, nothing held).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/native/native_support.h"
#include "tracking/black_list.h"

namespace {

struct BlackListTest : ::testing::Test {
    void SetUp() override
    {
        test_reset();
        black_clear();
    }
};

struct entry {
    uint32_t first; // host order, masked
    int32_t prefix; // as written; outside 1..32 the single address
};

std::string dotted(uint32_t host)
{
    return std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 255) + "." +
           std::to_string(host >> 8 & 255) + "." + std::to_string(host & 255);
}

uint32_t host_mask(int32_t prefix)
{
    return prefix < 1 || prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
}

// The reference: some entry holds the address once both are masked.
bool scan(const std::vector<entry> &entries, uint32_t host)
{
    for (const entry &e : entries)
        if ((host & host_mask(e.prefix)) == e.first) return true;
    return false;
}

// Lists spread over the whole space and crowded into one bucket, of 1 to 4096 entries with
// overlapping, nested and touching ranges, the ends of the space among them; each probed at
// both edges of every entry and at random addresses.
TEST_F(BlackListTest, MatchesAsAScanOfTheEntriesAtEveryEdge)
{
    std::mt19937 random(21);
    const int32_t prefixes[] = {0, 8, 12, 16, 20, 24, 28, 30, 31, 32, 40};
    // A crowded list keeps to narrow entries, which do not swallow the crowd whole.
    const struct { int count; uint32_t base, span_mask; int32_t narrowest; } lists[] = {
        {1, 0, 0xFFFFFFFFu, 0},        {37, 0, 0xFFFFFFFFu, 0},
        {BLACK_MAX, 0, 0xFFFFFFFFu, 0}, {BLACK_MAX, 0x0A000000u, 0x000FFFFFu, 24},
        {500, 0x0A000000u, 0x000003FFu, 30},
    };
    for (const auto &list : lists) {
        SCOPED_TRACE(std::to_string(list.count) + " entries from " + dotted(list.base));
        black_clear();
        std::vector<entry> entries = {{0, 32}, {0xFFFFFFFEu, 31}};
        for (int n = (int)entries.size(); n < list.count; n++) {
            int32_t prefix = prefixes[random() % std::size(prefixes)];
            if (prefix >= 1 && prefix <= 32 && prefix < list.narrowest) prefix = 32;
            uint32_t first = (list.base | ((uint32_t)random() & list.span_mask)) & host_mask(prefix);
            entries.push_back({first, prefix});
        }
        entries.resize(list.count);
        for (const entry &e : entries)
            ASSERT_EQ(black_add(dotted(e.first).c_str(), e.prefix), 1) << dotted(e.first);
        black_publish();
        std::vector<uint32_t> probes;
        for (const entry &e : entries) {
            uint32_t last = e.first | ~host_mask(e.prefix);
            probes.insert(probes.end(), {e.first - 1, e.first, last, last + 1});
        }
        for (int n = 0; n < 2000; n++) probes.push_back(list.base | ((uint32_t)random() & list.span_mask));
        for (uint32_t p : probes)
            ASSERT_EQ(black_match(htonl(p)), scan(entries, p) ? 1 : 0) << dotted(p);
    }
}

TEST_F(BlackListTest, RefusesWhatIsNotOneWholeRangeAndEntriesPastTheLast)
{
    const struct { const char *text; int32_t prefix; } refused[] = {
        {"", 32}, {"letters", 32}, {"255.255.255.255", 32}, {"192.168.1.5", 24}, {"10.0.0.1", 8},
    };
    for (const auto &r : refused) EXPECT_EQ(black_add(r.text, r.prefix), 0) << r.text;
    for (int n = 0; n < BLACK_MAX; n++) ASSERT_EQ(black_add(dotted(0x0B000000u + n).c_str(), 32), 1);
    EXPECT_EQ(black_add("12.0.0.0", 8), 0);
    black_publish();
    EXPECT_EQ(black_match(ip_of(12, 1, 1, 1)), 0);
    EXPECT_EQ(black_match(ip_of(192, 168, 1, 5)), 0);
    EXPECT_EQ(black_match(ip_of(11, 0, 15, 255)), 1);
    EXPECT_EQ(black_match(ip_of(11, 0, 16, 0)), 0);
}

// A black-listed client is refused before the table is looked at, however often it comes and
// whether or not it was held before; the white list wins where both match.
TEST_F(BlackListTest, RefusesBeforeTheTableButAfterTheWhiteList)
{
    db_check_connect("10.0.0.7");
    black_add("10.0.0.0", 24);
    black_publish();
    white_add("10.0.0.9", 32);
    for (int n = 0; n < 10; n++) {
        EXPECT_EQ(db_check_connect("10.0.0.7"), CHECK_BLACK);
        EXPECT_EQ(db_check_connect("10.0.0.8"), CHECK_BLACK);
        EXPECT_EQ(db_check_connect("10.0.0.9"), CHECK_WHITE);
    }
    EXPECT_EQ(db_held(), 1);
    EXPECT_EQ(db_check_connect("10.0.1.1"), CHECK_NEW);
}

// "Refuse now": a held or new address is refused from its next connection whatever the
// allowance, and goes after the quiet time counted from the refusal; a full table refuses it
// nothing.
TEST_F(BlackListTest, RefuseNowHoldsTheAddressRefusedUntilItsQuietTimeEnds)
{
    db_check_connect("10.0.0.7");
    test_now += 100;
    ASSERT_EQ(db_refuse(ip_of(10, 0, 0, 7)), 1);
    ASSERT_EQ(db_refuse(ip_of(10, 0, 0, 8)), 1);
    settings.auth_failures.store(AUTH_FAILURES_MAX);
    EXPECT_EQ(db_check_connect("10.0.0.7"), CHECK_BLOCKED);
    EXPECT_EQ(db_check_connect("10.0.0.8"), CHECK_BLOCKED);
    test_now += CLEAR_TIME_DEFAULT * 60 + 1;
    EXPECT_EQ(db_expire(), 2);
    for (int n = 0; n < DB_SLOTS; n++)
        db_check_connect(("10.1.0." + std::to_string(n)).c_str());
    EXPECT_EQ(db_refuse(ip_of(10, 0, 0, 9)), 0);
    EXPECT_EQ(db_held(), DB_SLOTS);
}

} // namespace
