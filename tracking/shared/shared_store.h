// The shared store: the counts of several mail servers kept together in one Redis server, so
// that a guesser who spreads its tries over the servers gets one allowance, not one per server.
// Behind the seam of tracking/store_seam.h: start-up installs the store_backend it provides.
//
// Owns: the on flag, the flag that has the sentinels asked, and what its log lines and keys need
// of the store's settings (the primary's name, the prefix); the protocol, the connections, the
// sentinels and the breaker are units of their own (shared_protocol.h, shared_connections.h,
// shared_sentinel.h, shared_breaker.h).
// Threads: shared_store_start and shared_store_stop run on the host's start-up/shutdown thread; the
// backend's procedures on the POP3 threads and the dialog's thread, inside the event gate, and its
// sync on the sweeper's thread (joined by shutdown before the store stops). The on flag is atomic
// (relaxed: the event gate orders start-up before any call), and so is the ask flag (relaxed: it
// only chooses which call asks the sentinels); the settings are written by start-up before the on
// flag and only read after.
#pragma once
#include <cstdint>

#include "settings/values/settings.h"
#include "tracking/shared/shared_breaker.h"
#include "tracking/store_seam.h"

// The breaker's clock in milliseconds: GetTickCount; tests replace it before the first call.
extern uint32_t (*shared_clock)();

// Starts the store `config` names, every limit of it taken from there (the timeout, the
// address or the sentinels and the primary's name, the password, the prefix), and returns the
// store for store_install; null when `config` names none (port 0 and no sentinel) or Windows
// Sockets cannot start (with its warning). The first connection, the sentinels' answer and the
// script's loading included, takes at most config.timeout_ms: a store that cannot be had by then
// trips the breaker with its one warning, and start-up goes on.
const store_backend *shared_store_start(const settings_shared_t &config);
// Stops the store: closes the idle connections, and makes those in use close when given back.
// Returns at once: each call in flight ends by its own deadline. Windows Sockets is cleaned up
// only when `calls_drained` (no event call can be inside the store any more): a call that
// outlived shutdown's wait keeps using its socket.
void shared_store_stop(bool calls_drained);
