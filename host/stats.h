// The module's statistics at the host: the module "Tollgate" with "Blocked hosts" and
// "MaxListSize".
//
// Owns: stat_blocked, stat_max_list (0 until registered, and 0 for a failed registration).
// Threads: written by start-up (stats_register) before any event handler is registered; read
// by the host's POP3 threads afterwards. The registration of the handlers orders the two.
#pragma once
#include <cstdint>

extern int32_t stat_blocked;  // "Blocked hosts"
extern int32_t stat_max_list; // "MaxListSize"

// Finds or creates the module and its two categories through the interface copy; logs and
// leaves a handle at 0 for what fails. Never stops start-up.
void stats_register();
