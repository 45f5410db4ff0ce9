// The lists in force that files can make large: the black list (its [BlackIP] entries and its
// files' ranges, merged; tracking/black_list.h) and the allow list (its files' ranges), each one
// range set (tracking/range_set.h) behind one pointer that the POP3 threads read without a lock;
// and the sets they replaced, kept whole until no call can still be reading them.
//
// Owns: list_in_force (each list's set; null: no black list, no allow list applied) and, in
// list_sets.cpp, the retired sets and the lists' writer lock.
// Threads: the POP3 threads read the sets in force (black_match, allow_refuses, list_prefetch)
// inside the call gate (tracking/call_gate.h). The lists' writers, one at a time under the
// writer lock: start-up (the settings' black list, the files' first load, the state file's read
// that the lists filter), the sweeper (a reload) and shutdown (giving the lists back).
// Lock: the writer lock guards the retired sets and what the writers build the lists from (the
// black list's entries, the watched files). No reader and no dialog ever takes it, so a writer
// may hold it across a file's read, a grace's wait or a log line; the lists take no table lock
// under it.
// Ordering: a set is written whole before its pointer is stored (release). Readers load the
// pointer once they are counted in the gate, sequentially consistent: on x86 the same plain load
// as an acquire load, and what the memory model needs for the grace's fence to see every call
// that may still hold the pointer it replaced.
#pragma once
#include <atomic>
#include <cstdint>

#include "tracking/range_set.h"

enum list_kind : int32_t { LIST_BLACK, LIST_ALLOW, LIST_KINDS };

enum : int32_t {
    LIST_RETIRED_MAX = 8, // sets replaced and not yet given back
    LIST_GRACE_MS = 1000, // the longest a writer waits for the POP3 calls in flight
};

struct list_in_force_t {
    std::atomic<range_set *> set[LIST_KINDS];
};
extern list_in_force_t list_in_force;

// The set in force of `kind`; null for none.
inline const range_set *list_set(list_kind kind)
{
    return list_in_force.set[kind].load(std::memory_order_seq_cst);
}
// 1 when an allow list is applied and `address` (network byte order) lies outside it.
inline int32_t allow_refuses(uint32_t address)
{
    const range_set *allowed = list_set(LIST_ALLOW);
    return allowed != nullptr && !range_set_contains(allowed, address);
}
// Starts fetching the lines each list's lookup of `address` will search (range_set_prefetch).
inline void list_prefetch(uint32_t address)
{
    range_set_prefetch(list_set(LIST_BLACK), address);
    range_set_prefetch(list_set(LIST_ALLOW), address);
}

// The writer lock (re-entrant by its holder).
void list_writer_enter();
void list_writer_leave();
// Puts `set` (null: none) in force for `kind`, in one pointer store, and retires the set it
// replaces; the retired sets are given back at once when no POP3 call is in flight. When they
// fill their room, first waits (at most `limit_ms`) to give them back: false when that wait ran
// out, and then nothing changed and `set` is still the caller's. Takes the writer lock.
bool list_publish(list_kind kind, range_set *set, uint32_t limit_ms);
// Gives back every retired set once every POP3 call counted in before it was retired has left
// (call_gate_grace, at most `limit_ms`). True when none is left retired. Takes the writer lock.
bool list_give_back_retired(uint32_t limit_ms);
// The sets retired and not yet given back.
int32_t list_retired();
