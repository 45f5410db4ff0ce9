// The black list: the address ranges whose clients are refused at every connection, never
// counted and never given a slot. Its entries are the administrator's [BlackIP] keys in
// Tollgate.ini (at most 4096; nothing writes them back) and the ranges of the black-list files
// (tracking/lists/), merged into one range set, the list in force (tracking/list_sets.h).
//
// Owns: the [BlackIP] entries a load gathers, kept merged once published, so that a reload of
// the files can merge them in again.
// Threads: black_match runs on the host's POP3 threads without a lock, inside the call gate;
// black_clear, black_add and black_publish on the start-up thread, black_gather_entries on
// start-up and on the sweeper (a reload of the files), each under the lists' writer lock.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "tracking/list_sets.h"
#include "tracking/range_set.h"

enum : int32_t {
    BLACK_MAX = 4096,       // [BlackIP] entries the list can hold
    BLACK_PREFIX_ZERO = -1, // black_add: a /0 entry, not gathered
};

// Empties the gathered entries and puts no black list in force.
void black_clear();
// Gathers the entry `text` with the mask of `prefix` (as the white list reads it: below 0 or
// above 32 is the single address). 0 (nothing gathered) for an empty text, a text the parser
// rejects, an address with bits outside its mask (a typo that would otherwise refuse either
// nothing or more than was written), or a full list; BLACK_PREFIX_ZERO (nothing gathered) for
// an address the parser takes with a prefix of 0, which reads as every address but would
// refuse the one address; 1 otherwise. Not in force until black_publish.
int32_t black_add(const char *text, int32_t prefix);
// Puts the gathered entries in force as the whole black list, merged into one set made from
// `alloc` (the files' ranges join them when the files are loaded). False when the set could
// not be made, or a call still reads the sets retired before (tracking/list_sets.h): the list
// in force is then kept.
bool black_publish(void *(*alloc)(size_t) = malloc, void (*release)(void *) = free);
// The gathered entries, merged by the last black_publish.
int32_t black_entries();
// Adds the gathered entries to `g`: what range_set_gather_append returns.
int32_t black_gather_entries(range_set_gather *g);
// 1 when the address (network byte order) lies in a range in force, else 0. One word of the
// set's index, then a search among the few boundaries of the address's /16 (tracking/range_set.h).
inline int32_t black_match(uint32_t address) { return range_set_contains(list_set(LIST_BLACK), address); }
