// Reading Tollgate.ini at start-up and writing it back when the dialog is confirmed.
#include "settings/settings_file.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/base/host_interface.h"
#include "settings/values/settings.h"
#include "tracking/white_list.h"

static const char SETTINGS_FILE_STEM[] = "Tollgate";
static const char SETTINGS_SECTION_GENERAL[] = "General";
static const char SETTINGS_SECTION_WHITE[] = "WhiteIP";
static const char SETTINGS_VERSION[] = "0.98";
enum : int32_t {
    SETTINGS_KEY_SIZE = 32,   // "WhiteIP%d" of any 32-bit number, NUL included
    SETTINGS_VALUE_SIZE = 48, // "%d" of a number, or "%s/%u" of a dotted quad and a prefix
};

// Start-up thread (load_settings) and the dialog's thread (save_settings); no lock: start-up
// builds it before the dialog can run, and a save builds it only while it is still empty.
char settings_path[SETTINGS_PATH_SIZE];
// Start-up thread writes it (load_settings) before the sweeper exists; the sweeper and shutdown
// read it. No lock: nothing changes it while the daemon runs.
char settings_state_path[SETTINGS_STATE_PATH_SIZE];

void settings_build_path()
{
    char directory[SETTINGS_DIR_SIZE];
    directory[0] = '\0';
    DWORD length = GetCurrentDirectoryA(SETTINGS_DIR_SIZE, directory);
    // A directory that does not fit (the result is then the size it needs) or a failed call
    // gives the bare name, which the profile functions resolve in their own default directory.
    // The result is checked, not only the first byte, since a call that does not fill the
    // buffer is not bound to leave it untouched.
    if (length == 0 || length >= (DWORD)SETTINGS_DIR_SIZE) directory[0] = '\0';
    // The backslash goes in even after a drive root ("C:\\Tollgate.ini"); Windows reads it.
    if (directory[0] != '\0')
        snprintf(settings_path, sizeof settings_path, "%s\\%s.ini", directory, SETTINGS_FILE_STEM);
    else
        snprintf(settings_path, sizeof settings_path, "%s.ini", SETTINGS_FILE_STEM);
}

// The signed value of General/`key`, or `fallback` when the file, section or key is missing.
static int32_t settings_read_int(const char *key, int32_t fallback)
{
    return (int32_t)GetPrivateProfileIntA(SETTINGS_SECTION_GENERAL, key, fallback, settings_path);
}

// General/`key` as a count from `low` to `high`: a value that is missing, not a number, below
// `low` or negative reads as `low`; one above `high`, however many digits it has, as `high`.
// Read as text, so that no digit count can wrap it around into range.
static int32_t settings_read_count(const char *key, int32_t low, int32_t high)
{
    char text[SETTINGS_VALUE_SIZE];
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, "", text, sizeof text, settings_path);
    long long value = strtoll(text, nullptr, 10); // saturates instead of overflowing
    return value < low ? low : value > high ? high : (int32_t)value;
}

// General/`key` as a whole number from `low` to `high`: 1 with it in *out; 0 when the key is
// missing or empty (*missing set), or holds anything but digits, or a number out of range.
static int32_t settings_read_exact(const char *key, int32_t low, int32_t high, int32_t *out,
                                   bool *missing, char *text, size_t size)
{
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, "", text, (DWORD)size, settings_path);
    *missing = text[0] == '\0';
    long long value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9' && value <= high; p++) value = value * 10 + (*p - '0');
    if (*missing || *p != '\0' || value < low || value > high) return 0;
    *out = (int32_t)value;
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

// Reads WhiteIP<number>, adds it to the white list and logs the outcome. The entry is logged
// with the prefix as written, not as white_add reads it (/40 stays 40 in the log).
static void settings_load_white_entry(int32_t number)
{
    char key[SETTINGS_KEY_SIZE];
    snprintf(key, sizeof key, "WhiteIP%d", number);
    char value[WHITE_TEXT_SIZE];
    value[0] = '\0';
    // The empty buffer itself is the default, so a missing key reads as "" (never an address).
    GetPrivateProfileStringA(SETTINGS_SECTION_WHITE, key, value, value, sizeof value,
                             settings_path);
    int32_t prefix = white_split_entry(value, 0);
    if (white_add(value, prefix) == 1)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "       %d: %s/%d", number, value,
                        prefix);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: invalid white list entry %d (may be too many IPs)", number);
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
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   StateFile:    '%s'",
                    settings_state_path);
}

int32_t load_settings()
{
    settings_build_path();
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "Tollgate: using file '%s'", settings_path);

    int32_t clear_time = settings_read_int("ClearTime", CLEAR_TIME_DEFAULT);
    if (clear_time < CLEAR_TIME_MIN) clear_time = CLEAR_TIME_MIN;
    else if (clear_time > CLEAR_TIME_MAX) clear_time = CLEAR_TIME_MAX;
    settings.clear_time.store(clear_time, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   ClearTime:    %d min", clear_time);

    // No lower bound: 0 or less refuses an address from its second connection on.
    int32_t auth_failures = settings_read_int("AuthFailures", AUTH_FAILURES_DEFAULT);
    if (auth_failures > AUTH_FAILURES_MAX) auth_failures = AUTH_FAILURES_MAX;
    settings.auth_failures.store(auth_failures, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   AuthFailures: %d", auth_failures);

    // The table's size, made at start-up after this load; shown only when not the default.
    int32_t max_addresses =
        settings_read_count("MaxAddresses", MAX_ADDRESSES_DEFAULT, MAX_ADDRESSES_MAX);
    settings.max_addresses.store(max_addresses, std::memory_order_relaxed);
    if (max_addresses != MAX_ADDRESSES_DEFAULT)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   MaxAddresses: %d", max_addresses);
    settings_load_networks();

    int32_t short_term = settings_read_int("UseShortTerm", 0) != 0 ? 1 : 0;
    settings.use_short_term.store(short_term, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   UseShortTerm: %s",
                    short_term ? "Yes" : "No");
    settings_load_state_path();

    // The count only says how many keys to read; the list counts what it accepted.
    int32_t keys = settings_read_int("WhiteIPs", 0);
    if (keys <= 0) return 1;
    host_log_text(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   WhiteList:");
    // Only 16 entries can be kept; a count far beyond that (a typo, a damaged file) would keep
    // start-up reading and logging for hours, so reading stops at a bound well above 16.
    int32_t last = keys < SETTINGS_WHITE_KEYS_MAX ? keys : SETTINGS_WHITE_KEYS_MAX;
    for (int32_t number = 1; number <= last; number++) settings_load_white_entry(number);
    if (keys > last)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: white list reading stopped at entry %d of %d", last, keys);
    return 1;
}

// Writes General/`key` as "%d" of `value`.
static void settings_write_int(const char *key, int32_t value)
{
    char text[SETTINGS_VALUE_SIZE];
    snprintf(text, sizeof text, "%d", value);
    WritePrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, text, settings_path);
}

void save_settings()
{
    // A dialog opened before any start-up finds no path yet: build it by the start-up rule so
    // that the file lands where the next start-up reads it.
    if (settings_path[0] == '\0') settings_build_path();
    // Failed writes go unreported: the values in memory stay in force either way.
    WritePrivateProfileStringA(SETTINGS_SECTION_GENERAL, "Version", SETTINGS_VERSION,
                               settings_path);
    settings_write_int("ClearTime", settings.clear_time.load(std::memory_order_relaxed));
    settings_write_int("AuthFailures", settings.auth_failures.load(std::memory_order_relaxed));
    settings_write_int("UseShortTerm", settings.use_short_term.load(std::memory_order_relaxed));
    int32_t count = white_count();
    settings_write_int("WhiteIPs", count);
    // Keys above the new count keep their old values: nothing is ever deleted.
    for (int32_t k = 0; k < count; k++) {
        in_addr address;
        address.s_addr = white_list.address[k].load(std::memory_order_relaxed);
        uint32_t mask = white_list.mask[k].load(std::memory_order_relaxed);
        const char *dotted = inet_ntoa(address);
        char octets[SETTINGS_VALUE_SIZE];
        if (dotted == nullptr) { // a Winsock that refuses without start-up: print it ourselves
            const unsigned char *b = (const unsigned char *)&address.s_addr;
            snprintf(octets, sizeof octets, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
            dotted = octets;
        }
        char key[SETTINGS_KEY_SIZE];
        snprintf(key, sizeof key, "WhiteIP%d", k + 1);
        char value[SETTINGS_VALUE_SIZE];
        snprintf(value, sizeof value, "%s/%u", dotted, (unsigned)mask_to_prefix(mask));
        WritePrivateProfileStringA(SETTINGS_SECTION_WHITE, key, value, settings_path);
    }
}
