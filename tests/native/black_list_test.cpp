// The black list natively: matching at the edges of every entry against a plain scan of the
// entries, and the entries it refuses; and the table's "refuse now".
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/native/native_support.h"
#include "tracking/black_list.h"

namespace {

std::string dotted(uint32_t host)
{
    return std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 255) + "." +
           std::to_string(host >> 8 & 255) + "." + std::to_string(host & 255);
}

uint32_t host_mask(int32_t prefix)
{
    return prefix < 1 || prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
}

// Lists scattered over the whole space, and crowded into one /12 (a bucket with a second
// level) or one /22, with overlapping, nested and touching entries and the ends of the space;
// probed at both edges of every entry and at random, against a scan of the entries.
TEST(BlackList, MatchesAsAScanOfTheEntriesAtEveryEdge)
{
    std::mt19937 random(21);
    const int32_t prefixes[] = {-8, 8, 12, 16, 20, 24, 28, 30, 31, 32, 40};
    // A crowded list keeps to narrow entries, which do not swallow the crowd whole.
    const struct { int count; uint32_t base, span; int32_t narrowest; } lists[] = {
        {37, 0, 0xFFFFFFFFu, 0}, {BLACK_MAX, 0, 0xFFFFFFFFu, 0},
        {BLACK_MAX, 0x0A000000u, 0x000FFFFFu, 24}, {500, 0x0A000000u, 0x000003FFu, 30}};
    for (const auto &list : lists) {
        SCOPED_TRACE(std::to_string(list.count) + " entries from " + dotted(list.base));
        black_clear();
        std::vector<std::pair<uint32_t, uint32_t>> entries; // first address and mask
        for (int n = 0; n < list.count; n++) {
            int32_t prefix = n == 0 ? 32 : n == 1 ? 31 : prefixes[random() % std::size(prefixes)];
            if (prefix >= 1 && prefix < list.narrowest) prefix = 32;
            uint32_t mask = host_mask(prefix);
            uint32_t first = n == 0 ? 0 : n == 1 ? 0xFFFFFFFEu : (list.base | ((uint32_t)random() & list.span)) & mask;
            ASSERT_EQ(black_add(dotted(first).c_str(), prefix), 1) << dotted(first);
            entries.push_back({first, mask});
        }
        black_publish();
        std::vector<uint32_t> probes;
        for (auto [first, mask] : entries) probes.insert(probes.end(), {first - 1, first, first | ~mask, (first | ~mask) + 1});
        for (int n = 0; n < 2000; n++) probes.push_back(list.base | ((uint32_t)random() & list.span));
        for (uint32_t p : probes) {
            bool held = false;
            for (auto [first, mask] : entries) held |= (p & mask) == first;
            ASSERT_EQ(black_match(htonl(p)), held ? 1 : 0) << dotted(p);
        }
    }
}

// Not an address, 255.255.255.255, bits beyond the prefix, a /0 entry (which reads as every
// address) and a 4097th entry are refused and match nothing.
TEST(BlackList, RefusesWhatIsNotOneWholeRangeAndEntriesPastTheLast)
{
    black_clear();
    const struct { const char *text; int32_t refusal; } refused[] = {
        {"", 0}, {"letters", 0}, {"255.255.255.255/32", 0}, {"192.168.1.5/24", 0}, {"10.0.0.1/8", 0},
        {"0.0.0.0/0", BLACK_PREFIX_ZERO}, {"0.0.0.0/", BLACK_PREFIX_ZERO}, {"10.0.0.1/x", BLACK_PREFIX_ZERO}};
    for (const auto &r : refused) {
        std::string entry = r.text;
        int32_t prefix = ip_split_entry(entry.data(), 0);
        EXPECT_EQ(black_add(entry.c_str(), prefix), r.refusal) << r.text;
    }
    for (int n = 0; n < BLACK_MAX; n++) ASSERT_EQ(black_add(dotted(0x0B000000u + n).c_str(), 32), 1);
    EXPECT_EQ(black_add("12.0.0.0", 8), 0);
    black_publish();
    for (uint32_t ip : {ip_of(12, 1, 1, 1), ip_of(192, 168, 1, 5), ip_of(10, 0, 0, 1), ip_of(11, 0, 16, 0), ip_of(0, 0, 0, 0)})
        EXPECT_EQ(black_match(ip), 0) << dotted(ntohl(ip));
    EXPECT_EQ(black_match(ip_of(11, 0, 15, 255)), 1);
}

// "Refuse now" holds a held or a new address refused from its next connection, whatever the
// allowance; a full table can hold no new one.
TEST(TableRefuse, HoldsTheAddressPastAnyAllowance)
{
    test_reset();
    connect_text("10.0.0.7");
    ASSERT_EQ(db_refuse(db_current(), ip_of(10, 0, 0, 7)), 1);
    ASSERT_EQ(db_refuse(db_current(), ip_of(10, 0, 0, 8)), 1);
    settings.auth_failures.store(AUTH_FAILURES_MAX);
    EXPECT_EQ(connect_text("10.0.0.7"), CHECK_BLOCKED);
    EXPECT_EQ(connect_text("10.0.0.8"), CHECK_BLOCKED);
    for (int n = 2; n < DB_SLOTS; n++) connect_text(("10.1.0." + std::to_string(n)).c_str());
    EXPECT_EQ(db_refuse(db_current(), ip_of(10, 0, 0, 9)), 0);
}

// A network row of the list: "Refuse now" refuses every address of the network from its next
// connection, whatever NetworkFailures is; "Forget" lets them in again.
TEST(TableRefuse, ANetworkIsRefusedAndForgottenAsAWhole)
{
    test_reset();
    test_count_networks(24, NETWORK_FAILURES_MAX);
    uint32_t net = ip_of(10, 9, 9, 0);
    EXPECT_EQ(db_refuse_network(db_current(), net), 1);
    EXPECT_EQ(connect_text("10.9.9.77"), CHECK_NETWORK_BLOCKED);
    db_forget_network(db_current(), net);
    EXPECT_EQ(connect_text("10.9.9.77"), CHECK_NEW);
}

} // namespace
