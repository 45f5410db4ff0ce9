// The address table: claim, count, refuse, release and expire client addresses.
#include "tracking/ip_db.h"

#include <atomic>

#include "settings/values/settings.h"
#include "host/base/platform.h"
#include "tracking/white_list.h"

static ip_entry ip_db[DB_SLOTS];         // POP3 threads, sweeper, dialog; guarded by db_lock
static std::atomic<int32_t> db_held_count; // written under db_lock; read anywhere, relaxed
static db_mutex db_lock;                 // created and destroyed by the start-up/shutdown thread
static std::atomic<bool> db_lock_ready; // written by the start-up/shutdown thread; read by all
                                         // (acquire: a thread that sees true sees the lock made)
static std::atomic<bool> db_changed;     // set by every thread that changes a slot (relaxed; the
                                         // slots themselves are read under db_lock); taken by
                                         // the thread that saves the table
int32_t (*db_clock)() = platform_time_now;     // set by tests before other threads start

// Notes that the slots changed. Stores only when the mark is not already set, so that the
// decisions on a busy address do not write the shared cache line every time.
static void db_note_change()
{
    if (!db_changed.load(std::memory_order_relaxed))
        db_changed.store(true, std::memory_order_relaxed);
}

// Takes db_lock when it exists. Without it the module is stopped: no POP3 call and no sweeper
// can be inside the table (shutdown drains them before the lock goes), so the dialog's thread
// may work alone.
// Returns whether it took the lock; db_leave is handed that answer.
static bool db_enter()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return false;
    db_mutex_enter(&db_lock);
    return true;
}
static void db_leave(bool locked)
{
    if (locked) db_mutex_leave(&db_lock);
}

int32_t db_init()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) {
        db_mutex_init(&db_lock);
        db_lock_ready.store(true, std::memory_order_release);
    }
    white_clear();
    return db_clear();
}

void db_destroy()
{
    if (!db_lock_ready.load(std::memory_order_acquire)) return;
    db_lock_ready.store(false, std::memory_order_release);
    db_mutex_destroy(&db_lock);
}

int32_t db_clear()
{
    bool locked = db_enter();
    for (ip_entry &slot : ip_db) slot.in_use = 0;
    db_held_count.store(0, std::memory_order_relaxed);
    db_note_change();
    db_leave(locked);
    return 1;
}

int32_t db_find(uint32_t ip)
{
    for (int32_t i = 0; i < DB_SLOTS; i++)
        if (ip_db[i].in_use && ip_db[i].ip == ip) return i;
    return -1;
}

int32_t db_alloc()
{
    for (int32_t i = 0; i < DB_SLOTS; i++) {
        ip_entry &slot = ip_db[i];
        if (slot.in_use) continue;
        slot.in_use = 1;
        slot.last_seen = db_clock();
        slot.ip = 0;
        slot.conns = 0;
        db_held_count.store(db_held_count.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        db_note_change();
        return i;
    }
    return -1;
}

int32_t db_next(int32_t after, ip_entry_copy *out)
{
    if (after < -1) after = -1;
    int32_t found = -1;
    bool locked = db_enter();
    for (int32_t i = after + 1; i < DB_SLOTS; i++) {
        const ip_entry &slot = ip_db[i];
        if (!slot.in_use) continue;
        out->valid = 1;
        out->last_seen = slot.last_seen;
        out->ip = slot.ip;
        out->conns = slot.conns;
        found = i;
        break;
    }
    db_leave(locked);
    return found;
}

int32_t db_held() { return db_held_count.load(std::memory_order_relaxed); }

// Frees slot i. Caller holds db_lock.
static void db_free(int32_t i)
{
    ip_db[i].in_use = 0;
    db_held_count.store(db_held_count.load(std::memory_order_relaxed) - 1,
                        std::memory_order_relaxed);
    db_note_change();
}

int32_t db_check_connect(const char *text)
{
    uint32_t ip = ip_parse(text);
    if (white_match(ip)) return CHECK_WHITE;

    int32_t decision;
    bool locked = db_enter();
    int32_t i = db_find(ip);
    if (i < 0) {
        i = db_alloc();
        if (i < 0) {
            decision = CHECK_FULL;
        } else {
            ip_db[i].conns = 1;
            ip_db[i].ip = ip;
            decision = CHECK_NEW;
        }
    } else {
        ip_entry &slot = ip_db[i];
        slot.last_seen = db_clock();
        db_note_change();
        // A refusal leaves the count alone but keeps the slot fresh, so an address that keeps
        // trying stays held.
        if ((int32_t)slot.conns >= settings.auth_failures.load(std::memory_order_relaxed)) {
            decision = CHECK_BLOCKED;
        } else {
            slot.conns++;
            decision = CHECK_KNOWN;
        }
    }
    db_leave(locked);
    return decision;
}

int32_t db_release(const char *text)
{
    uint32_t ip = ip_parse(text);
    bool locked = db_enter();
    int32_t i = db_find(ip);
    if (i >= 0) db_free(i);
    db_leave(locked);
    return 0;
}

int32_t db_expire()
{
    int32_t now = db_clock();
    int32_t freed = 0;
    bool locked = db_enter();
    // Read under the lock with the slots: a minute count the dialog changes mid-sweep applies
    // to the whole sweep or to none of it.
    int64_t limit = (int64_t)settings.clear_time.load(std::memory_order_relaxed) * 60;
    for (int32_t i = 0; i < DB_SLOTS; i++) {
        if (!ip_db[i].in_use) continue;
        if ((int64_t)now - ip_db[i].last_seen > limit) {
            db_free(i);
            freed++;
        }
    }
    db_leave(locked);
    return freed;
}

bool db_lock_held_by_caller()
{
    return db_lock_ready.load(std::memory_order_acquire) && db_mutex_owned(&db_lock);
}

// ---- Saving and restoring the table (the state file works through these alone) ----

int32_t db_capacity() { return DB_SLOTS; }

int32_t db_restore(uint32_t ip, uint16_t conns, int32_t last_seen)
{
    bool locked = db_enter();
    int32_t i = db_find(ip);
    if (i < 0) {
        i = db_alloc();
        if (i >= 0) ip_db[i].ip = ip;
    }
    if (i >= 0) {
        ip_db[i].conns = conns;
        ip_db[i].last_seen = last_seen;
        db_note_change();
    }
    db_leave(locked);
    return i >= 0 ? 1 : 0;
}

bool db_take_changed()
{
    if (!db_changed.load(std::memory_order_relaxed)) return false;
    return db_changed.exchange(false, std::memory_order_relaxed);
}

void db_mark_changed() { db_changed.store(true, std::memory_order_relaxed); }
