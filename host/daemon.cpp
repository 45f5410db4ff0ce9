// The daemon's frame: DllMain, _startup, _daemon, _closedown, start-up and shutdown.
//
// DESIGN: start-up builds everything the event handler needs (interface copy, settings, the
// table, statistics, sweeper) and only then marks the daemon started and registers the handler;
// shutdown undoes it in reverse. The host may still be inside event_handler on its POP3 threads
// when _closedown runs, so every event call passes the gate of tracking/events/event_gate.h;
// shutdown clears daemon_started, then waits (bounded) until no call is inside. Only then are
// the table given back and the copy released. If a call or the sweeper does not come back
// within the bound, the table and the copy are deliberately left alive and the library is
// pinned in the process, so that neither a free nor an unload can pull anything from under the
// straggler: a leak, never a crash. The next start takes such a sweeper up again. A _startup
// while started registers the handler once more; shutdown removes it once per registration.
//
// The table is made at the size Tollgate.ini asks for (MaxAddresses) once the settings are read,
// before any event call can use it, and published as the module's current table (db_current).
// One rule keeps every table whole while a thread may be inside it: a table that was current is
// given back only once no call can still be inside it (the gate drained and no sweeper of its
// run left); until then it stays current (a start that cannot find it alone keeps its size) or,
// when a dialog took it just as it was replaced, retired. Shutdown gives a large table back and
// leaves the empty reserve current, so each start makes the table again at the size the file
// says then; without the memory the start goes on with the 48-slot reserve. With NetworkBits
// and NetworkFailures set the table carries a network table of its own size (the reserve's for
// the reserve), given back with it; a start that asks for another prefix length makes the table
// again, under the same rule. With TrustDays set it carries a trusted set of MaxTrusted entries
// too, under the same rule, emptied at each start and given back with it (the reserve's at
// shutdown). The state file is read right after that (the white list filters
// it) and written once more after the sweeper has been joined, never beside a sweeper that may
// be writing it.
#include "host/daemon.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "host/base/entry_points.h"
#include "host/base/os.h"
#include "host/stats.h"
#include "settings/values/settings.h"
#include "settings/settings_file.h"
#include "tracking/ip_db.h"
#include "tracking/list_sets.h"
#include "tracking/lists/lists.h"
#include "tracking/white_list.h"
#include "tracking/events/sweeper.h"
#include "tracking/shared/shared_store.h"
#include "tracking/siege.h"
#include "tracking/store_seam.h"
#include "tracking/state/state_file.h"

enum : DWORD {
    // At the end of start-up: the sweeper just created gets scheduled before the host's first
    // events arrive, and the host sees start-up take the time it always has.
    DAEMON_START_SETTLE_MS = 70,
    // Taken twice at the end of shutdown: host threads still on their way out of the handler
    // (past the gate, logging) finish before the host may unload the library.
    DAEMON_STOP_SETTLE_MS = 500,
    DAEMON_DRAIN_LIMIT_MS = 10000, // longest wait for event calls and the sweeper to end
    DAEMON_ALONE_WAIT_MS = 100,    // longest wait at start-up for calls passing the closed gate
};
enum : int32_t { VERSION_TEXT_SIZE = 200 };

// The event codes the handler is registered for, and the lines for a failed registration.
static const struct {
    int32_t code;
    const char *failure;
} daemon_hooks[] = {
    {EVENT_CONNECT2, "Tollgate: Failed registering CONNECT2 handler"},
    {EVENT_LOGIN, "Tollgate: Failed registering LOGIN handler"},
    {EVENT_APOP, "Tollgate: Failed registering APOP handler"},
    {EVENT_AUTH_OTHER, "Tollgate: Failed registering AUTH_OTHER handler"},
};
// The order in which shutdown removes them.
static const int32_t daemon_unhook_order[] = {EVENT_AUTH_OTHER, EVENT_CONNECT2, EVENT_LOGIN,
                                              EVENT_APOP};

void *module_instance;                      // DllMain (loader thread); read by the dialog
host_interface *host_copy;                  // see host/base/host_interface.h
static HANDLE sweeper_handle;               // start-up/shutdown thread only
static int32_t hook_rounds;                 // registration passes since the last shutdown;
                                            // start-up/shutdown thread only

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) module_instance = instance;
    return TRUE;
}

int32_t version_check(const host_interface *record)
{
    int32_t major = record->version_major;
    int32_t minor = record->version_minor;
    if (major < HOST_VERSION_MIN_MAJOR ||
        (major == HOST_VERSION_MIN_MAJOR && minor < HOST_VERSION_MIN_MINOR)) {
        char text[VERSION_TEXT_SIZE];
        snprintf(text, sizeof(text),
                 "Tollgate Daemon requires host version %d.%02d\r\n"
                 "             (current version is %d.%02d)\r\n"
                 "             Load anyway ?",
                 (int)HOST_VERSION_MIN_MAJOR, (int)HOST_VERSION_MIN_MINOR, major, minor);
        return os.message_box(nullptr, text, " Daemon Error", MB_YESNO | MB_ICONERROR) == IDYES;
    }
    if (major > HOST_VERSION_MAX_MAJOR ||
        (major == HOST_VERSION_MAX_MAJOR && minor > HOST_VERSION_MAX_MINOR)) {
        record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                           "Tollgate Daemon is designed for host API %d.%02d - %d.%02d.",
                           (int)HOST_VERSION_MIN_MAJOR, (int)HOST_VERSION_MIN_MINOR,
                           (int)HOST_VERSION_MAX_MAJOR, (int)HOST_VERSION_MAX_MINOR);
        record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "Current version is %d.%02d,", major,
                           minor);
        record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                           "   you may encounter some compatibility problem.");
    }
    return 1;
}

// Closes the handle of a sweeper left running by a shutdown that could not join it, once that
// thread has ended. Start-up/shutdown thread only.
static void sweeper_forget_ended()
{
    if (sweeper_handle && WaitForSingleObject(sweeper_handle, 0) == WAIT_OBJECT_0) {
        CloseHandle(sweeper_handle);
        sweeper_handle = nullptr;
    }
}

// True when no thread of the last run can be inside a table: no call in the event gate and no
// sweeper left by a shutdown that could not join it. Start-up/shutdown thread, while
// daemon_started is 0: an event call arriving now only passes through the gate's count, and a
// dialog's use of the table is short, so a short wait sees them gone.
static bool daemon_table_alone()
{
    sweeper_forget_ended();
    return sweeper_handle == nullptr && event_gate_drain(DAEMON_ALONE_WAIT_MS);
}

// Makes `table` the current table and gives the last one back, or retires it when a dialog
// took it meanwhile (a later start or shutdown gives it back). The caller has found the tables
// alone.
static void daemon_swap_table(db_table *table)
{
    db_give_back_retired();
    db_publish(table);
    if (event_gate_drain(DAEMON_ALONE_WAIT_MS)) db_give_back_retired();
}

// Gives `table`, not yet current or found alone, the network table the settings ask for: the
// reserve's own for the reserve, otherwise a new one of the table's size; none when networks
// are not counted, or (with one warning) when the memory cannot be had.
static void daemon_attach_networks(db_table *table)
{
    int32_t bits = settings.network_bits.load(std::memory_order_relaxed);
    db_table *networks = nullptr;
    if (bits > 0) {
        networks = table == db_table_reserve()
                       ? db_table_reserve_networks()
                       : db_table_make(db_capacity(table), os.alloc, os.release);
        if (networks == nullptr)
            host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                            "Tollgate: unable to allocate memory for %d networks, networks not "
                            "counted",
                            db_capacity(table));
    }
    db_set_networks(table, networks, bits);
}

// Gives `table`, not yet current or found alone, the trusted set the settings ask for: one of
// MaxTrusted entries, or none without TrustDays or (with one warning) without the memory.
static void daemon_attach_trusted(db_table *table)
{
    db_table *trusted = nullptr;
    if (settings.trust_days.load(std::memory_order_relaxed) > 0) {
        int32_t entries = settings.max_trusted.load(std::memory_order_relaxed);
        trusted = db_table_make(entries, os.alloc, os.release, true);
        if (trusted == nullptr)
            host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                            "Tollgate: unable to allocate memory for %d trusted entries, logins "
                            "not trusted",
                            entries);
    }
    db_set_trusted(table, trusted, settings.trust_bits.load(std::memory_order_relaxed));
}

// True when `table`'s trusted set has the shape the settings ask for (none without TrustDays).
static bool daemon_trust_fits(const db_table *table)
{
    const db_table *trusted = db_trusted_set(table);
    if (settings.trust_days.load(std::memory_order_relaxed) <= 0) return trusted == nullptr;
    return trusted &&
           db_capacity(trusted) == settings.max_trusted.load(std::memory_order_relaxed) &&
           db_trust_bits(table) == settings.trust_bits.load(std::memory_order_relaxed);
}

// The table of this run, at the size and with the networks the settings ask for: the last
// run's table again when it has that shape, or when a call of the last run may still be inside
// it (its shape then holds until a start finds it alone); otherwise a new one, or the reserve
// without the memory. Emptied.
static void daemon_make_table()
{
    db_table *last = db_current();
    int32_t slots = settings.max_addresses.load(std::memory_order_relaxed);
    bool keep = slots == db_capacity(last) &&
                settings.network_bits.load(std::memory_order_relaxed) == db_network_bits(last) &&
                daemon_trust_fits(last);
    if (!keep && !daemon_table_alone()) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: a call of the last run is still inside the table, holding %d "
                        "addresses until the next start",
                        db_capacity(last));
        keep = true;
    }
    if (keep) {
        db_clear(last);
        if (db_trusted_set(last)) db_clear(db_trusted_set(last));
        return;
    }
    db_table *table = slots == DB_SLOTS ? nullptr : db_table_make(slots, os.alloc, os.release);
    if (table == nullptr) {
        if (slots != DB_SLOTS)
            host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                            "Tollgate: unable to allocate memory for %d addresses, holding %d",
                            slots, (int)DB_SLOTS);
        table = db_table_reserve();
    }
    daemon_attach_networks(table);
    daemon_attach_trusted(table);
    db_clear(table); // the reserve may hold an earlier run's addresses
    daemon_swap_table(table);
}

int32_t daemon_init(const host_interface *record)
{
    if (!version_check(record)) return 0;
    void *copy = os.alloc(HOST_INTERFACE_COPY_SIZE);
    if (copy == nullptr) {
        record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR, "Tollgate: unable to allocate memory!");
        return 0;
    }
    memcpy(copy, record, HOST_INTERFACE_COPY_SIZE);
    host_copy = (host_interface *)copy;
    white_clear();
    // A sweeper that the last shutdown could not join may be reloading a list: the lists are
    // made, and the state file filtered by them, while it waits.
    list_writer_enter();
    load_settings();
    lists_load();
    siege_reset();
    daemon_make_table();
    state_file_load();
    list_writer_leave();
    // The shared store's first connection, bounded by SharedTimeout; a store that is down only
    // trips its breaker. Without SharedStore no store is in use.
    store_install(shared_store_start(settings_shared));
    stats_register();
    // Addresses read back from the state file are held from the start: the peak counts them.
    int32_t held = db_held(db_current());
    if (held > 0) host_stat_report(stat_max_list, held);
    // A restart in the same process re-arms the sweeper: the stop request of the last shutdown
    // would otherwise end the new thread at once and nothing would ever expire again. A sweeper
    // that the last shutdown could not join and that is still running is re-armed with the rest
    // and goes on sweeping; a second one is not started beside it.
    sweeper_forget_ended();
    if (sweeper_arm() && sweeper_handle == nullptr)
        sweeper_handle = os.create_thread(nullptr, 0, sweeper_thread, nullptr, 0, nullptr);
    if (sweeper_handle == nullptr)
        host_log_text(LOG_TYPE_DAEMON, LOG_PRIO_ERROR, "Tollgate: Unable to start timeout system!");
    daemon_started.store(1);
    os.sleep(DAEMON_START_SETTLE_MS);
    return 1;
}

// Keeps the library loaded for the rest of the process. Used when shutdown gives up waiting for
// an event call or the sweeper: the host may unload the library once _closedown returns, and
// that code must not be pulled from under a thread still running in it.
static void daemon_pin_module()
{
    HMODULE self;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCSTR)(void *)daemon_pin_module, &self);
}

void daemon_shutdown()
{
    sweeper_request_stop();
    // One removal pass per registration pass: a host that keeps every registration would
    // otherwise go on calling the handler of a second _startup after the library is gone.
    if (host_copy)
        for (int32_t round = 0; round < hook_rounds || round == 0; round++)
            for (int32_t code : daemon_unhook_order)
                host_copy->hook_remove(HOST_EVENT_CLASS_POP3, code, event_handler);
    hook_rounds = 0;
    daemon_started.store(0);
    bool quiet = event_gate_drain(DAEMON_DRAIN_LIMIT_MS);
    if (sweeper_handle) {
        if (WaitForSingleObject(sweeper_handle, DAEMON_DRAIN_LIMIT_MS) != WAIT_OBJECT_0)
            quiet = false;
        else {
            CloseHandle(sweeper_handle);
            sweeper_handle = nullptr;
        }
    }
    // The last word to the state file, once no sweeper can be writing it too. A sweeper that
    // could not be joined keeps writing after its passes; its last write then stands. Without a
    // copy there was no start-up to save.
    if (host_copy && sweeper_handle == nullptr) state_file_save_changes();
    // Idle store connections close now; one still in a call closes when that call returns, and
    // then Windows Sockets stays up for it.
    store_install(nullptr);
    shared_store_stop(quiet);
    if (quiet) {
        sweeper_disarm();
        lists_stop();
        db_give_back_retired();
        // A large table's storage goes back now; the dialog then shows the empty reserve.
        if (db_current() != db_table_reserve()) {
            db_clear(db_table_reserve());
            daemon_swap_table(db_table_reserve());
        }
        db_set_trusted(db_table_reserve(), nullptr, 0); // the reserve's trusted set, if any
        os.release(host_copy);
        host_copy = nullptr;
    } else {
        daemon_pin_module();
    }
    os.sleep(DAEMON_STOP_SETTLE_MS);
    os.sleep(DAEMON_STOP_SETTLE_MS);
}

extern "C" int32_t __cdecl _startup(host_interface *record)
{
    if (record == nullptr) return 0;
    if (!daemon_started.load()) {
        if (!daemon_init(record)) {
            daemon_shutdown();
            return 0;
        }
    }
    hook_rounds++;
    for (const auto &hook : daemon_hooks) {
        if (!record->hook_register(HOST_EVENT_CLASS_POP3, hook.code, event_handler, 0)) {
            record->log_text(LOG_TYPE_POP3, LOG_PRIO_WARNING, hook.failure);
            daemon_shutdown();
            return 0;
        }
    }
    record->log_text(LOG_TYPE_DAEMON, LOG_PRIO_NOTICE, "Daemon Tollgate started.");
    return 1;
}

extern "C" int16_t __cdecl _daemon(int32_t, host_interface *record, const char *text)
{
    if (record == nullptr) return 0;
    record->log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "Tollgate called started for %s",
                       text ? text : "");
    if (!daemon_started.load())
        record->log_format(LOG_TYPE_WARNING, LOG_PRIO_INFO,
                           "  Module cannot be called as non resident daemon!");
    return 0;
}

extern "C" int16_t __cdecl _closedown()
{
    daemon_shutdown();
    return 0;
}
