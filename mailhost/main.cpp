// The stand-in mail host: loads Tollgate.dll, plays the mail server's part of the interface,
// and serves POP3 so that the module can be watched and tested with real clients.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/base/entry_points.h"
#include "mailhost/host_console.h"
#include "mailhost/host_side.h"
#include "mailhost/server.h"
#include "mailhost/user_store.h"

enum : int32_t {
    MAIN_DRAIN_MS = 10000,    // longest wait for live connections at shutdown
    MAIN_CLOSE_WAIT_MS = 4000, // a console close waits this long for the shutdown to finish
};

static std::atomic<bool> main_stop;         // Ctrl+C, the console, "quit", the stop file; seq_cst
static std::atomic<bool> main_stats_wanted; // Ctrl+Break; main thread prints; relaxed
static std::atomic<bool> main_configuring;  // the dialog is open (admin thread); seq_cst
static std::string main_stop_file;          // main thread before serving; then read-only
static HANDLE main_finished;                // set when shutdown is complete; console handler waits
static host_configure_fn *main_configure;   // the module's _configure; read-only while serving

struct main_options {
    std::string dll;
    std::string users;
    std::string log = "mailhost.log";
    int version_major = 4;
    int version_minor = 100;
    bool quiet = false;
    bool configure = false;
    server_options server;
};

static void main_usage()
{
    printf("usage: mailhost [options]\n"
           "  --dll PATH             the module to load (default: Tollgate.dll beside mailhost.exe)\n"
           "  --port N               POP3 port (default 1110)\n"
           "  --bind ADDRESS         address to listen on (default 127.0.0.1)\n"
           "  --users FILE           users, one name:password a line (default: alice:wonderland,\n"
           "                         bob:builder)\n"
           "  --log FILE             log file, appended to (default mailhost.log; \"\" for none)\n"
           "  --quiet                hide priority 25 (detail) lines\n"
           "  --version MAJOR.MINOR  interface version reported to the module (default 4.100)\n"
           "  --max-connections N    connections served at once (default 32)\n"
           "  --max-per-address N    connections one address may hold at once (default 4)\n"
           "  --login-idle N         seconds a connection may stay silent before it logs in\n"
           "                         (default 60; 600 after a login)\n"
           "  --block-minutes N      length of the host's short-term block (default 5)\n"
           "  --stop-file PATH       stop cleanly once PATH exists\n"
           "  --configure            start the module, open its configuration dialog, stop\n"
           "Console commands: stat, configure, quit (Ctrl+C stops too, Ctrl+Break prints stat).\n");
}

// A whole decimal number in [low, high]; false otherwise.
static bool main_number(const char *text, int low, int high, int *out)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (!*text || *end || value < low || value > high) return false;
    *out = (int)value;
    return true;
}

// Reads the command line; false (after saying why) on anything it does not understand.
static bool main_parse(int argc, char **argv, main_options *o, bool *help)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            *help = true;
            return true;
        }
        if (a == "--quiet") {
            o->quiet = true;
            continue;
        }
        if (a == "--configure") {
            o->configure = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "mailhost: %s needs a value (or is unknown)\n", a.c_str());
            return false;
        }
        const char *v = argv[++i];
        bool ok = true;
        if (a == "--dll") o->dll = v;
        else if (a == "--users") o->users = v;
        else if (a == "--log") o->log = v;
        else if (a == "--bind") o->server.bind_address = v;
        else if (a == "--stop-file") main_stop_file = v;
        else if (a == "--port") ok = main_number(v, 1, 65535, &o->server.port);
        else if (a == "--max-connections")
            ok = main_number(v, 1, 1000, &o->server.max_connections);
        else if (a == "--max-per-address")
            ok = main_number(v, 1, 1000, &o->server.max_per_address);
        else if (a == "--login-idle") ok = main_number(v, 1, 3600, &o->server.login_idle_seconds);
        else if (a == "--block-minutes") ok = main_number(v, 1, 1440, &o->server.block_minutes);
        else if (a == "--version") {
            std::string text = v;
            size_t dot = text.find('.');
            ok = dot != std::string::npos &&
                 main_number(text.substr(0, dot).c_str(), 0, 255, &o->version_major) &&
                 main_number(text.substr(dot + 1).c_str(), 0, 255, &o->version_minor);
        } else {
            fprintf(stderr, "mailhost: unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            fprintf(stderr, "mailhost: bad value for %s: %s\n", a.c_str(), v);
            return false;
        }
    }
    return true;
}

// Console events: Ctrl+Break prints the statistics; everything else stops the host. A closing
// console waits (bounded) for the shutdown, since the process ends when the handler returns.
static BOOL WINAPI main_console_event(DWORD event)
{
    if (event == CTRL_BREAK_EVENT) {
        main_stats_wanted.store(true, std::memory_order_relaxed);
        return TRUE;
    }
    main_stop = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(main_finished, MAIN_CLOSE_WAIT_MS);
    return TRUE;
}

// Asked by the accept loop several times a second.
static bool main_should_stop()
{
    if (main_stats_wanted.exchange(false, std::memory_order_relaxed)) host_console_statistics();
    if (!main_stop_file.empty() && GetFileAttributesA(main_stop_file.c_str()) !=
                                       INVALID_FILE_ATTRIBUTES) {
        host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "stop file found");
        main_stop = true;
    }
    return main_stop;
}

// Opens the module's dialog on the calling thread (the admin thread while serving).
static void main_open_dialog()
{
    main_configuring = true;
    if (!main_stop) main_configure(host_side_record());
    main_configuring = false;
}

// Console commands, one a line, on a thread of their own. End of input is not a command: a
// host started with no console input keeps running.
static void main_admin()
{
    char line[256];
    while (!main_stop && fgets(line, sizeof(line), stdin)) {
        std::string command = line;
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r' ||
                                    command.back() == ' '))
            command.pop_back();
        if (command == "stat") host_console_statistics();
        else if (command == "quit" || command == "exit") main_stop = true;
        else if (command == "configure") main_open_dialog();
        else if (!command.empty())
            host_console_print("commands: stat, configure, quit");
    }
}

// The module's exports, found by name.
struct main_module {
    HMODULE library;
    host_startup_fn *startup;
    host_closedown_fn *closedown;
    host_configure_fn *configure;
};

static bool main_load(const std::string &path, main_module *m)
{
    m->library = LoadLibraryA(path.c_str());
    if (!m->library) {
        fprintf(stderr, "mailhost: cannot load %s (error %lu)\n", path.c_str(), GetLastError());
        return false;
    }
    m->startup = (host_startup_fn *)GetProcAddress(m->library, "_startup");
    m->closedown = (host_closedown_fn *)GetProcAddress(m->library, "_closedown");
    m->configure = (host_configure_fn *)GetProcAddress(m->library, "_configure");
    if (!m->startup || !m->closedown || !m->configure) {
        fprintf(stderr, "mailhost: %s lacks _startup, _closedown or _configure\n", path.c_str());
        FreeLibrary(m->library);
        return false;
    }
    return true;
}

// Tollgate.dll beside this program.
static std::string main_default_dll()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string text(path, n < sizeof(path) ? n : 0);
    size_t slash = text.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : text.substr(0, slash + 1)) +
           "Tollgate.dll";
}

int main(int argc, char **argv)
{
    main_options o;
    bool help = false;
    if (!main_parse(argc, argv, &o, &help)) {
        main_usage();
        return 2;
    }
    if (help) {
        main_usage();
        return 0;
    }
    if (o.dll.empty()) o.dll = main_default_dll();

    user_store_set_defaults();
    std::string error;
    if (!o.users.empty() && !user_store_load(o.users, &error)) {
        fprintf(stderr, "mailhost: %s\n", error.c_str());
        return 2;
    }
    if (!host_console_open(o.log, o.quiet)) {
        fprintf(stderr, "mailhost: cannot open the log file %s\n", o.log.c_str());
        return 2;
    }
    host_side_reset();
    host_side_set_version((uint8_t)o.version_major, (uint8_t)o.version_minor);
    host_side_set_log_sink(host_console_sink);
    host_side_set_recording(false); // the console and the log file have every line


    // The module's list view needs the common controls registered in this process.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    main_module module;
    if (!main_load(o.dll, &module)) return 1;
    main_configure = module.configure;
    host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                      "loaded " + o.dll + ", interface version " +
                          std::to_string(o.version_major) + "." +
                          (o.version_minor < 10 ? "0" : "") + std::to_string(o.version_minor));
    if (module.startup(host_side_record()) != 1) {
        host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_ERROR, "the module did not start");
        FreeLibrary(module.library);
        host_console_close();
        return 1;
    }

    if (o.configure) {
        module.configure(host_side_record());
        module.closedown();
        FreeLibrary(module.library);
        host_console_close();
        return 0;
    }

    if (!server_open(o.server, &error)) {
        host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_ERROR, error);
        module.closedown();
        FreeLibrary(module.library);
        host_console_close();
        return 1;
    }
    // A stop file left from an earlier run would stop this one at once.
    if (!main_stop_file.empty()) DeleteFileA(main_stop_file.c_str());
    main_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(main_console_event, TRUE);
    std::thread(main_admin).detach();
    host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                      "POP3 on " + o.server.bind_address + ":" + std::to_string(o.server.port) +
                          ", " + std::to_string(user_store_count()) +
                          " users; commands: stat, configure, quit");

    server_serve(main_should_stop);
    host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "stopping");
    bool drained = server_drain(MAIN_DRAIN_MS);
    while (main_configuring) Sleep(100); // the dialog runs inside the module: let it close
    module.closedown();
    host_console_statistics();
    if (drained) {
        FreeLibrary(module.library);
        host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_INFO, "stopped");
    } else {
        // A connection thread may still be inside the module: keep it loaded.
        host_console_note(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                          "connections still open after " + std::to_string(MAIN_DRAIN_MS / 1000) +
                              " s; the module stays loaded");
    }
    host_console_close();
    SetEvent(main_finished);
    return 0;
}
