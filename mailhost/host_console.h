// The mail host's log and statistics output: every line to the console with a time stamp,
// its type and its priority, and appended to the log file.
//
// Owns: the log file and the verbosity.
// Threads: any (the module logs from its POP3 threads and its sweeper); one lock (console_lock,
// inside) keeps lines whole and in order.
#pragma once
#include <cstdint>
#include <string>

#include "mailhost/host_side.h"

// Opens (appends to) the log file; an empty path logs to the console only. `quiet` hides
// priority 25 (detail) lines from both. False when the file cannot be opened.
bool host_console_open(const std::string &log_path, bool quiet);
void host_console_close();
// The sink for host_side_set_log_sink: the module's lines.
void host_console_sink(const host_log_line &line);
// A line of the host's own, logged like the module's, after "mailhost: ".
void host_console_note(int32_t type, int32_t priority, const std::string &text);
// A line without stamp (usage, statistics), to the console and the log file.
void host_console_print(const std::string &text);
// Prints the statistics the host holds: counters as running totals, peaks as peaks.
void host_console_statistics();
