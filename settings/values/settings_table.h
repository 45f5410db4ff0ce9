// The keys of Tollgate.ini's [General] section, one declarative row each: its name, the value it
// fills, its default and bounds, the dialog's bounds, whether a save writes it back and how it
// is read. The loader and the saver (settings/settings_file.cpp), the dialog's range checks
// (ui/config_dialog.cpp) and the tests' reset all read these rows, and the module's code
// writes no key's name anywhere else (its warnings and start-up lines take it from the row).
//
// Owns: settings_rows (constant) and settings_reset.
// Threads: the rows never change and any thread reads them. settings_reset writes the values
// as start-up does (see settings/values/settings.h), so only while no other thread of the
// module runs.
#pragma once
#include <atomic>
#include <cstdint>

#include "settings/values/settings.h"

// The keys, in the order a load reads them and a save writes them.
enum settings_key : int32_t {
    SETTINGS_NO_KEY = -1,
    SETTINGS_VERSION,
    SETTINGS_CLEAR_TIME,
    SETTINGS_AUTH_FAILURES,
    SETTINGS_MAX_ADDRESSES,
    SETTINGS_NETWORK_BITS,
    SETTINGS_NETWORK_FAILURES,
    SETTINGS_REPEAT_FACTOR,
    SETTINGS_MAX_CLEAR_TIME,
    SETTINGS_REPEAT_AUTH_FAILURES,
    SETTINGS_USE_SHORT_TERM,
    SETTINGS_STATE_FILE,
    SETTINGS_SHARED_STORE,
    SETTINGS_SHARED_PASSWORD,
    SETTINGS_SHARED_PREFIX,
    SETTINGS_SHARED_TIMEOUT,
    SETTINGS_WHITE_IPS,
    SETTINGS_BLACK_IPS,
    SETTINGS_BLACK_LIST_FILE,
    SETTINGS_ALLOW_LIST_FILE,
    SETTINGS_TRUST_DAYS,
    SETTINGS_TRUST_BITS,
    SETTINGS_MAX_TRUSTED,
    SETTINGS_SIEGE_FAILURES,
    SETTINGS_SIEGE_AUTH_FAILURES,
    SETTINGS_SHARED_SENTINELS,
    SETTINGS_SHARED_MASTER,
    SETTINGS_KEYS,
};

// How a key's value is read. Every number is read as the platform reads one: blanks, a sign,
// 0x, 0o or 0b, anything after the digits ignored, beyond 32 bits the largest (or smallest)
// 32-bit number. A missing key or an empty value reads as the row's default without a word.
enum settings_read : int32_t {
    SETTINGS_READ_NONE,    // never read: every save writes the module's version
    SETTINGS_READ_CLAMPED, // a number pulled into [low, high]; text: the default, with a warning
    SETTINGS_READ_FLAG,    // a number, 1 for any but 0; text: the default, with a warning
    SETTINGS_READ_CHECKED, // a number in [low, high] and not below the `floor` key's value;
                           // text or out of range: the default, with a warning
    SETTINGS_READ_SWITCH,  // a number in [low, high] switches its feature on; one from 0 to
                           // below low leaves it off without a word, anything else with a
                           // warning
    SETTINGS_READ_PAIR,    // a number in [low, high] that, with its partner in its own range,
                           // switches their feature on; anything else leaves it off, with a
                           // warning
    SETTINGS_READ_PATH,    // a file's path, beside the settings file unless it names a folder
    SETTINGS_READ_COUNT,   // how many numbered keys of a list's own section to read
    SETTINGS_READ_STORE,   // an IPv4 address, optionally followed by ":port"
    SETTINGS_READ_TEXT,    // a text that must fit its buffer, else its feature stays off
    SETTINGS_READ_FILES,   // paths of files separated by '|', each read as SETTINGS_READ_PATH
    SETTINGS_READ_SENTINELS, // IPv4 addresses, each optionally followed by ":port", separated
                             // by '|'
};

struct settings_row {
    const char *key;
    settings_read read;
    // The value it fills: a number in `settings`, a number fixed at start-up, a text buffer
    // (of text_size bytes, NUL included); null where it fills none of that kind.
    std::atomic<int32_t> *value = nullptr;
    int32_t *fixed = nullptr;
    char *text = nullptr;
    int32_t text_size = 0;
    // The default of a missing key (and of the tests' reset), and the bounds of its reading.
    int32_t fallback = 0;
    const char *text_fallback = "";
    int32_t low = INT32_MIN, high = INT32_MAX;
    // The dialog's field: the bounds a save pulls the typed number into; 0, 0 without a field.
    int32_t dialog_low = 0, dialog_high = 0;
    bool saved = false; // a save writes it back; otherwise a save leaves the key as written
    // The key whose reading reads this one (the switch of its feature); SETTINGS_NO_KEY: the
    // load reads it in its own turn.
    settings_key with = SETTINGS_NO_KEY;
    // The key without which this one does nothing: set while that one is not, one warning
    // names the missing key.
    settings_key partner = SETTINGS_NO_KEY;
    settings_key floor = SETTINGS_NO_KEY; // SETTINGS_READ_CHECKED: the least it reads as
    // Its start-up line: the value's format after "   <key>:" padded to one column; null for a
    // key without a line of its own. `quiet_at_default`: no line while it holds its default.
    const char *shown = nullptr;
    bool quiet_at_default = false;
    const char *unit = "";      // after the bounds in its warning (" minutes")
    const char *off = nullptr;  // a feature's switch: what its warnings say stays off
};

extern const settings_row settings_rows[SETTINGS_KEYS];

// Puts every value of the table back to its default, as a process finds them before any load
// (sweep_interval too); the settings file's path is not a value and stays as it is.
void settings_reset();
