// The settings in force and the settings file Tollgate.ini that holds them.
//
// Owns: settings (the values every subsystem reads), settings_state_path, settings_shared and
// settings_list_files (the values fixed at start-up); the file's path is
// settings/settings_file.h's, and the keys that fill them are settings/values/settings_table.h's.
// Threads: start-up writes the values (load_settings) before any other thread of the module
// runs; the dialog's thread writes `settings` on "OK / Save"; the POP3 threads and the sweeper
// read them. Each value of `settings` is one atomic word with relaxed ordering: readers need a
// whole value, not an order between values. settings_state_path, settings_shared and
// settings_list_files take no lock and no atomic: nothing changes them while the daemon runs.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t {
    CLEAR_TIME_DEFAULT = 30,    // minutes
    CLEAR_TIME_MIN = 1,
    CLEAR_TIME_MAX = 1440,
    AUTH_FAILURES_DEFAULT = 5,  // connections
    AUTH_FAILURES_MIN = 1,      // the least the dialog saves; the file's value has no floor
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
    MAX_CLEAR_TIME_MIN = 1,
    MAX_CLEAR_TIME_MAX = 525600,     // minutes (a year)
    REPEAT_AUTH_FAILURES_DEFAULT = 1, // connections a remembered offender is let in with
    REPEAT_AUTH_FAILURES_MIN = 0,
    REPEAT_AUTH_FAILURES_MAX = 30,
    SETTINGS_STATE_PATH_SIZE = 260,   // MAX_PATH: the longest path the ANSI file calls take
    SETTINGS_STATE_SUFFIX_ROOM = 16,  // kept free after the state path for the names derived
                                      // from it (".old", ".<process id>.tmp")
    SETTINGS_STATE_PATH_MAX = SETTINGS_STATE_PATH_SIZE - 1 - SETTINGS_STATE_SUFFIX_ROOM,
    SETTINGS_LIST_FILES_MAX = 8,      // files one list key may name
    SETTINGS_LIST_PATH_MAX = SETTINGS_STATE_PATH_SIZE - 1, // the longest path of one such file
    // The full paths of one list key's files, each followed by '|', one more '|' for the files
    // past the most, and the NUL.
    SETTINGS_LIST_FILES_SIZE = SETTINGS_LIST_FILES_MAX * (SETTINGS_LIST_PATH_MAX + 1) + 2,
    SETTINGS_SHARED_TEXT_SIZE = 128, // SharedStore, SharedPassword, SharedPrefix, NUL included
    SHARED_PORT_DEFAULT = 6379,      // the store's port when SharedStore names none
    SHARED_TIMEOUT_DEFAULT = 50,     // ms each call to the store may take, connecting included
    SHARED_TIMEOUT_MIN = 5,
    SHARED_TIMEOUT_MAX = 1000,
    TRUST_DAYS_OFF = 0,              // logins are not remembered
    TRUST_DAYS_MIN = 1,              // days a login trusts its address for
    TRUST_DAYS_MAX = 365,
    TRUST_BITS_MIN = 16,             // the prefix length a login trusts around its address
    TRUST_BITS_MAX = 32,
    MAX_TRUSTED_DEFAULT = 65536,     // entries of the trusted set
    MAX_TRUSTED_MAX = 1048576,
    SIEGE_FAILURES_OFF = 0,          // no siege
    SIEGE_FAILURES_MIN = 1,          // connections without a login in the last minute, across
    SIEGE_FAILURES_MAX = 1000000,    // the server, from untrusted addresses, that mark a siege
    SIEGE_AUTH_FAILURES_DEFAULT = 1, // connections an untrusted address is let in with in a siege
    SIEGE_AUTH_FAILURES_MIN = 0,
    SIEGE_AUTH_FAILURES_MAX = 30,
    SHARED_SENTINELS_MAX = 8,        // sentinels SharedSentinels may name
    SENTINEL_PORT_DEFAULT = 26379,   // a sentinel's port when SharedSentinels names none
    SETTINGS_ADDRESS_SIZE = 16,      // a dotted quad, NUL included
    // SharedSentinels as read back: "255.255.255.255:65535|" for each, the last '|' its NUL.
    SETTINGS_SENTINELS_TEXT_SIZE = SHARED_SENTINELS_MAX * 22,
};

// The state file's full path from General/StateFile, fixed by load_settings: "" when the key is
// missing or empty, or its path is unusable (the table then lives in memory only). At most
// SETTINGS_STATE_PATH_MAX characters.
extern char settings_state_path[SETTINGS_STATE_PATH_SIZE];

// The shared store from General/SharedStore (or SharedSentinels and SharedMaster),
// SharedPassword, SharedPrefix and SharedTimeout, fixed by load_settings: `port` and
// `sentinel_count` both 0 when there is none (the keys are missing, empty or refused), and the
// counts then stay local.
struct settings_shared_t {
    char address[SETTINGS_SHARED_TEXT_SIZE];  // dotted quad, as a connect call takes it
    int32_t port;                             // 1..65535; 0: no shared store
    char password[SETTINGS_SHARED_TEXT_SIZE]; // sent with AUTH when not ""
    char prefix[SETTINGS_SHARED_TEXT_SIZE];   // begins every key of the cluster
    int32_t timeout_ms;                       // SHARED_TIMEOUT_MIN..MAX
    // Redis Sentinel, instead of `address` and `port`: the sentinels that name the primary.
    char sentinels[SETTINGS_SENTINELS_TEXT_SIZE]; // as read back: "a.b.c.d:port|a.b.c.d:port"
    int32_t sentinel_count;                    // 0..SHARED_SENTINELS_MAX; 0: no sentinels
    char sentinel_address[SHARED_SENTINELS_MAX][SETTINGS_ADDRESS_SIZE]; // dotted quads
    int32_t sentinel_port[SHARED_SENTINELS_MAX];
    char master[SETTINGS_SHARED_TEXT_SIZE];    // the name the sentinels know the primary by
};
extern settings_shared_t settings_shared;

// The black list's and the allow list's files from General/BlackListFile and AllowListFile,
// fixed by load_settings: each file's full path followed by '|' ('|' is in no Windows path),
// in the order written; a file whose path could not be used, and the files past the
// SETTINGS_LIST_FILES_MAX-th together, are one empty path each ("|"), so that the lists know a
// file is missing. "" when the key is missing or empty: the list has no files.
struct settings_list_files_t {
    char black[SETTINGS_LIST_FILES_SIZE];
    char allow[SETTINGS_LIST_FILES_SIZE];
};
extern settings_list_files_t settings_list_files;

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
    // Trusted logins, from the file at start-up only (not in the dialog, never written back):
    // the days a login trusts its address for (TRUST_DAYS_OFF: no trust), the prefix length of
    // the network it trusts, and the entries the trusted set holds.
    std::atomic<int32_t> trust_days{TRUST_DAYS_OFF};
    std::atomic<int32_t> trust_bits{TRUST_BITS_MAX};
    std::atomic<int32_t> max_trusted{MAX_TRUSTED_DEFAULT};
    // The siege, likewise: the connections of the last minute that mark one (SIEGE_FAILURES_OFF:
    // none), and the connections an untrusted address is let in with while it lasts.
    std::atomic<int32_t> siege_failures{SIEGE_FAILURES_OFF};
    std::atomic<int32_t> siege_auth_failures{SIEGE_AUTH_FAILURES_DEFAULT};
};
extern settings_t settings;
