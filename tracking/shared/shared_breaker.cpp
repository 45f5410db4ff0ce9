// The shared store's breaker.
#include "tracking/shared/shared_breaker.h"

#include <atomic>

// The breaker's words; any thread that calls the store, relaxed (see the header).
static struct {
    std::atomic<int32_t> open;      // 1 while calls stay local
    std::atomic<uint32_t> retry_at; // the time of the next try while open
    std::atomic<int32_t> failing;   // 1 from a failure's warning until the recovery line
} shared_breaker;

void shared_breaker_reset()
{
    shared_breaker.open.store(0, std::memory_order_relaxed);
    shared_breaker.failing.store(0, std::memory_order_relaxed);
}

bool shared_breaker_may_call(uint32_t now)
{
    if (!shared_breaker.open.load(std::memory_order_relaxed)) return true;
    uint32_t due = shared_breaker.retry_at.load(std::memory_order_relaxed);
    if ((int32_t)(now - due) < 0) return false;
    return shared_breaker.retry_at.compare_exchange_strong(due, now + SHARED_BREAKER_MS,
                                                           std::memory_order_relaxed);
}

bool shared_breaker_trip(uint32_t now)
{
    shared_breaker.retry_at.store(now + SHARED_BREAKER_MS, std::memory_order_relaxed);
    shared_breaker.open.store(1, std::memory_order_relaxed);
    return shared_breaker.failing.exchange(1, std::memory_order_relaxed) == 0;
}

bool shared_breaker_mend()
{
    if (shared_breaker.open.load(std::memory_order_relaxed))
        shared_breaker.open.store(0, std::memory_order_relaxed);
    return shared_breaker.failing.load(std::memory_order_relaxed) &&
           shared_breaker.failing.exchange(0, std::memory_order_relaxed) == 1;
}
