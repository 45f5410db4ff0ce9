// The call gate's counts: the calls in flight inside the module, so that nothing a call may be
// using is given back under it. A POP3 event call is counted in the phase in force, one of two;
// the dialog's calls, which read no list, are counted apart. Start-up and shutdown wait until no
// call is counted at all (call_gate_drain); the lists' writer waits for a grace period
// (call_gate_grace): until every POP3 call counted in before it began has left, which a busy
// server reaches too, since the calls that arrive meanwhile are counted in the other phase.
//
// Owns: call_gate (the phase in force and the three counts).
// Threads: the host's POP3 threads (call_gate_enter, call_gate_leave), the dialog's thread
// (call_gate_enter_apart, call_gate_leave), the lists' writer (call_gate_grace: start-up, the
// sweeper or shutdown, one at a time under the lists' writer lock, tracking/list_sets.h),
// start-up and shutdown (call_gate_drain). No lock: the counts are sequentially consistent (they
// pair with daemon_started, tracking/events/event_gate.h, and with the lists' set pointers); the
// phase is relaxed, since it only steers new calls away from the count a wait is draining and no
// answer depends on it. Nothing here calls the host or a window; it builds natively too.
#pragma once
#include <cstdint>

enum : int32_t {
    CALL_GATE_PHASES = 2,               // the counts of POP3 calls, by phase
    CALL_GATE_APART = CALL_GATE_PHASES, // the count of the dialog's calls
    CALL_GATE_COUNTS,
};

// Counts a POP3 call in, in the phase in force; returns the count it went into, for its
// call_gate_leave. One atomic add.
int32_t call_gate_enter();
// Counts a dialog's call in, apart from the phases.
void call_gate_enter_apart();
// Counts a call out of `count` (what call_gate_enter gave, or CALL_GATE_APART). One atomic
// subtract.
void call_gate_leave(int32_t count);
// Waits until every count has been seen at 0 (each call counted in when it began has left);
// false when `limit_ms` passed first.
bool call_gate_drain(uint32_t limit_ms);
// The grace period of whatever the caller made unreachable before it: turns new POP3 calls to
// the other phase and waits until the phase they left is empty, twice, so that each count has
// been seen at 0 after the call began. Then no POP3 call that may have read a pointer before the
// caller replaced it can still be inside. False when `limit_ms` passed first (the caller keeps
// what it meant to give back, and tries again later). The dialog's calls are not waited for.
bool call_gate_grace(uint32_t limit_ms);
