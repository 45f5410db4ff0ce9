// The white list: up to 16 address/mask pairs whose clients are never counted.
//
// Owns: white_list (the list in force) and the entries a load or a save gathers before they are
// put in force.
// Threads: read by the host's POP3 threads (white_match) without a lock; written only by
// start-up (daemon_init, load_settings) and by the dialog's thread on "OK / Save", one at a
// time: each gathers the entries (white_add) and puts them in force in one step
// (white_publish), so a client tested meanwhile meets the whole old list or the whole new one,
// never a list half emptied or half refilled.
//
// The list in force is one of two banks: a publish fills the other bank and then makes it the
// one in force with a release store, which readers load with acquire, so a reader never sees
// an entry that is not complete. The entry words are atomics (relaxed) so that a reader still
// inside a bank two publishes old (it would have to stall through two saves) reads whole words.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t {
    WHITE_MAX = 16,        // entries the list can hold
    WHITE_TEXT_SIZE = 100, // buffer for one entry's text, NUL included
};

struct white_bank {
    std::atomic<uint32_t> address[WHITE_MAX]; // as parsed, not masked
    std::atomic<uint32_t> mask[WHITE_MAX];
    std::atomic<int32_t> count;               // entries in use, filled from index 0
};
struct white_list_t {
    white_bank bank[2];
    std::atomic<int32_t> in_force; // the bank readers use: 0 or 1
};
extern white_list_t white_list;

// Empties the list in force and the gathered entries.
void white_clear();
// Gathers the address `text` with the mask of `prefix`. 0 (nothing gathered) for an empty text,
// a text the parser rejects (so 255.255.255.255 never enters) or a full list; 1 otherwise. Not
// in force until white_publish.
int32_t white_add(const char *text, int32_t prefix);
// Puts the gathered entries in force in place of the list in force, in one step, and starts an
// empty gathering for the next load or save.
void white_publish();
// 1 when (address & mask) equals the stored address of some entry in force, else 0.
int32_t white_match(uint32_t address);
// The entries in force.
int32_t white_count();
// Entry `index` (0 .. white_count() - 1) in force, into *address and *mask (network order).
void white_entry(int32_t index, uint32_t *address, uint32_t *mask);
