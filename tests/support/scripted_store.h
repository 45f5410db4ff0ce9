// A store for the tests, behind the store seam (tracking/store_seam.h), that answers every
// connection with scripted_answer, whatever a real store's script would say, and forgets
// nothing. Test threads only.
#pragma once
#include <cstdint>

#include "tracking/store_seam.h"

inline int32_t scripted_answer = STORE_NO_ANSWER;

inline int32_t scripted_connect(const store_request *, store_answer *) { return scripted_answer; }
inline void scripted_forget(uint32_t, uint32_t, int32_t) {}
inline void scripted_forget_network(uint32_t, int32_t) {}
inline void scripted_refuse(const store_request *) {}
inline constexpr store_backend scripted_store = {scripted_connect, scripted_forget,
                                                 scripted_forget_network, scripted_refuse,
                                                 scripted_refuse, nullptr, nullptr};
