// Model-based fuzz target for the list files and the range set. After two bytes that pick the
// gathering's limit and an allocation that fails, the input is read as records, each a range or
// a run of evenly spaced ranges (touching, apart, after or inside the one before, at the top of
// the space), written as a list file's lines in every form the format allows (LF or CR LF,
// blanks before, text after, comment and blank lines) with refused lines among them. The reader
// must gather exactly the records' ranges in order up to the limit and count exactly the refused
// lines; the set made from them must answer as a plain scan of the records at both edges of
// every range and elsewhere, hold as many ranges as their union has, and cost at most 8 bytes a
// range beside its index. The raw input is also read as a list file, its counts checked and its
// set scanned the same way. Whatever allocation fails, nothing is left behind.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/native/native_support.h"
#include "tracking/list_file.h"
#include "tracking/range_set.h"

namespace {

// The model: runs of `count` ranges of `size` addresses every `stride` addresses from `first`.
struct model_run {
    uint32_t first;
    uint64_t size, stride;
    uint32_t count;
};

bool model_covers(const std::vector<model_run> &runs, uint32_t x)
{
    for (const model_run &r : runs) {
        if (x < r.first) continue;
        uint64_t k = (x - r.first) / r.stride;
        if (k < r.count && (x - r.first) - k * r.stride < r.size) return true;
    }
    return false;
}

[[noreturn]] void fail(const char *what, long long real, long long expected)
{
    fprintf(stderr, "fuzz_lists: %s: %lld, expected %lld\n", what, real, expected);
    abort();
}

void expect_eq(const char *what, long long real, long long expected)
{
    if (real != expected) fail(what, real, expected);
}

// Allocations left before the allocator fails; below 0, none fails.
int32_t allocations_left = -1;
void *model_alloc(size_t bytes)
{
    if (allocations_left == 0) return nullptr;
    if (allocations_left > 0) allocations_left--;
    return malloc(bytes);
}

// Makes the set of `g` and checks it against `runs` at the edges of every range, at the ends of
// the space and at `extra`; then gives everything back.
void check_set(range_set_gather *g, const std::vector<model_run> &runs, uint32_t extra)
{
    std::vector<uint32_t> starts, probes = {0, 0xFFFFFFFFu, extra};
    for (const model_run &r : runs)
        for (uint32_t k = 0; k < r.count; k++) {
            uint32_t first = r.first + (uint32_t)(k * r.stride), last = first + (uint32_t)(r.size - 1);
            probes.insert(probes.end(), {first - 1, first, last, last + 1});
            if (first == 0 || !model_covers(runs, first - 1)) starts.push_back(first);
        }
    // Made from a copy gathered whole, so that appending is checked too.
    range_set_gather whole;
    range_set_gather_init(&whole, RANGE_SET_GATHER_MAX, model_alloc, free);
    int32_t appended = range_set_gather_append(&whole, g);
    range_set_gather_free(g);
    range_set *set = appended == RANGE_SET_ADDED ? range_set_make(&whole, model_alloc, free) : nullptr;
    range_set_gather_free(&whole);
    if (set == nullptr) {
        if (allocations_left != 0) fail("no set while memory was left", 0, 1);
        return;
    }
    std::sort(starts.begin(), starts.end());
    long long merged = std::unique(starts.begin(), starts.end()) - starts.begin();
    expect_eq("merged ranges", range_set_count(set), merged);
    static const long long fixed = [] { // the bytes of an empty set: the index
        range_set_gather none{};
        range_set *empty = range_set_make(&none, malloc, free);
        long long bytes = (long long)range_set_bytes(empty);
        range_set_free(empty);
        return bytes;
    }();
    if ((long long)range_set_bytes(set) > fixed + 8 * merged) fail("bytes", (long long)range_set_bytes(set), fixed + 8 * merged);
    for (uint32_t x : probes) expect_eq(host_dotted(x).c_str(), range_set_contains(set, htonl(x)), model_covers(runs, x));
    range_set_free(set);
}

// Refused lines the writer puts among the entries.
const char *const REFUSED[] = {"256.1.2.3", "1.2.3", "010.1.2.3", "1.2.3.4/0", "1.2.3.5/24",
                               "1.2.3.0 /24", "1.2.3.4-1.2.3.9", "1.2.3.0/024"};

enum : int32_t { RECORD_BYTES = 7, LINES_MAX = 2048 };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The raw bytes as a list file.
    range_set_gather g;
    list_file_counts c;
    range_set_gather_init(&g, RANGE_SET_MAX, malloc, free);
    expect_eq("raw read", list_file_parse((const char *)data, size, &g, &c), LIST_FILE_READ);
    expect_eq("raw gathered", g.count, c.entries);
    if (c.entries + c.skipped > c.lines || (c.skipped > 0) != (c.first_skipped > 0) || c.first_skipped > c.lines)
        fail("raw counts", c.first_skipped, c.lines);
    std::vector<model_run> runs;
    for (int32_t i = 0; i < g.count; i++) {
        uint32_t first = (uint32_t)(g.ranges[i] >> 32);
        uint64_t span = (uint64_t)(uint32_t)g.ranges[i] - first + 1;
        runs.push_back({first, span, span, 1});
    }
    check_set(&g, runs, size >= 4 ? (uint32_t)data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3] : 0);
    if (size < 2) return 0;

    // The records, written as a list file.
    int32_t limit = data[0] < 16 ? data[0] * 8 : RANGE_SET_MAX;
    std::string text;
    int32_t lines = 0, skipped = 0, first_skipped = 0, ranges = 0;
    runs.clear();
    uint32_t previous_first = 0, previous_last = 0;
    for (size_t at = 2; at + RECORD_BYTES <= size && lines < LINES_MAX; at += RECORD_BYTES) {
        const uint8_t *b = data + at;
        uint32_t bytes = (uint32_t)b[1] << 24 | b[2] << 16 | b[3] << 8 | b[4];
        int32_t bits = b[5] & 0x80 ? 32 - (b[5] & 7) : 1 + (b[5] & 31);
        uint64_t span = 1ull << (32 - bits);
        uint32_t where[] = {bytes, previous_last + 1 + (b[4] & 3), previous_first + b[4], 0xFFFFFFFFu - (b[4] << 4)};
        uint32_t first = where[b[0] & 3] & ~(uint32_t)(span - 1);
        uint64_t stride = span * (1 + (b[1] & 3));
        uint32_t count = b[0] & 4 ? 1 + b[6] * 2u : 1;
        count = (uint32_t)std::min<uint64_t>({count, ((1ull << 32) - first - span) / stride + 1, (uint64_t)(LINES_MAX - lines)});
        const char *end = b[0] & 8 ? "\r\n" : "\n";
        for (uint32_t k = 0; k < count; k++) {
            uint32_t f = first + (uint32_t)(k * stride);
            std::string entry = host_dotted(f) + (bits < 32 || (b[5] & 0x40) ? "/" + std::to_string(bits) : "");
            switch (b[0] >> 4 & 7) {
            case 1: entry = " \t" + entry; break;
            case 2: entry += " ; SBL256894"; break;
            case 3: entry += "\t7"; break;
            case 4: entry += ";x"; break;
            case 5: text += std::string("# a comment") + end, lines++; break;
            case 6: text += end, lines++; break;
            case 7:
                text += std::string(REFUSED[(b[6] + k) % std::size(REFUSED)]) + end, lines++;
                if (skipped++ == 0) first_skipped = lines;
                break;
            }
            text += entry + end;
            lines++;
        }
        runs.push_back({first, span, stride, (uint32_t)std::clamp<int64_t>(limit - ranges, 0, count)});
        ranges += (int32_t)count;
        previous_first = first;
        previous_last = first + (uint32_t)((count - 1) * stride + span - 1);
    }
    allocations_left = data[1] < 8 ? data[1] : -1;
    range_set_gather_init(&g, limit, model_alloc, free);
    if (list_file_parse(text.data(), text.size(), &g, &c) == LIST_FILE_NO_MEMORY) {
        if (allocations_left != 0) fail("out of memory while memory was left", 0, 1);
        range_set_gather_free(&g);
    } else {
        expect_eq("lines", c.lines, lines);
        expect_eq("entries", c.entries, ranges);
        expect_eq("skipped", c.skipped, skipped);
        expect_eq("first skipped", c.first_skipped, first_skipped);
        expect_eq("over the limit", c.over_limit, std::max(0, ranges - limit));
        int32_t i = 0;
        for (const model_run &r : runs)
            for (uint32_t k = 0; k < r.count; k++, i++)
                expect_eq("gathered", (long long)g.ranges[i], (long long)((uint64_t)(r.first + k * r.stride) << 32 | (r.first + k * r.stride + r.size - 1)));
        expect_eq("gathered", g.count, i);
        check_set(&g, runs, (uint32_t)data[0] * 0x01010101u);
    }
    allocations_left = -1;
    return 0;
}
