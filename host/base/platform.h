// The platform services the address table needs: the table's locks, the clock, an unguessable
// word; and the call gate's waits: a millisecond clock and a sleep. (Addresses as text are
// host/base/ip_address.h's.)
//
// Windows: a critical section (re-entrant by the thread that holds it). Elsewhere (the native
// sanitizer, fuzzing and benchmark builds): a recursive pthread mutex.
#pragma once
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
typedef CRITICAL_SECTION db_mutex;
inline void db_mutex_init(db_mutex *m) { InitializeCriticalSection(m); }
inline void db_mutex_destroy(db_mutex *m) { DeleteCriticalSection(m); }
inline void db_mutex_enter(db_mutex *m) { EnterCriticalSection(m); }
inline void db_mutex_leave(db_mutex *m) { LeaveCriticalSection(m); }
// True when the calling thread holds the lock (for tests that check what runs under it).
inline bool db_mutex_owned(const db_mutex *m)
{
    return m->RecursionCount > 0 && (DWORD)(uintptr_t)m->OwningThread == GetCurrentThreadId();
}
#else
#include <pthread.h>
struct db_mutex {
    pthread_mutex_t mutex;
    pthread_t owner;  // meaningful while depth > 0; written only by the holder
    int depth;        // re-entry depth; written only by the holder
};
inline void db_mutex_init(db_mutex *m)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    m->depth = 0;
}
inline void db_mutex_destroy(db_mutex *m) { pthread_mutex_destroy(&m->mutex); }
inline void db_mutex_enter(db_mutex *m)
{
    pthread_mutex_lock(&m->mutex);
    m->owner = pthread_self();
    m->depth++;
}
inline void db_mutex_leave(db_mutex *m)
{
    m->depth--;
    pthread_mutex_unlock(&m->mutex);
}
// True when the calling thread holds the lock. Only the holder's own answer is reliable; a
// thread that does not hold it may read a stale owner, so it tries the lock instead.
inline bool db_mutex_owned(db_mutex *m)
{
    if (pthread_mutex_trylock(&m->mutex) != 0) return false; // held by another thread
    bool mine = m->depth > 0;                                // re-entered: we held it before
    pthread_mutex_unlock(&m->mutex);
    return mine;
}
#endif

#ifdef _WIN32
// Whole seconds since 1970 from the system time: the value time() gives, read without the
// C runtime's time-zone work that makes time() cost several times a whole decision on some
// runtimes.
inline int32_t platform_time_now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ticks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime; // 100 ns since 1601
    const uint64_t ticks_1601_to_1970 = 116444736000000000ull;
    return (int32_t)((ticks - ticks_1601_to_1970) / 10000000ull);
}
// A word no client can guess, for keying the table's hash: the high-resolution counter, the
// process and thread ids and an address of the stack, mixed.
inline uint32_t platform_random_word()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t x = (uint64_t)counter.QuadPart ^ ((uint64_t)GetCurrentProcessId() << 32) ^
                 ((uint64_t)GetCurrentThreadId() << 16) ^ (uint64_t)(uintptr_t)&counter ^
                 GetTickCount();
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return (uint32_t)x;
}
// Milliseconds from some fixed moment, wrapping at 32 bits: differences of two readings measure
// a wait.
inline uint32_t platform_ticks_ms() { return GetTickCount(); }
// Gives the processor away for about `ms` milliseconds (a whole timer tick at least on Windows).
inline void platform_sleep_ms(uint32_t ms) { Sleep(ms); }
#else
#include <ctime>
#include <unistd.h>
inline int32_t platform_time_now() { return (int32_t)time(nullptr); }
inline uint32_t platform_random_word()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = (uint64_t)now.tv_nsec ^ ((uint64_t)now.tv_sec << 32) ^ ((uint64_t)getpid() << 16) ^
                 (uint64_t)(uintptr_t)&now;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return (uint32_t)x;
}
inline uint32_t platform_ticks_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}
inline void platform_sleep_ms(uint32_t ms)
{
    timespec wait = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&wait, nullptr);
}
#endif
