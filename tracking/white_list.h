// The white list: up to 16 address/mask pairs whose clients are never counted.
//
// Owns: white_list.
// Threads: read by the host's POP3 threads (white_match) without a lock; written only by
// start-up (daemon_init, load_settings) and by the dialog's thread, which empty it and refill it
// entry by entry. An entry is written before a release store of the count covers it, and
// readers load the count with acquire, so a reader never sees an entry that is not complete.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t {
    WHITE_MAX = 16,        // entries the list can hold
    WHITE_TEXT_SIZE = 100, // buffer for one entry's text, NUL included
};

struct white_list_t {
    // Entry words are atomics (relaxed) because the dialog may rewrite an index that a reader
    // holding an older count is still reading; such a reader may see one moment-old pair.
    std::atomic<uint32_t> address[WHITE_MAX]; // as parsed, not masked
    std::atomic<uint32_t> mask[WHITE_MAX];
    std::atomic<int32_t> count;               // entries in use, filled from index 0
};
extern white_list_t white_list;

// Appends the address `text` with the mask of `prefix`. 0 (nothing stored) for an empty text,
// a text the parser rejects (so 255.255.255.255 never enters) or a full list; 1 otherwise.
int32_t white_add(const char *text, int32_t prefix);
// 1 when (address & mask) equals the stored address of some entry, else 0.
int32_t white_match(uint32_t address);
// Empties the list.
void white_clear();
// The entries in use, read with acquire.
int32_t white_count();

// The mask of the first n bits in network order; all ones for n <= 0 or n > 32.
uint32_t prefix_to_mask(int32_t n);
// The length of a mask made of leading one bits, 0..32; 0 for any other value.
int32_t mask_to_prefix(uint32_t mask);

// Splits an entry text "address[/prefix]" in place: cuts the text at the first "/" and
// returns the prefix read from what followed it with "%d" (leading blanks, a sign, digits up
// to the first non-digit). Returns 32 when the text has no "/", and `no_number` when a "/" is
// followed by no number.
int32_t white_split_entry(char *text, int32_t no_number);
