// Today's shared-store client behind the store seam (tracking/store_seam.h): its connect and
// login wrapped into a store_backend, which start-up installs once the store has started and
// shutdown removes before stopping it.
//
// Owns: shared_adapter, a constant.
// Threads: installed and removed by the host's start-up/shutdown thread; called through the
// seam by the POP3 threads and the dialog's thread, as shared_store_connect and
// shared_store_login are (tracking/shared/shared_store.h).
// Lock: none of its own; the client's pool lock is the client's.
//
// The client reads ClearTime for a count's quiet time itself, so the request's quiet_seconds is
// not passed on; a network row's "Forget" has no shared count to forget yet.
#pragma once
#include <cstdint>

#include "tracking/shared/shared_store.h"
#include "tracking/store_seam.h"

// The shared store's view of a request's network; null when it counts none.
inline const shared_network *shared_adapter_network(uint32_t address, int32_t bits,
                                                    int32_t allowance, shared_network *out)
{
    if (bits <= 0) return nullptr;
    *out = {address, bits, allowance};
    return out;
}

inline int32_t shared_adapter_connect(const store_request *request)
{
    shared_network network;
    int32_t answer = shared_store_connect(
        request->address, request->allowance, request->let_in_locally,
        shared_adapter_network(request->network, request->network_bits,
                               request->network_allowance, &network));
    return answer == SHARED_REFUSED           ? STORE_REFUSED
           : answer == SHARED_REFUSED_NETWORK ? STORE_REFUSED_NETWORK
           : answer == SHARED_LET_IN          ? STORE_LET_IN
                                              : STORE_NO_ANSWER;
}

inline void shared_adapter_forget(uint32_t address, uint32_t network, int32_t network_bits)
{
    shared_network view;
    shared_store_login(address, shared_adapter_network(network, network_bits, 0, &view));
}

inline void shared_adapter_forget_network(uint32_t, int32_t) {}

inline constexpr store_backend shared_adapter = {shared_adapter_connect, shared_adapter_forget,
                                                 shared_adapter_forget_network};
