// The call gate's counts.
//
// DESIGN: a call counts itself in with one atomic add and out with one subtract, on the count of
// the phase it read. The lists' writer publishes a new set, then (behind a sequentially
// consistent fence) needs to know that every call that might have read the old pointer has left.
// Any such call added itself to some count before it read the pointer, and so before the
// publish: a count the writer then reads at 0 has seen that call leave. One count alone would
// seldom read 0 on a busy server; so the writer first turns new calls to the other phase and
// then waits for the count they left, which only drains, and does the same for the other count:
// each is then seen empty once, whichever a call went into and however late it read the phase.
#include "tracking/call_gate.h"

#include <atomic>

#include "host/base/platform.h"

// POP3 and dialog threads count in and out; the lists' writer flips the phase and reads the
// counts; start-up and shutdown read the counts. Orderings as the header says.
static struct {
    std::atomic<int32_t> phase;                       // relaxed
    std::atomic<int32_t> in_flight[CALL_GATE_COUNTS]; // sequentially consistent
} call_gate;

int32_t call_gate_enter()
{
    int32_t phase = call_gate.phase.load(std::memory_order_relaxed);
    call_gate.in_flight[phase].fetch_add(1);
    return phase;
}

void call_gate_enter_apart() { call_gate.in_flight[CALL_GATE_APART].fetch_add(1); }

void call_gate_leave(int32_t count) { call_gate.in_flight[count].fetch_sub(1); }

// Waits until `count` reads 0; false once `limit_ms` have passed since `start`. Measured on the
// clock, not in rounds: a sleep of 1 ms lasts a whole timer tick on Windows.
static bool call_gate_wait(int32_t count, uint32_t start, uint32_t limit_ms)
{
    while (call_gate.in_flight[count].load() != 0) {
        if (platform_ticks_ms() - start >= limit_ms) return false;
        platform_sleep_ms(1);
    }
    return true;
}

bool call_gate_drain(uint32_t limit_ms)
{
    uint32_t start = platform_ticks_ms();
    for (int32_t count = 0; count < CALL_GATE_COUNTS; count++)
        if (!call_gate_wait(count, start, limit_ms)) return false;
    return true;
}

bool call_gate_grace(uint32_t limit_ms)
{
    // What the caller stored before (a set pointer) is ordered before the counts read here.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    uint32_t start = platform_ticks_ms();
    for (int32_t round = 0; round < CALL_GATE_PHASES; round++) {
        int32_t left = call_gate.phase.load(std::memory_order_relaxed);
        call_gate.phase.store(1 - left, std::memory_order_relaxed);
        if (!call_gate_wait(left, start, limit_ms)) return false;
    }
    return true;
}
