// The shared store's connections: Windows Sockets, the pool, the digest and the deadline.
#include "tracking/shared/shared_connections.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/ip_address.h"

// The pool, the digest and where new sockets connect: any thread that calls the store, under
// shared_lock. The lock is made by the first start and never destroyed: a call that outlived a
// shutdown may still take it.
static CRITICAL_SECTION shared_lock;
static struct {
    bool lock_made;                   // start-up thread only
    bool running;                     // between a start and a stop: sockets given back are kept
    SOCKET idle[SHARED_POOL_MAX];     // sockets not in use
    int32_t idle_count;
    int32_t open;                     // sockets idle or in use
    uint32_t generation;              // raised by each drain; an older socket closes on return
    char digest[SHARED_DIGEST_SIZE];  // the script's, "" until known
    sockaddr_in where;                // the store new sockets connect to (a primary may move)
} shared_pool;

// The store's settings as start-up gave them: written by start-up before the store is
// installed, read without a lock by the calls after. (A call that outlived a shutdown and is
// still running when the next start writes them is the one reader that may see them change.)
static struct {
    char password[SETTINGS_SHARED_TEXT_SIZE];
    int32_t timeout_ms;
    int64_t ticks_per_second; // the performance counter's
} shared_target;

// The words of our own for the socket failures a store's warning most often shows.
static const struct {
    int32_t code;
    const char *text;
} shared_socket_errors[] = {
    {WSAECONNREFUSED, "connection refused"},   {WSAETIMEDOUT, "timed out"},
    {WSAECONNRESET, "connection reset"},       {WSAECONNABORTED, "connection aborted"},
    {WSAENETUNREACH, "network unreachable"},   {WSAEHOSTUNREACH, "host unreachable"},
};

// Fills `error` with the socket failure `code`, with words of our own where it is a known one.
static void shared_socket_error(shared_error *error, int32_t code)
{
    error->code = code;
    snprintf(error->text, sizeof error->text, "socket error");
    for (const auto &known : shared_socket_errors)
        if (known.code == code) snprintf(error->text, sizeof error->text, "%s", known.text);
}

// The performance counter now.
static int64_t shared_ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

shared_deadline shared_deadline_start()
{
    return {shared_ticks() + shared_target.timeout_ms * shared_target.ticks_per_second / 1000};
}

// Waits until `sock` can be written (`writing`; a connect's end counts) or read, within
// `deadline`: 0 when it can, else a Windows Sockets code (WSAETIMEDOUT when the time is up).
static int32_t shared_wait(SOCKET sock, bool writing, const shared_deadline &deadline)
{
    int64_t left_us = (deadline.end - shared_ticks()) * 1000000 / shared_target.ticks_per_second;
    if (left_us <= 0) return WSAETIMEDOUT;
    fd_set ready, failed; // a failed connect shows in `failed`
    FD_ZERO(&ready);
    FD_SET(sock, &ready);
    FD_ZERO(&failed);
    if (writing) FD_SET(sock, &failed);
    timeval limit = {(long)(left_us / 1000000), (long)(left_us % 1000000)};
    int count = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr,
                       writing ? &failed : nullptr, &limit);
    if (count == 0) return WSAETIMEDOUT;
    if (count < 0) return WSAGetLastError();
    if (!FD_ISSET(sock, &failed)) return 0;
    int32_t code = 0;
    int length = sizeof code;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, (char *)&code, &length) != 0 || code == 0)
        code = WSAECONNREFUSED;
    return code;
}

// A non-blocking socket connected to `where` within `deadline`; INVALID_SOCKET with `error`
// filled when that fails.
static SOCKET shared_dial(const sockaddr_in &where, const shared_deadline &deadline,
                          shared_error *error)
{
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        shared_socket_error(error, WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonblocking = 1;
    int32_t code = 0;
    if (ioctlsocket(sock, FIONBIO, &nonblocking) != 0) code = WSAGetLastError();
    else if (connect(sock, (const sockaddr *)&where, sizeof where) != 0) code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) code = shared_wait(sock, true, deadline);
    if (code != 0) {
        closesocket(sock);
        shared_socket_error(error, code);
        return INVALID_SOCKET;
    }
    BOOL on = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    return sock;
}

// Sends all `length` bytes within `deadline`: 0, or a Windows Sockets code.
static int32_t shared_send(SOCKET sock, const char *bytes, int32_t length,
                           const shared_deadline &deadline)
{
    while (length > 0) {
        int sent = send(sock, bytes, length, 0);
        if (sent > 0) {
            bytes += sent;
            length -= sent;
            continue;
        }
        int32_t code = sent == 0 ? WSAECONNRESET : WSAGetLastError();
        if (code == WSAEWOULDBLOCK) code = shared_wait(sock, true, deadline);
        if (code != 0) return code;
    }
    return 0;
}

// Receives one reply of the `expected` kind within `deadline`, reading it as it arrives.
static int32_t shared_receive(SOCKET sock, int32_t expected, const shared_deadline &deadline,
                              shared_reply *reply)
{
    char buffer[SHARED_REPLY_SIZE];
    int32_t length = 0; // below SHARED_REPLY_SIZE while the reading says MORE
    for (;;) {
        int got = recv(sock, buffer + length, SHARED_REPLY_SIZE - length, 0);
        if (got > 0) {
            length += got;
            int32_t verdict = shared_reply_read(buffer, length, expected, reply);
            if (verdict != SHARED_READ_MORE) return verdict;
            continue;
        }
        if (got == 0) {
            reply->error.code = SHARED_ERROR_CLOSED;
            snprintf(reply->error.text, sizeof reply->error.text, "Server closed the connection");
            return SHARED_READ_FAILED;
        }
        int32_t code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) code = shared_wait(sock, false, deadline);
        if (code != 0) {
            shared_socket_error(&reply->error, code);
            return SHARED_READ_FAILED;
        }
    }
}

int32_t shared_connections_call(const shared_link &link, const char *command, int32_t length,
                                int32_t expected, const shared_deadline &deadline,
                                shared_reply *reply)
{
    SOCKET sock = (SOCKET)link.socket;
    if (int32_t code = shared_send(sock, command, length, deadline)) {
        shared_socket_error(&reply->error, code);
        return SHARED_READ_FAILED;
    }
    return shared_receive(sock, expected, deadline, reply);
}

void shared_connections_digest(char *digest)
{
    EnterCriticalSection(&shared_lock);
    memcpy(digest, shared_pool.digest, SHARED_DIGEST_SIZE);
    LeaveCriticalSection(&shared_lock);
}

// Opens one connection to `where` within `deadline`: connect, AUTH when a password is set, and
// SCRIPT LOAD while the digest is not known. INVALID_SOCKET with `error` filled when a step
// fails.
static SOCKET shared_open(const sockaddr_in &where, const shared_deadline &deadline,
                          shared_error *error)
{
    SOCKET sock = shared_dial(where, deadline, error);
    if (sock == INVALID_SOCKET) return INVALID_SOCKET;
    shared_link link = {(uintptr_t)sock, 0};
    char command[SHARED_REQUEST_SIZE];
    shared_reply reply;
    int32_t verdict = SHARED_READ_DONE;
    if (shared_target.password[0] != '\0') {
        const char *argv[] = {"AUTH", shared_target.password};
        int32_t length = shared_command(command, sizeof command, 2, argv);
        verdict =
            shared_connections_call(link, command, length, SHARED_EXPECT_OK, deadline, &reply);
    }
    char digest[SHARED_DIGEST_SIZE];
    shared_connections_digest(digest);
    if (verdict == SHARED_READ_DONE && digest[0] == '\0') {
        const char *argv[] = {"SCRIPT", "LOAD", shared_script};
        int32_t length = shared_command(command, sizeof command, 3, argv);
        verdict = shared_connections_call(link, command, length, SHARED_EXPECT_DIGEST, deadline,
                                          &reply);
        if (verdict == SHARED_READ_DONE) {
            EnterCriticalSection(&shared_lock);
            memcpy(shared_pool.digest, reply.digest, SHARED_DIGEST_SIZE);
            LeaveCriticalSection(&shared_lock);
        }
    }
    if (verdict == SHARED_READ_DONE) return sock;
    *error = reply.error;
    closesocket(sock);
    return INVALID_SOCKET;
}

int32_t shared_connections_take(shared_link *link, const shared_deadline &deadline,
                                shared_error *error)
{
    EnterCriticalSection(&shared_lock);
    link->generation = shared_pool.generation;
    if (shared_pool.idle_count > 0) {
        link->socket = (uintptr_t)shared_pool.idle[--shared_pool.idle_count];
        LeaveCriticalSection(&shared_lock);
        return SHARED_TAKEN;
    }
    bool room = shared_pool.open < SHARED_POOL_MAX;
    if (room) shared_pool.open++;
    sockaddr_in where = shared_pool.where;
    LeaveCriticalSection(&shared_lock);
    if (!room) return SHARED_POOL_FULL;
    SOCKET sock = shared_open(where, deadline, error);
    if (sock == INVALID_SOCKET) {
        EnterCriticalSection(&shared_lock);
        shared_pool.open--;
        LeaveCriticalSection(&shared_lock);
        return SHARED_TAKE_FAILED;
    }
    link->socket = (uintptr_t)sock;
    return SHARED_TAKEN;
}

void shared_connections_give(const shared_link &link, bool sound)
{
    EnterCriticalSection(&shared_lock);
    bool keep = sound && shared_pool.running && link.generation == shared_pool.generation &&
                shared_pool.idle_count < SHARED_POOL_MAX;
    if (keep) shared_pool.idle[shared_pool.idle_count++] = (SOCKET)link.socket;
    else shared_pool.open--;
    LeaveCriticalSection(&shared_lock);
    if (!keep) closesocket((SOCKET)link.socket);
}

// The socket address of `address` (network byte order) and `port`.
static sockaddr_in shared_address(uint32_t address, int32_t port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons((u_short)port);
    where.sin_addr.s_addr = address;
    return where;
}

void shared_connections_aim(uint32_t address, int32_t port)
{
    EnterCriticalSection(&shared_lock);
    shared_pool.where = shared_address(address, port);
    LeaveCriticalSection(&shared_lock);
    shared_connections_drain();
}

void shared_connections_target(uint32_t *address, int32_t *port)
{
    EnterCriticalSection(&shared_lock);
    *address = shared_pool.where.sin_addr.s_addr;
    *port = ntohs(shared_pool.where.sin_port);
    LeaveCriticalSection(&shared_lock);
}

int32_t shared_connections_once(uint32_t address, int32_t port, const char *command,
                                int32_t length, int32_t expected, const shared_deadline &deadline,
                                shared_reply *reply)
{
    SOCKET sock = shared_dial(shared_address(address, port), deadline, &reply->error);
    if (sock == INVALID_SOCKET) return SHARED_READ_FAILED;
    int32_t verdict = shared_connections_call({(uintptr_t)sock, 0}, command, length, expected,
                                              deadline, reply);
    closesocket(sock);
    return verdict;
}

void shared_connections_drain()
{
    SOCKET closing[SHARED_POOL_MAX];
    EnterCriticalSection(&shared_lock);
    int32_t count = shared_pool.idle_count;
    memcpy(closing, shared_pool.idle, sizeof(closing[0]) * count);
    shared_pool.idle_count = 0;
    shared_pool.open -= count;
    shared_pool.generation++;
    LeaveCriticalSection(&shared_lock);
    for (int32_t i = 0; i < count; i++) closesocket(closing[i]);
}

bool shared_connections_start(const settings_shared_t &config)
{
    if (!shared_pool.lock_made) InitializeCriticalSection(&shared_lock);
    shared_pool.lock_made = true;
    WSADATA version;
    if (int code = WSAStartup(MAKEWORD(2, 2), &version)) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: Windows Sockets unavailable (error %d), counts stay local",
                        code);
        return false;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    memcpy(shared_target.password, config.password, sizeof shared_target.password);
    shared_target.timeout_ms = config.timeout_ms;
    shared_target.ticks_per_second = frequency.QuadPart;
    // The sockets of an earlier start close when given back.
    shared_connections_aim(config.port ? ip_parse(config.address) : 0, config.port);
    EnterCriticalSection(&shared_lock);
    shared_pool.digest[0] = '\0';
    shared_pool.running = true;
    LeaveCriticalSection(&shared_lock);
    return true;
}

void shared_connections_stop(bool calls_drained)
{
    EnterCriticalSection(&shared_lock);
    shared_pool.running = false;
    LeaveCriticalSection(&shared_lock);
    shared_connections_drain();
    if (calls_drained) WSACleanup(); // else a call still running keeps using its socket
}
