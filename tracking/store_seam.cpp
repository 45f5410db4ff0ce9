// The store in use behind the seam.
#include "tracking/store_seam.h"

std::atomic<const store_backend *> store_current; // see the header for who reads and writes it

void store_install(const store_backend *store)
{
    store_current.store(store, std::memory_order_relaxed);
}
