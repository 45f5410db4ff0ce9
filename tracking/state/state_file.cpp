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
// end a line. Version 1 lines hold exactly three fields; a file of another version is read for
// the lines whose first three fields read as such. Lines that pass the rules are gathered, then
// sorted by address to keep the latest line of each address, then cut to the table's size by
// last_seen, and restored in file order. The writer never holds db_lock across the disk: it
// copies slot by slot through db_next into a text, and only then writes.
#include "tracking/state/state_file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/os.h"
#include "settings/settings_file.h"
#include "settings/values/settings.h"
#include "tracking/ip_db.h"
#include "tracking/white_list.h"

static const char STATE_MAGIC[] = "Tollgate state ";
static const char STATE_BAD_SUFFIX[] = ".bad";
enum : int32_t {
    STATE_LINE_MAX = 40,                  // "255.255.255.255/24 65535 -2147483648\r\n" and more
    STATE_TEMP_SUFFIX_MAX = 1 + 10 + 4,   // ".<process id>.tmp"
    STATE_LINES_SPARE = 64,               // lines of room beyond the held count for a write
};
static_assert((int)STATE_TEMP_SUFFIX_MAX <= (int)SETTINGS_STATE_SUFFIX_ROOM, "temp name too long");
static_assert(sizeof STATE_BAD_SUFFIX - 1 <= SETTINGS_STATE_SUFFIX_ROOM, "aside name too long");

// Written by the sweeper, then by shutdown once the sweeper is joined; reset by start-up. A
// sweeper that a stalled shutdown left running may still write it while the next start-up
// resets it, hence atomic (relaxed: it orders nothing else).
static std::atomic<bool> state_write_failing;

// One line that passed the rules, waiting for the duplicate and size cuts.
struct state_entry {
    uint32_t ip;
    int32_t last_seen;
    uint32_t line; // position in the file: later lines win
    uint16_t conns;
    uint8_t bits;  // a network's prefix length; 0 for an address
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

// Parses "a.b.c.d count last_seen" from [p, end); false when the line is malformed. With
// `exact`, nothing but blanks may follow the three fields.
static bool state_parse_line(const char *p, const char *end, bool exact, state_entry *out)
{
    uint32_t octet[4], conns, seen;
    for (int k = 0; k < 4; k++) {
        if (k > 0 && (p == end || *p++ != '.')) return false;
        if (!state_read_number(&p, end, 255, &octet[k])) return false;
    }
    uint32_t bits = 0;
    if (p != end && *p == '/' && (++p, !state_read_number(&p, end, 32, &bits) || bits == 0))
        return false;
    if (!state_skip_blanks(&p, end) || !state_read_number(&p, end, 65535, &conns) || conns == 0)
        return false;
    if (!state_skip_blanks(&p, end) || !state_read_number(&p, end, INT32_MAX, &seen))
        return false;
    bool separated = state_skip_blanks(&p, end);
    if (p != end && (exact || !separated)) return false;
    // Network byte order: the first octet in the lowest address byte.
    out->ip = octet[0] | octet[1] << 8 | octet[2] << 16 | octet[3] << 24;
    out->conns = (uint16_t)conns;
    out->last_seen = (int32_t)seen;
    out->bits = (uint8_t)bits;
    return true;
}

// Renames the unusable file aside as "<path>.bad", replacing an older one, and logs one warning
// saying why and whether it worked. A folder by that name is left where it is.
static void state_set_aside(const char *why)
{
    char aside[SETTINGS_STATE_PATH_SIZE];
    snprintf(aside, sizeof aside, "%s%s", settings_state_path, STATE_BAD_SUFFIX);
    DWORD attributes = GetFileAttributesA(settings_state_path);
    bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder) SetLastError(ERROR_DIRECTORY);
    if (!folder && os.move_file(settings_state_path, aside, MOVEFILE_REPLACE_EXISTING))
        host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_WARNING,
                        "Tollgate: state file '%s' %s; set aside with %s added, starting empty",
                        settings_state_path, why, STATE_BAD_SUFFIX);
    else
        host_log_format(LOG_TYPE_DAEMON, LOG_PRIO_WARNING,
                        "Tollgate: state file '%s' %s and could not be set aside (error %lu); "
                        "starting empty",
                        settings_state_path, why, (unsigned long)GetLastError());
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

// True for a line the table can take back: an address that is not white-listed, or a network
// of the length the table counts (`network_bits`, 0 for none) written as its network address.
static bool state_fits(const state_entry &e, int32_t network_bits)
{
    if (e.bits == 0) return !white_match(e.ip);
    return e.bits == network_bits && (e.ip & prefix_to_mask(e.bits)) == e.ip;
}

// Parses the lines after the first into `entries` (room for every line), keeping those that
// pass the rules. Returns how many were kept; *lines counts the entry lines seen (neither blank
// nor comment).
static uint32_t state_gather(const char *p, const char *end, bool exact, int32_t network_bits,
                             state_entry *entries, uint32_t *lines)
{
    int32_t now = db_clock();
    int64_t limit = (int64_t)settings.clear_time.load(std::memory_order_relaxed) * 60;
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
            if (state_parse_line(p, stop, exact, &e) && state_fits(e, network_bits)) {
                // A stamp far ahead means the clock was set back: the address was seen now.
                if ((int64_t)e.last_seen - now > STATE_FUTURE_SLACK_SECONDS) e.last_seen = now;
                if ((int64_t)now - e.last_seen <= limit) entries[kept++] = e;
            }
        }
        p = next;
    }
    return kept;
}

// Of the gathered entries, keeps the latest line of each address and then the table's size of
// the newest, and restores them in file order. Returns how many were restored.
static int32_t state_restore(db_table *table, state_entry *entries, uint32_t count)
{
    std::sort(entries, entries + count, state_by_address);
    uint32_t unique = 0;
    for (uint32_t i = 0; i < count; i++)
        if (i + 1 == count || entries[i + 1].ip != entries[i].ip) entries[unique++] = entries[i];
    uint32_t capacity = (uint32_t)db_capacity(table);
    if (unique > capacity) {
        std::nth_element(entries, entries + capacity, entries + unique, state_newest_first);
        unique = capacity;
    }
    std::sort(entries, entries + unique, state_by_line);
    int32_t restored = 0;
    for (uint32_t i = 0; i < unique; i++)
        restored += db_restore(table, entries[i].ip, entries[i].conns, entries[i].last_seen);
    return restored;
}

void state_file_load()
{
    state_write_failing.store(false, std::memory_order_relaxed);
    if (settings_state_path[0] == '\0') return;
    char *text = nullptr;
    uint32_t size = 0;
    int32_t found = state_read_whole(&text, &size);
    if (found < 0) {
        state_set_aside("cannot be read");
        return;
    }
    int32_t restored = 0, networks_restored = 0;
    uint32_t lines = 0;
    if (found > 0) {
        const char *p = text, *end = text + size;
        if (size >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3; // an editor's UTF-8 mark
        uint32_t version = 0;
        size_t magic = sizeof STATE_MAGIC - 1;
        bool ours = (size_t)(end - p) >= magic && memcmp(p, STATE_MAGIC, magic) == 0;
        const char *q = ours ? p + magic : p;
        ours = ours && state_read_number(&q, end, INT32_MAX, &version);
        while (ours && q < end && (state_is_blank(*q) || *q == '\r')) q++;
        if (!ours || (q < end && *q != '\n')) {
            os.release(text);
            state_set_aside("is not a Tollgate state file");
            return;
        }
        // Room for every line, so that gathering never has to grow.
        uint32_t room = (uint32_t)std::count(q, end, '\n') + 1;
        state_entry *entries = (state_entry *)os.alloc((size_t)room * sizeof(state_entry));
        if (entries == nullptr) {
            os.release(text);
            state_set_aside("cannot be read");
            return;
        }
        db_table *table = db_current();
        uint32_t kept = state_gather(q, end, version == STATE_FORMAT_VERSION,
                                     db_network_bits(table), entries, &lines);
        // Addresses first, then networks: each kind goes into its own table.
        state_entry *networks = std::partition(
            entries, entries + kept, [](const state_entry &e) { return e.bits == 0; });
        restored = state_restore(table, entries, (uint32_t)(networks - entries));
        if (db_networks(table))
            networks_restored = state_restore(db_networks(table), networks,
                                              (uint32_t)(entries + kept - networks));
        os.release(entries);
        os.release(text);
    }
    int32_t dropped = (int32_t)lines - restored - networks_restored;
    if (db_networks(db_current()))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d addresses and %d networks restored from the state file, %d "
                        "lines dropped",
                        restored, networks_restored, dropped);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_INFO,
                        "Tollgate: %d addresses restored from the state file, %d lines dropped",
                        restored, dropped);
}

// Appends the held slots of `table` to `text` at *length (room for `room` bytes and *lines
// more lines), each as an address or, with `bits`, as a network of that length; true when
// every held slot found room. Slot by slot through db_next: a lock is held for one copy at a
// time, never across the disk.
static bool state_format_slots(db_table *table, int32_t bits, char *text, uint32_t room,
                               uint32_t *length, int32_t *lines)
{
    ip_entry_copy slot;
    int32_t i = db_next(table, -1, &slot);
    for (; i >= 0 && *lines > 0; i = db_next(table, i, &slot)) {
        const unsigned char *b = (const unsigned char *)&slot.ip;
        char prefix[8] = "";
        if (bits > 0) snprintf(prefix, sizeof prefix, "/%d", (int)bits);
        int n = snprintf(text + *length, room - *length, "%u.%u.%u.%u%s %u %ld\r\n", b[0], b[1],
                         b[2], b[3], prefix, (unsigned)slot.conns, (long)slot.last_seen);
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
    int n = snprintf(text, room, "%s%d\r\n# address connections last_seen (seconds since 1970)\r\n",
                     STATE_MAGIC, (int)STATE_FORMAT_VERSION);
    uint32_t length = (uint32_t)n;
    *whole = state_format_slots(table, 0, text, room, &length, &lines);
    db_table *networks = db_networks(table);
    if (networks &&
        !state_format_slots(networks, db_network_bits(table), text, room, &length, &lines))
        *whole = false;
    return length;
}

// Writes `text` to a temporary file beside the state file, flushes it and moves it over the
// state file. 0 (with the temporary file removed and the error left in GetLastError) on failure.
static int32_t state_replace(const char *text, uint32_t length)
{
    char temp[SETTINGS_STATE_PATH_SIZE];
    snprintf(temp, sizeof temp, "%s.%lu.tmp", settings_state_path,
             (unsigned long)GetCurrentProcessId());
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
    if (settings_state_path[0] == '\0' || !db_take_changed(table)) return 1;
    // Room for the addresses held now and some that may arrive during the walk, not for the
    // whole table: a large table mostly empty must not cost its full size on every pass.
    db_table *networks = db_networks(table);
    int32_t capacity = db_capacity(table) + (networks ? db_capacity(networks) : 0);
    int32_t held = db_held(table) + (networks ? db_held(networks) : 0);
    int32_t lines = held + held / 8 + STATE_LINES_SPARE;
    if (lines > capacity) lines = capacity;
    uint32_t room = (uint32_t)(lines + 2) * STATE_LINE_MAX;
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
