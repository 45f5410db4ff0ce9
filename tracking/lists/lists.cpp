// Loading the list files and watching them.
//
// DESIGN: a file is read whole into one block and parsed from it (tracking/list_file.h), every
// file of a list into one gathering, which then makes the list's set off to the side; the set
// goes in force with one pointer store and the one it replaces is given back after a grace
// (tracking/list_sets.h). No file's ranges are kept between loads: a set costs at most 8 bytes
// a range, and a reload reads all of its list's files again. A file is watched by its size and
// last-write time (GetFileAttributesExA, which opens nothing): a list is reloaded once at least
// one of its files differs from what its last load saw and none has changed since the last pass,
// so that a file caught while it is being written is read only when the writing has stopped,
// and a load, whatever comes of it, is tried once per change.
#include "tracking/lists/lists.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "host/base/host_interface.h"
#include "host/base/os.h"
#include "settings/values/settings.h"
#include "tracking/black_list.h"
#include "tracking/list_file.h"
#include "tracking/list_sets.h"

enum : int32_t {
    LISTS_FILES_MAX = SETTINGS_LIST_FILES_MAX + 1, // with the empty path that stands for the rest
    LISTS_WHY_SIZE = 64,                           // why a file was not read, as logged
};

static const char *const LISTS_NAME[LIST_KINDS] = {"black", "allow"};
// Why a load's files did not go in force, as logged.
static const char LISTS_NO_MEMORY[] = "out of memory";
static const char LISTS_UNREADABLE[] = "a file cannot be read";
static const char LISTS_NO_ENTRY[] = "no valid entry";

// A file's size and last-write time as a look saw them; `seen` false (and the rest 0) when it
// could not be seen.
struct lists_stamp {
    uint64_t size;
    uint64_t written;
    bool seen;
};

// One file of a list.
struct lists_file {
    char path[SETTINGS_STATE_PATH_SIZE]; // "" for a path the settings could not take
    lists_stamp loaded;                  // at its list's last load, whatever came of it
    lists_stamp last;                    // at the last pass
    int32_t ranges;                      // what it gave the list in force; -1: nothing
};

// Start-up, the sweeper and shutdown, under the lists' writer lock.
static struct {
    lists_file file[LIST_KINDS][LISTS_FILES_MAX];
    int32_t files[LIST_KINDS];
} lists;

// What reading one file of a list came to.
struct lists_read {
    int32_t result; // 1 read, 0 not read (`why`), -1 the gathering could not grow
    list_file_counts counts;
    char why[LISTS_WHY_SIZE]; // "" for a path the settings refused, which they have logged
};

static bool lists_same(const lists_stamp &a, const lists_stamp &b)
{
    return a.seen == b.seen && a.size == b.size && a.written == b.written;
}

static lists_stamp lists_stamp_of(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path[0] == '\0' || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return {};
    return {(uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow,
            (uint64_t)data.ftLastWriteTime.dwHighDateTime << 32 | data.ftLastWriteTime.dwLowDateTime,
            true};
}

// Reads `size` bytes of `file` into `text`; false when it ends or fails first.
static bool lists_read_whole(HANDLE file, char *text, DWORD size)
{
    for (DWORD done = 0, got; done < size; done += got)
        if (!ReadFile(file, text + done, size - done, &got, nullptr) || got == 0) return false;
    return true;
}

// Reads the file at `path` whole and adds its entries to `g`, into *out.
static void lists_read_file(const char *path, range_set_gather *g, lists_read *out)
{
    *out = lists_read{};
    if (path[0] == '\0') return;
    // Shared for writing and deleting too: the administrator's tools may replace it meanwhile.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(out->why, sizeof out->why, "cannot be opened (error %lu)", GetLastError());
        return;
    }
    LARGE_INTEGER size;
    char *text = nullptr;
    if (!GetFileSizeEx(file, &size))
        snprintf(out->why, sizeof out->why, "cannot be read (error %lu)", GetLastError());
    else if (size.QuadPart > LIST_FILE_BYTES_MAX)
        snprintf(out->why, sizeof out->why, "is larger than %d bytes", (int)LIST_FILE_BYTES_MAX);
    else if ((text = (char *)os.alloc((size_t)size.QuadPart + 1)) == nullptr)
        snprintf(out->why, sizeof out->why, "cannot be read (out of memory)");
    else if (!lists_read_whole(file, text, (DWORD)size.QuadPart))
        snprintf(out->why, sizeof out->why, "cannot be read to its end");
    else
        out->result = list_file_parse(text, (size_t)size.QuadPart, g, &out->counts) == LIST_FILE_READ ? 1 : -1;
    CloseHandle(file);
    if (text) os.release(text);
}

// Logs the line of a file read for a load of `kind`: its ranges and skipped lines, a warning
// when it skipped some or (`emptied`) lost every range it had.
static void lists_log_read(list_kind kind, const lists_file &f, bool reload, const list_file_counts &c,
                           bool emptied)
{
    char first[LISTS_WHY_SIZE] = "";
    if (c.skipped > 0) snprintf(first, sizeof first, " (first at line %d)", c.first_skipped);
    host_log_format(LOG_TYPE_GENERAL, c.skipped > 0 || emptied ? LOG_PRIO_WARNING : LOG_PRIO_INFO,
                    "Tollgate: %s list file '%s'%s: %d ranges, %d lines skipped%s", LISTS_NAME[kind],
                    f.path, reload ? " reloaded" : "", c.entries - c.over_limit, c.skipped, first);
}

// Logs why the files of `kind` did not go in force (`held`) and what is in force instead.
static void lists_log_held(list_kind kind, bool reload, const char *held)
{
    if (list_set(kind) != nullptr || (kind == LIST_BLACK && reload))
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s list not %s (%s), the list in force is kept", LISTS_NAME[kind],
                        reload ? "reloaded" : "loaded", held);
    else if (kind == LIST_ALLOW)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: allow list not applied (%s), every address may connect", held);
    else
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_ERROR,
                        "Tollgate: black list files not loaded (%s), only the [BlackIP] entries are "
                        "refused",
                        held);
}

// Reads every file of `kind` afresh, each as a look has just seen it (`now`), puts the list they
// make in force by the rules of the header, and logs each file and what the list came to.
static void lists_load_kind(list_kind kind, bool reload, const lists_stamp *now)
{
    lists_file *file = lists.file[kind];
    int32_t files = lists.files[kind];
    lists_read reads[LISTS_FILES_MAX];
    range_set_gather g;
    range_set_gather_init(&g, RANGE_SET_MAX + (kind == LIST_BLACK ? black_entries() : 0), os.alloc,
                          os.release);
    bool memory = kind != LIST_BLACK || black_gather_entries(&g) != RANGE_SET_NO_MEMORY;
    bool failed = false, failed_in_force = false;
    int32_t read = 0, over_limit = 0;
    for (; read < files && memory; read++) {
        lists_read_file(file[read].path, &g, &reads[read]);
        memory = reads[read].result >= 0;
        failed |= reads[read].result == 0;
        failed_in_force |= reads[read].result == 0 && file[read].ranges >= 0;
        over_limit += reads[read].counts.over_limit;
    }
    const char *held = !memory                                             ? LISTS_NO_MEMORY
                       : failed_in_force || (failed && kind == LIST_ALLOW) ? LISTS_UNREADABLE
                       : kind == LIST_ALLOW && g.count == 0                ? LISTS_NO_ENTRY
                                                                           : nullptr;
    range_set *set = nullptr;
    if (held == nullptr && g.count > 0 && (set = range_set_make(&g, os.alloc, os.release)) == nullptr)
        held = LISTS_NO_MEMORY;
    range_set_gather_free(&g);
    bool postponed = held == nullptr && !list_publish(kind, set, LIST_GRACE_MS);
    if (postponed) range_set_free(set);
    bool in_force = held == nullptr && !postponed;

    // The files' own lines: those read, when they went in force or show why they hold no entry;
    // those not read, always.
    for (int32_t i = 0; i < read && memory; i++) {
        const lists_read &r = reads[i];
        int32_t ranges = r.counts.entries - r.counts.over_limit;
        if (r.result > 0 && (in_force || held == LISTS_NO_ENTRY))
            lists_log_read(kind, file[i], reload, r.counts, reload && ranges == 0 && file[i].ranges > 0);
        if (r.result == 0 && r.why[0] != '\0')
            host_log_format(LOG_TYPE_GENERAL, kind == LIST_ALLOW && !reload ? LOG_PRIO_ERROR : LOG_PRIO_WARNING,
                            "Tollgate: %s list file '%s' %s", LISTS_NAME[kind], file[i].path, r.why);
        if (in_force) file[i].ranges = r.result > 0 ? ranges : -1;
    }
    if (over_limit > 0)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s list files hold more than %d ranges, %d entries not read",
                        LISTS_NAME[kind], (int)RANGE_SET_MAX, over_limit);
    if (held) lists_log_held(kind, reload, held);
    if (postponed)
        host_log_format(LOG_TYPE_GENERAL, LOG_PRIO_WARNING,
                        "Tollgate: %s list not %s (a call still reads the list before), tried "
                        "again at the next pass",
                        LISTS_NAME[kind], reload ? "reloaded" : "loaded");
    else
        for (int32_t i = 0; i < files; i++) file[i].loaded = now[i];
}

void lists_load()
{
    const char *const named[LIST_KINDS] = {settings_list_files.black, settings_list_files.allow};
    list_writer_enter();
    list_publish(LIST_ALLOW, nullptr, LIST_GRACE_MS); // an earlier run's, before this run's own
    for (int32_t kind = 0; kind < LIST_KINDS; kind++) {
        lists_file *file = lists.file[kind];
        int32_t files = 0;
        lists_stamp now[LISTS_FILES_MAX];
        for (const char *p = named[kind], *bar; files < LISTS_FILES_MAX && (bar = strchr(p, '|')); p = bar + 1) {
            lists_file &f = file[files];
            snprintf(f.path, sizeof f.path, "%.*s", (int)(bar - p), p);
            f.ranges = -1;
            f.loaded = lists_stamp{};
            f.last = now[files++] = lists_stamp_of(f.path);
        }
        lists.files[kind] = files;
        if (files > 0) lists_load_kind((list_kind)kind, false, now);
    }
    list_writer_leave();
}

void lists_check()
{
    list_writer_enter();
    list_give_back_retired(LIST_GRACE_MS);
    for (int32_t kind = 0; kind < LIST_KINDS; kind++) {
        lists_stamp now[LISTS_FILES_MAX];
        bool changed = false, steady = true;
        for (int32_t i = 0; i < lists.files[kind]; i++) {
            lists_file &f = lists.file[kind][i];
            now[i] = lists_stamp_of(f.path);
            changed |= !lists_same(now[i], f.loaded);
            steady &= lists_same(now[i], f.last);
            f.last = now[i];
        }
        if (changed && steady) lists_load_kind((list_kind)kind, true, now);
    }
    list_writer_leave();
}

void lists_stop()
{
    list_writer_enter();
    for (int32_t kind = 0; kind < LIST_KINDS; kind++) {
        list_publish((list_kind)kind, nullptr, LIST_GRACE_MS);
        lists.files[kind] = 0;
    }
    list_give_back_retired(LIST_GRACE_MS);
    list_writer_leave();
}
