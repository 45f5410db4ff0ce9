// The settings file Tollgate.ini: where it is, how it is read at start-up and written back.
//
// Owns: settings_path. The values it reads and writes are settings/values/settings.h's, each
// key as settings/values/settings_table.h declares it.
// Threads: load_settings runs on the start-up thread before any other thread of the module
// exists; save_settings runs on the dialog's thread. Neither takes a table lock.
#pragma once
#include <cstdint>

#include "settings/values/settings.h"

enum : int32_t {
    SETTINGS_PATH_SIZE = 260,      // settings_path's buffer: MAX_PATH, what the profile calls take
    SETTINGS_DIR_SIZE = 260,       // the working-directory buffer the path is built from
    SETTINGS_WHITE_KEYS_MAX = 256, // most white-list keys one load reads, whatever WhiteIPs says
    SETTINGS_BLACK_KEYS_MAX = 4352, // likewise for BlackIPs: 256 past the list's 4096 entries
    SETTINGS_TEXT_VALUE_SIZE = 1024, // a text value as read (StateFile), NUL included
    SETTINGS_FILES_VALUE_SIZE = 4096, // a list key's value as read (its files' paths), likewise
};

// The file's full path, built by load_settings (or by the first save_settings when no start-up
// has built it); "" until then.
extern char settings_path[SETTINGS_PATH_SIZE];

// Builds settings_path from the working directory: "<directory>\Tollgate.ini", with the
// directory's short form when the long one makes the path too long for the profile calls. When
// neither fits, or the directory cannot be read, the bare "Tollgate.ini" (which the profile
// calls look for in the Windows folder), and `*unusable` is set for the caller to warn.
void settings_build_path(bool *unusable = nullptr);
// Reads every key of settings_rows, the white list and the black list from the file and logs
// them through the interface copy, which must exist; the white list must be empty (the black
// list is emptied here). A value that cannot be used reads as its row says, with one warning
// line. Always 1.
int32_t load_settings();
// Writes the keys of settings_rows marked saved, from memory, and the white list to the file;
// never the black list, which stays as the administrator wrote it. Logs nothing: 1 when every
// write succeeded, 0 when one failed (the caller reports it; the values in memory stay).
int32_t save_settings();
