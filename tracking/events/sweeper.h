// The timeout sweeper: the module's one thread, which frees quiet addresses (and networks, when
// they are counted, and trusted entries that have run out) every sweep interval, and judges the
// siege.
//
// Owns: sweeper_stop and the event that wakes the thread out of its wait.
// Threads: sweeper_thread runs on its own thread; start-up arms it and shutdown stops it, both on
// the host's start-up/shutdown thread. The thread touches the table only through db_expire and
// the host only through the interface copy, which shutdown keeps until the thread has ended; it
// writes the state file after each sweep and reloads the list files that changed.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// Before the first sweep: start-up finishes (state file read, statistics registered) before the
// sweeper first takes the table's locks.
enum : DWORD { SWEEPER_START_DELAY_MS = 150 };
// The most the thread waits between two looks at a shared store, when one is in use: it syncs
// at most once every DECISION_SYNC_SECONDS (tracking/decision.h).
enum : DWORD { SWEEPER_SYNC_MS = 1000 };

// Set by shutdown, cleared by start-up; the thread reads it without a lock (relaxed: the event
// carries the wake-up, the flag only says what it means).
extern std::atomic<int32_t> sweeper_stop;

// Clears the stop request and makes the wake-up event, before start-up creates the thread.
// 1 when the thread may be started, 0 when the event could not be made.
int32_t sweeper_arm();
// Sets sweeper_stop and wakes the thread at once, wherever it waits.
void sweeper_request_stop();
// Releases the wake-up event once the thread has ended (or was never started).
void sweeper_disarm();
// The thread procedure; its parameter is not used.
DWORD WINAPI sweeper_thread(LPVOID);
