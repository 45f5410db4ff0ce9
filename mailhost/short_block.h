// The host's own short-term block: addresses refused outright for a few minutes after the
// module answered a connection with -3.
//
// Owns: the blocked addresses with the time each block ends.
// Threads: every connection thread; one lock (block_lock, inside) guards the list.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

// Blocks `address` until `until` (a later block of the same address replaces the earlier).
void short_block_add(const std::string &address, time_t until);
// Seconds left on the block of `address` at `now`, 0 when it is not blocked. A block whose
// time has come is dropped.
int64_t short_block_left(const std::string &address, time_t now);
// Addresses blocked at `now`.
int short_block_count(time_t now);
void short_block_clear();
