// Reading a state file of a million lines at start-up (run under Wine): the module's reader on a
// real file in the working directory, timed over several rounds. The file mixes what an old or
// hand-edited file holds: current lines, expired ones, duplicates, comments and malformed lines.
// Prints the median and whether the one-second target is met.
// Usage: tollgate_state_bench [LINES [ROUNDS]]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/base/host_interface.h"
#include "mailhost/host_side.h"
#include "settings/settings_file.h"
#include "tracking/ip_db.h"
#include "tracking/state/state_file.h"

static const int32_t BENCH_NOW = 1700000000;
static int32_t bench_clock() { return BENCH_NOW; }

int main(int argc, char **argv)
{
    int lines = argc > 1 ? atoi(argv[1]) : 1000000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    std::string text = "Tollgate state 1\r\n";
    text.reserve((size_t)lines * 32);
    srand(1);
    for (int i = 0; i < lines; i++) {
        char line[64];
        int kind = i % 100;
        if (kind == 0) snprintf(line, sizeof line, "# comment %d\r\n", i);
        else if (kind == 1) snprintf(line, sizeof line, "not an address %d\r\n", i);
        else
            snprintf(line, sizeof line, "%d.%d.%d.%d %d %d\r\n", 10 + rand() % 200, rand() % 256,
                     rand() % 256, rand() % 64, 1 + rand() % 30,
                     BENCH_NOW - (kind < 50 ? rand() % 1800 : 1801 + rand() % 100000));
        text += line;
    }
    FILE *file = fopen("state-bench.txt", "wb");
    if (!file || fwrite(text.data(), 1, text.size(), file) != text.size()) {
        fprintf(stderr, "cannot write state-bench.txt\n");
        return 1;
    }
    fclose(file);
    GetFullPathNameA("state-bench.txt", sizeof settings_state_path, settings_state_path, nullptr);

    host_side_reset();
    host_copy = host_side_record();
    db_clock = bench_clock;
    std::vector<double> ms;
    for (int r = 0; r < rounds; r++) {
        db_clear(db_current());
        LARGE_INTEGER frequency, start, stop;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        state_file_load();
        QueryPerformanceCounter(&stop);
        ms.push_back((double)(stop.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart);
    }
    DeleteFileA("state-bench.txt");
    std::sort(ms.begin(), ms.end());
    double median = ms[ms.size() / 2];
    std::vector<host_log_line> log = host_side_log();
    printf("State file read at start-up, %d lines (%.1f MB), median of %d rounds: %.1f ms\n",
           lines, (double)text.size() / 1e6, rounds, median);
    printf("  %s\n", log.empty() ? "(no summary line)" : log.back().text.c_str());
    printf("  target: a million lines in under a second: %s\n",
           lines >= 1000000 && median < 1000.0 ? "met" : "MISSED");
    return 0;
}
