// The lists' sets in force, and the retired ones.
//
// DESIGN: a new set is made off to the side and put in force by one pointer store, so that a
// POP3 call meets the whole old list or the whole new one. The set it replaces is retired: some
// call may have read its pointer just before the store. It is given back only after a grace
// period of the call gate (tracking/call_gate.h): every POP3 call counted in before it has left.
// A busy server never leaves the gate empty, but each phase's count does drain once new calls go
// to the other, so the wait is short; when it runs out (a call stuck in the host) the set stays
// retired and the next writer tries again. Never early: a set is freed only after a grace that
// began after it was retired.
#include "tracking/list_sets.h"

#include "host/base/platform.h"
#include "tracking/call_gate.h"

list_in_force_t list_in_force; // see the header: POP3 threads read, the writers store

// The writers' own, under `lock`: the sets replaced and not yet given back.
static struct {
    db_mutex lock;
    range_set *retired[LIST_RETIRED_MAX];
    int32_t retired_count;
} list_writer;
// The lock is made when the module is loaded, before any thread can take it.
[[maybe_unused]] static const bool list_writer_ready = (db_mutex_init(&list_writer.lock), true);

void list_writer_enter() { db_mutex_enter(&list_writer.lock); }

void list_writer_leave() { db_mutex_leave(&list_writer.lock); }

bool list_give_back_retired(uint32_t limit_ms)
{
    list_writer_enter();
    bool done = list_writer.retired_count == 0 || call_gate_grace(limit_ms);
    if (done) {
        for (int32_t i = 0; i < list_writer.retired_count; i++)
            range_set_free(list_writer.retired[i]);
        list_writer.retired_count = 0;
    }
    list_writer_leave();
    return done;
}

bool list_publish(list_kind kind, range_set *set, uint32_t limit_ms)
{
    list_writer_enter();
    bool room = list_writer.retired_count < LIST_RETIRED_MAX || list_give_back_retired(limit_ms);
    if (room) {
        // Only the writers store, so the pointer in force is read without ordering.
        range_set *replaced = list_in_force.set[kind].load(std::memory_order_relaxed);
        list_in_force.set[kind].store(set, std::memory_order_release);
        if (replaced != nullptr) list_writer.retired[list_writer.retired_count++] = replaced;
        list_give_back_retired(0);
    }
    list_writer_leave();
    return room;
}

int32_t list_retired()
{
    list_writer_enter();
    int32_t count = list_writer.retired_count;
    list_writer_leave();
    return count;
}
