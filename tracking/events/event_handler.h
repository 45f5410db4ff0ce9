// The POP3 event handler the module registers with the host (exported as event_handler).
//
// Owns: the statistics handles it reports through; it keeps no other state between calls.
// Threads: the host's POP3 threads, several at once. Each connection is decided in one pass by
// tracking/decision.h, which takes the table's locks only inside the table's procedures; the
// handler logs, refuses and reports from the record that pass hands back, outside every lock.
// The handles are written by start-up (host/stats.cpp) before the handler is registered and only
// read afterwards: the registration orders the two. The sweeper calls event_log_siege too.
#pragma once
#include <cstdint>

#include "host/base/entry_points.h"
#include "tracking/siege.h"

// 0 until registered, and 0 for a category whose registration failed.
extern int32_t stat_blocked;  // "Blocked hosts"
extern int32_t stat_max_list; // "MaxListSize"

// The line a refused client receives, with its NUL 31 bytes.
inline constexpr char REFUSAL_LINE[] = "-ERR: BlackListed by Tollgate.";
static_assert(sizeof(REFUSAL_LINE) == 31);
static_assert(sizeof(REFUSAL_LINE) <= HOST_RESPONSE_MIN_SIZE);

// Logs what `news` tells of the siege: its beginning (a warning) or its end; nothing else. For
// the handler's connections and the sweeper's passes alike.
void event_log_siege(const siege_news &news);
