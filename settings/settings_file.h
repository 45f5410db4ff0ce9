// The settings file Tollgate.ini: where it is, how it is read at start-up and written back.
//
// Owns: settings_path and settings_state_path.
// Threads: load_settings runs on the start-up thread before any other thread of the module
// exists; save_settings runs on the dialog's thread. Neither takes a table lock.
#pragma once
#include <cstdint>

enum : int32_t {
    SETTINGS_PATH_SIZE = 256,      // settings_path's buffer
    SETTINGS_DIR_SIZE = 200,       // the working-directory buffer the path is built from
    SETTINGS_WHITE_KEYS_MAX = 256, // most white-list keys one load reads, whatever WhiteIPs says
    SETTINGS_STATE_VALUE_SIZE = 1024, // the StateFile value as read, NUL included
    SETTINGS_STATE_PATH_SIZE = 260,   // MAX_PATH: the longest path the ANSI file calls take
    SETTINGS_STATE_SUFFIX_ROOM = 16,  // kept free after the state path for the names derived
                                      // from it (".bad", ".<process id>.tmp")
    SETTINGS_STATE_PATH_MAX = SETTINGS_STATE_PATH_SIZE - 1 - SETTINGS_STATE_SUFFIX_ROOM,
};

// The file's full path, built by load_settings (or by the first save_settings when no start-up
// has built it); "" until then.
extern char settings_path[SETTINGS_PATH_SIZE];

// The state file's full path from General/StateFile, fixed by load_settings like settings_path:
// "" when the key is missing or empty, or its path is unusable (the table then lives in memory
// only). At most SETTINGS_STATE_PATH_MAX characters.
extern char settings_state_path[SETTINGS_STATE_PATH_SIZE];

// Builds settings_path from the working directory: "<directory>\Tollgate.ini", or the bare
// "Tollgate.ini" when the directory does not fit SETTINGS_DIR_SIZE bytes.
void settings_build_path();
// Reads the settings and the white list from the file and logs them through the interface
// copy, which must exist; the white list must be empty. Always 1.
int32_t load_settings();
// Writes the settings and the white list in memory to the file. Logs nothing.
void save_settings();
