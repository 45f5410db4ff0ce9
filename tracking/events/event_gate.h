// The gate every call into the module from the host's threads passes, so that a shutdown never
// gives back the table or the interface copy under a call still using them.
//
// Owns: daemon_started and the count of calls in flight.
// Threads: daemon_enter/daemon_leave run on the host's POP3 threads and on the dialog's thread,
// event_gate_enter on the dialog's thread; start-up sets daemon_started and shutdown clears it
// and drains the gate, both on the host's thread that calls _startup/_closedown. No lock: both
// words are sequentially consistent.
#pragma once
#include <atomic>
#include <cstdint>

// 1 from the end of start-up until shutdown. Sequentially consistent: it pairs with the
// in-flight count so that shutdown and an arriving call cannot miss each other.
extern std::atomic<int32_t> daemon_started;

// True when the daemon is started: the caller may then use the interface copy and the table
// until its daemon_leave. False (and the caller must go back at once, without daemon_leave)
// when it is not.
bool daemon_enter();
// Counts the caller in whether the daemon is started or not, for the dialog's thread, which
// uses the current table (and nothing of the host's) while the daemon is stopped too: start-up
// and shutdown give a table back only once no call is counted in. Always paired with
// daemon_leave.
void event_gate_enter();
void daemon_leave();
// Waits until no call is inside the gate; false when `limit_ms` passed first. The caller has
// cleared daemon_started, so no new call gets in meanwhile.
bool event_gate_drain(uint32_t limit_ms);
