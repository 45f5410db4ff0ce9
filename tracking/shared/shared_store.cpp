// The shared store: one Redis server, one script, a pool of connections and a breaker.
//
// DESIGN
// What is shared. One count per address (and per network, when one is given), under
// "<prefix>a:<address>" and "<prefix>n:<address>/<bits>", each expiring after ClearTime of
// quiet. The local table still decides and counts as before; the store's answer can only add a
// refusal.
// One round trip. A Lua script updates and reads the counts in one atomic step on the server, so
// that two servers deciding at once never both let in the last allowed connection, and a
// connection refused anywhere never counts for its network. It runs by EVALSHA; a server that
// does not know it (first use, a restart, a flush) answers NOSCRIPT and gets it whole by EVAL.
// Connections. A hiredis context serves one thread at a time: a pool hands out idle ones and
// opens another when none is idle, up to SHARED_POOL_MAX.
// Failure. Any error or timeout trips the breaker: for SHARED_BREAKER_MS every decision is local
// at the cost of one atomic load and a tick count, then one caller tries again while the others
// stay local. One warning when the store fails, one information line when it answers again. The
// pool is emptied on a trip (its connections may all be dead), so the retry opens a fresh one.
#include "tracking/shared/shared_store.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <hiredis/hiredis.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "settings/settings_file.h"
#include "settings/values/settings.h"

enum : int32_t {
    SHARED_KEY_SIZE = SETTINGS_SHARED_TEXT_SIZE + 32, // prefix, tag, dotted quad, /bits
    SHARED_NUMBER_SIZE = 16,
    SHARED_ERROR_SIZE = 128,
    SHARED_SHA_SIZE = 41,
};

// What went wrong with one call: a Winsock or hiredis code and a text, for the warning line.
struct shared_error {
    int32_t code;
    char text[SHARED_ERROR_SIZE];
};

static CRITICAL_SECTION shared_lock;           // made once, never destroyed (a call that outlived
                                               // a shutdown may still take it)
static std::atomic<int32_t> shared_lock_made;  // start-up thread; 1 once shared_lock exists
static redisContext *shared_idle[SHARED_POOL_MAX]; // shared_lock: connections not in use
static int32_t shared_idle_count;              // shared_lock
static int32_t shared_open;                    // shared_lock: connections idle or in use
static uint32_t shared_generation;             // shared_lock: raised by each trip and stop; a
                                               // connection of an older one is closed on return
static char shared_sha[SHARED_SHA_SIZE];       // shared_lock: the script's digest, "" until known
static std::atomic<int32_t> shared_on;         // start/stop thread writes; POP3 threads read
                                               // (relaxed: the event gate orders start-up
                                               // before any call)
static std::atomic<int32_t> shared_broken;     // 1 while the breaker is open; any thread (relaxed)
static std::atomic<uint32_t> shared_retry_at;  // tick count of the next try; any thread (relaxed)
static std::atomic<int32_t> shared_failing;    // 1 from the warning until the recovery line
static std::atomic<void *> shared_poll_target; // start-up writes, hiredis' waits read (relaxed):
                                               // the system's WSAPoll, null until looked up
static uint32_t shared_tick() { return GetTickCount(); }
uint32_t (*shared_clock)() = shared_tick;      // fixed before the first call (tests set it)

// The script. KEYS[1] the address's count, KEYS[2] (optional) its network's. ARGV[1] 'c' for a
// connection, 'l' for a login. For a connection: ARGV[2] the address's allowance, ARGV[3] the
// quiet time in seconds, ARGV[4] '1' when the local table let the connection in, ARGV[5] the
// network's allowance. Returns {decision, address count, network count}: 0 let in, 1 refused
// for the address, 2 refused for the network.
static const char shared_script[] =
    "local a = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "if ARGV[1] == 'l' then\n"
    "  redis.call('DEL', KEYS[1])\n"
    "  if KEYS[2] and a > 0 and redis.call('DECRBY', KEYS[2], a) <= 0 then\n"
    "    redis.call('DEL', KEYS[2])\n"
    "  end\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "local quiet = ARGV[3]\n"
    "local n = 0\n"
    "local full = false\n"
    "if KEYS[2] then\n"
    "  n = tonumber(redis.call('GET', KEYS[2]) or '0')\n"
    "  full = n >= tonumber(ARGV[5])\n"
    "  if full then redis.call('EXPIRE', KEYS[2], quiet) end\n"
    "end\n"
    "if a > 0 and a >= tonumber(ARGV[2]) then\n"
    "  redis.call('EXPIRE', KEYS[1], quiet)\n"
    "  return {1, a, n}\n"
    "end\n"
    "if full then return {2, a, n} end\n"
    "if ARGV[4] ~= '1' then\n"
    "  if a > 0 then redis.call('EXPIRE', KEYS[1], quiet) end\n"
    "  return {0, a, n}\n"
    "end\n"
    "a = redis.call('INCR', KEYS[1])\n"
    "redis.call('EXPIRE', KEYS[1], quiet)\n"
    "if KEYS[2] then\n"
    "  n = redis.call('INCR', KEYS[2])\n"
    "  redis.call('EXPIRE', KEYS[2], quiet)\n"
    "end\n"
    "return {0, a, n}\n";

// WSAPoll, which hiredis waits with, exists from Windows Vista on. Imported by name it would keep
// the whole module from loading on an older Windows, store or not; so the procedure hiredis
// calls by that name is defined here and forwards to the system's, which shared_store_start
// looks up. Until then, and where there is none, it fails as a Winsock without the call would.
typedef int(WSAAPI shared_poll_fn)(void *, ULONG, INT); // WSAPOLLFD is hidden below Vista
static int WSAAPI shared_no_poll(void *, ULONG, INT)
{
    WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}
#ifdef _WIN64
extern "C" int WSAAPI shared_poll(void *, ULONG, INT) __asm__("WSAPoll");
#else
extern "C" int WSAAPI shared_poll(void *, ULONG, INT) __asm__("_WSAPoll@12");
#endif
int WSAAPI shared_poll(void *fds, ULONG count, INT timeout)
{
    void *poll = shared_poll_target.load(std::memory_order_relaxed);
    return poll ? ((shared_poll_fn *)poll)(fds, count, timeout) : shared_no_poll(fds, count, timeout);
}

bool shared_store_on() { return shared_on.load(std::memory_order_relaxed) != 0; }

// hiredis turns a socket error into an errno value, and its text for one on Windows is often
// "Unknown error": the Windows code goes back into the warning, with words of our own.
static const struct {
    int errno_value;
    int32_t code;
    const char *text;
} shared_socket_errors[] = {
    {ECONNREFUSED, WSAECONNREFUSED, "connection refused"},
    {ETIMEDOUT, WSAETIMEDOUT, "timed out"},
    {EWOULDBLOCK, WSAEWOULDBLOCK, "timed out"},
    {EAGAIN, WSAEWOULDBLOCK, "timed out"},
    {ECONNRESET, WSAECONNRESET, "connection reset"},
    {ECONNABORTED, WSAECONNABORTED, "connection aborted"},
    {ENETUNREACH, WSAENETUNREACH, "network unreachable"},
    {EHOSTUNREACH, WSAEHOSTUNREACH, "host unreachable"},
};

// Fills `error` from a context that failed (null: none could be made), with `saved_errno` read
// right after the failing call.
static void shared_error_from(shared_error *error, const redisContext *context, int saved_errno)
{
    if (context == nullptr) {
        error->code = REDIS_ERR_OOM;
        snprintf(error->text, sizeof error->text, "no memory for a connection");
        return;
    }
    error->code = context->err;
    snprintf(error->text, sizeof error->text, "%s", context->errstr);
    if (context->err != REDIS_ERR_IO) return;
    for (const auto &known : shared_socket_errors)
        if (known.errno_value == saved_errno) {
            error->code = known.code;
            snprintf(error->text, sizeof error->text, "%s", known.text);
            return;
        }
}

// Runs one command; a reply, or null with `error` filled. A reply of the error type is freed and
// counts as a failure unless it begins with `allowed` (then it is returned).
static redisReply *shared_command(redisContext *context, int argc, const char **argv,
                                  shared_error *error, const char *allowed = nullptr)
{
    errno = 0;
    redisReply *reply = (redisReply *)redisCommandArgv(context, argc, argv, nullptr);
    if (reply == nullptr) {
        shared_error_from(error, context, errno);
        return nullptr;
    }
    if (reply->type == REDIS_REPLY_ERROR &&
        (allowed == nullptr || strncmp(reply->str, allowed, strlen(allowed)) != 0)) {
        error->code = REDIS_ERR_OTHER;
        snprintf(error->text, sizeof error->text, "%s", reply->str);
        freeReplyObject(reply);
        return nullptr;
    }
    return reply;
}

// Sets `error` to a socket error code with words of our own where it is a known one.
static void shared_socket_error(shared_error *error, int32_t code)
{
    error->code = code;
    snprintf(error->text, sizeof error->text, "socket error");
    for (const auto &known : shared_socket_errors)
        if (known.code == code) {
            snprintf(error->text, sizeof error->text, "%s", known.text);
            return;
        }
}

// Connects a socket to the store within SharedTimeout; INVALID_SOCKET with `error` filled when
// it fails. Done here rather than by hiredis, whose connect loses the socket's error code.
static SOCKET shared_dial(shared_error *error)
{
    const settings_shared_t &s = settings_shared;
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        shared_socket_error(error, WSAGetLastError());
        return INVALID_SOCKET;
    }
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons((u_short)s.port);
    where.sin_addr.s_addr = inet_addr(s.address);
    u_long nonblocking = 1;
    int32_t code = 0;
    if (ioctlsocket(sock, FIONBIO, &nonblocking) != 0) code = WSAGetLastError();
    else if (connect(sock, (sockaddr *)&where, sizeof where) != 0 &&
             WSAGetLastError() != WSAEWOULDBLOCK)
        code = WSAGetLastError();
    if (code == 0) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_SET(sock, &writable);
        FD_ZERO(&failed);
        FD_SET(sock, &failed);
        timeval limit = {s.timeout_ms / 1000, (s.timeout_ms % 1000) * 1000};
        int ready = select(0, nullptr, &writable, &failed, &limit);
        int length = sizeof code;
        if (ready == 0) code = WSAETIMEDOUT;
        else if (ready < 0) code = WSAGetLastError();
        else if (FD_ISSET(sock, &failed) &&
                 (getsockopt(sock, SOL_SOCKET, SO_ERROR, (char *)&code, &length) != 0 || code == 0))
            code = WSAECONNREFUSED;
    }
    nonblocking = 0;
    if (code == 0 && ioctlsocket(sock, FIONBIO, &nonblocking) != 0) code = WSAGetLastError();
    if (code != 0) {
        closesocket(sock);
        shared_socket_error(error, code);
        return INVALID_SOCKET;
    }
    BOOL on = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    return sock;
}

// Opens one connection: connect, AUTH when a password is set, and SCRIPT LOAD while the digest
// is not known. Null with `error` filled when any step fails. Takes shared_lock only to store the
// digest.
static redisContext *shared_connect(shared_error *error)
{
    const settings_shared_t &s = settings_shared;
    SOCKET sock = shared_dial(error);
    if (sock == INVALID_SOCKET) return nullptr;
    redisContext *context = redisConnectFd((redisFD)sock);
    timeval limit = {s.timeout_ms / 1000, (s.timeout_ms % 1000) * 1000};
    if (context == nullptr || context->err || redisSetTimeout(context, limit) != REDIS_OK) {
        shared_error_from(error, context, errno);
        if (context) redisFree(context);
        else closesocket(sock);
        return nullptr;
    }
    if (s.password[0] != '\0') {
        const char *argv[] = {"AUTH", s.password};
        redisReply *reply = shared_command(context, 2, argv, error);
        if (reply == nullptr) {
            redisFree(context);
            return nullptr;
        }
        freeReplyObject(reply);
    }
    EnterCriticalSection(&shared_lock);
    bool known = shared_sha[0] != '\0';
    LeaveCriticalSection(&shared_lock);
    if (!known) {
        const char *argv[] = {"SCRIPT", "LOAD", shared_script};
        redisReply *reply = shared_command(context, 3, argv, error);
        if (reply == nullptr) {
            redisFree(context);
            return nullptr;
        }
        if (reply->type == REDIS_REPLY_STRING && reply->len == SHARED_SHA_SIZE - 1) {
            EnterCriticalSection(&shared_lock);
            memcpy(shared_sha, reply->str, SHARED_SHA_SIZE - 1);
            shared_sha[SHARED_SHA_SIZE - 1] = '\0';
            LeaveCriticalSection(&shared_lock);
        }
        freeReplyObject(reply);
    }
    return context;
}

// Closes the idle connections and marks those in use to be closed when given back. The closing
// happens outside the lock.
static void shared_drain_pool()
{
    redisContext *closing[SHARED_POOL_MAX];
    EnterCriticalSection(&shared_lock);
    int32_t count = shared_idle_count;
    memcpy(closing, shared_idle, sizeof(closing[0]) * count);
    shared_idle_count = 0;
    shared_open -= count;
    shared_generation++;
    LeaveCriticalSection(&shared_lock);
    for (int32_t i = 0; i < count; i++) redisFree(closing[i]);
}

// Opens the breaker after a failure; the first failure after a good spell is logged.
static void shared_trip(const shared_error &error)
{
    shared_retry_at.store(shared_clock() + SHARED_BREAKER_MS, std::memory_order_relaxed);
    shared_broken.store(1, std::memory_order_relaxed);
    shared_drain_pool();
    if (shared_failing.exchange(1) == 0)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: shared store %s:%d failed (error %d: %s), deciding locally",
                        settings_shared.address, settings_shared.port, (int)error.code,
                        error.text);
}

// A call that succeeded closes the breaker; the first after a failure is logged.
static void shared_mend()
{
    if (shared_broken.load(std::memory_order_relaxed))
        shared_broken.store(0, std::memory_order_relaxed);
    if (shared_failing.load(std::memory_order_relaxed) && shared_failing.exchange(0) == 1)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: shared store %s:%d answers again, counts shared",
                        settings_shared.address, settings_shared.port);
}

// True when a call may go to the store now. While the breaker is open: false until the retry
// time, then true for the one caller that moves the retry time on.
static bool shared_may_call()
{
    if (!shared_on.load(std::memory_order_relaxed)) return false;
    if (!shared_broken.load(std::memory_order_relaxed)) return true;
    uint32_t due = shared_retry_at.load(std::memory_order_relaxed);
    uint32_t now = shared_clock();
    if ((int32_t)(now - due) < 0) return false;
    return shared_retry_at.compare_exchange_strong(due, now + SHARED_BREAKER_MS,
                                                   std::memory_order_relaxed);
}

// An idle connection, or a new one; null when the pool is at its limit or the connect failed
// (then the breaker is tripped). `generation` receives the pool generation it belongs to.
static redisContext *shared_take(uint32_t *generation)
{
    EnterCriticalSection(&shared_lock);
    *generation = shared_generation;
    if (shared_idle_count > 0) {
        redisContext *context = shared_idle[--shared_idle_count];
        LeaveCriticalSection(&shared_lock);
        return context;
    }
    bool room = shared_open < (int32_t)SHARED_POOL_MAX;
    if (room) shared_open++;
    LeaveCriticalSection(&shared_lock);
    if (!room) return nullptr;
    shared_error error;
    redisContext *context = shared_connect(&error);
    if (context == nullptr) {
        EnterCriticalSection(&shared_lock);
        shared_open--;
        LeaveCriticalSection(&shared_lock);
        shared_trip(error);
    }
    return context;
}

// Gives a connection back: kept for the next call when it is sound and of the current
// generation while the store is on, else closed.
static void shared_give(redisContext *context, uint32_t generation, bool sound)
{
    EnterCriticalSection(&shared_lock);
    bool keep = sound && generation == shared_generation && shared_on.load() &&
                shared_idle_count < (int32_t)SHARED_POOL_MAX;
    if (keep) shared_idle[shared_idle_count++] = context;
    else shared_open--;
    LeaveCriticalSection(&shared_lock);
    if (!keep) redisFree(context);
}

// Formats an address's key, or a network's when `bits` is not 0.
static void shared_key(char *key, uint32_t address, int32_t bits)
{
    const unsigned char *b = (const unsigned char *)&address;
    if (bits == 0)
        snprintf(key, SHARED_KEY_SIZE, "%sa:%u.%u.%u.%u", settings_shared.prefix, b[0], b[1], b[2],
                 b[3]);
    else
        snprintf(key, SHARED_KEY_SIZE, "%sn:%u.%u.%u.%u/%d", settings_shared.prefix, b[0], b[1],
                 b[2], b[3], (int)bits);
}

// Runs the script with `args` after its keys; fills `result` from its reply. SHARED_NO_ANSWER
// when the store could not be asked or failed (the breaker then trips).
static int32_t shared_run(uint32_t address, const shared_network *network, int argc,
                          const char **args, long long *result)
{
    if (!shared_may_call()) return SHARED_NO_ANSWER;
    uint32_t generation;
    redisContext *context = shared_take(&generation);
    if (context == nullptr) return SHARED_NO_ANSWER;

    char sha[SHARED_SHA_SIZE];
    EnterCriticalSection(&shared_lock);
    memcpy(sha, shared_sha, sizeof sha);
    LeaveCriticalSection(&shared_lock);
    char address_key[SHARED_KEY_SIZE], network_key[SHARED_KEY_SIZE];
    shared_key(address_key, address, 0);
    if (network) shared_key(network_key, network->address, network->bits);
    const char *argv[16];
    int n = 0;
    argv[n++] = sha[0] ? "EVALSHA" : "EVAL";
    argv[n++] = sha[0] ? sha : shared_script;
    argv[n++] = network ? "2" : "1";
    argv[n++] = address_key;
    if (network) argv[n++] = network_key;
    for (int i = 0; i < argc; i++) argv[n++] = args[i];

    shared_error error;
    redisReply *reply = shared_command(context, n, argv, &error, "NOSCRIPT");
    if (reply && reply->type == REDIS_REPLY_ERROR) { // the server lost the script: send it whole
        freeReplyObject(reply);
        argv[0] = "EVAL";
        argv[1] = shared_script;
        reply = shared_command(context, n, argv, &error);
    }
    bool sound = reply != nullptr && reply->type == REDIS_REPLY_ARRAY && reply->elements == 3;
    if (reply && !sound) {
        error.code = REDIS_ERR_PROTOCOL;
        snprintf(error.text, sizeof error.text, "unexpected reply of type %d", reply->type);
    }
    if (sound)
        for (int i = 0; i < 3; i++) result[i] = reply->element[i]->integer;
    if (reply) freeReplyObject(reply);
    shared_give(context, generation, sound);
    if (!sound) {
        shared_trip(error);
        return SHARED_NO_ANSWER;
    }
    shared_mend();
    return SHARED_LET_IN;
}

int32_t shared_store_connect(uint32_t address, int32_t allowance, bool let_in_locally,
                             const shared_network *network)
{
    if (!shared_on.load(std::memory_order_relaxed)) return SHARED_NO_ANSWER;
    char allow[SHARED_NUMBER_SIZE], quiet[SHARED_NUMBER_SIZE], network_allow[SHARED_NUMBER_SIZE];
    snprintf(allow, sizeof allow, "%d", (int)allowance);
    snprintf(quiet, sizeof quiet, "%d",
             (int)settings.clear_time.load(std::memory_order_relaxed) * 60);
    snprintf(network_allow, sizeof network_allow, "%d", network ? (int)network->allowance : 0);
    const char *args[] = {"c", allow, quiet, let_in_locally ? "1" : "0", network_allow};
    long long result[3];
    if (shared_run(address, network, 5, args, result) == SHARED_NO_ANSWER) return SHARED_NO_ANSWER;
    return result[0] == 1   ? SHARED_REFUSED
           : result[0] == 2 ? SHARED_REFUSED_NETWORK
                            : SHARED_LET_IN;
}

void shared_store_login(uint32_t address, const shared_network *network)
{
    if (!shared_on.load(std::memory_order_relaxed)) return;
    const char *args[] = {"l"};
    long long result[3];
    shared_run(address, network, 1, args, result);
}

void shared_store_start()
{
    if (settings_shared.port == 0) return;
    if (shared_lock_made.exchange(1) == 0) InitializeCriticalSection(&shared_lock);
    WSADATA version;
    if (int code = WSAStartup(MAKEWORD(2, 2), &version)) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: Windows Sockets unavailable (error %d), counts stay local",
                        code);
        return;
    }
    if (FARPROC poll = GetProcAddress(GetModuleHandleA("ws2_32.dll"), "WSAPoll"))
        shared_poll_target.store((void *)poll, std::memory_order_relaxed);
    EnterCriticalSection(&shared_lock);
    shared_sha[0] = '\0';
    shared_generation++;
    LeaveCriticalSection(&shared_lock);
    shared_broken.store(0, std::memory_order_relaxed);
    shared_failing.store(0);
    shared_on.store(1, std::memory_order_relaxed);
    uint32_t generation;
    redisContext *context = shared_take(&generation); // a failure trips the breaker and warns
    if (context) shared_give(context, generation, true);
}

void shared_store_stop()
{
    if (!shared_on.load(std::memory_order_relaxed)) return;
    shared_on.store(0, std::memory_order_relaxed);
    shared_drain_pool();
    WSACleanup(); // a connection still in a call keeps its socket until it is given back
}
