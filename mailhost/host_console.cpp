// The mail host's log and statistics output.
#include "mailhost/host_console.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

static std::mutex console_lock; // guards everything below and the order of the lines
static FILE *console_file;      // the log file, null for none; console_lock
static bool console_quiet;      // hide priority 25; set before serving, read under console_lock

// Writes one finished line to the console and the file.
static void console_write(const std::string &text)
{
    std::lock_guard<std::mutex> hold(console_lock);
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
    if (console_file) {
        fputs(text.c_str(), console_file);
        fputc('\n', console_file);
        fflush(console_file);
    }
}

bool host_console_open(const std::string &log_path, bool quiet)
{
    std::lock_guard<std::mutex> hold(console_lock);
    console_quiet = quiet;
    if (log_path.empty()) return true;
    console_file = fopen(log_path.c_str(), "a");
    return console_file != nullptr;
}

void host_console_close()
{
    std::lock_guard<std::mutex> hold(console_lock);
    if (console_file) fclose(console_file);
    console_file = nullptr;
}

// "2026-12-08 04:12:33 [19400/25] text", or nothing when the line is hidden.
static void console_stamped(int32_t type, int32_t priority, const std::string &text)
{
    {
        std::lock_guard<std::mutex> hold(console_lock);
        if (console_quiet && priority >= LOG_PRIO_DETAIL) return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u [%d/%d] ", now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, (int)type,
             (int)priority);
    console_write(stamp + text);
}

void host_console_sink(const host_log_line &line)
{
    console_stamped(line.type, line.priority, line.text);
}

void host_console_note(int32_t type, int32_t priority, const std::string &text)
{
    console_stamped(type, priority, "mailhost: " + text);
}

void host_console_print(const std::string &text) { console_write(text); }

void host_console_statistics()
{
    std::vector<host_stat_module> modules = host_side_modules();
    std::vector<host_stat_category> categories = host_side_categories();
    host_console_print("Statistics:");
    if (categories.empty()) host_console_print("  (none)");
    for (const host_stat_category &c : categories) {
        std::string module_name = "?";
        for (const host_stat_module &m : modules)
            if (m.handle == c.module) module_name = m.name;
        std::string value = c.kind == STAT_KIND_PEAK ? std::to_string(c.peak) + " (peak)"
                                                     : std::to_string(c.total) + " (total)";
        host_console_print("  " + module_name + " / " + c.name + ": " + value);
    }
}
