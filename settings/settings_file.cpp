// Reading Tollgate.ini at start-up and writing it back when the dialog is confirmed.
#include "settings/settings_file.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/number.h"
#include "host/base/ip_address.h"
#include "host/base/version.h"
#include "settings/values/settings.h"
#include "tracking/black_list.h"
#include "tracking/white_list.h"

static const char SETTINGS_FILE_STEM[] = "Tollgate";
static const char SETTINGS_SECTION_GENERAL[] = "General";
static const char SETTINGS_SECTION_WHITE[] = "WhiteIP";
static const char SETTINGS_SECTION_BLACK[] = "BlackIP";
static const char SETTINGS_VERSION[] = TOLLGATE_VERSION_TEXT;
enum : int32_t {
    SETTINGS_KEY_SIZE = 32,   // "WhiteIP%d" or "BlackIP%d" of any 32-bit number, NUL included
    SETTINGS_VALUE_SIZE = 64, // a number as read, "%d" of one, or "%s/%u" of an entry
};

// Start-up thread (load_settings) and the dialog's thread (save_settings); no lock: start-up
// builds it before the dialog can run, and a save builds it only while it is still empty.
char settings_path[SETTINGS_PATH_SIZE];
// Start-up thread writes it (load_settings) before the sweeper exists; the sweeper and shutdown
// read it. No lock: nothing changes it while the daemon runs.
char settings_state_path[SETTINGS_STATE_PATH_SIZE];
// Start-up thread writes it (load_settings) before any other thread of the module exists; the
// POP3 threads and shutdown read it. No lock: nothing changes it while the daemon runs.
settings_shared_t settings_shared;

void settings_build_path(bool *unusable)
{
    char directory[SETTINGS_DIR_SIZE];
    // 0 when the call fails; the size it needs when the directory does not fit.
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    int n = -1;
    if (length > 0 && length < sizeof directory) {
        // The backslash goes in even after a drive root ("C:\\Tollgate.ini"); Windows reads it.
        n = snprintf(settings_path, sizeof settings_path, "%s\\%s.ini", directory,
                     SETTINGS_FILE_STEM);
        // Too long for the profile calls with the file's name: the directory's short form names
        // the same folder in fewer characters (converted in place, which the call allows).
        if (n >= (int)sizeof settings_path) {
            length = GetShortPathNameA(directory, directory, sizeof directory);
            n = length > 0 && length < sizeof directory
                    ? snprintf(settings_path, sizeof settings_path, "%s\\%s.ini", directory,
                               SETTINGS_FILE_STEM)
                    : -1;
        }
    }
    bool bare = n < 0 || n >= (int)sizeof settings_path;
    // The bare name, which the profile calls resolve in the Windows folder.
    if (bare) snprintf(settings_path, sizeof settings_path, "%s.ini", SETTINGS_FILE_STEM);
    if (unusable) *unusable = bare;
}

// The value of digit `c` in `base` (2 to 16), or -1 when it is not one.
static int settings_digit(char c, int base)
{
    int lower = c | 0x20;
    int v = c >= '0' && c <= '9'         ? c - '0'
            : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                           : base;
    return v < base ? v : -1;
}

// Reads the whole number at the start of `text` as the platform's profile reader does: blanks
// skipped, an optional sign, decimal digits (or hexadecimal, octal or binary after 0x, 0o or
// 0b), reading stopping at the first other character, so that "5x" is 5. Beyond 32 bits it
// saturates toward its sign instead of wrapping. False when no digit starts the text.
static bool settings_parse_number(const char *text, int64_t *out)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t') p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    int base = 10;
    if (p[0] == '0') { // the prefixes are lower case only, as the platform reads them
        int radix = p[1] == 'x' ? 16 : p[1] == 'o' ? 8 : p[1] == 'b' ? 2 : 0;
        if (radix && settings_digit(p[2], radix) >= 0) base = radix, p += 2;
    }
    if (settings_digit(*p, base) < 0) return false;
    const int64_t beyond = (int64_t)INT32_MAX + 2; // past either end of the 32-bit range
    int64_t value = 0;
    for (int v; (v = settings_digit(*p, base)) >= 0; p++)
        if (value < beyond) value = value * base + v;
    *out = negative ? -value : value;
    return true;
}

// The signed value of General/`key`, or `fallback` when the file, section or key is missing or
// the value is empty. A value that does not start with a number reads as `fallback` too, with
// one warning naming the key and the text.
static int32_t settings_read_int(const char *key, int32_t fallback)
{
    char text[SETTINGS_VALUE_SIZE];
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, "", text, sizeof text, settings_path);
    if (text[0] == '\0') return fallback;
    int64_t value;
    if (settings_parse_number(text, &value)) return number_clamp(value, INT32_MIN, INT32_MAX);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                    "Tollgate: %s '%s' is not a number, using %d", key, text, fallback);
    return fallback;
}

// General/`key` as a whole decimal number in *value (blanks around it and a sign allowed): 1
// when it is one and fits 32 bits, 0 when the key is missing or empty, -1 when it is anything
// else. `text` receives the value as written, for a warning.
static int32_t settings_read_number(const char *key, char *text, size_t size, int32_t *value)
{
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, "", text, (DWORD)size, settings_path);
    const char *p = text;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    long long number = strtoll(p, &end, 10);
    if (end == p || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return -1;
    while (*end == ' ' || *end == '\t') end++;
    if (*end != '\0') return -1;
    *value = (int32_t)number;
    return 1;
}

// Reads the repeat-offender keys into settings and logs them in one line. A RepeatFactor that
// is missing, 0 or 1 leaves them off without a word; any other value outside 2 to 16, or text,
// leaves them off with a warning. The other two keys are read only when the factor is set; a
// value that is text or out of range takes its default, one below ClearTime takes ClearTime,
// each with a warning.
static void settings_load_repeat(int32_t clear_time)
{
    char text[SETTINGS_VALUE_SIZE];
    int32_t factor = REPEAT_FACTOR_OFF;
    int32_t found = settings_read_number("RepeatFactor", text, sizeof text, &factor);
    if (found <= 0 || factor == 0 || factor == 1) factor = REPEAT_FACTOR_OFF;
    if (found < 0 || (factor != REPEAT_FACTOR_OFF &&
                      (factor < REPEAT_FACTOR_MIN || factor > REPEAT_FACTOR_MAX))) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: RepeatFactor '%s' is not %d to %d, repeat offenders not "
                        "remembered",
                        text, (int)REPEAT_FACTOR_MIN, (int)REPEAT_FACTOR_MAX);
        factor = REPEAT_FACTOR_OFF;
    }
    settings.repeat_factor.store(factor, std::memory_order_relaxed);
    if (factor == REPEAT_FACTOR_OFF) return;

    int32_t max_clear = MAX_CLEAR_TIME_DEFAULT;
    found = settings_read_number("MaxClearTime", text, sizeof text, &max_clear);
    if (found < 0 || (found > 0 && (max_clear < 1 || max_clear > MAX_CLEAR_TIME_MAX))) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: MaxClearTime '%s' is not 1 to %d minutes, using %d", text,
                        (int)MAX_CLEAR_TIME_MAX, (int)MAX_CLEAR_TIME_DEFAULT);
        max_clear = MAX_CLEAR_TIME_DEFAULT;
    } else if (max_clear < clear_time) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: MaxClearTime %d is below ClearTime, using %d", max_clear,
                        clear_time);
        max_clear = clear_time;
    }
    settings.max_clear_time.store(max_clear, std::memory_order_relaxed);

    int32_t allowance = REPEAT_AUTH_FAILURES_DEFAULT;
    found = settings_read_number("RepeatAuthFailures", text, sizeof text, &allowance);
    if (found < 0 || (found > 0 && (allowance < 0 || allowance > REPEAT_AUTH_FAILURES_MAX))) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: RepeatAuthFailures '%s' is not 0 to %d, using %d", text,
                        (int)REPEAT_AUTH_FAILURES_MAX, (int)REPEAT_AUTH_FAILURES_DEFAULT);
        allowance = REPEAT_AUTH_FAILURES_DEFAULT;
    }
    settings.repeat_auth_failures.store(allowance, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   Repeat:       x%d, at most %d min, %d %s",
                    factor, max_clear, allowance, allowance == 1 ? "failure" : "failures");
}

// General/`key` as a whole number from `low` to `high` (as settings_read_number reads it): 1
// with it in *out; 0 when the key is missing or empty (*missing set), or holds anything else.
static int32_t settings_read_exact(const char *key, int32_t low, int32_t high, int32_t *out,
                                   bool *missing, char *text, size_t size)
{
    int32_t value = 0;
    int32_t found = settings_read_number(key, text, size, &value);
    *missing = found == 0;
    if (found <= 0 || value < low || value > high) return 0;
    *out = value;
    return 1;
}

// Reads NetworkBits and NetworkFailures: with both set and in range, networks are counted and
// one line says so; with either missing nothing is said and nothing changes; anything else
// switches the counting off with one warning line.
static void settings_load_networks()
{
    settings.network_bits.store(0, std::memory_order_relaxed);
    settings.network_failures.store(0, std::memory_order_relaxed);
    char bits_text[SETTINGS_VALUE_SIZE], failures_text[SETTINGS_VALUE_SIZE];
    int32_t bits = 0, failures = 0;
    bool bits_missing, failures_missing;
    int32_t bits_ok = settings_read_exact("NetworkBits", NETWORK_BITS_MIN, NETWORK_BITS_MAX, &bits,
                                          &bits_missing, bits_text, sizeof bits_text);
    int32_t failures_ok =
        settings_read_exact("NetworkFailures", NETWORK_FAILURES_MIN, NETWORK_FAILURES_MAX,
                            &failures, &failures_missing, failures_text, sizeof failures_text);
    if (bits_missing || failures_missing) return;
    if (!bits_ok || !failures_ok) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: NetworkBits '%s' or NetworkFailures '%s' out of range (%d to "
                        "%d, %d to %d), networks not counted",
                        bits_text, failures_text, (int)NETWORK_BITS_MIN, (int)NETWORK_BITS_MAX,
                        (int)NETWORK_FAILURES_MIN, (int)NETWORK_FAILURES_MAX);
        return;
    }
    settings.network_bits.store(bits, std::memory_order_relaxed);
    settings.network_failures.store(failures, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   Networks:     /%d, %d %s", bits,
                    failures, failures == 1 ? "failure" : "failures");
}

// Reads <section>/<section><number> (WhiteIP3, BlackIP3), hands it to `add` (white_add or
// black_add) and logs the outcome, naming the list as `list` does ("white", "black"). The entry
// is logged with the prefix as written, not as `add` reads it (/40 stays 40 in the log).
static void settings_load_list_entry(const char *section, int32_t number,
                                     int32_t (*add)(const char *, int32_t), const char *list)
{
    char key[SETTINGS_KEY_SIZE];
    snprintf(key, sizeof key, "%s%d", section, number);
    char value[WHITE_TEXT_SIZE];
    value[0] = '\0';
    // The empty buffer itself is the default, so a missing key reads as "" (never an address).
    GetPrivateProfileStringA(section, key, value, value, sizeof value, settings_path);
    int32_t prefix = ip_split_entry(value, 0);
    if (add(value, prefix) == 1)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "       %d: %s/%d", number, value,
                        prefix);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: invalid %s list entry %d (may be too many IPs)", list, number);
}

// Reads General/StateFile into settings_state_path and logs it in the settings' style. A name
// without a folder goes beside the settings file (the folder of settings_path; none when that
// is the bare name); any name is then made absolute, so that a later change of the working
// directory does not move the file. A path too long for the file calls (with room for the
// names derived from it) is refused with one line, and the table stays in memory.
static void settings_load_state_path()
{
    settings_state_path[0] = '\0';
    char name[SETTINGS_STATE_VALUE_SIZE];
    DWORD length = GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, "StateFile", "", name,
                                            sizeof name, settings_path);
    if (length == 0) return;
    char joined[SETTINGS_STATE_VALUE_SIZE + SETTINGS_PATH_SIZE];
    if (strpbrk(name, "\\/:") == nullptr) {
        const char *slash = strrchr(settings_path, '\\');
        int folder = slash ? (int)(slash - settings_path + 1) : 0;
        snprintf(joined, sizeof joined, "%.*s%s", folder, settings_path, name);
    } else {
        snprintf(joined, sizeof joined, "%s", name);
    }
    // A value that filled its buffer may have been cut: it is too long whatever it says.
    DWORD full = length + 1 >= sizeof name
                     ? 0
                     : GetFullPathNameA(joined, sizeof settings_state_path, settings_state_path,
                                        nullptr);
    if (full == 0 || full > (DWORD)SETTINGS_STATE_PATH_MAX) {
        settings_state_path[0] = '\0';
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: StateFile unusable or longer than %d characters, addresses "
                        "kept in memory only",
                        (int)SETTINGS_STATE_PATH_MAX);
        return;
    }
    // The state writes would replace the settings file itself.
    char settings_full[SETTINGS_STATE_PATH_SIZE];
    full = GetFullPathNameA(settings_path, sizeof settings_full, settings_full, nullptr);
    if (full > 0 && full < sizeof settings_full &&
        _stricmp(settings_full, settings_state_path) == 0) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: StateFile '%s' is the settings file, addresses kept in memory "
                        "only",
                        settings_state_path);
        settings_state_path[0] = '\0';
        return;
    }
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   StateFile:    '%s'",
                    settings_state_path);
}

// Reads "a.b.c.d" or "a.b.c.d:port" (decimal, each octet 0..255, port 1..65535) into
// `address` and `port`. Only a literal: a host name would need a lookup, which no timeout bounds.
static bool settings_parse_store(const char *text, char *address, size_t size, int32_t *port)
{
    unsigned octet[4];
    unsigned number = SHARED_PORT_DEFAULT;
    int used = 0;
    if (sscanf(text, "%3u.%3u.%3u.%3u%n", &octet[0], &octet[1], &octet[2], &octet[3], &used) != 4)
        return false;
    for (unsigned value : octet)
        if (value > 255) return false;
    for (const char *c = text; c < text + used; c++)
        if (*c != '.' && (*c < '0' || *c > '9')) return false; // no signs or blanks inside
    const char *rest = text + used;
    if (*rest == ':') {
        char *end;
        if (rest[1] < '0' || rest[1] > '9') return false;
        unsigned long value = strtoul(rest + 1, &end, 10);
        if (*end != '\0' || value < 1 || value > 65535) return false;
        number = (unsigned)value;
    } else if (*rest != '\0') {
        return false;
    }
    if (size < IP_TEXT_SIZE) return false;
    ip_format(htonl(octet[0] << 24 | octet[1] << 16 | octet[2] << 8 | octet[3]), address);
    *port = (int32_t)number;
    return true;
}

// Reads the shared store's keys into settings_shared and logs the store and the prefix (never
// the password). A SharedStore that is not an IP literal is refused with one warning.
static void settings_load_shared()
{
    settings_shared_t &s = settings_shared;
    s.port = 0;
    char text[SETTINGS_SHARED_TEXT_SIZE];
    if (GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, "SharedStore", "", text, sizeof text,
                                 settings_path) == 0)
        return;
    if (!settings_parse_store(text, s.address, sizeof s.address, &s.port)) {
        s.port = 0;
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: SharedStore '%s' is not an IP address with a port, counts "
                        "stay local",
                        text);
        return;
    }
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, "SharedPassword", "", s.password,
                             sizeof s.password, settings_path);
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, "SharedPrefix", "tollgate:", s.prefix,
                             sizeof s.prefix, settings_path);
    // Read as every other number: text is the default with a warning, then the range applies.
    s.timeout_ms = number_clamp(settings_read_int("SharedTimeout", SHARED_TIMEOUT_DEFAULT),
                                SHARED_TIMEOUT_MIN, SHARED_TIMEOUT_MAX);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL,
                    "   SharedStore:  %s:%d, prefix '%s', timeout %d ms", s.address, s.port,
                    s.prefix, s.timeout_ms);
}

static void settings_load_white_list();
static void settings_load_black_list();

int32_t load_settings()
{
    bool unusable = false;
    settings_build_path(&unusable);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "Tollgate: using file '%s'", settings_path);
    if (unusable) {
        char windows[MAX_PATH];
        UINT length = GetWindowsDirectoryA(windows, sizeof windows);
        if (length == 0 || length >= sizeof windows)
            snprintf(windows, sizeof windows, "%%windir%%");
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: the working directory cannot be read or is too long, using "
                        "'%s\\%s' instead",
                        windows, settings_path);
    }

    int32_t clear_time =
        number_clamp(settings_read_int("ClearTime", CLEAR_TIME_DEFAULT), CLEAR_TIME_MIN,
                     CLEAR_TIME_MAX);
    settings.clear_time.store(clear_time, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   ClearTime:    %d min", clear_time);

    // No lower bound: 0 or less refuses an address from its second connection on.
    int32_t auth_failures = number_clamp(settings_read_int("AuthFailures", AUTH_FAILURES_DEFAULT),
                                         INT32_MIN, AUTH_FAILURES_MAX);
    settings.auth_failures.store(auth_failures, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   AuthFailures: %d", auth_failures);

    // The table's size, made at start-up after this load; shown only when not the default.
    int32_t max_addresses = number_clamp(settings_read_int("MaxAddresses", MAX_ADDRESSES_DEFAULT),
                                         MAX_ADDRESSES_DEFAULT, MAX_ADDRESSES_MAX);
    settings.max_addresses.store(max_addresses, std::memory_order_relaxed);
    if (max_addresses != MAX_ADDRESSES_DEFAULT)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   MaxAddresses: %d", max_addresses);
    settings_load_networks();
    settings_load_repeat(clear_time);

    int32_t short_term = settings_read_int("UseShortTerm", 0) != 0 ? 1 : 0;
    settings.use_short_term.store(short_term, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   UseShortTerm: %s",
                    short_term ? "Yes" : "No");
    settings_load_state_path();
    settings_load_shared();
    settings_load_white_list();
    settings_load_black_list();
    return 1;
}

// Reads General/<count key> and as many <section><n> keys, logging them under `heading` with
// `add` (white_add or black_add) taking each; nothing is read or logged without a positive
// count. A count far beyond what the list keeps (a typo, a damaged file) would keep start-up
// reading and logging for hours, so reading stops at `keys_max` with one line.
static void settings_load_list(const char *count_key, const char *heading, const char *section,
                               int32_t keys_max, int32_t (*add)(const char *, int32_t),
                               const char *list)
{
    // The count only says how many keys to read; the list counts what it accepted.
    int32_t keys = settings_read_int(count_key, 0);
    if (keys <= 0) return;
    host_log_text(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, heading);
    int32_t last = keys < keys_max ? keys : keys_max;
    for (int32_t number = 1; number <= last; number++)
        settings_load_list_entry(section, number, add, list);
    if (keys > last)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: %s list reading stopped at entry %d of %d", list, last, keys);
}

// The white list, put in force once read: 16 entries are kept; reading stops at
// SETTINGS_WHITE_KEYS_MAX keys.
static void settings_load_white_list()
{
    settings_load_list("WhiteIPs", "   WhiteList:", SETTINGS_SECTION_WHITE, SETTINGS_WHITE_KEYS_MAX,
                       white_add, "white");
    white_publish();
}

// The black list, put in force once read; empty without BlackIPs. The section is only ever
// read: no save writes it.
static void settings_load_black_list()
{
    black_clear();
    settings_load_list("BlackIPs", "   BlackList:", SETTINGS_SECTION_BLACK, SETTINGS_BLACK_KEYS_MAX,
                       black_add, "black");
    black_publish();
}

// Writes General/`key` as "%d" of `value`. 1 written, 0 failed.
static int32_t settings_write_int(const char *key, int32_t value)
{
    char text[SETTINGS_VALUE_SIZE];
    snprintf(text, sizeof text, "%d", value);
    return WritePrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, text, settings_path) ? 1 : 0;
}

int32_t save_settings()
{
    // A dialog opened before any start-up finds no path yet: build it by the start-up rule so
    // that the file lands where the next start-up reads it.
    if (settings_path[0] == '\0') settings_build_path();
    // Every write is tried even after one failed; the values in memory stay in force either way.
    int32_t ok = WritePrivateProfileStringA(SETTINGS_SECTION_GENERAL, "Version", SETTINGS_VERSION,
                                            settings_path)
                     ? 1
                     : 0;
    const std::memory_order relaxed = std::memory_order_relaxed;
    ok &= settings_write_int("ClearTime", settings.clear_time.load(relaxed));
    ok &= settings_write_int("AuthFailures", settings.auth_failures.load(relaxed));
    ok &= settings_write_int("UseShortTerm", settings.use_short_term.load(relaxed));
    int32_t count = white_count();
    ok &= settings_write_int("WhiteIPs", count);
    // Keys above the new count keep their old values: nothing is ever deleted.
    for (int32_t k = 0; k < count; k++) {
        uint32_t address, mask;
        white_entry(k, &address, &mask);
        char key[SETTINGS_KEY_SIZE];
        snprintf(key, sizeof key, "WhiteIP%d", k + 1);
        char value[IP_ENTRY_TEXT_SIZE];
        ip_format_entry(address, mask_to_prefix(mask), value);
        if (!WritePrivateProfileStringA(SETTINGS_SECTION_WHITE, key, value, settings_path)) ok = 0;
    }
    return ok;
}
