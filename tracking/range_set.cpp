// The range set: address ranges merged into a read-only block that answers "is this address in
// a range?" in a step or two.
//
// DESIGN
//
// Boundaries
// The gathered ranges are sorted and merged where they overlap or touch, so that no two share or
// neighbour an address. The set keeps only their boundaries, in one rising sequence: each range's
// first address, and the address after its last (none for a range that ends at 255.255.255.255).
// An address lies in a range exactly when an odd number of boundaries lie at or below it, so one
// search answers, with no second look at a range's end.
//
// Index and 16-bit boundaries
// The address space is cut into 65,536 buckets by an address's first 16 bits. A bucket's
// boundaries share those bits, so each is stored as its low 16 bits, 2 bytes, in the bucket's run
// of the sequence. One 32-bit index word per bucket holds the position of its first boundary (25
// bits) and how many it has (7 bits): a decision reads that one word, then searches the run.
// Lists spread over the space leave a bucket a few boundaries, one or two cache lines; a million
// ranges average 32 to a bucket. The index is 256 KB whatever the list: the set's fixed part.
//
// Crowded buckets
// A bucket of 64 boundaries or more (a list crowded into one /16) gets a table of spans instead:
// the bucket cut into a power of two of equal spans, a quarter as many as its boundaries or a
// little fewer, each span's first position and then the bucket's end. Its index word holds the
// table's place and, in the count's bits, 64 + the span's size in bits, which no plain count
// reaches. The search then looks among one span's boundaries, 4 to 8 on average however crowded
// the bucket. A table costs at most a word for every 4 boundaries, plus one: at most 1.07 bytes a
// boundary, so a set takes at most 3.07 bytes a boundary, 6.2 a range, beside the index.
//
// Building
// Two passes over the merged ranges: the first counts the boundaries and the crowded buckets'
// table words, so that the block is asked for once at its exact size; the second writes the
// boundaries and the index, then each crowded bucket's table. Lists as published are sorted
// already: the gathering is sorted only when it is not.
#include "tracking/range_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

enum : uint32_t {
    RANGE_SET_BUCKET_BITS = 16,
    RANGE_SET_BUCKETS = 1u << RANGE_SET_BUCKET_BITS,
    RANGE_SET_COUNT_BITS = 7,      // an index word's count, or a crowded bucket's mark
    RANGE_SET_CROWDED = 64,        // boundaries that make a bucket crowded; its mark is this + the
                                   // span's size in bits
    RANGE_SET_PER_SPAN = 4,        // a crowded bucket's boundaries per span, at least
    RANGE_SET_ALIGN = 64,          // a cache line
    RANGE_SET_GATHER_FIRST = 1024, // a gathering's first room
};
static_assert(RANGE_SET_CROWDED + RANGE_SET_BUCKET_BITS < 1u << RANGE_SET_COUNT_BITS,
              "a crowded bucket's mark fits its word");
static_assert(2u * RANGE_SET_GATHER_MAX < 1u << (32 - RANGE_SET_COUNT_BITS),
              "every position of a full set fits an index word");
static_assert(2u * RANGE_SET_GATHER_MAX / RANGE_SET_PER_SPAN + RANGE_SET_BUCKETS < 1u << (32 - RANGE_SET_COUNT_BITS),
              "every table's place fits an index word");

// One set, in one block: the object (its index first, on a cache line), the crowded buckets'
// tables, the boundaries. Written by range_set_make only.
struct alignas(RANGE_SET_ALIGN) range_set {
    // Per bucket: the position of its first boundary << RANGE_SET_COUNT_BITS | their count; or, for
    // a crowded bucket, its table's place in `tables` << RANGE_SET_COUNT_BITS | RANGE_SET_CROWDED +
    // its spans' size in bits.
    uint32_t index[RANGE_SET_BUCKETS];
    // A crowded bucket's table, for spans of 2^k addresses: entry s is the position of its first
    // boundary at or above the bucket's first address + s << k; the entry after the last span's is
    // the bucket's end.
    const uint32_t *tables;
    const uint16_t *bounds; // each boundary's low 16 bits, in rising order
    int32_t ranges;         // merged ranges
    size_t bytes;           // of the block
    void *block;
    void (*release)(void *);
};

// The address in host byte order (its first octet in the top bits), from network byte order.
static uint32_t range_set_host_order(uint32_t address)
{
    uint8_t octet[4];
    memcpy(octet, &address, sizeof(octet));
    return (uint32_t)octet[0] << 24 | (uint32_t)octet[1] << 16 | (uint32_t)octet[2] << 8 | octet[3];
}

// ---- The gathering -------------------------------------------------------------------------

void range_set_gather_init(range_set_gather *g, int32_t limit, void *(*alloc)(size_t),
                           void (*release)(void *))
{
    *g = range_set_gather{};
    g->limit = std::clamp(limit, 0, (int32_t)RANGE_SET_GATHER_MAX);
    g->alloc = alloc;
    g->release = release;
}

// Makes room for `wanted` ranges (at most the limit), doubling the room from
// RANGE_SET_GATHER_FIRST; false when the allocator gives nothing (the gathering is unchanged).
static bool range_set_gather_room(range_set_gather *g, int32_t wanted)
{
    if (wanted <= g->capacity) return true;
    int64_t capacity = g->capacity > 0 ? g->capacity : (int64_t)RANGE_SET_GATHER_FIRST;
    while (capacity < wanted) capacity *= 2;
    capacity = std::min<int64_t>(capacity, g->limit);
    uint64_t *grown = g->alloc ? (uint64_t *)g->alloc(sizeof(uint64_t) * (size_t)capacity) : nullptr;
    if (grown == nullptr) return false;
    if (g->count > 0) memcpy(grown, g->ranges, sizeof(uint64_t) * (size_t)g->count);
    if (g->ranges != nullptr && g->release) g->release(g->ranges);
    g->ranges = grown;
    g->capacity = (int32_t)capacity;
    return true;
}

int32_t range_set_gather_add(range_set_gather *g, uint32_t first, uint32_t last)
{
    if (first > last || g->count >= g->limit) return RANGE_SET_FULL;
    if (!range_set_gather_room(g, g->count + 1)) return RANGE_SET_NO_MEMORY;
    g->ranges[g->count++] = (uint64_t)first << 32 | last;
    return RANGE_SET_ADDED;
}

int32_t range_set_gather_append(range_set_gather *to, const range_set_gather *from)
{
    int32_t fits = std::min(from->count, to->limit - to->count);
    if (fits > 0) {
        if (!range_set_gather_room(to, to->count + fits)) return RANGE_SET_NO_MEMORY;
        memcpy(to->ranges + to->count, from->ranges, sizeof(uint64_t) * (size_t)fits);
        to->count += fits;
    }
    return fits < from->count ? RANGE_SET_FULL : RANGE_SET_ADDED;
}

int32_t range_set_gather_merge(range_set_gather *g)
{
    uint64_t *r = g->ranges;
    if (!std::is_sorted(r, r + g->count)) std::sort(r, r + g->count);
    int32_t kept = 0;
    for (int32_t i = 0; i < g->count; i++) {
        uint32_t first = (uint32_t)(r[i] >> 32), last = (uint32_t)r[i];
        if (kept > 0) {
            uint32_t kept_last = (uint32_t)r[kept - 1];
            // It begins inside the range kept before it, or right after that one's end: they
            // become one.
            if (kept_last == 0xFFFFFFFFu || first <= kept_last + 1) {
                if (last > kept_last) r[kept - 1] = (r[kept - 1] >> 32) << 32 | last;
                continue;
            }
        }
        r[kept++] = r[i];
    }
    g->count = kept;
    return kept;
}

void range_set_gather_free(range_set_gather *g)
{
    if (g->ranges != nullptr && g->release) g->release(g->ranges);
    g->ranges = nullptr;
    g->count = g->capacity = 0;
}

// ---- The set ---------------------------------------------------------------------------------

// The size in bits of the spans of a bucket of `count` boundaries: 0 when it is not crowded.
static uint32_t range_set_span_bits(uint32_t count)
{
    if (count < RANGE_SET_CROWDED) return 0;
    return RANGE_SET_BUCKET_BITS + 1 - (uint32_t)std::bit_width(count / RANGE_SET_PER_SPAN);
}

// Calls visit(boundary) for each boundary of the merged ranges r[0 .. n), in rising order.
template <typename Visit>
static void range_set_each_boundary(const uint64_t *r, int32_t n, Visit visit)
{
    for (int32_t i = 0; i < n; i++) {
        visit((uint32_t)(r[i] >> 32));
        uint32_t last = (uint32_t)r[i];
        if (last != 0xFFFFFFFFu) visit(last + 1);
    }
}

range_set *range_set_make(range_set_gather *g, void *(*alloc)(size_t), void (*release)(void *))
{
    int32_t n = range_set_gather_merge(g);
    const uint64_t *r = g->ranges;
    // First pass: the boundaries, and the words of the crowded buckets' tables.
    uint32_t bounds_count = 0, table_words = 0, bucket = 0, in_bucket = 0;
    auto bucket_done = [&] {
        if (uint32_t bits = range_set_span_bits(in_bucket))
            table_words += (1u << (RANGE_SET_BUCKET_BITS - bits)) + 1;
    };
    range_set_each_boundary(r, n, [&](uint32_t b) {
        if (b >> RANGE_SET_BUCKET_BITS != bucket) {
            bucket_done();
            bucket = b >> RANGE_SET_BUCKET_BITS;
            in_bucket = 0;
        }
        in_bucket++;
        bounds_count++;
    });
    bucket_done();

    size_t bytes = RANGE_SET_ALIGN - 1 + sizeof(range_set) + sizeof(uint32_t) * table_words +
                   sizeof(uint16_t) * bounds_count;
    void *block = alloc ? alloc(bytes) : nullptr;
    if (block == nullptr) return nullptr;
    uintptr_t at = ((uintptr_t)block + RANGE_SET_ALIGN - 1) & ~(uintptr_t)(RANGE_SET_ALIGN - 1);
    range_set *set = new ((void *)at) range_set;
    uint32_t *tables = (uint32_t *)(at + sizeof(range_set));
    uint16_t *bounds = (uint16_t *)(tables + table_words);

    // Second pass: the boundaries, and each bucket's first position in its index word for now.
    uint32_t *index = set->index, p = 0, next = 0;
    range_set_each_boundary(r, n, [&](uint32_t b) {
        for (; next <= b >> RANGE_SET_BUCKET_BITS; next++) index[next] = p;
        bounds[p++] = (uint16_t)b;
    });
    for (; next < RANGE_SET_BUCKETS; next++) index[next] = p;
    // Then the index words, bucket by bucket: the next bucket's word still holds its position.
    uint32_t place = 0;
    for (uint32_t k = 0; k < RANGE_SET_BUCKETS; k++) {
        uint32_t start = index[k], end = k + 1 < RANGE_SET_BUCKETS ? index[k + 1] : bounds_count;
        uint32_t bits = range_set_span_bits(end - start);
        if (bits == 0) {
            index[k] = start << RANGE_SET_COUNT_BITS | (end - start);
            continue;
        }
        uint32_t spans = 1u << (RANGE_SET_BUCKET_BITS - bits), *table = tables + place;
        for (uint32_t s = 0, j = start; s < spans; s++) {
            while (j < end && (uint32_t)bounds[j] >> bits < s) j++;
            table[s] = j;
        }
        table[spans] = end;
        index[k] = place << RANGE_SET_COUNT_BITS | (RANGE_SET_CROWDED + bits);
        place += spans + 1;
    }
    set->tables = tables;
    set->bounds = bounds;
    set->ranges = n;
    set->bytes = bytes;
    set->block = block;
    set->release = release;
    return set;
}

void range_set_free(range_set *set)
{
    if (set == nullptr) return;
    void *block = set->block;
    void (*release)(void *) = set->release;
    set->~range_set();
    if (release) release(block);
}

int32_t range_set_contains(const range_set *set, uint32_t address)
{
    if (set == nullptr) return 0;
    uint32_t x = range_set_host_order(address);
    uint32_t word = set->index[x >> RANGE_SET_BUCKET_BITS];
    uint32_t at = word >> RANGE_SET_COUNT_BITS, n = word & ((1u << RANGE_SET_COUNT_BITS) - 1);
    if (n >= RANGE_SET_CROWDED) {
        const uint32_t *span = set->tables + at + ((x & (RANGE_SET_BUCKETS - 1)) >> (n - RANGE_SET_CROWDED));
        at = span[0];
        n = span[1] - at;
    }
    // The boundaries at or below x: all those before `at`, and those of the run that are.
    if (n == 0) return (int32_t)(at & 1);
    const uint16_t *p = set->bounds + at;
    uint16_t low = (uint16_t)x;
    while (n > 1) {
        uint32_t half = n >> 1;
        p = p[half] <= low ? p + half : p;
        n -= half;
    }
    return (int32_t)(((uint32_t)(p - set->bounds) + (*p <= low)) & 1);
}

void range_set_prefetch(const range_set *set, uint32_t address)
{
    if (set == nullptr) return;
    uint32_t x = range_set_host_order(address);
    uint32_t word = set->index[x >> RANGE_SET_BUCKET_BITS];
    uint32_t at = word >> RANGE_SET_COUNT_BITS, n = word & ((1u << RANGE_SET_COUNT_BITS) - 1);
    if (n >= RANGE_SET_CROWDED)
        __builtin_prefetch(set->tables + at + ((x & (RANGE_SET_BUCKETS - 1)) >> (n - RANGE_SET_CROWDED)));
    else
        __builtin_prefetch(set->bounds + at + n / 2);
}

int32_t range_set_count(const range_set *set) { return set ? set->ranges : 0; }

size_t range_set_bytes(const range_set *set) { return set ? set->bytes : 0; }
