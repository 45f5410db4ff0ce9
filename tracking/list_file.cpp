// A list file read into gathered ranges.
//
// DESIGN: the text is read once, line by line (memchr finds each line end), and each line by hand,
// with no copy, no terminating NUL and no C library parser: inet_addr takes short and octal forms
// the format refuses, and costs much more a line under Wine. A million lines take a few tens of
// milliseconds. Nothing is allocated here; the gathering grows itself.
#include "tracking/list_file.h"

#include <cstring>

static bool list_file_is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads a decimal number of at most `max` (at most 255) at *p, moving *p past it: one to three
// digits, with no leading zero but in 0 itself. False when it does not read so.
static bool list_file_number(const char **p, const char *end, uint32_t max, uint32_t *out)
{
    const char *q = *p;
    uint32_t value = 0;
    int32_t digits = 0;
    for (; q < end && *q >= '0' && *q <= '9'; q++, digits++) {
        if (digits == 3 || (digits == 1 && value == 0)) return false;
        value = value * 10 + (uint32_t)(*q - '0');
    }
    if (digits == 0 || value > max) return false;
    *p = q;
    *out = value;
    return true;
}

// Reads the entry that begins at p, on a line that ends at `end` (its line end cut off), into
// the range first..last (host byte order). False when the line is not a valid entry.
static bool list_file_entry(const char *p, const char *end, uint32_t *first, uint32_t *last)
{
    uint32_t address = 0, octet, bits = 32;
    for (int k = 0; k < 4; k++) {
        if (k > 0 && (p == end || *p++ != '.')) return false;
        if (!list_file_number(&p, end, 255, &octet)) return false;
        address = address << 8 | octet;
    }
    if (p < end && *p == '/' && (++p, !list_file_number(&p, end, 32, &bits) || bits == 0))
        return false;
    if (p < end && *p != ';') {
        if (!list_file_is_blank(*p)) return false;
        while (p < end && list_file_is_blank(*p)) p++;
        if (p < end && *p == '/') return false;
    }
    uint32_t host_bits = bits == 32 ? 0 : 0xFFFFFFFFu >> bits;
    if ((address & host_bits) != 0) return false;
    *first = address;
    *last = address | host_bits;
    return true;
}

int32_t list_file_parse(const char *text, size_t size, range_set_gather *gather,
                        list_file_counts *counts)
{
    *counts = list_file_counts{};
    if (size > (size_t)LIST_FILE_BYTES_MAX) return LIST_FILE_TOO_LARGE;
    const char *p = text, *end = text + size;
    if (size >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    while (p < end) {
        const char *line_end = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = line_end ? line_end + 1 : end;
        if (line_end == nullptr) line_end = end;
        if (line_end > p && line_end[-1] == '\r') line_end--;
        counts->lines++;
        const char *q = p;
        p = next;
        while (q < line_end && list_file_is_blank(*q)) q++;
        if (q == line_end || *q == '#' || *q == ';') continue;
        uint32_t first, last;
        if (!list_file_entry(q, line_end, &first, &last)) {
            if (counts->skipped++ == 0) counts->first_skipped = counts->lines;
            continue;
        }
        counts->entries++;
        int32_t added = range_set_gather_add(gather, first, last);
        if (added == RANGE_SET_NO_MEMORY) return LIST_FILE_NO_MEMORY;
        if (added == RANGE_SET_FULL) counts->over_limit++;
    }
    return LIST_FILE_READ;
}
