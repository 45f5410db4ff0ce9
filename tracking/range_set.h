// The range set: up to a million address ranges (the list files', and the black list's once it is
// built on them) that a decision tests an address against, and the gathering a set is made from.
//
// Owns: range_set (one block from the allocator it was made with: the merged ranges' boundaries
// and the index into them) and range_set_gather (the ranges gathered for a set, in the order
// given, in memory from its own allocator).
// Threads: a gathering, and the making of a set from it, belong to the one thread that loads the
// lists (start-up, or the sweeper when a file changes); nothing is shared while they are built. A
// made set never changes: any thread may call range_set_contains on it without a lock. Its words
// are plain, written before the loading thread hands the set's pointer over with a release store;
// readers take the pointer with an acquire load. range_set_free may be called only once no thread
// can still be reading the set. No lock; nothing here calls the host or a window.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t {
    RANGE_SET_MAX = 1 << 20, // ranges the list files may hold between them, as read
    // The most any gathering may be given as its limit: room beside the files' ranges for entries
    // from elsewhere (the black list's).
    RANGE_SET_GATHER_MAX = 2 * RANGE_SET_MAX - 1,
};

// What range_set_gather_add and range_set_gather_append did.
enum : int32_t {
    RANGE_SET_ADDED = 1,
    RANGE_SET_FULL = 0,       // nothing added: the gathering holds its limit (or a range was
                              // given with its first address above its last)
    RANGE_SET_NO_MEMORY = -1, // nothing added: the gathering could not grow
};

// Ranges gathered for a set. Fill with range_set_gather_init, add with range_set_gather_add or
// range_set_gather_append; read `count` only. Zero-initialised it is empty with a limit of 0.
struct range_set_gather {
    uint64_t *ranges; // first << 32 | last, host byte order, inclusive; in the order added
                      // until range_set_gather_merge or range_set_make sorts and merges them
    int32_t count;    // ranges held
    int32_t capacity; // room in `ranges`
    int32_t limit;    // the most it may hold
    void *(*alloc)(size_t);
    void (*release)(void *);
};

// A made set; its fields are its own (tracking/range_set.cpp).
struct range_set;

// Makes `g` an empty gathering that holds at most `limit` ranges (clamped to 0 ..
// RANGE_SET_GATHER_MAX) in memory from `alloc`, given back through `release`. Takes nothing yet.
void range_set_gather_init(range_set_gather *g, int32_t limit, void *(*alloc)(size_t),
                           void (*release)(void *));
// Adds the range first..last (host byte order, inclusive; first <= last), growing the gathering
// as needed. RANGE_SET_ADDED, RANGE_SET_FULL or RANGE_SET_NO_MEMORY.
int32_t range_set_gather_add(range_set_gather *g, uint32_t first, uint32_t last);
// Adds every range of `from` to `to`, in order, up to `to`'s limit. RANGE_SET_ADDED when all of
// them went in; RANGE_SET_FULL when some did not fit (those that fit are in);
// RANGE_SET_NO_MEMORY when `to` could not grow (nothing of `from` is in).
int32_t range_set_gather_append(range_set_gather *to, const range_set_gather *from);
// Sorts the gathered ranges and merges those that overlap or touch, in place; returns how many
// ranges are left. Further ranges may be added after it.
int32_t range_set_gather_merge(range_set_gather *g);
// Gives the gathering's memory back and leaves it empty (its limit and allocator kept).
void range_set_gather_free(range_set_gather *g);

// Makes a set of the ranges of `g` (merged first, in place, as by range_set_gather_merge) in one
// block from `alloc`, which range_set_free hands to `release`. Null when the block could not be
// had. `g` is left as merged, to be freed or added to by the caller.
range_set *range_set_make(range_set_gather *g, void *(*alloc)(size_t), void (*release)(void *));
// Gives a set's block back. Null is left alone.
void range_set_free(range_set *set);
// 1 when the address (network byte order) lies in a range of the set, else 0; 0 for a null set.
// One word of the index, then a binary search among the few 16-bit boundaries of the address's
// /16 (of its /24 where a /16 is crowded): no lock, no allocation, no write.
int32_t range_set_contains(const range_set *set, uint32_t address);
// Starts fetching the line of boundaries (or of a crowded bucket's spans) that
// range_set_contains(set, address) will search, so that a lookup made a little later finds it
// nearer: reads the bucket's index word for it (the one load it waits for), writes nothing.
// Null is left alone.
void range_set_prefetch(const range_set *set, uint32_t address);
// The merged ranges in the set; 0 for a null set.
int32_t range_set_count(const range_set *set);
// The bytes of the set's block: a fixed part (the index, the same for every set) and at most 8
// bytes a range.
size_t range_set_bytes(const range_set *set);
