// The shared store's cost per decision (run under Wine, the module's objects linked in): with
// the store on (a redis-server on loopback: median and 99th percentile of one round trip, with
// and without offenders kept, RepeatFactor's longer script and reply), with
// its breaker tripped and with no store (the extra cost a dead store leaves on every decision),
// and one call to a frozen store (a socket that accepts and never answers: the call's timeout).
// Usage: tollgate_shared_bench REDIS_PORT [CALLS]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_clock.h"
#include "host/base/host_interface.h"
#include "host/base/platform.h"
#include "mailhost/host_side.h"
#include "settings/settings_file.h"
#include "tracking/shared/shared_store.h"

namespace {

double now_us() { return bench_now_ns() / 1000.0; }
double percentile(const std::vector<double> &v, double p) { return bench_percentile(v, p); }

uint32_t fake_ticks = 1000;
uint32_t fake_clock() { return fake_ticks; }

void use_store(int port, int timeout_ms)
{
    store_install(nullptr);
    shared_store_stop(true);
    settings_shared_t config = {};
    snprintf(config.address, sizeof config.address, "127.0.0.1");
    snprintf(config.prefix, sizeof config.prefix, "bench:");
    config.port = port;
    config.timeout_ms = timeout_ms;
    store_install(shared_store_start(config));
}

// One decision's call to the store in use, as the event handler makes it; with `offenders`,
// as with RepeatFactor=2 (its default MaxClearTime and RepeatAuthFailures).
void ask(uint32_t address, int32_t allowance, bool offenders = false)
{
    store_request request = {};
    request.address = address;
    request.allowance = allowance;
    request.quiet_seconds = 1800;
    request.let_in_locally = true;
    if (offenders) {
        request.repeat_factor = 2;
        request.longest_refusal = MAX_CLEAR_TIME_DEFAULT * 60;
        request.repeat_allowance = REPEAT_AUTH_FAILURES_DEFAULT;
    }
    store_answer answer = {};
    if (const store_backend *store = store_in_use()) store->connect(&request, &answer);
}

// Nanoseconds per call of `calls` decisions on distinct addresses, taken whole.
double per_call_ns(int calls)
{
    double start = now_us();
    for (int i = 0; i < calls; i++) ask(0x0A000000u + (uint32_t)i, 5);
    return (now_us() - start) * 1000.0 / calls;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: tollgate_shared_bench REDIS_PORT [CALLS]\n");
        return 2;
    }
    int port = atoi(argv[1]);
    int calls = argc > 2 ? atoi(argv[2]) : 20000;
    host_side_reset();
    host_copy = host_side_record();
    WSADATA version;
    WSAStartup(MAKEWORD(2, 2), &version); // for the frozen store's socket below
    shared_clock = fake_clock;

    use_store(port, SHARED_TIMEOUT_MAX); // a busy machine's pause must not trip it here
    printf("shared store on (loopback redis-server), %d calls:\n", calls);
    for (bool offenders : {false, true}) {
        std::vector<double> trips;
        for (int i = 0; i < calls; i++) {
            double start = now_us();
            ask(0x0B000000u + (uint32_t)(i % 4096), 1000, offenders);
            trips.push_back(now_us() - start);
        }
        printf("  round trip%s: median %.0f us, 99th percentile %.0f us\n",
               offenders ? " with offenders kept" : "", percentile(trips, 0.5),
               percentile(trips, 0.99));
    }

    use_store(0, SHARED_TIMEOUT_DEFAULT);
    double off = per_call_ns(calls * 50);
    use_store(1, SHARED_TIMEOUT_DEFAULT); // nothing listens there: the first call trips the breaker
    ask(0x0A000001u, 5);
    double tripped = per_call_ns(calls * 50);
    printf("  no store: %.1f ns a decision; breaker tripped: %.1f ns (%.1f ns more; target 1000)\n",
           off, tripped, tripped - off);

    // A frozen store: a socket that accepts (the backlog does) and never answers.
    SOCKET frozen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof where;
    bind(frozen, (sockaddr *)&where, sizeof where);
    listen(frozen, 64);
    getsockname(frozen, (sockaddr *)&where, &length);
    use_store(ntohs(where.sin_port), SHARED_TIMEOUT_DEFAULT);
    std::vector<double> frozen_calls;
    for (int i = 0; i < 7; i++) {
        fake_ticks += SHARED_BREAKER_MS; // each call finds the breaker due for a try
        double start = now_us();
        ask(0x0C000001u, 5);
        frozen_calls.push_back(now_us() - start);
    }
    printf("  frozen store, SharedTimeout %d ms: a call takes %.1f ms (median of 7; max %.1f)\n",
           (int)SHARED_TIMEOUT_DEFAULT, percentile(frozen_calls, 0.5) / 1000.0,
           percentile(frozen_calls, 1.0) / 1000.0);
    shared_store_stop(true);
    closesocket(frozen);
    for (const host_log_line &line : host_side_log()) printf("  log: %s\n", line.text.c_str());
    WSACleanup();
    return 0;
}
