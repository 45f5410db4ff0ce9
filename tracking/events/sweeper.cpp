// The timeout sweeper thread.
//
// DESIGN: the thread waits on an event with a time-out instead of sleeping, so that a stop
// request ends any wait at once. Start-up arms the sweeper (clears the flag, makes the event)
// before it creates the thread; shutdown sets the flag, signals the event, and joins the thread
// before it gives back the table and the interface copy the thread uses. The flag is tested before
// the first sweep and after every wait, so no sweep starts after a stop request. After each
// sweep the table is written to the state file when it changed (nothing without one), and the
// list files are looked at (tracking/lists/lists.h). Each pass also gives back the trusted
// entries that have run out and judges the siege. With a shared store and the siege's or the
// trust's keys set, the thread also wakes every DECISION_SYNC_SECONDS between passes to sync
// with the store (tracking/decision.h) and judge the siege after it; it sweeps only at the
// sweep interval.
#include "tracking/events/sweeper.h"

#include "host/base/host_interface.h"
#include "host/base/os.h"
#include "settings/values/settings.h"
#include "tracking/decision.h"
#include "tracking/events/event_handler.h"
#include "tracking/ip_db.h"
#include "tracking/lists/lists.h"
#include "tracking/siege.h"
#include "tracking/state/state_file.h"

std::atomic<int32_t> sweeper_stop; // start-up/shutdown thread writes; sweeper reads (relaxed)
static HANDLE sweeper_wake;        // start-up/shutdown thread creates and closes it while no
                                   // sweeper runs; the sweeper waits on it

int32_t sweeper_arm()
{
    sweeper_stop.store(0, std::memory_order_relaxed);
    if (sweeper_wake) {
        ResetEvent(sweeper_wake);
        return 1;
    }
    sweeper_wake = os.create_event(nullptr, TRUE, FALSE, nullptr);
    return sweeper_wake != nullptr;
}

void sweeper_request_stop()
{
    sweeper_stop.store(1, std::memory_order_relaxed);
    if (sweeper_wake) SetEvent(sweeper_wake);
}

void sweeper_disarm()
{
    if (sweeper_wake) CloseHandle(sweeper_wake);
    sweeper_wake = nullptr;
}

// Sweeps the network table of `table`, if it counts networks, and reports in one line the
// connections of new networks it had no room for since the last pass.
static void sweeper_sweep_networks(db_table *table)
{
    db_table *networks = db_networks(table);
    if (networks == nullptr) return;
    db_expire(networks);
    int32_t untracked = db_take_untracked(networks);
    if (untracked > 0)
        host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_WARNING,
                        "Tollgate: network table full, %d connections of new networks allowed "
                        "untracked",
                        untracked);
}

// With SiegeFailures set, judges the siege at the clock's second and logs what changed.
static void sweeper_judge_siege()
{
    const db_settings s = db_settings_now();
    if (s.siege_failures <= 0) return;
    siege_news news{};
    int32_t now = db_clock();
    siege_judge(now, siege_count(now), s, &news);
    event_log_siege(news);
}

// Gives back the trusted entries older than TrustDays and, with SiegeFailures set, judges the
// siege at the pass's second: an attack that stops sends no connections to end it.
static void sweeper_sweep_siege(db_table *table)
{
    db_expire_trusted(table);
    sweeper_judge_siege();
}

DWORD WINAPI sweeper_thread(LPVOID)
{
    WaitForSingleObject(sweeper_wake, SWEEPER_START_DELAY_MS);
    decision_sync_reset();
    DWORD since_sweep_ms = 0, sweep_ms = 0; // a first pass at once
    while (!sweeper_stop.load(std::memory_order_relaxed)) {
        db_table *table = db_current();
        if (since_sweep_ms >= sweep_ms) {
            int32_t freed = db_expire(table);
            if (freed > 0)
                host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_DETAIL,
                                "Tollgate: %d IPs released by timeout", freed);
            sweeper_sweep_networks(table);
            sweeper_sweep_siege(table);
            state_file_save_changes();
            lists_check();
            since_sweep_ms = 0;
        }
        bool syncing = decision_syncs(table);
        if (syncing && decision_sync(table)) sweeper_judge_siege();
        sweep_ms = (DWORD)settings.sweep_interval.load(std::memory_order_relaxed) * 1000;
        DWORD wait_ms = sweep_ms - (since_sweep_ms < sweep_ms ? since_sweep_ms : sweep_ms);
        if (syncing && wait_ms > SWEEPER_SYNC_MS) wait_ms = SWEEPER_SYNC_MS;
        DWORD start = GetTickCount();
        WaitForSingleObject(sweeper_wake, wait_ms);
        since_sweep_ms += GetTickCount() - start;
    }
    return 0;
}
