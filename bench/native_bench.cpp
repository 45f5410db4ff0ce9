// Benchmarks of the table and the white list, natively: db_check_connect with the table empty,
// half full and full, white-listed and not, on one and two threads; white_match over 16
// entries; db_expire over 48 slots; and the large tables (65,536 and 1,048,576 slots, full):
// new, held and refused addresses taken in turn from many, so that the index and the slots are
// met where they lie in memory rather than in a warm cache line; and the same with networks
// counted (65,536 slots, /24 and /31, every held address's network held too). The white list holds 16
// entries in every case, so each decision that is not white-listed pays the whole white-list
// scan. The list files' range set: a decision with 10,000 and 1,000,000 ranges in force as the
// black list against none,
// range_set_contains beside black_match on the same 4,096 entries, and reading a million-line
// list file. The siege's keys: the same decisions with them unset and set (a trusted set of
// 65,536 logins; no siege, a siege, and the addresses trusted), to be read as ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/list_text.h"
#include "host/base/platform.h"
#include "settings/values/settings.h"
#include "settings/values/settings_table.h"
#include "tracking/ip_db.h"
#include "host/base/ip_address.h"
#include "tracking/black_list.h"
#include "tracking/list_file.h"
#include "tracking/range_set.h"
#include "tracking/decision.h"
#include "tracking/siege.h"
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
    list_publish(LIST_ALLOW, nullptr, LIST_GRACE_MS);
    use_table(DB_SLOTS);
    settings_reset();
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

range_set *black_ranges; // the same entries as a range set

// A black list of 4096 entries (a /24 or a single address each) scattered over the whole
// space, or crowded into 10.64.0.0/12 (one bucket of the index's first level), and probes
// that miss every entry, as the addresses of ordinary clients do; the crowded list's probes
// lie in its /12. The same entries also make black_ranges.
void fill_black_list(bool crowded)
{
    black_clear();
    range_set_gather gathered;
    range_set_gather_init(&gathered, BLACK_MAX, malloc, free);
    uint32_t x = 12345;
    auto next = [&x] { return x = x * 1103515245u + 12345u; };
    for (int n = 0; n < BLACK_MAX; n++) {
        uint32_t r = next();
        uint32_t first = crowded ? 0x0A400000u | (r >> 8 & 0x000FFF00u) : r & 0xFFFFFF00u;
        if (n % 2) first |= 0x80;
        char text[24];
        snprintf(text, sizeof(text), "%u.%u.%u.%u", first >> 24, first >> 16 & 255, first >> 8 & 255, first & 255);
        black_add(text, n % 2 ? 32 : 24);
        range_set_gather_add(&gathered, first, first | (n % 2 ? 0 : 255));
    }
    black_publish();
    range_set_free(black_ranges);
    black_ranges = range_set_make(&gathered, malloc, free);
    range_set_gather_free(&gathered);
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

// `match` over `count` probes (a power of two) taken in turn, so that the search goes a different
// way each time as real clients' addresses do.
template <typename Match>
void match_in_turn(benchmark::State &state, const uint32_t *probes, int count, Match match)
{
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(match(probes[n]));
        n = (n + 1) & (count - 1);
    }
}

// black_match alone over the probes; range_set_contains over the same, on a set of the same
// entries.
void BM_black_match(benchmark::State &state) { match_in_turn(state, black_probes, PROBES, black_match); }
void BM_range_set_contains_black(benchmark::State &state)
{
    match_in_turn(state, black_probes, PROBES, [](uint32_t a) { return range_set_contains(black_ranges, a); });
}

// ---- The list files' range set -----------------------------------------------------------------

enum : int { LIST_PROBES_MAX = 65536 };
uint32_t list_probes[LIST_PROBES_MAX];     // addresses (network order) in no range of the list
char list_probe_text[LIST_PROBES_MAX][IP_TEXT_SIZE]; // the same as text
int list_probe_count;                      // probes in use, a power of two

// A full table and a black list in force read from a list file of range(0) entries, scattered,
// or crowded (range(1) = 1) into 10.0.0.0/8; none for 0 entries. range(2) probes that miss the
// list, as ordinary clients' addresses do, taken in turn: 4,096 as the black list's cases take,
// or 65,536, too many for the set's lines that they meet to stay in the nearest caches; a
// crowded set's lie in its /8.
// The set of a list file of `entries` entries as bench_list_text writes them; its merged ranges
// into *ranges too, when asked.
range_set *list_from_text(int32_t entries, bool crowded, std::vector<uint64_t> *ranges = nullptr)
{
    std::string text = bench_list_text(entries, crowded);
    range_set_gather gathered;
    list_file_counts counts;
    range_set_gather_init(&gathered, RANGE_SET_MAX, malloc, free);
    list_file_parse(text.data(), text.size(), &gathered, &counts);
    range_set *set = range_set_make(&gathered, malloc, free);
    if (ranges) ranges->assign(gathered.ranges, gathered.ranges + gathered.count);
    range_set_gather_free(&gathered);
    if (set == nullptr) abort();
    return set;
}

// Takes list_probe_count probes in turn from `pick` (a random word to an address in host order)
// that the black list in force does not hold.
template <typename Pick>
void take_probes(Pick pick)
{
    uint32_t x = 88172645u;
    for (int n = 0; n < list_probe_count;) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        uint32_t host = pick(x);
        if (black_match(htonl(host))) continue;
        list_probes[n] = htonl(host);
        ip_format(list_probes[n], list_probe_text[n]);
        n++;
    }
}

void start_list(const benchmark::State &state)
{
    list_probe_count = (int)state.range(2);
    start_with(DB_SLOTS);
    bool crowded = state.range(1) != 0;
    if (state.range(0) > 0 && !list_publish(LIST_BLACK, list_from_text((int32_t)state.range(0), crowded), LIST_GRACE_MS))
        abort();
    take_probes([crowded](uint32_t x) { return crowded ? 0x0A000000u | (x & 0x00FFFFFFu) : x; });
}

// Both lists in force, a million ranges each: the crowded list as the black list and the
// scattered one as the allow list; range(0) probes inside the allow list (the first address of
// one of its ranges) and outside the black list, so that each decision looks both lists up
// before the table.
void start_lists_both(const benchmark::State &state)
{
    list_probe_count = (int)state.range(0);
    start_with(DB_SLOTS);
    std::vector<uint64_t> allowed;
    if (!list_publish(LIST_BLACK, list_from_text(1000000, true), LIST_GRACE_MS) ||
        !list_publish(LIST_ALLOW, list_from_text(1000000, false, &allowed), LIST_GRACE_MS))
        abort();
    take_probes([&allowed](uint32_t x) { return (uint32_t)(allowed[x % allowed.size()] >> 32); });
}

// A decision as the event handler makes it with the list in force.
void BM_list_decide(benchmark::State &state)
{
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decide(list_probe_text[n]));
        n = (n + 1) & (list_probe_count - 1);
    }
    const range_set *set = list_set(LIST_BLACK);
    state.counters["ranges"] = range_set_count(set);
    state.counters["bytes_per_range"] = set ? (double)range_set_bytes(set) / range_set_count(set) : 0;
}

// range_set_contains alone over the same probes.
void BM_list_contains(benchmark::State &state)
{
    match_in_turn(state, list_probes, list_probe_count, black_match);
}

// No list, 10,000 and 1,000,000 ranges scattered, and 1,000,000 crowded; 4,096 and 65,536 probes.
void list_sizes(benchmark::internal::Benchmark *b)
{
    for (int64_t probes : {4096, (int)LIST_PROBES_MAX})
        for (auto [ranges, crowded] : {std::pair{0, 0}, {10000, 0}, {1000000, 0}, {1000000, 1}})
            b->Args({ranges, crowded, probes});
}

// A million-entry list file read from memory: the parse alone (range(0) = 0), or the parse and
// the making of its set (1). Its entries are in no order, so the merge sorts them.
void BM_list_file_load(benchmark::State &state)
{
    static const std::string text = bench_list_text(1000000, false);
    for (auto _ : state) {
        range_set_gather gathered;
        list_file_counts counts;
        range_set_gather_init(&gathered, RANGE_SET_MAX, malloc, free);
        list_file_parse(text.data(), text.size(), &gathered, &counts);
        if (state.range(0)) range_set_free(range_set_make(&gathered, malloc, free));
        range_set_gather_free(&gathered);
    }
}

// ---- Trust and the siege -----------------------------------------------------------------------

// A clock one second on every 4,096 readings, so that the siege's minute holds about 120,000
// connections however fast the decisions come: SiegeFailures at its largest is never reached.
enum : int32_t { BENCH_FIRST_SECOND = 1000000000 };
int32_t bench_seconds_calls;
int32_t bench_seconds() { return BENCH_FIRST_SECOND + (bench_seconds_calls++ >> 12); }

// The black list's probes (new addresses on a full 48-slot table) decided with the siege keys
// unset (range(0) 0); or set: TrustDays with a set of 65,536 logins, SiegeFailures not reached
// (1), reached with SiegeAuthFailures 0 (2), or the probes among the logins (3). The same clock
// for all.
void start_siege(const benchmark::State &state)
{
    start_full_probes_only(state);
    bench_seconds_calls = 0;
    db_clock = bench_seconds;
    siege_reset();
    if (state.range(0) == 0) return;
    settings.trust_days.store(30);
    settings.siege_failures.store(state.range(0) == 2 ? 1 : SIEGE_FAILURES_MAX);
    settings.siege_auth_failures.store(0);
    db_set_trusted(db_current(), db_table_make(65536, malloc, free, true), 32);
    for (int n = 0; n < 65536; n++)
        db_trust(db_current(), state.range(0) == 3 ? black_probes[n % PROBES] : htonl(0x0B000000u + n),
                 db_clock());
}
// The siege's counter alone: one connection counted, and the count read back.
void BM_siege_add(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(siege_add(bench_seconds(), 1));
}
void stop_siege(const benchmark::State &)
{
    db_set_trusted(db_current(), nullptr, 0);
    settings_reset();
    db_clock = platform_time_now;
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
BENCHMARK(BM_range_set_contains_black)->Name("range_set_contains/4096/scattered")->Setup(start_empty_black);
BENCHMARK(BM_range_set_contains_black)->Name("range_set_contains/4096/crowded")->Setup(start_empty_black_crowded);
BENCHMARK(BM_list_decide)->Name("check_connect/full/new_in_turn/lists")->Setup(start_list)->Apply(list_sizes)->Threads(1)->UseRealTime();
BENCHMARK(BM_list_contains)->Name("range_set_contains/lists")->Setup(start_list)->Apply(list_sizes);
BENCHMARK(BM_list_decide)->Name("check_connect/full/new_in_turn/lists_both/1000000")->Setup(start_lists_both)->Arg(4096)->Arg(LIST_PROBES_MAX)->Threads(1)->UseRealTime();
BENCHMARK(BM_list_file_load)->Name("list_file/1000000/parse")->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_list_file_load)->Name("list_file/1000000/parse+make")->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_expire_48_none_due)->Name("expire/48/none_due")->Setup(start_full);
BENCHMARK(BM_siege_add)->Name("siege_add")->Setup(start_siege)->Teardown(stop_siege)->Arg(0);
BENCHMARK(BM_check_connect_probes)->Name("check_connect/siege")->Setup(start_siege)->Teardown(stop_siege)->DenseRange(0, 3)->Threads(1)->UseRealTime();

BENCHMARK(BM_large_new)->Name("check_connect/large_full/new")->Setup(start_large_full)->Apply(large_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full/held")->Setup(start_large_held)->Apply(large_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full/refused")->Setup(start_large_refused)->Apply(large_sizes);

BENCHMARK(BM_large_new)->Name("check_connect/large_full_networks/new")->Setup(start_large_full_networks)->Apply(large_network_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full_networks/held")->Setup(start_large_held_networks)->Apply(large_network_sizes);
BENCHMARK(BM_large_held)->Name("check_connect/large_full_networks/refused")->Setup(start_large_refused_networks)->Apply(large_network_sizes);

BENCHMARK_MAIN();
