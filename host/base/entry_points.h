// The procedures the host finds in Tollgate.dll by name, declared through the host's
// signatures so that the compiler checks every definition's calling convention and types.
// Threads: the host calls them on threads of its own choosing (see each definition).
#pragma once
#include <cstdint>

#include "host/base/host_interface.h"

typedef int32_t(__cdecl host_startup_fn)(host_interface *record);
typedef int16_t(__cdecl host_closedown_fn)();
typedef int16_t(__cdecl host_daemon_fn)(int32_t ignored, host_interface *record, const char *text);
typedef int16_t(__cdecl host_configure_fn)(host_interface *record);

extern "C" {
host_startup_fn _startup;     // host/daemon.cpp
host_closedown_fn _closedown; // host/daemon.cpp
host_daemon_fn _daemon;       // host/daemon.cpp
host_configure_fn _configure; // ui/config_dialog.cpp
host_event_fn event_handler;  // tracking/events/event_handler.cpp
}
