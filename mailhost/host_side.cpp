// The host's side of the module's interface: record, log, statistics and event hooks.
#include "mailhost/host_side.h"

#include <cstdarg>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <mutex>

enum : int32_t {
    // The whole record, larger than the part the module copies: 1024 bytes, twice that in a
    // 64-bit process (where each word of the record takes 8 bytes).
    HOST_RECORD_SIZE = 256 * sizeof(void *),
    HOST_LOG_LINE_SIZE = 1024,
};

struct host_hook {
    int32_t event_class;
    int32_t code;
    host_event_fn *handler;
};

static std::mutex host_lock;                   // guards everything below but the record
alignas(void *) static uint8_t host_record_bytes[HOST_RECORD_SIZE]; // by host_side_reset
static std::vector<host_log_line> host_log;
static void (*host_log_sink)(const host_log_line &);
static std::vector<host_stat_module> host_modules;
static std::vector<host_stat_category> host_categories;
static int32_t host_next_handle;
static bool host_fail_module;
static std::string host_fail_category;
static int32_t host_fail_hook;
static std::vector<std::string> host_calls;
static std::vector<host_hook> host_hooks;
static void (*host_probe)();
static int32_t host_parent;
static std::atomic<bool> host_discard; // any thread; relaxed: a switch, not an order
static bool host_recording = true;     // host_lock

static void host_call(const std::string &text)
{
    std::lock_guard<std::mutex> hold(host_lock);
    if (host_recording) host_calls.push_back(text);
}

static void host_enter()
{
    if (host_probe) host_probe();
}

static void host_add_line(int32_t type, int32_t priority, const char *text)
{
    host_log_line line{type, priority, text ? text : "(null)"};
    void (*sink)(const host_log_line &);
    {
        std::lock_guard<std::mutex> hold(host_lock);
        if (host_recording) host_log.push_back(line);
        sink = host_log_sink;
    }
    if (sink) sink(line);
}

static void __cdecl host_fn_log_text(int32_t type, int32_t priority, const char *text)
{
    host_enter();
    if (host_discard.load(std::memory_order_relaxed)) return;
    host_add_line(type, priority, text);
}

static void __cdecl host_fn_log_format(int32_t type, int32_t priority, const char *format, ...)
{
    host_enter();
    if (host_discard.load(std::memory_order_relaxed)) return;
    char text[HOST_LOG_LINE_SIZE];
    va_list values;
    va_start(values, format);
    vsnprintf(text, sizeof(text), format ? format : "(null)", values);
    va_end(values);
    host_add_line(type, priority, text);
}

static int32_t __cdecl host_fn_parent_window(int32_t which)
{
    host_enter();
    host_call("parent_window " + std::to_string(which));
    std::lock_guard<std::mutex> hold(host_lock);
    return host_parent;
}

static int32_t __cdecl host_fn_module_create(const char *name)
{
    host_enter();
    host_call(std::string("module_create ") + name);
    std::lock_guard<std::mutex> hold(host_lock);
    if (host_fail_module) return 0;
    host_modules.push_back({++host_next_handle, name});
    return host_next_handle;
}

static int32_t __cdecl host_fn_category_create(int32_t module, const char *name,
                                               int32_t host_word1, int32_t host_word2,
                                               int32_t host_word3, int32_t kind)
{
    host_enter();
    char text[300];
    snprintf(text, sizeof(text), "category_create %d %s %d %d %d %d", (int)module, name,
             (int)host_word1, (int)host_word2, (int)host_word3, (int)kind);
    host_call(text);
    std::lock_guard<std::mutex> hold(host_lock);
    if (host_fail_category == name) return 0;
    host_categories.push_back({++host_next_handle, module, name, kind, 0, 0, 0, 0});
    return host_next_handle;
}

static void __cdecl host_fn_report(int32_t category, int32_t value)
{
    host_enter();
    if (host_discard.load(std::memory_order_relaxed)) return;
    host_call("report " + std::to_string(category) + " " + std::to_string(value));
    std::lock_guard<std::mutex> hold(host_lock);
    for (host_stat_category &c : host_categories) {
        if (c.handle != category) continue;
        c.total += value;
        c.last = value;
        if (c.reports == 0 || value > c.peak) c.peak = value;
        c.reports++;
    }
}

// Walks a list by handle: the entry after `previous` (-1 for the first), -1 after the last.
template <typename Entry, typename Keep>
static int32_t host_walk(const std::vector<Entry> &list, int32_t previous, char *name, Keep keep)
{
    bool after = previous == -1;
    for (const Entry &e : list) {
        if (!keep(e)) continue;
        if (after) {
            snprintf(name, HOST_STAT_NAME_SIZE, "%s", e.name.c_str());
            return e.handle;
        }
        if (e.handle == previous) after = true;
    }
    return -1;
}

static int32_t __cdecl host_fn_module_next(int32_t previous, char *name)
{
    host_enter();
    std::lock_guard<std::mutex> hold(host_lock);
    return host_walk(host_modules, previous, name, [](const host_stat_module &) { return true; });
}

static int32_t __cdecl host_fn_category_next(int32_t module, int32_t previous, char *name,
                                             int32_t *o1, int32_t *o2, int32_t *o3)
{
    host_enter();
    std::lock_guard<std::mutex> hold(host_lock);
    *o1 = *o2 = *o3 = 0;
    return host_walk(host_categories, previous, name,
                     [module](const host_stat_category &c) { return c.module == module; });
}

static int32_t __cdecl host_fn_hook_register(int32_t event_class, int32_t code,
                                             host_event_fn *handler, int32_t zero)
{
    host_enter();
    host_call("hook_register " + std::to_string(event_class) + " " + std::to_string(code) + " " +
              std::to_string(zero));
    std::lock_guard<std::mutex> hold(host_lock);
    if (code == host_fail_hook) return 0;
    host_hooks.push_back({event_class, code, handler});
    return 1;
}

static void __cdecl host_fn_hook_remove(int32_t event_class, int32_t code, host_event_fn *handler)
{
    host_enter();
    host_call("hook_remove " + std::to_string(event_class) + " " + std::to_string(code));
    std::lock_guard<std::mutex> hold(host_lock);
    for (size_t i = 0; i < host_hooks.size(); i++) {
        const host_hook &h = host_hooks[i];
        if (h.event_class == event_class && h.code == code && h.handler == handler) {
            host_hooks.erase(host_hooks.begin() + i);
            return;
        }
    }
}

void host_side_reset()
{
    std::lock_guard<std::mutex> hold(host_lock);
    memset(host_record_bytes, 0, sizeof(host_record_bytes));
    host_interface *r = (host_interface *)host_record_bytes;
    r->version_major = 4;
    r->version_minor = 100;
    r->parent_window = host_fn_parent_window;
    r->stat_module_create = host_fn_module_create;
    r->stat_category_create = host_fn_category_create;
    r->stat_report = host_fn_report;
    r->log_text = host_fn_log_text;
    r->log_format = host_fn_log_format;
    r->stat_module_next = host_fn_module_next;
    r->stat_category_next = host_fn_category_next;
    r->hook_register = host_fn_hook_register;
    r->hook_remove = host_fn_hook_remove;
    host_log.clear();
    host_modules.clear();
    host_categories.clear();
    host_next_handle = 100;
    host_fail_module = false;
    host_fail_category.clear();
    host_fail_hook = -1;
    host_calls.clear();
    host_hooks.clear();
    host_probe = nullptr;
    host_parent = 0;
    host_discard.store(false, std::memory_order_relaxed);
    host_recording = true;
}

host_interface *host_side_record() { return (host_interface *)host_record_bytes; }

void host_side_set_version(uint8_t major, uint8_t minor)
{
    host_side_record()->version_major = major;
    host_side_record()->version_minor = minor;
}

std::vector<host_log_line> host_side_log()
{
    std::lock_guard<std::mutex> hold(host_lock);
    return host_log;
}

int host_side_log_count(const std::string &needle)
{
    std::lock_guard<std::mutex> hold(host_lock);
    int n = 0;
    for (const host_log_line &l : host_log)
        if (l.text.find(needle) != std::string::npos) n++;
    return n;
}

void host_side_set_log_sink(void (*sink)(const host_log_line &))
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_log_sink = sink;
}

int32_t host_side_add_module(const std::string &name)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_modules.push_back({++host_next_handle, name});
    return host_next_handle;
}

int32_t host_side_add_category(int32_t module, const std::string &name, int32_t kind)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_categories.push_back({++host_next_handle, module, name, kind, 0, 0, 0, 0});
    return host_next_handle;
}

std::vector<host_stat_module> host_side_modules()
{
    std::lock_guard<std::mutex> hold(host_lock);
    return host_modules;
}

std::vector<host_stat_category> host_side_categories()
{
    std::lock_guard<std::mutex> hold(host_lock);
    return host_categories;
}

bool host_side_category(const std::string &module_name, const std::string &name,
                        host_stat_category *out)
{
    std::lock_guard<std::mutex> hold(host_lock);
    for (const host_stat_module &m : host_modules) {
        if (m.name != module_name) continue;
        for (const host_stat_category &c : host_categories) {
            if (c.module == m.handle && c.name == name) {
                *out = c;
                return true;
            }
        }
    }
    return false;
}

void host_side_fail_module_create(bool fail)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_fail_module = fail;
}

void host_side_fail_category_create(const std::string &name)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_fail_category = name;
}

void host_side_fail_hook_register(int32_t code)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_fail_hook = code;
}

std::vector<std::string> host_side_calls()
{
    std::lock_guard<std::mutex> hold(host_lock);
    return host_calls;
}

int host_side_call_count(const std::string &prefix)
{
    std::lock_guard<std::mutex> hold(host_lock);
    int n = 0;
    for (const std::string &c : host_calls)
        if (c.compare(0, prefix.size(), prefix) == 0) n++;
    return n;
}

int host_side_hook_count(int32_t event_class, int32_t code)
{
    std::lock_guard<std::mutex> hold(host_lock);
    int n = 0;
    for (const host_hook &h : host_hooks)
        if (h.event_class == event_class && h.code == code) n++;
    return n;
}

int32_t host_side_fire(int32_t code, host_connection *conn)
{
    std::vector<host_event_fn *> handlers;
    {
        std::lock_guard<std::mutex> hold(host_lock);
        for (const host_hook &h : host_hooks)
            if (h.event_class == HOST_EVENT_CLASS_POP3 && h.code == code)
                handlers.push_back(h.handler);
    }
    for (host_event_fn *handler : handlers) {
        int32_t result = handler(0, code, conn);
        if (result != 0) return result;
    }
    return 0;
}

void host_side_set_probe(void (*probe)())
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_probe = probe;
}

void host_side_set_parent_window(int32_t window)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_parent = window;
}

void host_side_set_recording(bool recording)
{
    std::lock_guard<std::mutex> hold(host_lock);
    host_recording = recording;
}

void host_side_set_discard(bool discard) { host_discard.store(discard, std::memory_order_relaxed); }
