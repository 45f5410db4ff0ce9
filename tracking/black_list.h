// The black list: up to 4096 address ranges whose clients are refused at every connection,
// never counted and never given a slot. The administrator writes it in Tollgate.ini; nothing
// else changes it, and nothing writes it back.
//
// Owns: black_list (the merged ranges in force and the index into them) and the entries a
// load gathers before they are put in force.
// Threads: read by the host's POP3 threads (black_match) without a lock; written only by the
// start-up thread (black_clear, black_add, black_publish) before the event handler is
// registered. The ranges are written before a release store of the count covers them, and
// readers load the count with acquire; the range words are atomics (relaxed) so that a call
// of an earlier run still draining while a restart reloads the list reads whole words.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t {
    BLACK_MAX = 4096,       // entries the list can hold
    BLACK_BUCKET_BITS = 12, // the index's first level: an address's first 12 bits
    BLACK_BUCKETS = 1 << BLACK_BUCKET_BITS,
    BLACK_SUB_BITS = 8,     // a crowded bucket's second level: the next 8 bits
    BLACK_SUBS = 1 << BLACK_SUB_BITS,
    BLACK_CROWDED = 32,     // ranges beginning in one bucket that give it a second level
    BLACK_SUB_TABLES = BLACK_MAX / BLACK_CROWDED,
    BLACK_PREFIX_ZERO = -1, // black_add: a /0 entry, not gathered
};

struct black_list_t {
    // Disjoint, non-adjacent ranges of addresses in host byte order, sorted, first..last
    // inclusive; both ends of a range on one cache line.
    struct {
        std::atomic<uint32_t> first, last;
    } range[BLACK_MAX];
    // bucket[b].start: the index of the first range that begins at or above b << 20
    // (bucket[BLACK_BUCKETS].start is the count); bucket[b].sub: 0, or 1 + the second-level
    // table of a crowded bucket, whose entry s is the index of the first range that begins at
    // or above b << 20 | s << 12 (entry BLACK_SUBS: the next bucket's start).
    struct {
        std::atomic<uint16_t> start, sub;
    } bucket[BLACK_BUCKETS + 1];
    std::atomic<uint16_t> sub_start[BLACK_SUB_TABLES][BLACK_SUBS + 1];
    std::atomic<int32_t> count; // ranges in force
};
extern black_list_t black_list;

// Empties the list in force and the gathered entries.
void black_clear();
// Gathers the entry `text` with the mask of `prefix` (as the white list reads it: below 0 or
// above 32 is the single address). 0 (nothing gathered) for an empty text, a text the parser
// rejects, an address with bits outside its mask (a typo that would otherwise refuse either
// nothing or more than was written), or a full list; BLACK_PREFIX_ZERO (nothing gathered) for
// an address the parser takes with a prefix of 0, which reads as every address but would
// refuse the one address; 1 otherwise. Not in force until black_publish.
int32_t black_add(const char *text, int32_t prefix);
// Puts the gathered entries in force, sorted and merged into ranges.
void black_publish();
// 1 when the address (network byte order) lies in a range in force, else 0. One or two looks
// at the index, then a binary search among the few ranges that begin where the address lies.
int32_t black_match(uint32_t address);
