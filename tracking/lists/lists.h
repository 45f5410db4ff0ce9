// The black-list and allow-list files (BlackListFile, AllowListFile): read at start-up into the
// lists in force (tracking/list_sets.h), then watched by the sweeper, which reads a list's files
// afresh once one of them has changed and then stayed the same across two passes.
//
// Owns: lists (each list's files: their full paths, the size and last-write time each had at the
// last pass and at its list's last load, and the ranges each gave the list in force).
// Threads: lists_load on the start-up thread, lists_check on the sweeper after each pass,
// lists_stop on the shutdown thread once the sweeper has ended and the gate has drained. Each
// runs under the lists' writer lock, which no POP3 thread and no table lock waits on: the files
// are read, the sets made and the lines logged under it, never under a table lock.
//
// The rules a load follows, for the files of one list:
// - Every file is read whole and afresh. Its line in the log gives its ranges (its valid
//   entries), the lines it skipped and the first of them; a reload says "reloaded".
// - Black list: the [BlackIP] entries and the ranges of the files read are merged into one set
//   and put in force. A file that cannot be read gives nothing at start-up (one warning); on a
//   reload, one whose ranges are in force keeps the whole list in force (one warning a change).
//   A file that becomes empty is applied, its line a warning.
// - Allow list: applied only when every file was read and together they hold a valid entry. At
//   start-up otherwise not applied (one error): every address may connect, as without the key.
//   On a reload otherwise the list in force is kept (or stays not applied), with a warning: an
//   emptied allow file would refuse every address but the white list's.
// - Without memory for the set, or while the calls of an earlier swap are still in flight, the
//   list in force is kept.
#pragma once

// Reads the files of both keys (settings_list_files, which load_settings has filled) and puts
// the lists they make in force by the rules above, logging each file; the black list's [BlackIP]
// entries must be gathered already. Without a key nothing is read or logged, and its list stays
// as the settings made it (the black list) or is not applied (the allow list).
void lists_load();
// The sweeper's look at the files after each pass: gives back the sets retired by earlier swaps
// once no POP3 call can read them (a bounded wait), then reloads each list one of whose files
// has changed size or last-write time since its last load and has stayed the same since the
// last pass. Nothing without list files.
void lists_check();
// Puts no black and no allow list in force, gives their sets back and forgets the files.
// Shutdown only, once no call is in flight and no sweeper runs.
void lists_stop();
