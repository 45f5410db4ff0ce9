// The gate every call into the module from the host's threads passes, so that a shutdown never
// gives back the table or the interface copy under a call still using them, and a list reload
// never gives back a list under a POP3 call still reading it.
//
// Owns: daemon_started. The counts of calls in flight are tracking/call_gate.h's: a POP3 event
// call is counted by phase (so that the lists' writer can wait for a grace period), a dialog's
// call apart.
// Threads: event_call_enter/event_call_leave run on the host's POP3 threads; daemon_enter,
// event_gate_enter and daemon_leave on the dialog's thread; start-up sets daemon_started and
// shutdown clears it and drains the gate, both on the host's thread that calls
// _startup/_closedown. No lock: daemon_started and the counts are sequentially consistent.
#pragma once
#include <atomic>
#include <cstdint>

// 1 from the end of start-up until shutdown. Sequentially consistent: it pairs with the
// in-flight counts so that shutdown and an arriving call cannot miss each other.
extern std::atomic<int32_t> daemon_started;

// For a POP3 event call: the count it went into (to hand to event_call_leave) when the daemon is
// started, and the caller may then use the interface copy, the table and the lists until its
// event_call_leave; -1 (and the caller must go back at once, without event_call_leave) when it
// is not.
int32_t event_call_enter();
void event_call_leave(int32_t count);
// The same for the dialog's thread: true when the daemon is started (the caller may then use
// the interface copy and the table until its daemon_leave); false (and the caller must go back
// at once, without daemon_leave) when it is not.
bool daemon_enter();
// Counts the dialog's thread in whether the daemon is started or not: it uses the current table
// (and nothing of the host's) while the daemon is stopped too, and start-up and shutdown give a
// table back only once no call is counted in. Always paired with daemon_leave.
void event_gate_enter();
void daemon_leave();
// Waits until no call is inside the gate; false when `limit_ms` passed first. The caller has
// cleared daemon_started, so no new call gets in meanwhile.
bool event_gate_drain(uint32_t limit_ms);
