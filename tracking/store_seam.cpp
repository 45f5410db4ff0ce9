// The store in use behind the seam.
#include "tracking/store_seam.h"

#include <atomic>

// Written by start-up and shutdown (store_install), read by the POP3 and dialog threads; relaxed:
// the event gate orders an install before the calls that may see it.
static std::atomic<const store_backend *> store_current;

const store_backend *store_in_use() { return store_current.load(std::memory_order_relaxed); }

void store_install(const store_backend *store)
{
    store_current.store(store, std::memory_order_relaxed);
}
