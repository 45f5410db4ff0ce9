// The state file: the held addresses kept on disk, so that a restart goes on where the table
// stopped.
//
// Owns: the file named by settings_state_path (read at start-up, replaced whole by every write)
// (and its temporary and ".old" companions), whether the last write failed (so that a failing
// disk is reported once, not every pass) and whether this run leaves the file alone.
// Threads: state_file_load runs on the start-up thread before the sweeper exists;
// state_file_save_changes runs on the sweeper after each pass and on the shutdown thread once
// the sweeper has been joined, never on two threads at once, each on the current table.
// Neither holds a table lock while it touches the disk or the host: the slots are read and
// restored one at a time through db_next and db_restore.
// With settings_state_path empty both do nothing at all.
#pragma once
#include <cstdint>

enum : int32_t {
    STATE_FORMAT_VERSION = 1,
    STATE_FORMAT_VERSION_REPEAT = 2, // written while repeat offenders are remembered
    STATE_FORMAT_VERSION_TRUST = 3,  // written while logins are trusted: version 2 and the
                                     // trusted set's entries
    STATE_FILE_MAX_BYTES = 64 * 1024 * 1024, // a larger file is not one of ours: left alone
    STATE_FUTURE_SLACK_SECONDS = 60,         // a later last_seen means the clock was set back
};

// Reads the state file back into the table at start-up, after the settings and the lists are
// loaded and while the table is empty. First removes the temporary files crashed writes left
// beside it (named as the writer names them and beginning with the header line). Lines become
// held slots unless malformed, white- or black-listed, outside the allow list, or older than
// ClearTime (an offender's line: than the time it is remembered); a last_seen more than a minute ahead is
// taken as now; of two lines for one address the later in the file wins; beyond the table's
// size the newest are kept. Network lines go into the table's network table, and are dropped
// when it counts none or counts networks of another length; trusted entries go into the
// table's trusted set, or are dropped without one. Logs one summary line; when
// addresses found no room, a warning too, and the file as read is copied to "<name>.old"
// (replacing an older one) before any write can replace it. A file that cannot be read, or
// whose first line is not the format's (an empty file is a state file without lines), is left
// untouched with one error, and so is the file when its copy cannot be made: the table then
// lives in memory only for this run. Never fails: the start-up goes on whatever the file holds.
void state_file_load();
// Writes the table to the state file when it changed since the last write: to a temporary file
// beside it, flushed, then moved over it in one step, so a crash leaves the old file whole and
// two hosts on one file leave the last writer's. A failure removes the temporary file, marks the
// table changed again for the next try, and logs one warning until a write succeeds again.
// 1 when the file is up to date (or there is none, or it is left alone this run), 0 when the
// write failed.
int32_t state_file_save_changes();
