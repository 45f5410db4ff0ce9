// The host's side of the module's interface: the host record, its log, its statistics and its
// event hooks. One implementation, shared by the stand-in mail host and every test that plays
// the host.
//
// Owns: the record handed to _startup/_configure/_daemon, the log lines, the statistics
// modules and categories, the hook registry, and the recorded calls.
// Threads: any; every entry takes the host lock (the module calls in from its POP3 threads,
// its sweeper and the dialog's thread at once). No module code runs under the host lock:
// host_side_fire copies the handlers it calls first.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/base/host_interface.h"

struct host_log_line {
    int32_t type;
    int32_t priority;
    std::string text;
};

struct host_stat_category {
    int32_t handle;
    int32_t module;
    std::string name;
    int32_t kind;
    int64_t total;   // sum of the values reported (what a counter shows)
    int32_t last;    // last value reported
    int32_t peak;    // largest value reported (what a peak shows)
    int32_t reports; // number of reports
};

struct host_stat_module {
    int32_t handle;
    std::string name;
};

// Empties the log, the statistics, the hooks and the recorded calls, clears every injected
// failure, and sets the interface version to 4.100.
void host_side_reset();
// The record to hand to the module. It is larger than the part the module copies.
host_interface *host_side_record();
void host_side_set_version(uint8_t major, uint8_t minor);

// Log.
std::vector<host_log_line> host_side_log();
// Lines whose text contains `needle`.
int host_side_log_count(const std::string &needle);
// Called with every line as it is logged (the stand-in host prints and appends to a file);
// null for none.
void host_side_set_log_sink(void (*sink)(const host_log_line &line));

// Statistics. Tests may lay out what the host already holds before the module starts.
int32_t host_side_add_module(const std::string &name);
int32_t host_side_add_category(int32_t module, const std::string &name, int32_t kind);
std::vector<host_stat_module> host_side_modules();
std::vector<host_stat_category> host_side_categories();
// The category of `module_name`/`name`; false when there is none.
bool host_side_category(const std::string &module_name, const std::string &name,
                        host_stat_category *out);
// Failures to inject: module creation returns 0; creation of the category `name` returns 0;
// registration of the hook `code` returns 0 (-1 for none).
void host_side_fail_module_create(bool fail);
void host_side_fail_category_create(const std::string &name);
void host_side_fail_hook_register(int32_t code);

// Calls the module made, in order, one text each: "module_create Tollgate",
// "category_create 3 Blocked hosts 1 0 4 1", "report 4 1", "hook_register 40 2 0",
// "hook_remove 40 6", "parent_window 6". Log lines are not repeated here.
std::vector<std::string> host_side_calls();
int host_side_call_count(const std::string &prefix);

// Hooks.
int host_side_hook_count(int32_t event_class, int32_t code);
// Calls the handlers of class 40 and `code` in registration order with `conn`; returns the
// first result that is not 0, or 0. Calls outside the host lock.
int32_t host_side_fire(int32_t code, host_connection *conn);

// Called at the start of every host function the module calls (tests check there what the
// module holds while it calls the host); null for none.
void host_side_set_probe(void (*probe)());
// The owner window host_parent_window(6) answers with.
void host_side_set_parent_window(int32_t window);
// Recording (on after host_side_reset): every log line is kept for host_side_log and every call
// for host_side_calls. Off, lines only go to the sink and calls are not kept, so that a host
// serving for hours holds no more memory than at its start; statistics are still counted.
void host_side_set_recording(bool recording);
// Discard mode, for benchmarks: the log functions and statistics reports return at once,
// keeping, formatting and recording nothing (the probe is still called). Off after
// host_side_reset.
void host_side_set_discard(bool discard);
