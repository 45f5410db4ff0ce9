// The daemon's frame: library entry, start-up, shutdown, the host version check, and the gate
// that keeps host calls from running into a shutdown.
//
// Owns: the module instance handle, daemon_started, the sweeper thread's handle, the count of
// event calls in flight.
// Threads: start-up and shutdown run on the host's thread that calls _startup/_closedown;
// daemon_enter/daemon_leave run on the host's POP3 threads; _configure's thread reads
// daemon_started.
#pragma once
#include <atomic>
#include <cstdint>

#include "host/base/host_interface.h"

enum : int32_t {
    HOST_VERSION_MIN_MAJOR = 4,
    HOST_VERSION_MIN_MINOR = 74,
    HOST_VERSION_MAX_MAJOR = 4,
    HOST_VERSION_MAX_MINOR = 220,
};

extern void *module_instance;           // HINSTANCE from DllMain's process attach
// 1 from the end of daemon_init until daemon_shutdown. Sequentially consistent: it pairs with
// the in-flight count so that shutdown and an arriving event call cannot miss each other.
extern std::atomic<int32_t> daemon_started;

// 1 to go on with a host of this interface version, 0 to refuse (the user said No).
int32_t version_check(const host_interface *record);
// The one-time start-up work; 1 started, 0 failed (what was made is then left for shutdown).
int32_t daemon_init(const host_interface *record);
// Undoes whatever start-up made, in reverse order; safe after any partial start-up and when
// nothing was started. Event calls and the sweeper are awaited (bounded); when one outlives
// the bound, the lock and the copy are kept and the library is pinned instead of freed.
void daemon_shutdown();

// Event-call gate. daemon_enter returns true when the daemon is started and the caller may use
// the interface copy and the table until its daemon_leave; false (and the caller must return
// at once, without daemon_leave) when it is not. Shutdown waits for every entered call to leave
// before the lock and the copy go away.
bool daemon_enter();
void daemon_leave();
