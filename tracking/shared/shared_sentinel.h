// The sentinels of a shared store that runs under Redis Sentinel: asking them which server is
// the primary (SENTINEL get-master-addr-by-name).
//
// Owns: the sentinels' addresses and the primary's name as start-up gave them, and the index of
// the sentinel that answered last.
// Threads: shared_sentinel_start runs on the host's start-up thread before the store is
// installed; shared_sentinel_ask on any thread that calls the store (POP3 threads, the dialog's,
// start-up's), several at once. The start-up values are only read after. The index is an atomic
// word, relaxed: it only says which sentinel to ask first, and publishes nothing else. No lock,
// no host call.
#pragma once
#include <cstdint>

#include "settings/values/settings.h"
#include "tracking/shared/shared_connections.h"

// Takes the sentinels and the primary's name of `config` (sentinel_count above 0).
void shared_sentinel_start(const settings_shared_t &config);
// Asks the sentinels in turn, the one that answered last first, for the primary's address
// within `deadline`: true with *address (network byte order) and *port from the first that
// names it; false, with `error` saying why the last one asked could not, when none does in
// time.
bool shared_sentinel_ask(const shared_deadline &deadline, uint32_t *address, int32_t *port,
                         shared_error *error);
