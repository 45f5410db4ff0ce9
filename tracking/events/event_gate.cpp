// The event-call gate: a count of calls in flight beside the started flag.
//
// DESIGN: a call counts itself in, then checks daemon_started; shutdown clears daemon_started,
// then waits until the count is zero. Both sides use sequentially consistent operations, so
// either the call sees the daemon stopped and touches nothing, or shutdown sees the call and
// waits for it.
#include "tracking/events/event_gate.h"

#include <windows.h>

std::atomic<int32_t> daemon_started;          // see the header; seq_cst with events_in_flight
static std::atomic<int32_t> events_in_flight; // POP3 and dialog threads, shutdown; seq_cst

bool daemon_enter()
{
    events_in_flight.fetch_add(1);
    if (daemon_started.load()) return true;
    events_in_flight.fetch_sub(1);
    return false;
}

void event_gate_enter() { events_in_flight.fetch_add(1); }

void daemon_leave() { events_in_flight.fetch_sub(1); }

// The limit is measured on the clock, not in rounds: a Sleep(1) lasts a whole timer tick on
// Windows.
bool event_gate_drain(uint32_t limit_ms)
{
    DWORD start = GetTickCount();
    while (events_in_flight.load() != 0) {
        if (GetTickCount() - start >= limit_ms) return false;
        Sleep(1);
    }
    return true;
}
