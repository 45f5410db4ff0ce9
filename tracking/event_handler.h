// The POP3 event handler the module registers with the host (exported as event_handler).
//
// Owns: nothing; it keeps no state between calls.
// Threads: the host's POP3 threads, several at once. It takes db_lock only inside the table's
// procedures, and makes every log and statistics call outside it.
#pragma once
#include "host/base/entry_points.h"

// The line a refused client receives, with its NUL 31 bytes.
inline constexpr char REFUSAL_LINE[] = "-ERR: BlackListed by Tollgate.";
static_assert(sizeof(REFUSAL_LINE) == 31);
static_assert(sizeof(REFUSAL_LINE) <= HOST_RESPONSE_MIN_SIZE);
