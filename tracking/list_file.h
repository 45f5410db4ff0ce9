// A list file: the text of a black-list or allow-list file, read whole into memory, turned into
// gathered ranges for a range set (tracking/range_set.h).
//
// Owns: nothing that outlives a call; each call reads the caller's buffer into the caller's
// gathering.
// Threads: the one thread that loads the lists; calls on different gatherings may run at once.
// No lock; nothing here calls the host or a window.
//
// The format: one entry a line, `a.b.c.d` (one address) or `a.b.c.d/n` (the network of its first
// n bits, 1 to 32).
// - Lines end with LF or CR LF; the last one may have none. A UTF-8 byte order mark at the start
//   of the text is skipped.
// - Blanks (spaces and tabs) before the entry are skipped. A line that is then empty, or starts
//   with `#` or `;`, is skipped and not counted.
// - A blank, a tab or `;` right after the entry ends it; the rest of the line is ignored
//   (`1.10.16.0/20 ; SBL256894`, `185.1.2.3<tab>7`).
// Any other line is skipped and counted, and the first one's number kept for the warning. So the
// reader takes only what reads one way to every reader and to the administrator:
// - Exactly four numbers, decimal, 0 to 255, with no sign and no leading zero: `010.1.2.3` is
//   refused, as some readers take 010 for octal 8. No short forms (`10.1` would be 10.0.0.1 to
//   inet_addr) and no hexadecimal.
// - The prefix 1 to 32, decimal, with no leading zero (`/024` is refused): `/0` would cover every
//   address, and `/`, `/33` are typos.
// - No address bits outside the prefix (`192.168.1.5/24`: the host or its network?).
// - Anything else right after the entry spoils the line: `1.2.3.4-1.2.3.9`, `10.0.0.0/8/16`,
//   `1.2.3.4#x`, a CR that does not end the line, a NUL.
// - A `/` after the entry's blanks (`10.0.0.0 /8`) spoils it too: that is a prefix set apart by
//   mistake, which would otherwise be taken for the single address.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tracking/range_set.h"

enum : int32_t {
    LIST_FILE_BYTES_MAX = 1 << 30, // the largest text read (its line numbers fit 32 bits)
};

// What list_file_parse did with the whole text.
enum : int32_t {
    LIST_FILE_READ = 1,      // read to its end
    LIST_FILE_NO_MEMORY = 0, // the gathering could not grow: it holds part of the text only
    LIST_FILE_TOO_LARGE = -1, // more than LIST_FILE_BYTES_MAX bytes: nothing read
};

// The counts of one text's lines.
struct list_file_counts {
    int32_t lines;         // lines in the text, the last one counted even without a line end
    int32_t entries;       // valid entries, gathered or not
    int32_t over_limit;    // valid entries not gathered: the gathering was at its limit
    int32_t skipped;       // lines that are not a valid entry (neither blank nor a comment)
    int32_t first_skipped; // the first of them's line number, from 1; 0 when there is none
};

// Reads the `size` bytes at `text` (a whole file) and adds the range of every valid entry to
// `gather`, in the order of the lines; fills `counts`. LIST_FILE_READ, LIST_FILE_NO_MEMORY (the
// counts then cover the lines up to the entry that did not fit) or LIST_FILE_TOO_LARGE. The text
// needs no terminating NUL and may hold any bytes.
int32_t list_file_parse(const char *text, size_t size, range_set_gather *gather,
                        list_file_counts *counts);
