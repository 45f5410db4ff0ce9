// The list files natively: what the reader takes from a file, line by line, and what a full
// range set costs. Merging and matching are fuzz_lists' part.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/native/native_support.h"
#include "tracking/list_file.h"
#include "tracking/range_set.h"

namespace {

// What a text is read into: the ranges in order ("first-last", or "first" for one address), then
// "| lines skipped first-skipped".
std::string read_file(const std::string &text)
{
    range_set_gather g;
    list_file_counts c;
    range_set_gather_init(&g, RANGE_SET_MAX, malloc, free);
    EXPECT_EQ(list_file_parse(text.data(), text.size(), &g, &c), LIST_FILE_READ);
    std::string out;
    for (int32_t i = 0; i < g.count; i++) {
        uint32_t first = (uint32_t)(g.ranges[i] >> 32), last = (uint32_t)g.ranges[i];
        out += host_dotted(first) + (last != first ? "-" + host_dotted(last) : "") + " ";
    }
    range_set_gather_free(&g);
    return out + "| " + std::to_string(c.lines) + " " + std::to_string(c.skipped) + " " + std::to_string(c.first_skipped);
}

// Files of the forms the format allows, and lines it refuses each alone: what is gathered, in
// order, and the lines counted and skipped that the warning will give.
TEST(ListFile, TakesTheEntriesOfTheFormatAndCountsEveryOtherLine)
{
    const struct { const char *what; std::string text, read; } files[] = {
        {"one address, no line end", "1.2.3.4", "1.2.3.4 | 1 0 0"},
        {"a network, /32, CR LF", "10.0.0.0/8\r\n1.2.3.4/32\r\n", "10.0.0.0-10.255.255.255 1.2.3.4 | 2 0 0"},
        {"the ends of the space", "0.0.0.0/1\n128.0.0.0/1\n0.0.0.0\n255.255.255.255\n",
         "0.0.0.0-127.255.255.255 128.0.0.0-255.255.255.255 0.0.0.0 255.255.255.255 | 4 0 0"},
        {"text after a blank, a tab or ;", "1.10.16.0/20 ; SBL256894\r\n185.1.2.3\t7\n5.6.7.8;x\n9.9.9.9 # n\n",
         "1.10.16.0-1.10.31.255 185.1.2.3 5.6.7.8 9.9.9.9 | 4 0 0"},
        {"a byte order mark, blanks before, comments, blank lines",
         "\xEF\xBB\xBF# DROP\r\n; c\r\n\r\n \t\n  10.0.0.1\n\t# indented\n", "10.0.0.1 | 6 0 0"},
        {"the first skipped line's number", "# c\n1.2.3.4\nbad\n5.6.7.8\nworse", "1.2.3.4 5.6.7.8 | 5 2 3"},
        {"a byte order mark past the start", "1.2.3.4\n\xEF\xBB\xBF" "5.6.7.8\n", "1.2.3.4 | 2 1 2"},
        {"an empty file", "", "| 0 0 0"},
    };
    for (const auto &f : files) EXPECT_EQ(read_file(f.text), f.read) << f.what;
    for (const std::string line : {"256.0.0.1", "1.2.3", "10.1", "1.2.3.4.5", "1..2.3", "010.0.0.1", "1.2.3.1000",
                                   "0x0A.0.0.1", "+1.2.3.4", "1.2.3.4/0", "1.2.3.4/33", "1.2.3.4/", "1.2.3.0/024",
                                   "192.168.1.5/24", "1.2.3.4-1.2.3.9", "10.0.0.0/8/16", "1.2.3.4#x", "10.0.0.0 /8",
                                   "10.0.0.0\t/8", "1.2.3.4\r5.6.7.8", "1.2.3.4\r\r\n"})
        EXPECT_EQ(read_file(line), "| 1 1 1") << line;
    EXPECT_EQ(read_file(std::string("1.2.3.4\0", 8)), "| 1 1 1");
    range_set_gather g{};
    list_file_counts counts;
    EXPECT_EQ(list_file_parse("", (size_t)LIST_FILE_BYTES_MAX + 1, &g, &counts), LIST_FILE_TOO_LARGE);
}

// A full set costs at most 8 bytes a range beside its index however its ranges lie: spread over
// the space; packed so that every /16 they touch is just crowded (its table costs the most a
// boundary); every other address of 32 /16s. Each answers right at both edges of every range, and
// the gathering takes no range past its limit.
TEST(RangeSet, AFullSetTakesAtMostEightBytesARangeBesideItsIndex)
{
    const struct { const char *what; uint32_t per_16, stride; } layouts[] = {
        {"spread", 16, 4096}, {"just crowded", 32, 2048}, {"every other address", 32768, 2}};
    for (const auto &l : layouts) {
        auto first_of = [&l](uint32_t k) { return (k / l.per_16) << 16 | (k % l.per_16) * l.stride; };
        range_set_gather g;
        range_set_gather_init(&g, RANGE_SET_MAX, malloc, free);
        for (uint32_t k = 0; k < RANGE_SET_MAX; k++) ASSERT_EQ(range_set_gather_add(&g, first_of(k), first_of(k)), RANGE_SET_ADDED);
        EXPECT_EQ(range_set_gather_add(&g, 1, 1), RANGE_SET_FULL) << l.what;
        range_set *set = range_set_make(&g, malloc, free);
        range_set_gather_free(&g);
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(range_set_count(set), RANGE_SET_MAX) << l.what;
        EXPECT_LE(range_set_bytes(set), test_range_set_fixed_bytes() + 8 * (size_t)RANGE_SET_MAX) << l.what;
        for (uint32_t k = 0, a = first_of(0); k < RANGE_SET_MAX; a = first_of(++k))
            ASSERT_EQ(range_set_contains(set, htonl(a - 1)) * 4 + range_set_contains(set, htonl(a)) * 2 +
                      range_set_contains(set, htonl(a + 1)), 2) << l.what << " " << host_dotted(a);
        range_set_free(set);
    }
}

} // namespace
