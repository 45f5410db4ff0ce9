// Benchmarks of the table and the white list, natively: db_check_connect with the table empty,
// half full and full, white-listed and not, on one and two threads; white_match over 16
// entries; db_expire over 48 slots; and the large tables (65,536 and 1,048,576 slots, full):
// new, held and refused addresses taken in turn from many, so that the index and the slots are
// met where they lie in memory rather than in a warm cache line; and the same with networks
// counted (65,536 slots, /24 and /31, every held address's network held too). The white list holds 16
// entries in every case, so each decision that is not white-listed pays the whole white-list
// scan.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "settings/values/settings.h"
#include "tracking/ip_db.h"
#include "host/base/ip_address.h"
#include "tracking/black_list.h"
#include "tracking/decision.h"
#include "tracking/white_list.h"

namespace {

char held_text[DB_SLOTS][24]; // the addresses that fill the table: 10.3.0.0 to 10.3.0.47

// A decision as the event handler makes it: the current table, the text parsed once.
int32_t decide(const char *text) { return decision_connect(db_current(), ip_parse(text)).verdict; }

// Makes the current table an empty one of `slots` slots: the one in use when it has that size
// (as a running module keeps its table), else the reserve for the default size, as start-up
// does, or a table of its own (the one made before given back).
void use_table(int32_t slots)
{
    db_table *table = db_current();
    if (db_capacity(table) != slots)
        table = slots == DB_SLOTS ? db_table_reserve() : db_table_make(slots, malloc, free);
    if (table == nullptr) abort();
    db_clear(table);
    db_publish(table);
    db_give_back_retired();
}

// The module as after start-up with 16 white-list entries (172.16.0.0/24 to 172.16.15.0/24),
// an empty black list, and the first `held` addresses holding slots 0 to held - 1.
void start_with(int held)
{
    white_clear();
    black_clear();
    use_table(DB_SLOTS);
    settings.auth_failures.store(AUTH_FAILURES_DEFAULT);
    settings.clear_time.store(CLEAR_TIME_DEFAULT);
    for (int n = 0; n < WHITE_MAX; n++) {
        char text[24];
        snprintf(text, sizeof(text), "172.16.%d.0", n);
        white_add(text, 24);
    }
    white_publish();
    for (int n = 0; n < DB_SLOTS; n++) snprintf(held_text[n], sizeof(held_text[n]), "10.3.0.%d", n);
    for (int n = 0; n < held; n++) decide(held_text[n]);
}

void start_empty(const benchmark::State &) { start_with(0); }
void start_half(const benchmark::State &) { start_with(DB_SLOTS / 2); }
void start_full(const benchmark::State &) { start_with(DB_SLOTS); }

// A held address in the last held slot: the search scans every slot before it. After its
// first few connections it is refused, the steady state of a client guessing passwords.
void BM_check_connect_held_half(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(decide(held_text[DB_SLOTS / 2 - 1]));
}
void BM_check_connect_held_full(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(decide(held_text[DB_SLOTS - 1]));
}
// A new address on a full table: the search and the claim both scan all 48 slots and the
// answer is CHECK_FULL; nothing changes, so every call is the worst case.
void BM_check_connect_new_full(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(decide("192.0.2.1"));
}
// A new address claimed and then released by its login, so that the table keeps its fill:
// one decision and one release per iteration. Each thread uses its own address.
void BM_check_connect_new_and_release(benchmark::State &state)
{
    const char *address = state.thread_index() == 0 ? "192.0.2.1" : "192.0.2.2";
    for (auto _ : state) {
        benchmark::DoNotOptimize(decide(address));
        db_release(db_current(), ip_parse(address));
    }
}
// A white-listed client (it matches the 16th entry): no lock, no table.
void BM_check_connect_white(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(decide("172.16.15.9"));
}

// white_match over 16 entries: an address no entry matches (all 16 tested) and one that
// matches the last entry.
void BM_white_match_16_none(benchmark::State &state)
{
    uint32_t address = ip_parse("10.9.9.9");
    for (auto _ : state) benchmark::DoNotOptimize(white_match(address));
}
void BM_white_match_16_last(benchmark::State &state)
{
    uint32_t address = ip_parse("172.16.15.9");
    for (auto _ : state) benchmark::DoNotOptimize(white_match(address));
}

// The sweeper's pass over a full table in which nothing is old enough to go.
void BM_expire_48_none_due(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(db_expire(db_current()));
}

void threads_1_and_2(benchmark::internal::Benchmark *b) { b->Threads(1)->Threads(2)->UseRealTime(); }

// ---- The black list ----------------------------------------------------------------------------

enum : int { PROBES = 4096 };
uint32_t black_probes[PROBES];   // addresses (network order) no entry holds
char black_probe_text[PROBES][16]; // the same as text

// A black list of 4096 entries (a /24 or a single address each) scattered over the whole
// space, or crowded into 10.64.0.0/12 (one bucket of the index's first level), and probes
// that miss every entry, as the addresses of ordinary clients do; the crowded list's probes
// lie in its /12.
void fill_black_list(bool crowded)
{
    black_clear();
    uint32_t x = 12345;
    auto next = [&x] { return x = x * 1103515245u + 12345u; };
    for (int n = 0; n < BLACK_MAX; n++) {
        uint32_t r = next();
        uint32_t first = crowded ? 0x0A400000u | (r >> 8 & 0x000FFF00u) : r & 0xFFFFFF00u;
        if (n % 2) first |= 0x80;
        char text[24];
        snprintf(text, sizeof(text), "%u.%u.%u.%u", first >> 24, first >> 16 & 255, first >> 8 & 255, first & 255);
        black_add(text, n % 2 ? 32 : 24);
    }
    black_publish();
    for (int n = 0; n < PROBES;) {
        uint32_t r = next();
        uint32_t host = crowded ? 0x0A400000u | (r >> 12) : r;
        if (black_match(htonl(host))) continue;
        black_probes[n] = htonl(host);
        snprintf(black_probe_text[n++], sizeof(black_probe_text[0]), "%u.%u.%u.%u", host >> 24,
                 host >> 16 & 255, host >> 8 & 255, host & 255);
    }
}
// A full table with a scattered or a crowded list, or with none (the scattered list's probes
// kept); the cases' own held and new addresses must stay off the list.
void start_full_black(const benchmark::State &) { start_with(DB_SLOTS); fill_black_list(false); }
void start_full_crowded(const benchmark::State &) { start_with(DB_SLOTS); fill_black_list(true); }
void start_full_probes_only(const benchmark::State &)
{
    start_with(DB_SLOTS);
    fill_black_list(false);
    black_clear();
}
void start_empty_black(const benchmark::State &) { start_with(0); fill_black_list(false); }
void start_empty_black_crowded(const benchmark::State &) { start_with(0); fill_black_list(true); }

// Decisions on the probes taken in turn: new addresses on a full table (CHECK_FULL).
void BM_check_connect_probes(benchmark::State &state)
{
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decide(black_probe_text[n]));
        n = (n + 1) & (PROBES - 1);
    }
}

// black_match alone over probes taken in turn, so that the search goes a different way each
// time as real clients' addresses do.
void BM_black_match(benchmark::State &state)
{
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(black_match(black_probes[n]));
        n = (n + 1) & (PROBES - 1);
    }
}

// ---- Large tables ----------------------------------------------------------------------------

enum : int { NEW_PER_THREAD = 4096 };
char large_text[DB_SLOTS_MAX][16]; // the held addresses, in the order the cases visit them
char new_text[2][NEW_PER_THREAD][16]; // per thread, addresses the table does not hold

// A full table of `slots` addresses 10.a.b.c, each with `conns` connections, and the texts:
// the held ones in a scattered order (an odd stride through all of them), and new ones.
void start_large(int32_t slots, uint16_t conns, int32_t auth_failures)
{
    start_with(0);
    use_table(slots);
    settings.auth_failures.store(auth_failures);
    int32_t now = db_clock();
    for (int32_t n = 0; n < slots; n++) {
        uint32_t k = (uint32_t)n * 40503u % (uint32_t)slots;
        snprintf(large_text[n], sizeof(large_text[n]), "10.%u.%u.%u", k >> 16, (k >> 8) & 255, k & 255);
        db_restore(db_current(), ip_parse(large_text[n]), conns, now);
    }
    for (int t = 0; t < 2; t++)
        for (int n = 0; n < NEW_PER_THREAD; n++)
            snprintf(new_text[t][n], sizeof(new_text[t][n]), "11.%d.%d.%d", t, n >> 8, n & 255);
}
// Held and allowed: no allowance ever runs out.
void start_large_held(const benchmark::State &state) { start_large((int32_t)state.range(0), 1, 0x7FFFFFFF); }
// Held and refused: every address has used its five connections.
void start_large_refused(const benchmark::State &state) { start_large((int32_t)state.range(0), 5, AUTH_FAILURES_DEFAULT); }
void start_large_full(const benchmark::State &state) { start_large((int32_t)state.range(0), 1, AUTH_FAILURES_DEFAULT); }

// The large table of range(0) slots counting networks of range(1) bits in a network table of the
// same size, holding the network of every held address, each far from its allowance.
void count_networks(const benchmark::State &state)
{
    int32_t slots = (int32_t)state.range(0);
    db_table *table = db_current(), *networks = db_table_make(slots, malloc, free);
    if (networks == nullptr) abort();
    db_set_networks(table, networks, (int32_t)state.range(1));
    settings.network_failures.store(NETWORK_FAILURES_MAX);
    int32_t now = db_clock();
    for (int32_t n = 0; n < slots; n++)
        db_restore(networks, db_network_of(table, ip_parse(large_text[n])), 1, now);
}
void start_large_held_networks(const benchmark::State &state) { start_large_held(state), count_networks(state); }
void start_large_refused_networks(const benchmark::State &state) { start_large_refused(state), count_networks(state); }
void start_large_full_networks(const benchmark::State &state) { start_large_full(state), count_networks(state); }

// Each thread walks its own half of the held addresses.
void BM_large_held(benchmark::State &state)
{
    int32_t slots = (int32_t)state.range(0), half = slots / 2;
    int32_t n = state.thread_index() * half, end = n + half, first = n;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decide(large_text[n]));
        if (++n == end) n = first;
    }
}
// A full table and addresses it does not hold: CHECK_FULL, nothing stored.
void BM_large_new(benchmark::State &state)
{
    const char(*texts)[16] = new_text[state.thread_index()];
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decide(texts[n]));
        n = (n + 1) & (NEW_PER_THREAD - 1);
    }
}

void large_sizes(benchmark::internal::Benchmark *b)
{
    b->Arg(65536)->Arg(DB_SLOTS_MAX)->Threads(1)->Threads(2)->UseRealTime();
}

void large_network_sizes(benchmark::internal::Benchmark *b)
{
    b->Args({65536, 24})->Args({65536, 31})->Threads(1)->Threads(2)->UseRealTime();
}

} // namespace

BENCHMARK(BM_check_connect_new_and_release)->Name("check_connect/empty/new+release")->Setup(start_empty)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_new_and_release)->Name("check_connect/half/new+release")->Setup(start_half)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_held_half)->Name("check_connect/half/held")->Setup(start_half)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_held_full)->Name("check_connect/full/held")->Setup(start_full)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_new_full)->Name("check_connect/full/new")->Setup(start_full)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_white)->Name("check_connect/empty/white")->Setup(start_empty)->Apply(threads_1_and_2);
BENCHMARK(BM_check_connect_white)->Name("check_connect/full/white")->Setup(start_full)->Apply(threads_1_and_2);
BENCHMARK(BM_white_match_16_none)->Name("white_match/16/none")->Setup(start_empty);
BENCHMARK(BM_white_match_16_last)->Name("white_match/16/last")->Setup(start_empty);
BENCHMARK(BM_check_connect_probes)->Name("check_connect/full/new_in_turn/black_none")->Setup(start_full_probes_only)->Threads(1)->UseRealTime();
BENCHMARK(BM_check_connect_probes)->Name("check_connect/full/new_in_turn/black_4096")->Setup(start_full_black)->Threads(1)->UseRealTime();
BENCHMARK(BM_check_connect_probes)->Name("check_connect/full/new_in_turn/black_4096_crowded")->Setup(start_full_crowded)->Threads(1)->UseRealTime();
BENCHMARK(BM_black_match)->Name("black_match/4096/scattered")->Setup(start_empty_black);
BENCHMARK(BM_black_match)->Name("black_match/4096/crowded")->Setup(start_empty_black_crowded);
BENCHMARK(BM_expire_48_none_due)->Name("expire/48/none_due")->Setup(start_full);

BENCHMARK(BM_large_new)->Name("check_connect/large_full/new")->Setup(start_large_full)->Apply(large_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full/held")->Setup(start_large_held)->Apply(large_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full/refused")->Setup(start_large_refused)->Apply(large_sizes);

BENCHMARK(BM_large_new)->Name("check_connect/large_full_networks/new")->Setup(start_large_full_networks)->Apply(large_network_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full_networks/held")->Setup(start_large_held_networks)->Apply(large_network_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full_networks/refused")->Setup(start_large_refused_networks)->Apply(large_network_sizes);

BENCHMARK_MAIN();
