// The shared store's connections: Windows Sockets, the pool of sockets to the store, the
// script's digest, and the deadline every call keeps.
//
// Owns: the pool (the idle sockets, the open count, the generation), the digest, the store new
// sockets connect to (the primary, which may move), and the store's password and timeout as
// start-up gave them.
// Threads: shared_connections_start and shared_connections_stop run on the host's start-up/shutdown
// thread; the others on the POP3 threads, the dialog's thread and the sweeper's (its sync), several
// at once, and on start-up's. The pool, the digest and the store's address are guarded by the
// connections' own lock (never a table lock, and no host call is made while it is held). The
// start-up values are written before the store is installed and only read after.
//
// DESIGN
// A socket serves one call at a time: the pool hands out an idle one, or opens another
// (connect, AUTH when a password is set, SCRIPT LOAD while the digest is not known) up to
// SHARED_POOL_MAX. Every socket is non-blocking and every wait is a select() bounded by the
// call's deadline, so a call ends by its deadline whatever the store does: an opening, a
// request and its reply all count against the one deadline. A reply is received into a buffer
// of SHARED_REPLY_SIZE on the caller's stack and read as it arrives (shared_protocol.h): it
// fails as soon as it cannot be the expected one, and the pool allocates nothing. A socket
// whose call failed, or of an older generation (raised by every drain), is closed when given
// back.
#pragma once
#include <cstdint>

#include "settings/values/settings.h"
#include "tracking/shared/shared_protocol.h"

enum : int32_t { SHARED_POOL_MAX = 64 }; // most connections open at once; beyond, calls stay local

// When a call must be over: a point on the performance counter.
struct shared_deadline {
    int64_t end;
};

// A socket taken from the pool, and the generation it belongs to.
struct shared_link {
    uintptr_t socket;
    uint32_t generation;
};

// What shared_connections_take found.
enum : int32_t {
    SHARED_TAKEN,      // a socket, idle or newly opened
    SHARED_POOL_FULL,  // SHARED_POOL_MAX open already: the call stays local, nothing failed
    SHARED_TAKE_FAILED // the opening failed: error says why
};

// Starts Windows Sockets and takes `config` for every connection from now on, aimed at its
// address and port (none while port is 0: the sentinels name the primary later): the digest is
// forgotten and the sockets of an earlier start are closed when given back. False, with its
// warning logged, when Windows Sockets cannot start.
bool shared_connections_start(const settings_shared_t &config);
// Closes every idle socket; those in use close when given back. Windows Sockets is cleaned up
// only when `calls_drained`: a call still running keeps using its socket.
void shared_connections_stop(bool calls_drained);
// Closes the idle sockets and makes those in use close when given back (after a failure, when
// they may all be dead).
void shared_connections_drain();
// Aims every new socket at `address` (network byte order) and `port`, and drains the pool: the
// sockets to the last store close.
void shared_connections_aim(uint32_t address, int32_t port);
// The store new sockets are aimed at (address 0 and port 0 before any).
void shared_connections_target(uint32_t *address, int32_t *port);
// One question outside the pool: connects to `address` and `port`, sends the `length` bytes of
// `command`, reads the reply as `expected` and closes, all within `deadline`. Returns as
// shared_connections_call.
int32_t shared_connections_once(uint32_t address, int32_t port, const char *command,
                                int32_t length, int32_t expected, const shared_deadline &deadline,
                                shared_reply *reply);

// The deadline of a call starting now: SharedTimeout from now.
shared_deadline shared_deadline_start();
// An idle socket, or a new one opened within `deadline`.
int32_t shared_connections_take(shared_link *link, const shared_deadline &deadline,
                                shared_error *error);
// Gives a socket back: kept for the next call when `sound` and of the current generation, else
// closed.
void shared_connections_give(const shared_link &link, bool sound);
// Sends the `length` bytes of `command` on `link` and reads its reply as `expected` within
// `deadline`. Returns SHARED_READ_DONE, SHARED_READ_REFUSED or SHARED_READ_FAILED (the
// socket's failures included, with reply->error filled).
int32_t shared_connections_call(const shared_link &link, const char *command, int32_t length,
                                int32_t expected, const shared_deadline &deadline,
                                shared_reply *reply);
// The script's digest into `digest` (SHARED_DIGEST_SIZE bytes): "" until a SCRIPT LOAD told it.
void shared_connections_digest(char *digest);
