// Loading a list file of a million lines as start-up will (run under Wine): the file read whole,
// the lines read into a gathering, the set made from it; timed over several rounds. The entries
// are in no order, so the merge sorts them. Prints each part's median and whether the one-second
// target is met.
// Usage: tollgate_list_bench [ENTRIES [ROUNDS]]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/list_text.h"
#include "tracking/list_file.h"
#include "tracking/range_set.h"

static double list_bench_ms(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

int main(int argc, char **argv)
{
    int entries = argc > 1 ? atoi(argv[1]) : 1000000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    std::string text = bench_list_text(entries, false);
    FILE *file = fopen("list-bench.txt", "wb");
    if (!file || fwrite(text.data(), 1, text.size(), file) != text.size()) {
        fprintf(stderr, "cannot write list-bench.txt\n");
        return 1;
    }
    fclose(file);

    std::vector<double> read_ms, parse_ms, make_ms, total_ms;
    list_file_counts counts{};
    int32_t ranges = 0;
    for (int r = 0; r < rounds; r++) {
        LARGE_INTEGER start, read, parsed, made;
        QueryPerformanceCounter(&start);
        HANDLE h = CreateFileA("list-bench.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD size = h == INVALID_HANDLE_VALUE ? 0 : GetFileSize(h, nullptr), got = 0;
        char *bytes = (char *)malloc(size ? size : 1);
        bool whole = bytes && ReadFile(h, bytes, size, &got, nullptr) && got == size;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (!whole) {
            fprintf(stderr, "cannot read list-bench.txt\n");
            return 1;
        }
        QueryPerformanceCounter(&read);
        range_set_gather gathered;
        range_set_gather_init(&gathered, RANGE_SET_MAX, malloc, free);
        int32_t result = list_file_parse(bytes, size, &gathered, &counts);
        QueryPerformanceCounter(&parsed);
        range_set *set = range_set_make(&gathered, malloc, free);
        QueryPerformanceCounter(&made);
        if (result != LIST_FILE_READ || set == nullptr) {
            fprintf(stderr, "out of memory\n");
            return 1;
        }
        ranges = range_set_count(set);
        range_set_gather_free(&gathered);
        range_set_free(set);
        free(bytes);
        read_ms.push_back(list_bench_ms(start, read));
        parse_ms.push_back(list_bench_ms(read, parsed));
        make_ms.push_back(list_bench_ms(parsed, made));
        total_ms.push_back(list_bench_ms(start, made));
    }
    DeleteFileA("list-bench.txt");
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("List file loaded as at start-up, %d lines (%.1f MB), median of %d rounds: %.1f ms\n",
           counts.lines, (double)text.size() / 1e6, rounds, median(total_ms));
    printf("  read %.1f ms, parse %.1f ms, merge and make %.1f ms; %d entries, %d ranges, %d lines skipped\n",
           median(read_ms), median(parse_ms), median(make_ms), counts.entries, ranges, counts.skipped);
    printf("  target: a million lines in under a second: %s\n",
           counts.lines >= 1000000 && median(total_ms) < 1000.0 ? "met" : "MISSED");
    return 0;
}
