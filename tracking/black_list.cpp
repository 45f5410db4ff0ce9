// The black list: address ranges refused at every connection.
//
// DESIGN: the entries a load gathers are turned into ranges of host-order addresses, sorted
// and merged where they overlap or touch, so that at most one range can hold an address. A
// decision then finds the last range that begins at or below the address and checks its end.
// To keep that to a step or two, an index of 4096 buckets (the address's first 12 bits) gives
// the first range beginning in each bucket: the search only looks among the ranges that begin
// in the address's own bucket and the one before them. Ranges spread over the address space
// leave a bucket a range or two. A bucket where 32 or more begin (a list crowded into one
// network) gets a second level of 256 spans by the next 8 bits, so that the search looks only
// among the ranges of one /20; only thousands of ranges inside a single /20 take all 12 steps
// of a plain binary search. The whole structure is about 115 KB, written once per start.
#include "tracking/black_list.h"

#include <algorithm>

#include "host/base/ip_address.h"

black_list_t black_list; // see the header for who reads and writes it

// Start-up thread only: the entries gathered since the last black_clear, each the range's
// first address in the high word and its last in the low word (host order), so that sorting
// the words sorts the ranges by their beginnings.
static uint64_t black_gathered[BLACK_MAX];
static int32_t black_gathered_count;

void black_clear()
{
    black_list.count.store(0, std::memory_order_release);
    black_gathered_count = 0;
}

int32_t black_add(const char *text, int32_t prefix)
{
    if (text == nullptr || text[0] == '\0') return 0;
    uint32_t address = ip_parse(text);
    if (address == IP_NONE) return 0;
    if (prefix == 0) return BLACK_PREFIX_ZERO;
    uint32_t mask = prefix_to_mask(prefix);
    if ((address & mask) != address) return 0;
    if (black_gathered_count >= BLACK_MAX) return 0;
    uint32_t first = ntohl(address), last = first | ~ntohl(mask);
    black_gathered[black_gathered_count++] = (uint64_t)first << 32 | last;
    return 1;
}

// For each of the `parts` spans of 2^`shift` addresses from `origin`: the index of the first
// of the sorted ranges[from..to) that begins at or above the span's start, into starts[0 ..
// parts - 1]; starts[parts] is `to`.
static void black_first_at_or_above(const uint64_t *ranges, int32_t from, int32_t to,
                                    int32_t shift, uint32_t origin, int32_t parts,
                                    int32_t *starts)
{
    int32_t j = from;
    for (int32_t k = 0; k < parts; k++) {
        uint32_t span_first = origin + ((uint32_t)k << shift);
        while (j < to && (uint32_t)(ranges[j] >> 32) < span_first) j++;
        starts[k] = j;
    }
    starts[parts] = to;
}

void black_publish()
{
    uint64_t *ranges = black_gathered;
    std::sort(ranges, ranges + black_gathered_count);
    // Merged in place: a range that begins inside the one before it, or right after its end,
    // joins it.
    int32_t n = 0;
    for (int32_t i = 0; i < black_gathered_count; i++) {
        uint32_t first = (uint32_t)(ranges[i] >> 32), last = (uint32_t)ranges[i];
        if (n > 0) {
            uint32_t prev_last = (uint32_t)ranges[n - 1];
            if (prev_last == 0xFFFFFFFFu || first <= prev_last + 1) {
                if (last > prev_last) ranges[n - 1] = (ranges[n - 1] & ~0xFFFFFFFFull) | last;
                continue;
            }
        }
        ranges[n++] = ranges[i];
    }
    // The merged ranges stay gathered: a later black_add and black_publish extend them.
    black_gathered_count = n;
    for (int32_t i = 0; i < n; i++) {
        black_list.range[i].first.store((uint32_t)(ranges[i] >> 32), std::memory_order_relaxed);
        black_list.range[i].last.store((uint32_t)ranges[i], std::memory_order_relaxed);
    }
    int32_t starts[BLACK_BUCKETS + 1];
    black_first_at_or_above(ranges, 0, n, 32 - BLACK_BUCKET_BITS, 0, BLACK_BUCKETS, starts);
    int32_t tables = 0;
    for (int32_t b = 0; b < BLACK_BUCKETS; b++) {
        int32_t sub = 0;
        // At most BLACK_MAX / BLACK_CROWDED buckets can be crowded: there is a table for each.
        if (starts[b + 1] - starts[b] >= BLACK_CROWDED) {
            int32_t subs[BLACK_SUBS + 1];
            black_first_at_or_above(ranges, starts[b], starts[b + 1],
                                    32 - BLACK_BUCKET_BITS - BLACK_SUB_BITS,
                                    (uint32_t)b << (32 - BLACK_BUCKET_BITS), BLACK_SUBS, subs);
            for (int32_t k = 0; k <= BLACK_SUBS; k++)
                black_list.sub_start[tables][k].store((uint16_t)subs[k], std::memory_order_relaxed);
            sub = ++tables;
        }
        black_list.bucket[b].start.store((uint16_t)starts[b], std::memory_order_relaxed);
        black_list.bucket[b].sub.store((uint16_t)sub, std::memory_order_relaxed);
    }
    black_list.bucket[BLACK_BUCKETS].start.store((uint16_t)n, std::memory_order_relaxed);
    black_list.bucket[BLACK_BUCKETS].sub.store(0, std::memory_order_relaxed);
    black_list.count.store(n, std::memory_order_release); // publishes the ranges and the index
}

int32_t black_match(uint32_t address)
{
    if (black_list.count.load(std::memory_order_acquire) == 0) return 0;
    uint32_t x = ntohl(address);
    uint32_t b = x >> (32 - BLACK_BUCKET_BITS);
    int32_t begin = black_list.bucket[b].start.load(std::memory_order_relaxed);
    int32_t end = black_list.bucket[b + 1].start.load(std::memory_order_relaxed);
    if (int32_t sub = black_list.bucket[b].sub.load(std::memory_order_relaxed)) {
        uint32_t s = x >> (32 - BLACK_BUCKET_BITS - BLACK_SUB_BITS) & (BLACK_SUBS - 1);
        begin = black_list.sub_start[sub - 1][s].load(std::memory_order_relaxed);
        end = black_list.sub_start[sub - 1][s + 1].load(std::memory_order_relaxed);
    }
    // The answer is the last range beginning at or below x: one of those beginning in x's
    // span, or else the one before them (it began in an earlier span).
    int32_t base = begin > 0 ? begin - 1 : 0;
    int32_t len = end - base;
    if (len <= 0) return 0;
    while (len > 1) {
        int32_t half = len >> 1;
        base += black_list.range[base + half].first.load(std::memory_order_relaxed) <= x ? half : 0;
        len -= half;
    }
    return black_list.range[base].first.load(std::memory_order_relaxed) <= x &&
           x <= black_list.range[base].last.load(std::memory_order_relaxed);
}
