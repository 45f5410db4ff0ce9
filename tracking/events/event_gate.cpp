// The event-call gate: the started flag beside the counts of calls in flight.
//
// DESIGN: a call counts itself in, then checks daemon_started; shutdown clears daemon_started,
// then waits until the counts are zero. Both sides use sequentially consistent operations, so
// either the call sees the daemon stopped and touches nothing, or shutdown sees the call and
// waits for it.
#include "tracking/events/event_gate.h"

#include "tracking/call_gate.h"

std::atomic<int32_t> daemon_started; // see the header; seq_cst with the counts

int32_t event_call_enter()
{
    int32_t count = call_gate_enter();
    if (daemon_started.load()) return count;
    call_gate_leave(count);
    return -1;
}

void event_call_leave(int32_t count) { call_gate_leave(count); }

bool daemon_enter()
{
    call_gate_enter_apart();
    if (daemon_started.load()) return true;
    call_gate_leave(CALL_GATE_APART);
    return false;
}

void event_gate_enter() { call_gate_enter_apart(); }

void daemon_leave() { call_gate_leave(CALL_GATE_APART); }

bool event_gate_drain(uint32_t limit_ms) { return call_gate_drain(limit_ms); }
