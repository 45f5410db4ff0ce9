// The settings file Tollgate.ini: where it is, how it is read at start-up and written back.
//
// Owns: settings_path, settings_state_path and settings_shared.
// Threads: load_settings runs on the start-up thread before any other thread of the module
// exists; save_settings runs on the dialog's thread. Neither takes a table lock.
#pragma once
#include <cstdint>

enum : int32_t {
    SETTINGS_PATH_SIZE = 260,      // settings_path's buffer: MAX_PATH, what the profile calls take
    SETTINGS_DIR_SIZE = 260,       // the working-directory buffer the path is built from
    SETTINGS_WHITE_KEYS_MAX = 256, // most white-list keys one load reads, whatever WhiteIPs says
    SETTINGS_BLACK_KEYS_MAX = 4352, // likewise for BlackIPs: 256 past the list's 4096 entries
    SETTINGS_STATE_VALUE_SIZE = 1024, // the StateFile value as read, NUL included
    SETTINGS_STATE_PATH_SIZE = 260,   // MAX_PATH: the longest path the ANSI file calls take
    SETTINGS_STATE_SUFFIX_ROOM = 16,  // kept free after the state path for the names derived
                                      // from it (".old", ".<process id>.tmp")
    SETTINGS_STATE_PATH_MAX = SETTINGS_STATE_PATH_SIZE - 1 - SETTINGS_STATE_SUFFIX_ROOM,
    SETTINGS_SHARED_TEXT_SIZE = 128, // SharedStore, SharedPassword, SharedPrefix, NUL included
    SHARED_PORT_DEFAULT = 6379,      // the store's port when SharedStore names none
    SHARED_TIMEOUT_DEFAULT = 50,     // ms for connecting and for each call
    SHARED_TIMEOUT_MIN = 5,
    SHARED_TIMEOUT_MAX = 1000,
};

// The file's full path, built by load_settings (or by the first save_settings when no start-up
// has built it); "" until then.
extern char settings_path[SETTINGS_PATH_SIZE];

// The state file's full path from General/StateFile, fixed by load_settings like settings_path:
// "" when the key is missing or empty, or its path is unusable (the table then lives in memory
// only). At most SETTINGS_STATE_PATH_MAX characters.
extern char settings_state_path[SETTINGS_STATE_PATH_SIZE];

// The shared store from General/SharedStore, SharedPassword, SharedPrefix and SharedTimeout,
// fixed by load_settings like settings_path: `port` 0 when there is none (the key is missing,
// empty or not an IP literal), and the counts then stay local.
struct settings_shared_t {
    char address[SETTINGS_SHARED_TEXT_SIZE];  // dotted quad, as a connect call takes it
    int32_t port;                             // 1..65535; 0: no shared store
    char password[SETTINGS_SHARED_TEXT_SIZE]; // sent with AUTH when not ""
    char prefix[SETTINGS_SHARED_TEXT_SIZE];   // begins every key of the cluster
    int32_t timeout_ms;                       // SHARED_TIMEOUT_MIN..MAX
};
extern settings_shared_t settings_shared;

// Builds settings_path from the working directory: "<directory>\Tollgate.ini", with the
// directory's short form when the long one makes the path too long for the profile calls. When
// neither fits, or the directory cannot be read, the bare "Tollgate.ini" (which the profile
// calls look for in the Windows folder), and `*unusable` is set for the caller to warn.
void settings_build_path(bool *unusable = nullptr);
// Reads the settings, the white list and the black list from the file and logs them through
// the interface copy, which must exist; the white list must be empty (the black list is
// emptied here). A number that is not one reads as its
// key's default with one warning line. Always 1.
int32_t load_settings();
// Writes the settings and the white list in memory to the file; never the black list, which
// stays as the administrator wrote it. Logs nothing: 1 when every
// write succeeded, 0 when one failed (the caller reports it; the values in memory stay).
int32_t save_settings();
