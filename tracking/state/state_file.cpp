// Keeping the held addresses in the state file across restarts: reading it back, replacing it.
//
// DESIGN: the file is plain text an administrator can read and edit:
//     Tollgate state 1
//     # address connections last_seen (seconds since 1970)
//     10.0.0.7 6 1765170000
//     10.1.2.0/24 20 1765170000
// The second kind of line is a network the table counts (its address, then its prefix length);
// it is read back only into a table that counts networks of that length.
// The reader takes the whole file into memory and parses it by hand (a million lines in well
// under a second): blank lines and lines starting with # or ; are skipped, CR LF and LF both
// end a line. Version 1 lines hold exactly three fields. With repeat offenders remembered the
// file is version 2, whose lines may add two fields, the offences and whether the latest
// refusal is in force (1) or has cleared (0):
//     Tollgate state 2
//     # address connections last_seen (seconds since 1970) offences refusing
//     10.0.0.7 1 1765170000 2 1
// A line without them, or one read with repeat offenders off, is an address without offences.
// With logins trusted (TrustDays) the file is version 3: the lines of version 2, and the trusted
// set's entries, each its address (with "/bits" below TrustBits 32) and its latest login:
//     Tollgate state 3
//     # address connections last_seen (seconds since 1970)
//     # trusted address last_login (seconds since 1970)
//     10.0.0.7 1 1765170000
//     trusted 10.0.1.5 1765160000
// A trusted line is read back while logins are trusted and its prefix is at least TrustBits
// (it then trusts its network of TrustBits bits); the newest line of an entry wins, the set's
// size of the newest are kept, and they go back in the order of their logins.
// A file of another version is read for the lines whose first three fields read as such. Lines
// that pass the rules are gathered, then sorted by address to keep the latest line of each
// address, then cut to the table's size by last_seen, and restored in file order. The writer
// never holds a table lock across the disk: it copies slot by slot through db_next into a text,
// and only then writes.
// A file is taken for one of ours only by that first line (an empty file counts too): any other
// file at the path is never renamed, replaced or written, and the addresses stay in memory.
#include "tracking/state/state_file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/os.h"
#include "host/base/ip_address.h"
#include "settings/settings_file.h"
#include "settings/values/settings.h"
#include "tracking/ip_db.h"
#include "tracking/black_list.h"
#include "tracking/list_sets.h"
#include "tracking/white_list.h"

static const char STATE_MAGIC[] = "Tollgate state ";
static const char STATE_OLD_SUFFIX[] = ".old";
static const char STATE_TEMP_SUFFIX[] = ".tmp";
static const char STATE_TRUSTED[] = "trusted"; // begins a trusted entry's line
enum : int32_t {
    STATE_LINE_MAX = 48,                  // "255.255.255.255 65535 -2147483648 127 1\r\n" and more
    STATE_PID_DIGITS_MAX = 10,            // a 32-bit process id in decimal
    STATE_TEMP_SUFFIX_MAX = 1 + STATE_PID_DIGITS_MAX + 4, // ".<process id>.tmp"
    STATE_LINES_SPARE = 64,               // lines of room beyond the held count for a write
    STATE_HEADER_PEEK = 64,               // bytes read of a leftover to find the header line
    STATE_HEADER_LINES = 4,               // lines of room for the header and its comments
};
static_assert((int)STATE_TEMP_SUFFIX_MAX <= (int)SETTINGS_STATE_SUFFIX_ROOM, "temp name too long");
static_assert(sizeof STATE_OLD_SUFFIX - 1 <= SETTINGS_STATE_SUFFIX_ROOM, "kept name too long");

// Written by the sweeper, then by shutdown once the sweeper is joined; reset by start-up. A
// sweeper that a stalled shutdown left running may still write it while the next start-up
// resets it, hence atomic (relaxed: it orders nothing else).
static std::atomic<bool> state_write_failing;
// Set by start-up when the file at the path is not one of ours (or its reading must be kept
// whole and could not be): no write touches it for this run. Read by the sweeper and shutdown;
// atomic for the same reason as above, relaxed.
static std::atomic<bool> state_memory_only;

// One line that passed the rules, waiting for the duplicate and size cuts.
struct state_entry {
    uint32_t ip;
    int32_t last_seen;
    uint32_t line; // position in the file: later lines win
    uint16_t conns;
    uint8_t offences; // at most DB_OFFENCES_MAX
    bool refusing;
    uint8_t bits;     // a network's prefix length; 0 for an address
    bool trusted;     // a trusted entry (its prefix in `bits`, 32 for an address)
};

// Reads a decimal number of at most `max` at *p, moving *p past it; false when there is no
// digit or the number is larger than `max`.
static bool state_read_number(const char **p, const char *end, uint32_t max, uint32_t *out)
{
    const char *q = *p;
    uint64_t value = 0;
    while (q < end && *q >= '0' && *q <= '9') {
        value = value * 10 + (uint32_t)(*q - '0');
        if (value > max) return false;
        q++;
    }
    if (q == *p) return false;
    *p = q;
    *out = (uint32_t)value;
    return true;
}

static bool state_is_blank(char c) { return c == ' ' || c == '\t'; }

// Skips blanks; false when there were none (fields must be separated).
static bool state_skip_blanks(const char **p, const char *end)
{
    const char *q = *p;
    while (q < end && state_is_blank(*q)) q++;
    bool moved = q != *p;
    *p = q;
    return moved;
}

// How the lines of a file of some version read: the fields a line must hold, and whether
// anything may follow them.
enum state_fields : int32_t {
    STATE_FIELDS_LEAD = 0,   // three fields, then anything (a version this reader does not know)
    STATE_FIELDS_EXACT = 1,  // exactly three fields (version 1)
    STATE_FIELDS_REPEAT = 2, // three fields, or five with the offender's two (version 2)
    STATE_FIELDS_TRUST = 3,  // as version 2, and trusted entries' lines (version 3)
};

// Parses the offender's fields " offences refusing" at *p (blanks before them already
// skipped) into `out`, moving *p past them; false when they do not read.
static bool state_parse_offender(const char **p, const char *end, state_entry *out)
{
    uint32_t offences, refusing;
    if (!state_read_number(p, end, 65535, &offences) || !state_skip_blanks(p, end) ||
        !state_read_number(p, end, 1, &refusing))
        return false;
    out->offences = (uint8_t)(offences > DB_OFFENCES_MAX ? (uint32_t)DB_OFFENCES_MAX : offences);
    out->refusing = offences > 0 && refusing == 1;
    state_skip_blanks(p, end);
    return true;
}

// Parses "a.b.c.d" or "a.b.c.d/bits" at *p into out->ip (network byte order) and out->bits
// (0 without a prefix), moving *p past it; false when it does not read.
static bool state_parse_address(const char **p, const char *end, state_entry *out)
{
    uint32_t octet[4], bits = 0;
    for (int k = 0; k < 4; k++) {
        if (k > 0 && (*p == end || *(*p)++ != '.')) return false;
        if (!state_read_number(p, end, 255, &octet[k])) return false;
    }
    if (*p != end && **p == '/' && (++*p, !state_read_number(p, end, 32, &bits) || bits == 0))
        return false;
    // Network byte order: the first octet in the lowest address byte.
    out->ip = octet[0] | octet[1] << 8 | octet[2] << 16 | octet[3] << 24;
    out->bits = (uint8_t)bits;
    return true;
}

// Parses a trusted entry's line "trusted a.b.c.d[/bits] last_login" from [p, end), in a file of
// version 3 only; false when the line is not one, or is malformed.
static bool state_parse_trusted(const char *p, const char *end, state_fields fields,
                                state_entry *out)
{
    size_t lead = sizeof STATE_TRUSTED - 1;
    if (fields != STATE_FIELDS_TRUST || (size_t)(end - p) < lead ||
        memcmp(p, STATE_TRUSTED, lead) != 0)
        return false;
    p += lead;
    uint32_t seen;
    if (!state_skip_blanks(&p, end) || !state_parse_address(&p, end, out) ||
        !state_skip_blanks(&p, end) || !state_read_number(&p, end, INT32_MAX, &seen))
        return false;
    state_skip_blanks(&p, end);
    if (p != end) return false;
    out->trusted = true;
    if (out->bits == 0) out->bits = 32;
    out->last_seen = (int32_t)seen;
    out->conns = 0;
    out->offences = 0;
    out->refusing = false;
    return true;
}

// Parses "a.b.c.d count last_seen" from [p, end), with what `fields` allows after it; false
// when the line is malformed.
static bool state_parse_line(const char *p, const char *end, state_fields fields,
                             state_entry *out)
{
    bool exact = fields != STATE_FIELDS_LEAD;
    uint32_t conns, seen;
    out->trusted = false;
    if (!state_parse_address(&p, end, out)) return false;
    if (!state_skip_blanks(&p, end) || !state_read_number(&p, end, 65535, &conns))
        return false;
    if (!state_skip_blanks(&p, end) || !state_read_number(&p, end, INT32_MAX, &seen))
        return false;
    bool separated = state_skip_blanks(&p, end);
    out->offences = 0;
    out->refusing = false;
    if (fields >= STATE_FIELDS_REPEAT && p != end && separated &&
        !state_parse_offender(&p, end, out))
        return false;
    if (p != end && (exact || !separated)) return false;
    // Only an offender refused again before its first connection since a refusal cleared
    // (RepeatAuthFailures 0) holds no connection.
    if (conns == 0 && out->offences == 0) return false;
    out->conns = (uint16_t)conns;
    out->last_seen = (int32_t)seen;
    return true;
}

// Leaves the file at the path alone for this run, with one error naming it and saying why: the
// table lives in memory only.
static void state_refuse(const char *why)
{
    state_memory_only.store(true, std::memory_order_relaxed);
    host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_ERROR,
                    "Tollgate: state file '%s' %s; it is left as it is and addresses are kept in "
                    "memory only",
                    settings_state_path, why);
}

// The first line of [p, end) when it is the format's header "Tollgate state N": returns where
// the next line starts (or `end`) with N in *version; nullptr when it is not the header.
static const char *state_header(const char *p, const char *end, uint32_t *version)
{
    size_t magic = sizeof STATE_MAGIC - 1;
    if ((size_t)(end - p) < magic || memcmp(p, STATE_MAGIC, magic) != 0) return nullptr;
    p += magic;
    if (!state_read_number(&p, end, INT32_MAX, version)) return nullptr;
    while (p < end && (state_is_blank(*p) || *p == '\r')) p++;
    if (p == end) return p;
    return *p == '\n' ? p + 1 : nullptr;
}

// True when the file `path` begins with the header line (a temporary file of ours). False too
// when it cannot be opened: one still open for writing is another writer's, busy.
static bool state_begins_with_header(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char head[STATE_HEADER_PEEK];
    DWORD got = 0;
    bool ours = ReadFile(file, head, sizeof head, &got, nullptr) && got > 0;
    CloseHandle(file);
    uint32_t version;
    // A header cut by the peek's end still counts: its line may go on past it.
    return ours && state_header(head, head + got, &version) != nullptr;
}

// Removes the temporary files that crashed writes left beside the state file: exactly
// "<name>.<process id>.tmp" beginning with the header line. Others are left alone. Logs how
// many went, when any did.
static void state_remove_leftovers()
{
    const char *slash = strrchr(settings_state_path, '\\');
    int folder = slash ? (int)(slash - settings_state_path + 1) : 0;
    const char *name = settings_state_path + folder;
    size_t name_length = strlen(name);
    char pattern[SETTINGS_STATE_PATH_SIZE];
    snprintf(pattern, sizeof pattern, "%s.*%s", settings_state_path, STATE_TEMP_SUFFIX);
    WIN32_FIND_DATAA found;
    HANDLE walk = FindFirstFileA(pattern, &found);
    if (walk == INVALID_HANDLE_VALUE) return;
    int32_t removed = 0;
    do {
        const char *leaf = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            _strnicmp(leaf, name, name_length) != 0 || leaf[name_length] != '.')
            continue;
        const char *digits = leaf + name_length + 1, *q = digits;
        while (*q >= '0' && *q <= '9') q++;
        if (q == digits || q - digits > STATE_PID_DIGITS_MAX || _stricmp(q, STATE_TEMP_SUFFIX) != 0)
            continue;
        char path[SETTINGS_STATE_PATH_SIZE + MAX_PATH];
        snprintf(path, sizeof path, "%.*s%s", folder, settings_state_path, leaf);
        if (state_begins_with_header(path) && DeleteFileA(path)) removed++;
    } while (FindNextFileA(walk, &found));
    FindClose(walk);
    if (removed > 0)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d temporary state files of an interrupted write removed",
                        removed);
}

// Reads the whole state file into a new block (os.alloc, NUL-terminated). 1 read, 0 no file,
// -1 unreadable (open or read failed, or larger than STATE_FILE_MAX_BYTES).
static int32_t state_read_whole(char **text, uint32_t *size)
{
    // Shared for writing and deleting too: another host's replace must not fail on our read.
    HANDLE file = CreateFileA(settings_state_path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
    }
    int32_t result = -1;
    LARGE_INTEGER length;
    *text = nullptr;
    if (GetFileSizeEx(file, &length) && length.QuadPart <= STATE_FILE_MAX_BYTES) {
        *size = (uint32_t)length.QuadPart;
        *text = (char *)os.alloc(*size + 1);
        DWORD got = 0;
        if (*text && ReadFile(file, *text, *size, &got, nullptr) && got == *size) {
            (*text)[*size] = '\0';
            result = 1;
        }
    }
    CloseHandle(file);
    if (result < 0 && *text) {
        os.release(*text);
        *text = nullptr;
    }
    return result;
}

// Orders by address, then by position in the file: the last of each run is the line that wins.
static bool state_by_address(const state_entry &a, const state_entry &b)
{
    return a.ip != b.ip ? a.ip < b.ip : a.line < b.line;
}
// Newest first (ties: the later line first), for the cut to the table's size.
static bool state_newest_first(const state_entry &a, const state_entry &b)
{
    return a.last_seen != b.last_seen ? a.last_seen > b.last_seen : a.line > b.line;
}
static bool state_by_line(const state_entry &a, const state_entry &b) { return a.line < b.line; }
// By address, then oldest first: the last of each run is an entry's newest line.
static bool state_by_address_then_time(const state_entry &a, const state_entry &b)
{
    return a.ip != b.ip ? a.ip < b.ip : !state_newest_first(a, b);
}
// Oldest first (ties: the earlier line first), the order of the logins.
static bool state_oldest_first(const state_entry &a, const state_entry &b)
{
    return state_newest_first(b, a);
}

// True for a line the table can take back: an address on neither list and not outside the
// allow list, or a network
// of the length the table counts (`network_bits`, 0 for none) written as its network address.
static bool state_fits(const state_entry &e, int32_t network_bits)
{
    if (e.bits == 0) return !white_match(e.ip) && !black_match(e.ip) && !allow_refuses(e.ip);
    return e.bits == network_bits && (e.ip & prefix_to_mask(e.bits)) == e.ip;
}

// True for a trusted entry the table can take back: its prefix is at least the table's TrustBits
// (`trust_bits`, 0 when it trusts no login); it is then made its network of that length.
static bool state_trust_fits(state_entry *e, int32_t trust_bits)
{
    if (trust_bits <= 0 || e->bits < trust_bits) return false;
    e->ip &= prefix_to_mask(trust_bits);
    e->bits = (uint8_t)trust_bits;
    return true;
}

// Parses the lines after the first into `entries` (room for every line), keeping those that
// pass the rules. Returns how many were kept; *lines counts the entry lines seen (neither blank
// nor comment).
static uint32_t state_gather(const char *p, const char *end, state_fields fields,
                             db_table *table, state_entry *entries, uint32_t *lines)
{
    int32_t now = db_clock();
    bool repeat = db_repeat_on();
    int32_t network_bits = db_network_bits(table), trust_bits = db_trust_bits(table);
    const db_settings in_force = db_settings_now();
    uint32_t kept = 0;
    *lines = 0;
    while (p < end) {
        const char *stop = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = stop ? stop + 1 : end;
        if (!stop) stop = end;
        if (stop > p && stop[-1] == '\r') stop--;
        while (p < stop && state_is_blank(*p)) p++;
        if (p < stop && *p != '#' && *p != ';') {
            state_entry e;
            e.line = (*lines)++;
            bool trusted = state_parse_trusted(p, stop, fields, &e);
            if (trusted ? state_trust_fits(&e, trust_bits)
                        : state_parse_line(p, stop, fields, &e) && state_fits(e, network_bits)) {
                // A stamp far ahead means the clock was set back: the address was seen now.
                if ((int64_t)e.last_seen - now > STATE_FUTURE_SLACK_SECONDS) e.last_seen = now;
                // Offenders are read as such only while they are remembered; without them an
                // address that holds no connection is no address at all.
                if (!repeat) e.offences = 0, e.refusing = false;
                int64_t age = (int64_t)now - e.last_seen;
                if (trusted ? age <= db_trust_seconds(in_force)
                            : (e.conns > 0 || e.offences > 0) &&
                                  age <= db_remembered_seconds(e.offences, e.refusing))
                    entries[kept++] = e;
            }
        }
        p = next;
    }
    return kept;
}

// Of the gathered entries, keeps the latest line of each address and then the table's size of
// the newest, and restores them in file order. Returns how many were restored; *no_room counts
// the addresses dropped because the table had no room for them.
static int32_t state_restore(db_table *table, state_entry *entries, uint32_t count, int32_t *no_room)
{
    std::sort(entries, entries + count, state_by_address);
    uint32_t unique = 0;
    for (uint32_t i = 0; i < count; i++)
        if (i + 1 == count || entries[i + 1].ip != entries[i].ip) entries[unique++] = entries[i];
    uint32_t distinct = unique;
    uint32_t capacity = (uint32_t)db_capacity(table);
    if (unique > capacity) {
        std::nth_element(entries, entries + capacity, entries + unique, state_newest_first);
        unique = capacity;
    }
    std::sort(entries, entries + unique, state_by_line);
    int32_t restored = 0;
    for (uint32_t i = 0; i < unique; i++) {
        const state_entry &e = entries[i];
        int32_t stored = db_restore(table, e.ip, e.conns, e.last_seen);
        if (stored && e.offences > 0) db_restore_offences(table, e.ip, e.offences, e.refusing);
        restored += stored;
    }
    *no_room = (int32_t)distinct - restored;
    return restored;
}

// Puts the gathered trusted entries back into the table's trusted set (none without one): the
// newest line of each entry, then the set's size of the newest, oldest first, so that the set's
// order is that of the logins. Returns how many were restored.
static int32_t state_restore_trusted(db_table *table, state_entry *entries, uint32_t count)
{
    if (db_trusted_set(table) == nullptr) return 0;
    std::sort(entries, entries + count, state_by_address_then_time);
    uint32_t unique = 0;
    for (uint32_t i = 0; i < count; i++)
        if (i + 1 == count || entries[i + 1].ip != entries[i].ip) entries[unique++] = entries[i];
    uint32_t capacity = (uint32_t)db_capacity(db_trusted_set(table));
    if (unique > capacity) {
        std::nth_element(entries, entries + capacity, entries + unique, state_newest_first);
        unique = capacity;
    }
    std::sort(entries, entries + unique, state_oldest_first);
    int32_t restored = 0;
    for (uint32_t i = 0; i < unique; i++)
        restored += db_trust(table, entries[i].ip, entries[i].last_seen);
    return restored;
}

// Copies the state file, as it was read, to "<name>.old" (replacing an older one), so that the
// addresses the table had no room for outlive the first write. 1 kept, 0 not.
static int32_t state_keep_old()
{
    char kept[SETTINGS_STATE_PATH_SIZE];
    snprintf(kept, sizeof kept, "%s%s", settings_state_path, STATE_OLD_SUFFIX);
    return CopyFileA(settings_state_path, kept, FALSE) ? 1 : 0;
}

void state_file_load()
{
    state_write_failing.store(false, std::memory_order_relaxed);
    state_memory_only.store(false, std::memory_order_relaxed);
    if (settings_state_path[0] == '\0') return;
    state_remove_leftovers();
    char *text = nullptr;
    uint32_t size = 0;
    int32_t found = state_read_whole(&text, &size);
    if (found < 0) {
        state_refuse("cannot be read");
        return;
    }
    int32_t restored = 0, networks_restored = 0, trusted_restored = 0, no_room = 0;
    uint32_t lines = 0;
    // An empty file is a state file without lines.
    if (found > 0 && size > 0) {
        const char *p = text, *end = text + size;
        if (size >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3; // an editor's UTF-8 mark
        uint32_t version = 0;
        const char *q = state_header(p, end, &version);
        if (q == nullptr) {
            os.release(text);
            state_refuse("is not a Tollgate state file");
            return;
        }
        // Room for every line, so that gathering never has to grow.
        uint32_t room = (uint32_t)std::count(q, end, '\n') + 1;
        state_entry *entries = (state_entry *)os.alloc((size_t)room * sizeof(state_entry));
        if (entries == nullptr) {
            os.release(text);
            state_refuse("cannot be read (out of memory)");
            return;
        }
        state_fields fields = version == STATE_FORMAT_VERSION          ? STATE_FIELDS_EXACT
                              : version == STATE_FORMAT_VERSION_REPEAT ? STATE_FIELDS_REPEAT
                              : version == STATE_FORMAT_VERSION_TRUST  ? STATE_FIELDS_TRUST
                                                                       : STATE_FIELDS_LEAD;
        db_table *table = db_current();
        uint32_t kept = state_gather(q, end, fields, table, entries, &lines);
        // The trusted entries apart, then addresses before networks: each kind goes into its
        // own table.
        state_entry *trusted = std::partition(
            entries, entries + kept, [](const state_entry &e) { return !e.trusted; });
        trusted_restored =
            state_restore_trusted(table, trusted, (uint32_t)(entries + kept - trusted));
        state_entry *networks = std::partition(
            entries, trusted, [](const state_entry &e) { return e.bits == 0; });
        restored = state_restore(table, entries, (uint32_t)(networks - entries), &no_room);
        if (db_networks(table)) {
            int32_t networks_no_room = 0;
            networks_restored = state_restore(db_networks(table), networks,
                                              (uint32_t)(trusted - networks), &networks_no_room);
            no_room += networks_no_room;
        }
        os.release(entries);
    }
    if (text) os.release(text);
    int32_t dropped = (int32_t)lines - restored - networks_restored - trusted_restored;
    if (db_networks(db_current()))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d addresses and %d networks restored from the state file, %d "
                        "lines dropped",
                        restored, networks_restored, dropped);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d addresses restored from the state file, %d lines dropped",
                        restored, dropped);
    if (db_trusted_set(db_current()))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d trusted entries restored from the state file",
                        trusted_restored);
    if (no_room == 0) return;
    if (state_keep_old()) {
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %d addresses of the state file did not fit the table of %d; "
                        "the file as read is kept as '%s%s'",
                        no_room, db_capacity(db_current()), settings_state_path, STATE_OLD_SUFFIX);
        return;
    }
    host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                    "Tollgate: %d addresses of the state file did not fit the table of %d",
                    no_room, db_capacity(db_current()));
    char why[64];
    snprintf(why, sizeof why, "could not be kept as %s (error %lu)", STATE_OLD_SUFFIX,
             (unsigned long)GetLastError());
    state_refuse(why);
}

// How state_format_slots writes a table's slots.
enum state_kind : int32_t {
    STATE_ADDRESSES,      // address lines (with `bits` 0) or network lines
    STATE_TRUSTED_ENTRIES // trusted entries' lines (`bits` 32: addresses)
};

// Appends the held slots of `table` to `text` at *length (room for `room` bytes and *lines
// more lines), each as an address (with its offences when `repeat`) or, with `bits`, as a
// network of that length, or as a trusted entry; true when every held slot found room. Slot by
// slot through db_next: a stripe lock is held for one copy at a time, never across the disk.
static bool state_format_slots(db_table *table, int32_t bits, bool repeat, state_kind kind,
                               char *text, uint32_t room, uint32_t *length, int32_t *lines)
{
    ip_entry_copy slot;
    int32_t i = db_next(table, -1, &slot);
    for (; i >= 0 && *lines > 0; i = db_next(table, i, &slot)) {
        char entry[IP_ENTRY_TEXT_SIZE];
        ip_format_entry(slot.ip, bits == 32 ? 0 : bits, entry);
        int n;
        if (kind == STATE_TRUSTED_ENTRIES)
            n = snprintf(text + *length, room - *length, "%s %s %ld\r\n", STATE_TRUSTED, entry,
                         (long)slot.last_seen);
        else if (repeat && bits == 0)
            n = snprintf(text + *length, room - *length, "%s %u %ld %u %u\r\n", entry,
                         (unsigned)slot.conns, (long)slot.last_seen, (unsigned)slot.offences,
                         slot.refusing ? 1u : 0u);
        else
            n = snprintf(text + *length, room - *length, "%s %u %ld\r\n", entry,
                         (unsigned)slot.conns, (long)slot.last_seen);
        if (n < 0 || (uint32_t)n >= room - *length) break;
        *length += (uint32_t)n;
        --*lines;
    }
    return i < 0;
}

// Formats the table, and its networks, into `text` (room for the header and `lines` lines);
// returns its length, and in *whole whether every held slot found room.
static uint32_t state_format(db_table *table, char *text, uint32_t room, int32_t lines,
                             bool *whole)
{
    // Without repeat offenders and trusted logins the file is exactly as it has always been.
    bool repeat = db_repeat_on();
    db_table *trusted = db_trust_on() ? db_trusted_set(table) : nullptr;
    int n = snprintf(text, room, "%s%d\r\n# address connections last_seen (seconds since 1970)%s\r\n%s",
                     STATE_MAGIC,
                     (int)(trusted  ? STATE_FORMAT_VERSION_TRUST
                           : repeat ? STATE_FORMAT_VERSION_REPEAT
                                    : STATE_FORMAT_VERSION),
                     repeat ? " offences refusing" : "",
                     trusted ? "# trusted address last_login (seconds since 1970)\r\n" : "");
    uint32_t length = (uint32_t)n;
    *whole = state_format_slots(table, 0, repeat, STATE_ADDRESSES, text, room, &length, &lines);
    db_table *networks = db_networks(table);
    if (networks && !state_format_slots(networks, db_network_bits(table), repeat, STATE_ADDRESSES,
                                        text, room, &length, &lines))
        *whole = false;
    if (trusted && !state_format_slots(trusted, db_trust_bits(table), repeat,
                                       STATE_TRUSTED_ENTRIES, text, room, &length, &lines))
        *whole = false;
    return length;
}

// Writes `text` to a temporary file beside the state file, flushes it and moves it over the
// state file. 0 (with the temporary file removed and the error left in GetLastError) on failure.
static int32_t state_replace(const char *text, uint32_t length)
{
    char temp[SETTINGS_STATE_PATH_SIZE];
    snprintf(temp, sizeof temp, "%s.%lu%s", settings_state_path,
             (unsigned long)GetCurrentProcessId(), STATE_TEMP_SUFFIX);
    HANDLE file = os.create_file(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD put = 0;
    bool ok = os.write_file(file, text, length, &put, nullptr) && put == length &&
              os.flush_file(file);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (ok && os.move_file(temp, settings_state_path,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    if (ok) error = GetLastError();
    DeleteFileA(temp);
    SetLastError(error ? error : ERROR_WRITE_FAULT);
    return 0;
}

int32_t state_file_save_changes()
{
    db_table *table = db_current();
    if (settings_state_path[0] == '\0' || state_memory_only.load(std::memory_order_relaxed) ||
        !db_take_changed(table))
        return 1;
    // Room for the addresses held now and some that may arrive during the walk, not for the
    // whole table: a large table mostly empty must not cost its full size on every pass.
    int32_t capacity = db_capacity(table), held = db_held(table);
    for (db_table *part : {db_networks(table), db_trusted_set(table)})
        if (part) capacity += db_capacity(part), held += db_held(part);
    int32_t lines = held + held / 8 + STATE_LINES_SPARE;
    if (lines > capacity) lines = capacity;
    uint32_t room = (uint32_t)(lines + STATE_HEADER_LINES) * STATE_LINE_MAX;
    char *text = (char *)os.alloc(room);
    int32_t ok = 0;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (text) {
        bool whole = true;
        ok = state_replace(text, state_format(table, text, room, lines, &whole));
        error = GetLastError();
        os.release(text);
        // More addresses arrived during the walk than there was room for: the file holds the
        // others, and the next pass writes them all.
        if (ok && !whole) db_mark_changed(table);
    }
    if (ok) {
        state_write_failing.store(false, std::memory_order_relaxed);
        return 1;
    }
    db_mark_changed(table);
    if (!state_write_failing.exchange(true, std::memory_order_relaxed))
        host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_WARNING,
                        "Tollgate: unable to write state file '%s' (error %lu); retrying after "
                        "each sweep",
                        settings_state_path, (unsigned long)error);
    return 0;
}
