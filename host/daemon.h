// The daemon's frame: library entry, start-up, shutdown and the host version check.
//
// Owns: the module instance handle and the sweeper thread's handle.
// Threads: start-up and shutdown run on the host's thread that calls _startup/_closedown;
// _configure's thread calls version_check. The started flag and the gate that keeps host calls
// from running into a shutdown are in tracking/events/event_gate.h.
#pragma once
#include <cstdint>

#include "host/base/host_interface.h"
#include "tracking/events/event_gate.h"

enum : int32_t {
    HOST_VERSION_MIN_MAJOR = 4,
    HOST_VERSION_MIN_MINOR = 74,
    HOST_VERSION_MAX_MAJOR = 4,
    HOST_VERSION_MAX_MINOR = 220,
};

extern void *module_instance;           // HINSTANCE from DllMain's process attach

// 1 to go on with a host of this interface version, 0 to refuse (the user said No).
int32_t version_check(const host_interface *record);
// The one-time start-up work; 1 started, 0 failed (what was made is then left for shutdown).
int32_t daemon_init(const host_interface *record);
// Undoes whatever start-up made, in reverse order; safe after any partial start-up and when
// nothing was started. Event calls and the sweeper are awaited (bounded); when one outlives
// the bound, the table and the copy are kept and the library is pinned instead of freed.
void daemon_shutdown();

