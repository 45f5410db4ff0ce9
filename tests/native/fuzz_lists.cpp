// Model-based fuzz target for the list files and the range set. After two bytes that pick the
// gathering's limit and an allocation that fails, the input is read as records, each a range or a
// run of evenly spaced ranges (touching, apart, after or inside the one before, at the top of the
// space), written as lines in every form the format allows, with refused lines among them. The
// reader must gather exactly the records' ranges up to the limit and count the refused lines; the
// set made from them must answer as a plain scan of the records at both edges of every range, hold
// as many ranges as their union, and cost at most 8 bytes a range beside its index; a failed
// allocation leaves nothing behind. The raw input is also read as a list file, for its counts.

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
        uint64_t k = x < r.first ? r.count : (x - r.first) / r.stride;
        if (k < r.count && (x - r.first) - k * r.stride < r.size) return true;
    }
    return false;
}

void expect_eq(const char *what, long long real, long long expected)
{
    if (real == expected) return;
    fprintf(stderr, "fuzz_lists: %s: %lld, expected %lld\n", what, real, expected);
    abort();
}

// Allocations left before the allocator fails; below 0, none fails.
int32_t allocations_left = -1;
void *model_alloc(size_t bytes)
{
    if (allocations_left == 0) return nullptr;
    allocations_left -= allocations_left > 0;
    return malloc(bytes);
}

// Makes a set of `g` (through a copy appended whole) and checks it against `runs` at the edges of
// every range and at the ends of the space; gives everything back.
void check_set(range_set_gather *g, const std::vector<model_run> &runs)
{
    std::vector<uint32_t> starts, probes = {0, 0xFFFFFFFFu};
    for (const model_run &r : runs)
        for (uint32_t k = 0; k < r.count; k++) {
            uint32_t first = r.first + (uint32_t)(k * r.stride), last = first + (uint32_t)(r.size - 1);
            probes.insert(probes.end(), {first - 1, first, last, last + 1});
            if (first == 0 || !model_covers(runs, first - 1)) starts.push_back(first);
        }
    range_set_gather whole;
    range_set_gather_init(&whole, RANGE_SET_GATHER_MAX, model_alloc, free);
    int32_t appended = range_set_gather_append(&whole, g);
    range_set *set = appended == RANGE_SET_ADDED ? range_set_make(&whole, model_alloc, free) : nullptr;
    range_set_gather_free(g);
    range_set_gather_free(&whole);
    expect_eq("a set unless memory ran out", set != nullptr || allocations_left == 0, 1);
    if (set == nullptr) return;
    std::sort(starts.begin(), starts.end());
    long long merged = std::unique(starts.begin(), starts.end()) - starts.begin();
    expect_eq("merged ranges", range_set_count(set), merged);
    static const size_t fixed = test_range_set_fixed_bytes();
    expect_eq("at most 8 bytes a range", range_set_bytes(set) <= fixed + 8 * merged, 1);
    for (uint32_t x : probes) {
        range_set_prefetch(set, htonl(x)); // reads only inside the set, as the sanitizers watch
        expect_eq(host_dotted(x).c_str(), range_set_contains(set, htonl(x)), model_covers(runs, x));
    }
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
    expect_eq("raw counts", g.count == c.entries && c.entries + c.skipped <= c.lines &&
                                (c.skipped > 0) == (c.first_skipped > 0) && c.first_skipped <= c.lines, 1);
    range_set_gather_free(&g);
    if (size < 2) return 0;

    // The records, written as a list file: each line with what may come before and after it.
    const char *const lead[] = {"", " \t", "", "", "", "", "", ""};
    const char *const tail[] = {"", "", " ; SBL256894", "\t7", ";x", "", "", ""};
    int32_t limit = data[0] < 16 ? data[0] * 8 : RANGE_SET_MAX;
    std::string text;
    int32_t lines = 0, skipped = 0, first_skipped = 0, ranges = 0;
    std::vector<model_run> runs;
    uint32_t previous_first = 0, previous_last = 0;
    for (size_t at = 2; at + RECORD_BYTES <= size && lines < LINES_MAX; at += RECORD_BYTES) {
        const uint8_t *b = data + at;
        uint32_t bytes = (uint32_t)b[1] << 24 | b[2] << 16 | b[3] << 8 | b[4];
        int32_t bits = b[5] & 0x80 ? 32 - (b[5] & 7) : 1 + (b[5] & 31), style = b[0] >> 4 & 7;
        uint64_t span = 1ull << (32 - bits), stride = span * (1 + (b[1] & 3));
        uint32_t where[] = {bytes, previous_last + 1 + (b[4] & 3), previous_first + b[4], 0xFFFFFFFFu - (b[4] << 4)};
        uint32_t first = where[b[0] & 3] & ~(uint32_t)(span - 1);
        uint32_t count = (uint32_t)std::min<uint64_t>({b[0] & 4 ? 1 + b[6] * 2u : 1u,
                                                       ((1ull << 32) - first - span) / stride + 1, (uint64_t)(LINES_MAX - lines)});
        std::string end = b[0] & 8 ? "\r\n" : "\n";
        for (uint32_t k = 0; k < count; k++) {
            const char *before = style == 5 ? "# a comment" : style == 6 ? "" : REFUSED[(b[6] + k) % std::size(REFUSED)];
            if (style >= 5) text += before + end, lines++;
            if (style == 7 && skipped++ == 0) first_skipped = lines;
            std::string prefix = bits < 32 || (b[5] & 0x40) ? "/" + std::to_string(bits) : "";
            text += lead[style] + host_dotted(first + (uint32_t)(k * stride)) + prefix + tail[style] + end;
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
        expect_eq("out of memory only when it ran out", allocations_left, 0);
        range_set_gather_free(&g);
    } else {
        int32_t i = 0;
        for (const model_run &r : runs)
            for (uint64_t k = 0, f = r.first; k < r.count; k++, i++, f += r.stride)
                expect_eq("gathered", (long long)g.ranges[i], (long long)(f << 32 | (f + r.size - 1)));
        expect_eq("gathered", g.count, i);
        expect_eq("lines, entries, over the limit, skipped, first skipped",
                  c.lines == lines && c.entries == ranges && c.over_limit == std::max(0, ranges - limit) &&
                      c.skipped == skipped && c.first_skipped == first_skipped, 1);
        check_set(&g, runs);
    }
    allocations_left = -1;
    return 0;
}
