// The shared store's breaker: after a failure every decision stays local for
// SHARED_BREAKER_MS, then one caller tries the store again while the others stay local.
//
// Owns: the breaker's words (open or not, the time of the next try, failing or not).
// Threads: any thread that calls the store (POP3 threads, the dialog's thread) and start-up,
// several at once. Every word is an atomic read and written relaxed: each is a decision on its
// own (no other memory is published through it), and the one retry is chosen by a
// compare-and-swap on the retry time. No lock, no host call, no clock of its own: callers pass
// the time in milliseconds (a tick count that wraps).
#pragma once
#include <cstdint>

enum : uint32_t { SHARED_BREAKER_MS = 30000 }; // decisions stay local this long after a failure

// Closes the breaker with no failure on record (a start of the store).
void shared_breaker_reset();
// True when a call may go to the store at `now`: always while the breaker is closed; while it
// is open, false until the retry time, then true for the one caller that moves it on.
bool shared_breaker_may_call(uint32_t now);
// Opens the breaker at `now` after a failure. True for the first failure after a good spell
// (or a start): the caller says so, once.
bool shared_breaker_trip(uint32_t now);
// Closes the breaker after a call that succeeded. True for the first success after a failure:
// the caller says so, once.
bool shared_breaker_mend();
