// The settings in force and the settings file Tollgate.ini that holds them.
//
// Owns: settings (the values every subsystem reads); the file's path is settings/settings_file.h's.
// Threads: start-up writes the values (load_settings) before any other thread of the module
// runs; the dialog's thread writes them on "OK / Save"; the POP3 threads and the sweeper read
// them. Each value is one atomic word with relaxed ordering: readers need a whole value, not
// an order between values.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t {
    CLEAR_TIME_DEFAULT = 30,    // minutes
    CLEAR_TIME_MIN = 1,
    CLEAR_TIME_MAX = 1440,
    AUTH_FAILURES_DEFAULT = 5,  // connections
    AUTH_FAILURES_MAX = 30,
    SWEEP_INTERVAL_SECONDS = 30,
    MAX_ADDRESSES_DEFAULT = 48,      // slots of the address table; also the least it holds
    MAX_ADDRESSES_MAX = 1048576,     // the most it holds (about 22 MB of storage)
    NETWORK_BITS_MIN = 8,            // prefix lengths a network may be counted by
    NETWORK_BITS_MAX = 31,
    NETWORK_FAILURES_MIN = 1,        // a network's allowance of unanswered connections
    NETWORK_FAILURES_MAX = 65535,
    REPEAT_FACTOR_OFF = 0,           // repeat offenders are not remembered
    REPEAT_FACTOR_MIN = 2,           // growth of a refusal's quiet time per offence
    REPEAT_FACTOR_MAX = 16,
    MAX_CLEAR_TIME_DEFAULT = 10080,  // minutes (a week): the longest quiet time a refusal asks
    MAX_CLEAR_TIME_MAX = 525600,     // minutes (a year)
    REPEAT_AUTH_FAILURES_DEFAULT = 1, // connections a remembered offender is let in with
    REPEAT_AUTH_FAILURES_MAX = 30,
};

struct settings_t {
    std::atomic<int32_t> clear_time{CLEAR_TIME_DEFAULT};
    std::atomic<int32_t> auth_failures{AUTH_FAILURES_DEFAULT};
    std::atomic<int32_t> use_short_term{0};                     // 0 or 1 after a load
    std::atomic<int32_t> sweep_interval{SWEEP_INTERVAL_SECONDS}; // fixed; not in file or dialog
    // The table size the file asks for; start-up makes the table at this size. Not in the
    // dialog, and never written back.
    std::atomic<int32_t> max_addresses{MAX_ADDRESSES_DEFAULT};
    // Counting whole networks: the prefix length start-up makes the network table for, and the
    // allowance a network is refused after; both 0 (off) unless the file sets both, in range.
    // Not in the dialog, and never written back.
    std::atomic<int32_t> network_bits{0};
    std::atomic<int32_t> network_failures{0};
    // Repeat offenders, from the file at start-up only (not in the dialog, never written
    // back): the factor by which each offence lengthens a refusal (REPEAT_FACTOR_OFF, or
    // REPEAT_FACTOR_MIN to REPEAT_FACTOR_MAX), the cap on any refusal's quiet time and how long
    // a cleared offender is remembered (minutes), and the connections a remembered offender is
    // let in with before its next offence.
    std::atomic<int32_t> repeat_factor{REPEAT_FACTOR_OFF};
    std::atomic<int32_t> max_clear_time{MAX_CLEAR_TIME_DEFAULT};
    std::atomic<int32_t> repeat_auth_failures{REPEAT_AUTH_FAILURES_DEFAULT};
};
extern settings_t settings;
