// The module's statistics at the host: the module "Tollgate" with "Blocked hosts" and
// "MaxListSize".
//
// Owns: nothing; it sets the handles the event handler reports through (stat_blocked,
// stat_max_list in tracking/events/event_handler.h).
// Threads: start-up only, before any event handler is registered.
#pragma once
#include <cstdint>

#include "tracking/events/event_handler.h"

// Finds or creates the module and its two categories through the interface copy; logs and
// leaves a handle at 0 for what fails. Never stops start-up.
void stats_register();
