// Reading Tollgate.ini at start-up and writing it back when the dialog is confirmed.
//
// DESIGN: each key of [General] is a row of settings/values/settings_table.h, and this file
// walks the rows: a load reads each in the rows' order by the way its row says it is read (one
// number reader for every number), logs its line and its warnings naming the row's key, and
// leaves a key read `with` another to that one's procedure (a feature's switch reads the keys
// of its feature). A save writes the rows marked saved, in the same order. The lists, whose
// entries lie in sections of their own, are read last, each after its count.
#include "settings/settings_file.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/number.h"
#include "host/base/ip_address.h"
#include "host/base/version.h"
#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "tracking/black_list.h"
#include "tracking/white_list.h"

static const char SETTINGS_FILE_STEM[] = "Tollgate";
static const char SETTINGS_SECTION_GENERAL[] = "General";
static const char SETTINGS_SECTION_WHITE[] = "WhiteIP";
static const char SETTINGS_SECTION_BLACK[] = "BlackIP";
enum : int32_t {
    SETTINGS_KEY_SIZE = 32,   // "WhiteIP%d" or "BlackIP%d" of any 32-bit number, NUL included
    SETTINGS_VALUE_SIZE = 64, // a number as read, or "%d" of one
    SETTINGS_LINE_SIZE = 512, // the value of one line of the settings in force
};
// What settings_read_number found.
enum : int32_t {
    SETTINGS_FOUND_NONE,   // the key is missing or its value empty
    SETTINGS_FOUND_NUMBER, // a number
    SETTINGS_FOUND_TEXT,   // a value that does not start with a number
};

// Start-up thread (load_settings) and the dialog's thread (save_settings); no lock: start-up
// builds it before the dialog can run, and a save builds it only while it is still empty.
char settings_path[SETTINGS_PATH_SIZE];

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

// The value of `row`'s key read as a number by settings_parse_number: SETTINGS_FOUND_NUMBER with
// it in *value (beyond 32 bits the largest or smallest 32-bit number), SETTINGS_FOUND_NONE when
// the file, section or key is missing or the value is empty, SETTINGS_FOUND_TEXT when the value
// does not start with a number; *value is left alone unless a number is found. `text` receives
// the value as written, for a warning.
static int32_t settings_read_number(const settings_row &row, char (&text)[SETTINGS_VALUE_SIZE],
                                    int32_t *value)
{
    GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, row.key, "", text, sizeof text,
                             settings_path);
    if (text[0] == '\0') return SETTINGS_FOUND_NONE;
    int64_t number;
    if (!settings_parse_number(text, &number)) return SETTINGS_FOUND_TEXT;
    *value = number_clamp(number, INT32_MIN, INT32_MAX);
    return SETTINGS_FOUND_NUMBER;
}

// Puts `value` in the number `row` fills.
static void settings_store(const settings_row &row, int32_t value)
{
    if (row.value) row.value->store(value, std::memory_order_relaxed);
    if (row.fixed) *row.fixed = value;
}

// The number `row` fills, as it stands.
static int32_t settings_stored(const settings_row &row)
{
    return row.value ? row.value->load(std::memory_order_relaxed) : row.fixed ? *row.fixed : 0;
}

// Logs one line of the settings in force: "   ", then `name` and a colon padded to the column
// every such line shares, then `format` of `values`.
template <typename... Values>
static void settings_log_value(const char *name, const char *format, Values... values)
{
    char label[SETTINGS_KEY_SIZE], value[SETTINGS_LINE_SIZE];
    snprintf(label, sizeof label, "%s:", name);
    snprintf(value, sizeof value, format, values...);
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "   %-14s%s", label, value);
}

// `one` or `many` ("failure" or "failures"), as `count` asks.
static const char *settings_plural(int32_t count, const char *one, const char *many)
{
    return count == 1 ? one : many;
}

// "failure" or "failures", as `count` asks.
static const char *settings_failures(int32_t count)
{
    return settings_plural(count, "failure", "failures");
}

// `row`'s number pulled into its bounds: a missing key or an empty value is the row's default;
// a value that does not start with a number is the default too, with one warning naming the key
// and the text.
static int32_t settings_read_clamped(const settings_row &row)
{
    char text[SETTINGS_VALUE_SIZE];
    int32_t value = row.fallback;
    if (settings_read_number(row, text, &value) == SETTINGS_FOUND_TEXT)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s '%s' is not a number, using %d", row.key, text,
                        row.fallback);
    return number_clamp(value, row.low, row.high);
}

// Reads a clamped number or a flag into its value and logs its line, if it has one.
static void settings_load_number(const settings_row &row)
{
    int32_t value = settings_read_clamped(row);
    if (row.read == SETTINGS_READ_FLAG) value = value != 0 ? 1 : 0;
    settings_store(row, value);
    if (row.shown == nullptr || (row.quiet_at_default && value == row.fallback)) return;
    if (row.read == SETTINGS_READ_FLAG)
        settings_log_value(row.key, row.shown, value ? "Yes" : "No");
    else
        settings_log_value(row.key, row.shown, value);
}

// Reads a checked number into its value: text or a number out of range is the default, one
// below the `floor` key's value is that value, each with a warning.
static void settings_load_checked(const settings_row &row)
{
    char text[SETTINGS_VALUE_SIZE];
    int32_t value = row.fallback;
    int32_t found = settings_read_number(row, text, &value);
    if (found == SETTINGS_FOUND_TEXT ||
        (found == SETTINGS_FOUND_NUMBER && (value < row.low || value > row.high))) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s '%s' is not %d to %d%s, using %d", row.key, text, row.low,
                        row.high, row.unit, row.fallback);
        value = row.fallback;
    } else if (row.floor != SETTINGS_NO_KEY && value < settings_stored(settings_rows[row.floor])) {
        const settings_row &least = settings_rows[row.floor];
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s %d is below %s, using %d", row.key, value, least.key,
                        settings_stored(least));
        value = settings_stored(least);
    }
    settings_store(row, value);
}

// Reads `row`'s text into `text` (`size` bytes), its default when the key is missing; the
// text's length.
static int32_t settings_read_text(const settings_row &row, char *text, int32_t size)
{
    return (int32_t)GetPrivateProfileStringA(SETTINGS_SECTION_GENERAL, row.key, row.text_fallback,
                                             text, (DWORD)size, settings_path);
}

// Reads a text into its value. A text longer than its buffer holds is not taken, since a cut
// one would be another text (two prefixes alike in their first 127 characters would share
// counts): false, with one warning saying that what `head` switches stays off.
static bool settings_load_text(const settings_row &row, const settings_row &head)
{
    char text[SETTINGS_TEXT_VALUE_SIZE];
    int32_t length = settings_read_text(row, text, sizeof text);
    if (length >= row.text_size) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s is longer than %d characters, %s", row.key,
                        row.text_size - 1, head.off);
        return false;
    }
    memcpy(row.text, text, (size_t)length + 1);
    return true;
}

// Reads the keys read with `head`, in the rows' order, into their values: false, once one is
// not taken (the feature then stays off).
static bool settings_load_members(settings_key head)
{
    for (int32_t id = head + 1; id < SETTINGS_KEYS; id++) {
        const settings_row &row = settings_rows[id];
        if (row.with != head) continue;
        if (row.read == SETTINGS_READ_TEXT) {
            if (!settings_load_text(row, settings_rows[head])) return false;
        } else if (row.read == SETTINGS_READ_CHECKED) {
            settings_load_checked(row);
        } else {
            settings_load_number(row);
        }
    }
    return true;
}

// True when `row`'s key holds a value (a missing key and an empty value hold none).
static bool settings_is_set(const settings_row &row)
{
    char text[SETTINGS_VALUE_SIZE];
    int32_t value;
    return settings_read_number(row, text, &value) != SETTINGS_FOUND_NONE;
}

// The warning for `row`'s key set without `partner`'s, saying what follows (`tail`).
static void settings_warn_missing(const settings_row &row, const settings_row &partner,
                                  const char *tail)
{
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING, "Tollgate: %s is set but %s is not, %s",
                    row.key, partner.key, tail);
}

// For the feature `head` switches: where one of its keys is set while its partner, the key it
// does nothing without, is not, one warning names both and says what stays off (a misspelt
// partner would otherwise leave the feature off without a word).
static void settings_warn_alone(settings_key head)
{
    for (int32_t id = head; id < SETTINGS_KEYS; id++) {
        const settings_row &row = settings_rows[id];
        if ((id != head && row.with != head) || row.partner == SETTINGS_NO_KEY) continue;
        const settings_row &partner = settings_rows[row.partner];
        if (!settings_is_set(row) || settings_is_set(partner)) continue;
        settings_warn_missing(row, partner, settings_rows[head].off);
        return;
    }
}

// A feature's switch and the keys read with it: a number from `low` to `high` switches the
// feature on and the keys read with it are read; one from 0 to below `low` (RepeatFactor's 0
// and 1, TrustDays' 0) leaves it off without a word, as a missing key does (which names itself
// when a key read with it is set); any other value, or text, leaves it off with a warning. The
// switch's value, or its default (off).
static int32_t settings_load_switch(settings_key head)
{
    const settings_row &row = settings_rows[head];
    char text[SETTINGS_VALUE_SIZE];
    int32_t value = row.fallback;
    int32_t found = settings_read_number(row, text, &value);
    if (found == SETTINGS_FOUND_NONE) settings_warn_alone(head);
    bool on = found == SETTINGS_FOUND_NUMBER && value >= row.low && value <= row.high;
    if (found == SETTINGS_FOUND_TEXT ||
        (found == SETTINGS_FOUND_NUMBER && !on && (value < 0 || value > row.high)))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING, "Tollgate: %s '%s' is not %d to %d, %s",
                        row.key, text, row.low, row.high, row.off);
    if (!on) value = row.fallback;
    settings_store(row, value);
    if (on) settings_load_members(head);
    return value;
}

// A feature's switch, the keys read with it, and its one line once it is on: repeat offenders
// ("Repeat:"), trusted logins ("Trust:"), the siege ("Siege:").
static void settings_load_feature(settings_key head)
{
    if (settings_load_switch(head) == settings_rows[head].fallback) return;
    const std::memory_order relaxed = std::memory_order_relaxed;
    if (head == SETTINGS_REPEAT_FACTOR) {
        int32_t allowance = settings.repeat_auth_failures.load(relaxed);
        settings_log_value("Repeat", "x%d, at most %d min, %d %s",
                           settings.repeat_factor.load(relaxed),
                           settings.max_clear_time.load(relaxed), allowance,
                           settings_failures(allowance));
    } else if (head == SETTINGS_TRUST_DAYS) {
        int32_t days = settings.trust_days.load(relaxed);
        settings_log_value("Trust", "%d %s, /%d, at most %d entries", days,
                           settings_plural(days, "day", "days"), settings.trust_bits.load(relaxed),
                           settings.max_trusted.load(relaxed));
    } else if (head == SETTINGS_SIEGE_FAILURES) {
        int32_t allowance = settings.siege_auth_failures.load(relaxed);
        settings_log_value("Siege", "at %d a minute, %d %s",
                           settings.siege_failures.load(relaxed), allowance,
                           settings_failures(allowance));
    }
}

// NetworkBits and its partner NetworkFailures: with both set and in their bounds, networks are
// counted and one line says so; with one missing one warning names it, and with both missing
// nothing is said; anything else switches the counting off with one warning line.
static void settings_load_networks(settings_key head)
{
    const settings_row &bits_row = settings_rows[head];
    const settings_row &failures_row = settings_rows[bits_row.partner];
    settings_store(bits_row, bits_row.fallback);
    settings_store(failures_row, failures_row.fallback);
    char bits_text[SETTINGS_VALUE_SIZE], failures_text[SETTINGS_VALUE_SIZE];
    int32_t bits = 0, failures = 0;
    int32_t bits_found = settings_read_number(bits_row, bits_text, &bits);
    int32_t failures_found = settings_read_number(failures_row, failures_text, &failures);
    if (bits_found == SETTINGS_FOUND_NONE || failures_found == SETTINGS_FOUND_NONE) {
        settings_warn_alone(head);
        return;
    }
    if (bits_found != SETTINGS_FOUND_NUMBER || bits < bits_row.low || bits > bits_row.high ||
        failures_found != SETTINGS_FOUND_NUMBER || failures < failures_row.low ||
        failures > failures_row.high) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s '%s' or %s '%s' out of range (%d to %d, %d to %d), %s",
                        bits_row.key, bits_text, failures_row.key, failures_text, bits_row.low,
                        bits_row.high, failures_row.low, failures_row.high, bits_row.off);
        return;
    }
    settings_store(bits_row, bits);
    settings_store(failures_row, failures);
    settings_log_value("Networks", "/%d, %d %s", bits, failures, settings_failures(failures));
}

// True when `section` of the file has no key `key`. Called for a key that read as "", which a
// present key with an empty value gives too; only a missing one gives back another default.
static bool settings_key_missing(const char *section, const char *key)
{
    char probe[2];
    GetPrivateProfileStringA(section, key, "-", probe, sizeof probe, settings_path);
    return probe[0] == '-';
}

// Reads <section>/<section><number> (WhiteIP3, BlackIP3), hands it to `add` (white_add or
// black_add) and logs the outcome, naming the list as `list` does ("white", "black"). The entry
// is logged with the prefix as written, not as `add` reads it (/40 stays 40 in the log). A /0
// entry that `add` refuses has a line of its own, and so has a missing key where
// `name_missing` is set; any other refusal is an invalid entry.
static void settings_load_list_entry(const char *section, int32_t number,
                                     int32_t (*add)(const char *, int32_t), const char *list,
                                     bool name_missing)
{
    char key[SETTINGS_KEY_SIZE];
    snprintf(key, sizeof key, "%s%d", section, number);
    char value[WHITE_TEXT_SIZE];
    value[0] = '\0';
    // The empty buffer itself is the default, so a missing key reads as "" (never an address).
    GetPrivateProfileStringA(section, key, value, value, sizeof value, settings_path);
    bool empty = value[0] == '\0';
    int32_t prefix = ip_split_entry(value, 0);
    int32_t added = add(value, prefix);
    if (added == 1)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, "       %d: %s/%d", number, value,
                        prefix);
    else if (added == BLACK_PREFIX_ZERO)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: invalid %s list entry %d (%s/0): a /0 entry would refuse "
                        "every address",
                        list, number, value);
    else if (name_missing && empty && settings_key_missing(section, key))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: missing %s list entry %d: no key %s in [%s]", list, number,
                        key, section);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: invalid %s list entry %d (may be too many IPs)", list, number);
}

// `name`, a file's path as written, into `path` (`size` bytes) as a full path: a name without a
// folder goes beside the settings file (the folder of settings_path; none when that is the bare
// name); any name is then made absolute, so that a later change of the working directory does
// not move the file. Its length, or 0 (and `path` "") when it is unusable or longer than `max`
// characters.
static DWORD settings_full_path(const char *name, char *path, DWORD size, DWORD max)
{
    char joined[SETTINGS_FILES_VALUE_SIZE + SETTINGS_PATH_SIZE];
    if (strpbrk(name, "\\/:") == nullptr) {
        const char *slash = strrchr(settings_path, '\\');
        int folder = slash ? (int)(slash - settings_path + 1) : 0;
        snprintf(joined, sizeof joined, "%.*s%s", folder, settings_path, name);
    } else {
        snprintf(joined, sizeof joined, "%s", name);
    }
    DWORD full = GetFullPathNameA(joined, size, path, nullptr);
    if (full > 0 && full <= max) return full;
    path[0] = '\0';
    return 0;
}

// Reads the state file's path into its value (settings_full_path) and logs it in the settings'
// style. A path too long for the file calls (with room for the names derived from it) is
// refused with one line, and the table stays in memory.
static void settings_load_state_path(const settings_row &row)
{
    char *path = row.text;
    path[0] = '\0';
    char name[SETTINGS_TEXT_VALUE_SIZE];
    int32_t length = settings_read_text(row, name, sizeof name);
    if (length == 0) return;
    // A value that filled its buffer may have been cut: it is too long whatever it says.
    DWORD full = length + 1 >= (int32_t)sizeof name
                     ? 0
                     : settings_full_path(name, path, (DWORD)row.text_size, SETTINGS_STATE_PATH_MAX);
    if (full == 0) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: %s unusable or longer than %d characters, %s", row.key,
                        (int)SETTINGS_STATE_PATH_MAX, row.off);
        return;
    }
    // The state writes would replace the settings file itself.
    char settings_full[SETTINGS_STATE_PATH_SIZE];
    full = GetFullPathNameA(settings_path, sizeof settings_full, settings_full, nullptr);
    if (full > 0 && full < sizeof settings_full && _stricmp(settings_full, path) == 0) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: %s '%s' is the settings file, %s", row.key, path, row.off);
        path[0] = '\0';
        return;
    }
    settings_log_value(row.key, row.shown, path);
}

// Reads a list key's files into its value (settings_list_files): each piece of the value
// between '|', blanks around it left out and empty pieces skipped, is a file's path made full
// by settings_full_path and kept followed by '|'. A path that is unusable or longer than the
// file calls take (the last piece of a value that filled its buffer may have been cut) is kept
// as an empty path with one warning, and so are the files past SETTINGS_LIST_FILES_MAX, together:
// the list then knows that a file it should read is missing. Nothing is logged otherwise; the
// lists log their files once they read them (tracking/lists/).
static void settings_load_list_files(const settings_row &row)
{
    char *files = row.text;
    files[0] = '\0';
    char value[SETTINGS_FILES_VALUE_SIZE];
    bool cut = settings_read_text(row, value, sizeof value) + 1 >= (int32_t)sizeof value;
    int32_t used = 0, number = 0;
    for (char *piece = value, *bar; piece != nullptr; piece = bar ? bar + 1 : nullptr) {
        bar = strchr(piece, '|');
        if (bar) *bar = '\0';
        char *end = piece + strlen(piece);
        while (*piece == ' ' || *piece == '\t') piece++;
        while (end > piece && (end[-1] == ' ' || end[-1] == '\t')) end--;
        *end = '\0';
        if (*piece == '\0' || ++number > SETTINGS_LIST_FILES_MAX + 1) continue;
        char path[SETTINGS_STATE_PATH_SIZE] = "";
        if (number > SETTINGS_LIST_FILES_MAX)
            host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                            "Tollgate: %s names more than %d files, the rest are not read",
                            row.key, (int)SETTINGS_LIST_FILES_MAX);
        else if ((cut && bar == nullptr) ||
                 !settings_full_path(piece, path, sizeof path, SETTINGS_LIST_PATH_MAX))
            host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                            "Tollgate: %s path %d unusable or longer than %d characters, not read",
                            row.key, number, (int)SETTINGS_LIST_PATH_MAX);
        used += snprintf(files + used, (size_t)(row.text_size - used), "%s|", path);
    }
}

// Reads "a.b.c.d" or "a.b.c.d:port" (decimal, each octet 0..255, port 1..65535; without one,
// `default_port`) into `address` and `port`. Only a literal: a host name would need a lookup,
// which no timeout bounds. 0.0.0.0 and 255.255.255.255 name no one server and are refused.
static bool settings_parse_store(const char *text, char *address, size_t size, int32_t *port,
                                 int32_t default_port = SHARED_PORT_DEFAULT)
{
    unsigned octet[4];
    unsigned number = (unsigned)default_port;
    int used = 0;
    if (sscanf(text, "%3u.%3u.%3u.%3u%n", &octet[0], &octet[1], &octet[2], &octet[3], &used) != 4)
        return false;
    for (unsigned value : octet)
        if (value > 255) return false;
    uint32_t host = octet[0] << 24 | octet[1] << 16 | octet[2] << 8 | octet[3];
    if (host == 0 || host == 0xFFFFFFFFu) return false;
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
    ip_format(htonl(host), address);
    *port = (int32_t)number;
    return true;
}

// Reads the shared store's address and the keys read with it into settings_shared, and logs
// the store and the prefix (never the password). A SharedStore that is not the IP literal of
// one host is refused with one warning.
static void settings_load_shared(settings_key head)
{
    const settings_row &row = settings_rows[head];
    settings_store(row, 0);
    char text[SETTINGS_SHARED_TEXT_SIZE];
    if (settings_read_text(row, text, sizeof text) == 0) return;
    const settings_row &sentinels = settings_rows[SETTINGS_SHARED_SENTINELS];
    if (settings_is_set(sentinels)) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s and %s are both set, %s is ignored", row.key, sentinels.key,
                        row.key);
        return;
    }
    int32_t port = 0;
    if (!settings_parse_store(text, row.text, (size_t)row.text_size, &port)) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s '%s' is not an IP address with a port, %s", row.key, text,
                        row.off);
        return;
    }
    if (!settings_load_members(head)) return;
    settings_store(row, port);
    const settings_shared_t &s = settings_shared;
    settings_log_value(row.key, row.shown, s.address, s.port, s.prefix, s.timeout_ms);
}

// Reads the sentinels of `text` ("a.b.c.d[:port]|..." with no blank, at most
// SHARED_SENTINELS_MAX, each port 26379 unless given) into settings_shared, and the list as read
// back into `row`'s text; their number, 0 when `text` is not such a list.
static int32_t settings_parse_sentinels(const settings_row &row, const char *text)
{
    settings_shared_t &s = settings_shared;
    int32_t count = 0, length = 0;
    for (const char *piece = text;; count++) {
        const char *end = strchr(piece, '|');
        int32_t size = end ? (int32_t)(end - piece) : (int32_t)strlen(piece);
        char one[SETTINGS_SHARED_TEXT_SIZE];
        if (count == SHARED_SENTINELS_MAX || size >= (int32_t)sizeof one) return 0;
        snprintf(one, sizeof one, "%.*s", (int)size, piece);
        if (!settings_parse_store(one, s.sentinel_address[count], SETTINGS_ADDRESS_SIZE,
                                  &s.sentinel_port[count], SENTINEL_PORT_DEFAULT))
            return 0;
        length += snprintf(row.text + length, (size_t)(row.text_size - length), "%s%s:%d",
                           count ? "|" : "", s.sentinel_address[count],
                           (int)s.sentinel_port[count]);
        if (end == nullptr) return count + 1;
        piece = end + 1;
    }
}

// SharedSentinels and SharedMaster, with SharedStore's password, prefix and timeout, into
// settings_shared, and their line in the style of SharedStore's. A list that is not of IP
// literals with ports, or no SharedMaster, is refused with one warning and the counts stay
// local (never shared through SharedStore instead); SharedMaster alone is said to be ignored.
static void settings_load_sentinels(settings_key head)
{
    const settings_row &row = settings_rows[head];
    const settings_row &master = settings_rows[row.partner];
    settings_store(row, 0);
    char text[SETTINGS_TEXT_VALUE_SIZE];
    int32_t length = settings_read_text(row, text, sizeof text);
    if (length == 0) {
        if (settings_is_set(master)) settings_warn_missing(master, row, "it is ignored");
        return;
    }
    int32_t count = length < row.text_size ? settings_parse_sentinels(row, text) : 0;
    if (count == 0) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s '%s' is not a list of IP addresses with ports, %s", row.key,
                        text, row.off);
        return;
    }
    if (!settings_is_set(master)) {
        settings_warn_missing(row, master, row.off);
        return;
    }
    if (!settings_load_members(SETTINGS_SHARED_STORE) || !settings_load_members(head)) return;
    settings_store(row, count);
    const settings_shared_t &s = settings_shared;
    settings_log_value("Sentinels", row.shown, s.sentinels, s.master, s.prefix, s.timeout_ms);
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
    for (int32_t id = 0; id < SETTINGS_KEYS; id++) {
        const settings_row &row = settings_rows[id];
        if (row.with != SETTINGS_NO_KEY) continue; // read by the key it goes with
        switch (row.read) {
        case SETTINGS_READ_CLAMPED:
        case SETTINGS_READ_FLAG: settings_load_number(row); break;
        case SETTINGS_READ_SWITCH: settings_load_feature((settings_key)id); break;
        case SETTINGS_READ_PAIR: settings_load_networks((settings_key)id); break;
        case SETTINGS_READ_PATH: settings_load_state_path(row); break;
        case SETTINGS_READ_STORE: settings_load_shared((settings_key)id); break;
        case SETTINGS_READ_FILES: settings_load_list_files(row); break;
        case SETTINGS_READ_SENTINELS: settings_load_sentinels((settings_key)id); break;
        default: break; // never read (Version), or a list's count, read with its list below
        }
    }
    settings_load_white_list();
    settings_load_black_list();
    return 1;
}

// Reads the count of `count` and as many <section><n> keys, logging them under `heading` with
// `add` (white_add or black_add) taking each; nothing is read or logged without a positive
// count. A count far beyond what the list keeps (a typo, a damaged file) would keep start-up
// reading and logging for hours, so reading stops at `keys_max` with one line. `name_missing`:
// a missing key is said to be missing (else it is one more invalid entry).
static void settings_load_list(settings_key count, const char *heading, const char *section,
                               int32_t keys_max, int32_t (*add)(const char *, int32_t),
                               const char *list, bool name_missing)
{
    // The count only says how many keys to read; the list counts what it accepted.
    int32_t keys = settings_read_clamped(settings_rows[count]);
    if (keys <= 0) return;
    host_log_text(LOG_TYPE_GENERAL, LOG_PRIO_DETAIL, heading);
    int32_t last = keys < keys_max ? keys : keys_max;
    for (int32_t number = 1; number <= last; number++)
        settings_load_list_entry(section, number, add, list, name_missing);
    if (keys > last)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: %s list reading stopped at entry %d of %d", list, last, keys);
}

// The white list, put in force once read: 16 entries are kept; reading stops at
// SETTINGS_WHITE_KEYS_MAX keys.
static void settings_load_white_list()
{
    settings_load_list(SETTINGS_WHITE_IPS, "   WhiteList:", SETTINGS_SECTION_WHITE,
                       SETTINGS_WHITE_KEYS_MAX, white_add, "white", false);
    white_publish();
}

// The black list, put in force once read; empty without BlackIPs. The section is only ever
// read: no save writes it.
static void settings_load_black_list()
{
    black_clear();
    settings_load_list(SETTINGS_BLACK_IPS, "   BlackList:", SETTINGS_SECTION_BLACK,
                       SETTINGS_BLACK_KEYS_MAX, black_add, "black", true);
    black_publish();
}

// Writes General/`key` as `text`. 1 written, 0 failed.
static int32_t settings_write(const char *key, const char *text)
{
    return WritePrivateProfileStringA(SETTINGS_SECTION_GENERAL, key, text, settings_path) ? 1 : 0;
}

// Writes General/`key` as "%d" of `value`. 1 written, 0 failed.
static int32_t settings_write_int(const char *key, int32_t value)
{
    char text[SETTINGS_VALUE_SIZE];
    snprintf(text, sizeof text, "%d", value);
    return settings_write(key, text);
}

// Writes the white list, the one list a save writes: its count as General/`count_key` and its
// entries as WhiteIP1 onwards. Keys above the new count keep their old values: nothing is ever
// deleted. 1 when every write succeeded.
static int32_t settings_save_white_list(const char *count_key)
{
    int32_t count = white_count();
    int32_t ok = settings_write_int(count_key, count);
    for (int32_t k = 0; k < count; k++) {
        uint32_t address, mask;
        white_entry(k, &address, &mask);
        char key[SETTINGS_KEY_SIZE];
        snprintf(key, sizeof key, "%s%d", SETTINGS_SECTION_WHITE, k + 1);
        char value[IP_ENTRY_TEXT_SIZE];
        ip_format_entry(address, mask_to_prefix(mask), value);
        if (!WritePrivateProfileStringA(SETTINGS_SECTION_WHITE, key, value, settings_path)) ok = 0;
    }
    return ok;
}

int32_t save_settings()
{
    // A dialog opened before any start-up finds no path yet: build it by the start-up rule so
    // that the file lands where the next start-up reads it.
    if (settings_path[0] == '\0') settings_build_path();
    // Every write is tried even after one failed; the values in memory stay in force either way.
    int32_t ok = 1;
    for (const settings_row &row : settings_rows) {
        if (!row.saved) continue;
        if (row.read == SETTINGS_READ_NONE) ok &= settings_write(row.key, TOLLGATE_VERSION_TEXT);
        else if (row.read == SETTINGS_READ_COUNT) ok &= settings_save_white_list(row.key);
        else ok &= settings_write_int(row.key, settings_stored(row));
    }
    return ok;
}
