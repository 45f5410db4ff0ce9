// Model-based fuzz target: the input is read as a sequence of operations on the table and the
// white list (connect, release, clock advance, expiry, clear, white-list gathering, publishing
// and emptying, AuthFailures and ClearTime changes, and the repeat-offender settings: refused addresses
// become offenders with longer refusals and a smaller allowance). Each is applied to the real
// table and to a small reference model written directly from the rules; every decision, every
// count and, after each operation, the whole table as the dialog's walk sees it must agree. An
// input of even length runs on the default 48-slot table; one of odd length on a table of 1024
// slots (four index stripes, two bitmap levels) with 4096 more client addresses and bursts of
// new ones, so that the index fills, clusters and is churned by claims, releases, expiry and
// clearing. An operation switches the counting of networks on (8 to 31 bits, a fresh network
// table, an allowance) or off. Others put a shared store in use, one that does not answer, or
// none: a fake store (tests/native/fake_store.h) standing for the other servers' counts, which
// further operations raise as other servers' connections would; each decision's request to it
// must be the one the model expects, and its answer merged as the model merges it. Others trust
// logins (a fresh trusted set of 48 entries, 16 to 32 bits) or not, and set the siege's keys:
// the model keeps the trusted entries in the order of their logins and the siege's counted
// seconds, and every decision's trust, siege refusal and siege news, every sweep's, and the
// trusted set's entries must agree. A sweep also syncs with the fake store, into which other
// servers' trusted logins, siege connections and siege mark go; the model predicts from its
// content what the sync makes of them.
#include <algorithm>
#include <deque>
#include <vector>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/native/fake_store.h"
#include "tests/native/native_support.h"

namespace {

// ---- The reference model ---------------------------------------------------------------

enum : int {
    MODEL_SLOTS_SMALL = 48,
    MODEL_SLOTS_LARGE = 1024,
    MODEL_WHITE = 16,
    BURST_ADDRESSES = 4096, // 172.16.0.0 to 172.16.15.255, large table only
};

struct model_slot {
    bool in_use;
    uint32_t ip; // network byte order
    int32_t last_seen;
    uint16_t conns;
    int offences;  // refusals counted while offenders are remembered
    bool refusing; // the latest one still in force
};

struct model_t {
    model_slot slot[MODEL_SLOTS_LARGE];
    model_slot net[MODEL_SLOTS_LARGE]; // networks, while net_bits > 0
    int32_t net_held, net_bits, net_failures, untracked;
    bool counted; // the latest connection was counted for its network
    bool store;   // the fake store is in use
    int32_t slots; // of the table under test
    int32_t held;
    uint32_t white_address[MODEL_WHITE]; // the white list in force
    uint32_t white_mask[MODEL_WHITE];
    int32_t white_count;
    uint32_t gathered_address[MODEL_WHITE]; // the entries gathered for the next publish
    uint32_t gathered_mask[MODEL_WHITE];
    int32_t gathered_count;
    int32_t auth_failures;
    int32_t clear_time;
    int32_t repeat_factor; // 2 to 16 remembers offenders; anything else does not
    int32_t max_clear_time;
    int32_t repeat_auth_failures;
    int32_t now;
    int32_t trust_days, trust_bits, trust_slots; // trust_slots 0: no trusted set
    int32_t siege_failures, siege_auth_failures;
    int32_t siege_began, siege_calm, siege_refused;
    bool besieged;                               // the latest connection's
    siege_news news;                             // the latest decision's or sweep's
};

model_t model;
std::deque<int32_t> model_siege_seconds; // each counted connection's second, oldest first
std::vector<std::pair<uint32_t, int32_t>> model_trusted_set; // key and latest login, oldest first

// decision.cpp's sync state, and this server's siege connections not pushed yet.
struct {
    int32_t synced_at, pushed_at, since, unsent;
    int64_t counted;
    bool marked;
} model_sync;

// The mask of the first n bits, built octet by octet; all ones outside 1..32.
uint32_t model_mask(int32_t n)
{
    if (n < 1 || n > 32) return 0xFFFFFFFFu;
    uint8_t octets[4];
    for (int k = 0; k < 4; k++) {
        int bits = n - 8 * k;
        bits = bits < 0 ? 0 : bits > 8 ? 8 : bits;
        octets[k] = (uint8_t)(0xFF00u >> bits);
    }
    uint32_t mask;
    memcpy(&mask, octets, sizeof(mask));
    return mask;
}

bool model_white(uint32_t ip)
{
    for (int i = 0; i < model.white_count; i++)
        if ((ip & model.white_mask[i]) == model.white_address[i]) return true;
    return false;
}

// The network of `ip` as the model counts it; `ip` itself when it counts none.
uint32_t model_network_of(uint32_t ip) { return model.net_bits ? ip & model_mask(model.net_bits) : ip; }

// The held network `net`, or null.
model_slot *model_network_slot(uint32_t net)
{
    for (int k = 0; k < model.slots && model.net_bits; k++)
        if (model.net[k].in_use && model.net[k].ip == net) return &model.net[k];
    return nullptr;
}

// The connection of `ip` for its network: counted (with `count`) unless the network is
// refused, which is only stamped. True when refused; model.counted says whether it counted.
bool model_network(uint32_t ip, bool count)
{
    if (!model.net_bits) return false;
    ip = model_network_of(ip);
    if (model_slot *n = model_network_slot(ip)) {
        bool refused = (int32_t)n->conns >= model.net_failures;
        if (refused || count) n->last_seen = model.now;
        if (!refused && count) n->conns++, model.counted = true;
        return refused;
    }
    for (int k = 0; k < model.slots && count; k++) { // lowest free slot first
        if (model.net[k].in_use) continue;
        model.net[k] = {true, ip, model.now, 1, 0, false};
        model.net_held++;
        model.counted = true;
        return false;
    }
    if (count) model.untracked++;
    return false;
}

// Takes `conns` connections back from the network `net`, freeing it when none remain.
void model_take_back(uint32_t net, uint16_t conns)
{
    model_slot *n = model_network_slot(net);
    if (n == nullptr) return;
    n->conns = n->conns > conns ? (uint16_t)(n->conns - conns) : 0;
    if (n->conns == 0) n->in_use = false, model.net_held--;
}


bool model_repeat_on() { return model.repeat_factor >= 2 && model.repeat_factor <= 16; }

// Seconds of quiet that clear the refusal of offence k: ClearTime x factor^(k-1) minutes, no
// more than MaxClearTime (or ClearTime, if larger).
int64_t model_refusal(int k)
{
    int64_t cap = (int64_t)std::max(model.max_clear_time, model.clear_time) * 60;
    int64_t seconds = (int64_t)model.clear_time * 60;
    for (int i = 1; i < k && seconds > 0 && seconds < cap; i++) seconds *= model.repeat_factor;
    return std::min(seconds, cap);
}

// Seconds of quiet after which a slot is forgotten.
int64_t model_remembered(const model_slot &s)
{
    int64_t cap = (int64_t)std::max(model.max_clear_time, model.clear_time) * 60;
    if (!model_repeat_on() || s.offences == 0) return (int64_t)model.clear_time * 60;
    return s.refusing ? model_refusal(s.offences) + cap : cap;
}

void model_offence(model_slot &s)
{
    s.offences = std::min(s.offences + 1, (int)DB_OFFENCES_MAX);
    s.refusing = true;
}

// ---- Trust and the siege -------------------------------------------------------------------

// The trusted entry of `ip`'s key, or the set's end.
auto model_trusted_entry(uint32_t ip)
{
    return std::find_if(model_trusted_set.begin(), model_trusted_set.end(), [&](const auto &e) {
        return e.first == (ip & model_mask(model.trust_bits));
    });
}

// True for an entry older than TrustDays.
bool model_trust_over(const std::pair<uint32_t, int32_t> &e)
{
    return (int64_t)model.now - e.second > (int64_t)model.trust_days * 86400;
}

bool model_trusted(uint32_t ip)
{
    auto e = model_trusted_entry(ip);
    return e != model_trusted_set.end() && !model_trust_over(*e);
}

// A login trusts its key from `when` (a login's: now), as the newest entry; the oldest goes
// when the set is full.
void model_trust(uint32_t ip, int32_t when)
{
    if (!model.trust_slots) return;
    auto e = model_trusted_entry(ip);
    if (e != model_trusted_set.end()) model_trusted_set.erase(e);
    else if ((int32_t)model_trusted_set.size() == model.trust_slots) model_trusted_set.erase(model_trusted_set.begin());
    model_trusted_set.push_back({ip & model_mask(model.trust_bits), when});
}

// The siege's count of the last minute.
int32_t model_siege_count()
{
    while (!model_siege_seconds.empty() && model_siege_seconds.front() <= model.now - 60)
        model_siege_seconds.pop_front();
    return (int32_t)model_siege_seconds.size();
}

// The siege judged now: begun at SiegeFailures, ended after ClearTime below half. True while
// under siege.
bool model_judge()
{
    int32_t count = model_siege_count();
    if (!model.siege_began) {
        if (count < model.siege_failures && !model_sync.marked) return false;
        model.siege_began = model.now, model.siege_calm = model.siege_refused = 0;
        model.news = {SIEGE_BEGAN, count, model.siege_auth_failures, 0, 0};
        return true;
    }
    if ((int64_t)count * 2 >= model.siege_failures || model_sync.marked)
        return model.siege_calm = 0, true;
    if (!model.siege_calm) return model.siege_calm = model.now, true;
    if ((int64_t)model.now - model.siege_calm < (int64_t)model.clear_time * 60) return true;
    model.news = {SIEGE_ENDED, 0, 0, (model.now - model.siege_began) / 60, model.siege_refused};
    model.siege_began = 0;
    return false;
}

int32_t model_connect(uint32_t ip, int32_t *offences)
{
    model.counted = false;
    model.besieged = false;
    model.news = {};
    if (model_white(ip)) return CHECK_WHITE;
    if (model.siege_failures > 0) {
        bool trusted = model_trusted(ip);
        if (!trusted) model_siege_seconds.push_back(model.now), model_sync.unsent++;
        model.besieged = model_judge() && !trusted;
    }
    for (int k = 0; k < model.slots; k++) {
        model_slot &s = model.slot[k];
        if (!s.in_use || s.ip != ip) continue;
        int64_t quiet = (int64_t)model.now - s.last_seen;
        bool offender = model_repeat_on() && s.offences > 0;
        bool refused = !offender ? (int32_t)s.conns >= model.auth_failures
                       : s.refusing ? quiet <= model_refusal(s.offences) ||
                                          model.repeat_auth_failures <= 0
                                    : (int32_t)s.conns >= model.repeat_auth_failures;
        if (!refused && model.besieged &&
            (offender && s.refusing ? 0 : (int32_t)s.conns) >= model.siege_auth_failures)
            return CHECK_SIEGE_BLOCKED;
        if (model_network(ip, !refused) && !refused) return CHECK_NETWORK_BLOCKED;
        s.last_seen = model.now;
        if (offender) {
            if (s.refusing) {
                if (quiet <= model_refusal(s.offences)) return CHECK_BLOCKED;
                s.refusing = false;
                s.conns = 0;
            }
            if ((int32_t)s.conns >= model.repeat_auth_failures) {
                model_offence(s);
                return CHECK_BLOCKED;
            }
            s.conns++;
            *offences = s.offences;
            return CHECK_OFFENDER;
        }
        if (refused) {
            if (model_repeat_on()) model_offence(s);
            return CHECK_BLOCKED;
        }
        s.conns++;
        return CHECK_KNOWN;
    }
    if (model.besieged && model.siege_auth_failures <= 0) return CHECK_SIEGE_BLOCKED;
    if (model_network(ip, true)) return CHECK_NETWORK_BLOCKED;
    for (int k = 0; k < model.slots; k++) { // lowest free slot first
        model_slot &s = model.slot[k];
        if (s.in_use) continue;
        s = {true, ip, model.now, 1, 0, false};
        model.held++;
        return CHECK_NEW;
    }
    return CHECK_FULL;
}

void model_release(uint32_t ip)
{
    for (int k = 0; k < model.slots; k++) {
        model_slot &s = model.slot[k];
        if (s.in_use && s.ip == ip) {
            s.in_use = false;
            model.held--;
            model_take_back(model_network_of(ip), s.conns); // its connections, from its network
            return;
        }
    }
}

int32_t model_expire(model_slot *slots, int32_t *held)
{
    int32_t freed = 0;
    for (int k = 0; k < model.slots; k++) {
        model_slot &s = slots[k];
        if (s.in_use && (int64_t)model.now - s.last_seen > model_remembered(s)) {
            s.in_use = false;
            --*held;
            freed++;
        }
    }
    return freed;
}

int32_t model_white_add(const char *text, bool parses, uint32_t ip, int32_t prefix)
{
    if (text[0] == '\0' || !parses || model.gathered_count == MODEL_WHITE) return 0;
    model.gathered_address[model.gathered_count] = ip;
    model.gathered_mask[model.gathered_count] = model_mask(prefix);
    model.gathered_count++;
    return 1;
}

// The gathered entries become the list in force, and the next gathering starts empty.
void model_white_publish()
{
    memcpy(model.white_address, model.gathered_address, sizeof(model.white_address));
    memcpy(model.white_mask, model.gathered_mask, sizeof(model.white_mask));
    model.white_count = model.gathered_count;
    model.gathered_count = 0;
}

// ---- Addresses the operations use ------------------------------------------------------

// The texts a client may connect from: 64 addresses (more than the table holds) and a few the
// parser treats specially. `parses` is false where inet_addr gives its failure value.
struct client_address {
    char text[24];
    uint32_t ip;
};
client_address clients[72];
bool clients_ready;

void make_clients()
{
    for (int i = 0; i < 64; i++) {
        uint8_t a = (i & 32) ? 192 : 10, b = (uint8_t)((i >> 3) & 3), d = (uint8_t)(i & 7);
        snprintf(clients[i].text, sizeof(clients[i].text), "%u.%u.0.%u", a, b, d);
        clients[i].ip = ip_of(a, b, 0, d);
    }
    const client_address special[8] = {
        {"255.255.255.255", 0xFFFFFFFFu}, {"not-an-address", 0xFFFFFFFFu},
        {"1.2.3.4.5", 0xFFFFFFFFu},       {"300.1.1.1", 0xFFFFFFFFu},
        {"0.0.0.0", ip_of(0, 0, 0, 0)},   {"10.1", ip_of(10, 0, 0, 1)}, // short form = 10.0.0.1
        {"192.0.0.7", ip_of(192, 0, 0, 7)}, {"10.3.0.7", ip_of(10, 3, 0, 7)},
    };
    for (int i = 0; i < 8; i++) clients[64 + i] = special[i];
    clients_ready = true;
}

// The client of a connect or login: on the large table, arguments past the 72 fixed clients
// pick one of the burst addresses with the next input byte.
client_address pick_client(uint8_t arg, uint8_t extra)
{
    if (model.slots == MODEL_SLOTS_SMALL || arg < 72) return clients[arg % 72];
    int n = ((arg - 72) * 256 + extra) % BURST_ADDRESSES;
    client_address c;
    snprintf(c.text, sizeof(c.text), "172.16.%d.%d", n / 256, n % 256);
    c.ip = ip_of(172, 16, (uint8_t)(n / 256), (uint8_t)(n % 256));
    return c;
}

// A white-list entry text from one input byte: mostly addresses near the clients'.
void white_text(uint8_t x, char *text, size_t size, bool *parses, uint32_t *ip)
{
    static const uint8_t firsts[4] = {10, 192, 0, 128};
    *parses = true;
    switch (x % 16) {
    case 0: snprintf(text, size, "%s", ""); *parses = false; return;
    case 1: snprintf(text, size, "%s", "letters"); *parses = false; return;
    case 2: snprintf(text, size, "%s", "255.255.255.255"); *parses = false; return;
    default: break;
    }
    uint8_t a = firsts[(x >> 4) & 3], b = (uint8_t)((x >> 6) & 3), d = (uint8_t)(x % 16 < 9 ? 0 : x % 8);
    snprintf(text, size, "%u.%u.0.%u", a, b, d);
    *ip = ip_of(a, b, 0, d);
}

// ---- Checks ------------------------------------------------------------------------------

[[noreturn]] void mismatch(const char *what, long long real, long long expected, size_t op)
{
    fprintf(stderr, "fuzz_table: %s: table %lld, model %lld (operation %zu)\n", what, real,
            expected, op);
    abort();
}

void expect_eq(const char *what, long long real, long long expected, size_t op)
{
    if (real != expected) mismatch(what, real, expected, op);
}

// A whole table through the dialog's walk against the model's slots.
void compare_table(db_table *table, const model_slot *slots, int32_t held, size_t op)
{
    expect_eq("held count", db_held(table), held, op);
    ip_entry_copy copy;
    int32_t i = db_next(table, -1, &copy);
    for (int k = 0; k < model.slots; k++) {
        if (!slots[k].in_use) continue;
        expect_eq("next held slot", i, k, op);
        expect_eq("ip", copy.ip, slots[k].ip, op);
        expect_eq("last_seen", copy.last_seen, slots[k].last_seen, op);
        expect_eq("conns", copy.conns, slots[k].conns, op);
        expect_eq("offences", copy.offences, slots[k].offences, op);
        expect_eq("refusing", copy.refusing, slots[k].refusing, op);
        i = db_next(table, i, &copy);
    }
    expect_eq("walk end", i, -1, op);
}

// The trusted set's entries, by key, against the model's.
void compare_trusted(size_t op)
{
    decltype(model_trusted_set) real, expected = model_trusted_set;
    ip_entry_copy copy;
    db_table *set = db_trusted_set(db_current());
    for (int32_t i = set ? db_next(set, -1, &copy) : -1; i >= 0; i = db_next(set, i, &copy))
        real.push_back({copy.ip, copy.last_seen});
    std::sort(real.begin(), real.end());
    std::sort(expected.begin(), expected.end());
    expect_eq("trusted entries", real == expected, true, op);
}

// One operation on trust and the siege, picked by k (0 to 39): a fresh trusted set at some
// TrustDays and TrustBits, or none; or the siege's keys.
void trust_operation(int k, uint8_t pick)
{
    const int32_t days[4] = {0, 1, 30, 365}, bits[4] = {16, 24, 31, 32};
    const int32_t failures[8] = {0, 1, 2, 3, 5, 8, 20, 0}, allowances[4] = {0, 1, 2, 30};
    if (k % 2) {
        settings.siege_failures.store(model.siege_failures = failures[pick % 8]);
        settings.siege_auth_failures.store(model.siege_auth_failures = allowances[pick / 8 % 4]);
        return;
    }
    settings.trust_days.store(model.trust_days = days[pick % 4]);
    model.trust_bits = bits[pick / 4 % 4];
    model.trust_slots = model.trust_days ? MODEL_SLOTS_SMALL : 0;
    model_trusted_set.clear();
    db_set_trusted(db_current(), model.trust_slots ? db_table_make(model.trust_slots, malloc, free, true) : nullptr,
                   model.trust_bits);
}

// The address table, the trusted set, and the networks with the connections let in untracked
// when counted.
void compare_tables(size_t op)
{
    compare_table(db_current(), model.slot, model.held, op);
    compare_trusted(op);
    if (!model.net_bits) return;
    compare_table(db_networks(db_current()), model.net, model.net_held, op);
    expect_eq("untracked", db_take_untracked(db_networks(db_current())), model.untracked, op);
    model.untracked = 0;
}

int32_t fuzz_clock() { return model.now; }

// A connection from `c` on the table and on the model: the decisions, and for a let-in
// offender the offence count the table reports, must agree.
bool model_lets_in(int32_t verdict)
{
    return verdict != CHECK_BLOCKED && verdict != CHECK_NETWORK_BLOCKED &&
           verdict != CHECK_SIEGE_BLOCKED;
}

// The siege's news of a decision or a sweep against the model's.
void compare_news(const siege_news &real, size_t op)
{
    expect_eq("siege news", real.kind, model.news.kind, op);
    expect_eq("siege count", real.count, model.news.count, op);
    expect_eq("siege allowance", real.allowance, model.news.allowance, op);
    expect_eq("siege minutes", real.minutes, model.news.minutes, op);
    expect_eq("siege refused", real.refused, model.news.refused, op);
}

// The held slot of `ip`, or null.
model_slot *model_slot_of(uint32_t ip)
{
    for (int k = 0; k < model.slots; k++)
        if (model.slot[k].in_use && model.slot[k].ip == ip) return &model.slot[k];
    return nullptr;
}

// The store's answer to the connection of `ip` that the model decided `local`: it can only add
// a refusal to a connection the table let in, and a connection refused anywhere counts for no
// network. *shared is set for a refusal the address's shared count made.
int32_t model_merge(uint32_t ip, int32_t local, int32_t answer, bool *shared)
{
    if ((answer != STORE_REFUSED && answer != STORE_REFUSED_NETWORK) || !model_lets_in(local))
        return local;
    if (model.counted) model_take_back(model_network_of(ip), 1);
    if (answer == STORE_REFUSED_NETWORK && model.net_bits) return CHECK_NETWORK_BLOCKED;
    *shared = true;
    return CHECK_BLOCKED;
}

// What the store knows of `ip` as an offender, learnt: forgiven elsewhere, it is forgotten as a
// login forgets it; otherwise its slot's offences rise to the store's, refused from now on when
// the store refused it, and a connection let in is the offender's (*offences its offences).
int32_t model_learn(uint32_t ip, int32_t verdict, int32_t answer, const store_answer &detail,
                    int32_t *offences)
{
    model_slot *s = model_slot_of(ip);
    if (detail.forgotten) model_release(ip);
    if (detail.forgotten || detail.offences <= 0 || s == nullptr) return verdict;
    bool refusing = answer == STORE_REFUSED;
    if (refusing && !s->refusing) s->last_seen = model.now;
    s->refusing = s->refusing || refusing;
    s->offences = std::max(s->offences, std::min(detail.offences, (int)DB_OFFENCES_MAX));
    if (verdict != CHECK_NEW && verdict != CHECK_KNOWN && verdict != CHECK_OFFENDER) return verdict;
    *offences = s->offences;
    return CHECK_OFFENDER;
}

// The request a decision makes of the store about `ip` by the model's settings, as
// tracking/decision.cpp makes it.
store_request model_request(uint32_t ip)
{
    bool on = model_repeat_on();
    return {ip, model.auth_failures, model.clear_time * 60, true, model_network_of(ip),
            model.net_bits, model.net_failures, on ? model.repeat_factor : 0,
            on ? std::max(model.max_clear_time, model.clear_time) * 60 : 0,
            on ? model.repeat_auth_failures : 0, 0, 0, 0, 0};
}

// What a decision must ask the store about a connection of `ip` that the table decided `local`:
// the model's settings, as the table used them.
void check_request(uint32_t ip, int32_t local, size_t op)
{
    const store_request &r = fake_store.last;
    const store_request e = model_request(ip);
    const model_slot *s = model_slot_of(ip); // its offences as decided, unless for its network
    expect_eq("request: address", r.address, ip, op);
    expect_eq("request: allowance", r.allowance, model.auth_failures, op);
    expect_eq("request: quiet time", r.quiet_seconds, model.clear_time * 60, op);
    expect_eq("request: let in locally", r.let_in_locally, model_lets_in(local), op);
    expect_eq("request: network", r.network, model_network_of(ip), op);
    expect_eq("request: network bits", r.network_bits, model.net_bits, op);
    if (model.net_bits) expect_eq("request: network allowance", r.network_allowance, model.net_failures, op);
    expect_eq("request: repeat factor", r.repeat_factor, e.repeat_factor, op);
    expect_eq("request: longest refusal", r.longest_refusal, e.longest_refusal, op);
    expect_eq("request: offender allowance", r.repeat_allowance, e.repeat_allowance, op);
    expect_eq("request: offences", r.offences,
              s && local != CHECK_NETWORK_BLOCKED ? s->offences : 0, op);
}

void check_connect(const client_address &c, const char *what, size_t op)
{
    int32_t expected_offences = -1;
    int64_t calls = fake_store.calls;
    db_decision real = decision_connect(db_current(), ip_parse(c.text));
    int32_t expected = model_connect(c.ip, &expected_offences);
    if (expected == CHECK_SIEGE_BLOCKED) model.siege_refused++;
    compare_news(real.siege, op);
    expect_eq("besieged", real.besieged, model.besieged, op);
    int32_t held = model.held; // a slot forgotten by the store's answer is not counted off
    bool shared = false,
         asked = model.store && expected != CHECK_WHITE && expected != CHECK_SIEGE_BLOCKED;
    expect_eq("store asked", fake_store.calls - calls, asked ? 1 : 0, op);
    if (asked) {
        check_request(c.ip, expected, op);
        int32_t local = model_merge(c.ip, expected, fake_store.last_answer, &shared);
        expected = model_learn(c.ip, local, fake_store.last_answer, fake_store.last_detail,
                               &expected_offences);
    }
    expect_eq(what, real.verdict, expected, op);
    expect_eq("refused by the shared count", real.shared, shared, op);
    expect_eq("held after the decision", real.held, held, op);
    if (expected_offences >= 0) expect_eq("offences reported", real.offences, expected_offences, op);
}

// The sweeper's sync by the fake store's content before it: whether one is made, and what the
// siege and the trusted set make of its answer.
bool model_sync_with()
{
    const fake_store_t &store = fake_store;
    bool trust = model.trust_days > 0 && model.trust_slots;
    if (!model.store || (model.siege_failures <= 0 && !trust)) return false;
    if (model_sync.synced_at && model.now - model_sync.synced_at < DECISION_SYNC_SECONDS &&
        model.now >= model_sync.synced_at)
        return false;
    model_sync.synced_at = model.now;
    if (!store.answers) return model_sync.marked = false;
    int32_t store_now = model.now + FAKE_STORE_SKEW;
    if (model.siege_failures > 0) {
        int64_t others = (store.siege - model_sync.counted) & 0x7FFFFFFF;
        if (model_sync.pushed_at && model.now - model_sync.pushed_at <= 60 && others < 0x40000000)
            model_siege_seconds.insert(model_siege_seconds.end(), others, model.now);
        model_sync.counted = (store.siege + model_sync.unsent) & 0x7FFFFFFF;
        model_sync.pushed_at = model.now;
        model_sync.unsent = 0;
        model_sync.marked =
            store.mark && store.mark != FAKE_OWN_MARK && store.mark_until > store_now;
    }
    if (!trust) return true;
    int32_t seconds = model.trust_days * 86400;
    std::vector<std::pair<int32_t, uint32_t>> page; // second, key in host order
    for (const auto &[key, second] : store.trusted)
        if (second >= store_now - seconds && second > model_sync.since)
            page.push_back({second, ntohl(key)});
    std::sort(page.begin(), page.end());
    if (page.size() > STORE_TRUST_PAGE) page.resize(STORE_TRUST_PAGE);
    for (const auto &[second, key] : page) {
        int32_t when = model.now - std::max(0, store_now - second);
        auto e = model_trusted_entry(htonl(key));
        if (e == model_trusted_set.end() || e->second < when) model_trust(htonl(key), when);
    }
    int32_t since = store_now - 1;
    if (page.size() == STORE_TRUST_PAGE)
        since = page.front().first == page.back().first ? page.back().first : page.back().first - 1;
    model_sync.since = std::max(model_sync.since, since);
    return true;
}

// One operation on the shared store, picked by k (0 to 39): put the fake store in use,
// answering or not, or none; other servers' connections or a login from one client, raising
// the shared counts and offences or forgiving them; or the administrator's "Forget" on the
// network row of one client; another server's trusted login (with a login), siege connections
// (with connections), or siege mark set or dropped.
void store_operation(int k, uint8_t pick, uint8_t extra)
{
    const client_address c = pick_client(pick, extra);
    switch (k % 8) {
    case 0: case 1:
        fake_store.answers = k % 8 == 0;
        store_install(&fake_store_backend);
        model.store = true;
        break;
    case 2:
        if (k >= 16) { // another server's siege mark, set (for 15 s) or dropped
            fake_store.mark = k < 32 ? FAKE_OTHER_MARK : 0;
            fake_store.mark_until = fake_store_now() + DECISION_MARK_SECONDS;
            break;
        }
        store_install(nullptr);
        model.store = false;
        break;
    case 4: { // a login on another server, trusting its address there from k >= 16
        store_request r = model_request(c.ip);
        r.trust_key = c.ip & model_mask(model.trust_bits);
        r.trust_seconds = k >= 16 ? std::max(model.trust_days, 1) * 86400 : 0;
        fake_store_login(&r);
        break;
    }
    case 7: // a network row's "Forget"
        decision_forget_network(db_current(), model_network_of(c.ip));
        if (model_slot *n = model_network_slot(model_network_of(c.ip))) n->in_use = false, model.net_held--;
        break;
    default: { // 1 to 5 connections from other servers whose own tables let them in
        const store_request r = model_request(c.ip);
        for (int n = 0; n <= k / 8; n++) fake_store_connect(&r, nullptr);
        fake_store.siege = (fake_store.siege + k / 8 + 1) % 2147483648; // and for the siege
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!clients_ready) make_clients();
    test_reset();
    fake_store_reset(false);
    memset(&model, 0, sizeof(model));
    model.slots = size % 2 ? MODEL_SLOTS_LARGE : MODEL_SLOTS_SMALL;
    if (model.slots != DB_SLOTS && !test_table_publish(model.slots)) abort();
    db_clock = fuzz_clock;
    model.auth_failures = AUTH_FAILURES_DEFAULT;
    model.clear_time = CLEAR_TIME_DEFAULT;
    model.repeat_factor = REPEAT_FACTOR_OFF;
    model.max_clear_time = MAX_CLEAR_TIME_DEFAULT;
    model.repeat_auth_failures = REPEAT_AUTH_FAILURES_DEFAULT;
    model.now = TEST_CLOCK_START;
    model.trust_bits = TRUST_BITS_MAX;
    model.siege_auth_failures = SIEGE_AUTH_FAILURES_DEFAULT;
    model_siege_seconds.clear();
    model_trusted_set.clear();
    model_sync = {};
    decision_sync_reset();

    size_t pos = 0, op = 0;
    auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    while (pos < size && op < 4096) {
        uint8_t code = next();
        uint8_t arg = next();
        switch (code % 15) {
        case 0: case 1: { // connect (the most common event)
            const client_address c = pick_client(arg, model.slots == MODEL_SLOTS_SMALL ? 0 : next());
            check_connect(c, "decision", op);
            break;
        }
        case 2: { // a connect; on the large table a burst of up to 256 consecutive addresses
            if (model.slots == MODEL_SLOTS_SMALL) {
                check_connect(clients[arg % 72], "decision", op);
                break;
            }
            int first = arg * 16, count = next() + 1;
            for (int k = 0; k < count; k++) {
                const client_address c = pick_client(72 + (first + k) / 256 % 184, (uint8_t)(first + k));
                check_connect(c, "burst decision", op);
            }
            break;
        }
        case 3: { // login
            const client_address c = pick_client(arg, model.slots == MODEL_SLOTS_SMALL ? 0 : next());
            if (model.trust_slots || model.siege_failures) decision_login(db_current(), ip_parse(c.text));
            else if (model.store) decision_forget(db_current(), ip_parse(c.text));
            else expect_eq("release result", release_text(c.text), 0, op);
            if (model.siege_failures > 0 && !model_white(c.ip) && !model_trusted(c.ip) &&
                !model_siege_seconds.empty() && model_siege_count() > 0)
                model_siege_seconds.pop_back(), model_sync.unsent--;
            model_trust(c.ip, model.now);
            model_release(c.ip);
            break;
        }
        case 4: // clock advance by a few seconds
            model.now += arg;
            break;
        case 5: { // the sweeper: clock advance around the ClearTime boundary, then expiry
            int64_t limit = (int64_t)model.clear_time * 60;
            const int64_t cap = (int64_t)model.max_clear_time * 60;
            const int64_t steps[12] = {0,         1,           59,       limit - 1,
                                       limit,     limit + 1,   3600,     86400,
                                       2 * limit, 2 * limit + 1, cap + 1, limit + cap + 1};
            int64_t step = steps[arg % 12];
            if (step > 0 && step < 1000000) model.now += (int32_t)step;
            int32_t freed = model_expire(model.slot, &model.held);
            expect_eq("expired", db_expire(db_current()), freed, op);
            if (model.net_bits)
                expect_eq("networks expired", db_expire(db_networks(db_current())),
                          model_expire(model.net, &model.net_held), op);
            expect_eq("trusted expired", db_expire_trusted(db_current()),
                      (long long)std::erase_if(model_trusted_set, model_trust_over), op);
            bool synced = model_sync_with(); // before the sync changes the store
            expect_eq("synced", decision_sync(db_current()), synced, op);
            if (model.siege_failures > 0) { // the sweeper's judgement
                siege_news news{};
                model.news = {};
                siege_judge(model.now, siege_count(model.now), db_settings_now(), &news);
                model_judge();
                compare_news(news, op);
            }
            break;
        }
        case 6: // "Clear All": the slots (the white list is emptied separately, case 9)
            expect_eq("clear result", db_clear(db_current()), 1, op);
            for (model_slot &s : model.slot) s.in_use = false;
            for (model_slot &s : model.net) s.in_use = false;
            model.held = model.net_held = 0;
            break;
        case 7: { // white_add (gathering) with a prefix from -3 to 40
            char text[32];
            bool parses;
            uint32_t ip = 0;
            white_text(arg, text, sizeof(text), &parses, &ip);
            int32_t prefix = (int32_t)(next() % 44) - 3;
            expect_eq("white_add", white_add(text, prefix), model_white_add(text, parses, ip, prefix), op);
            expect_eq("white count", white_count(), model.white_count, op);
            break;
        }
        case 8: // AuthFailures, including 0 and negative values
            model.auth_failures = (int32_t)(arg % 36) - 3;
            settings.auth_failures.store(model.auth_failures);
            break;
        case 9: // the gathered white list put in force, or both emptied
            if (arg % 2) {
                white_publish();
                model_white_publish();
            } else {
                white_clear();
                model.white_count = model.gathered_count = 0;
            }
            expect_eq("white count", white_count(), model.white_count, op);
            break;
        case 10: { // ClearTime: the bounds and small values that make expiry reachable
            const int32_t minutes[8] = {1, 2, 5, 30, 1440, 0, -1, 3};
            model.clear_time = minutes[arg % 8];
            settings.clear_time.store(model.clear_time);
            break;
        }
        case 12: { // RepeatFactor: off (0, 1, out of range) or on
            const int32_t factors[8] = {0, 1, 2, 3, 16, 17, 2, -2};
            model.repeat_factor = factors[arg % 8];
            settings.repeat_factor.store(model.repeat_factor);
            break;
        }
        case 13: { // MaxClearTime (minutes, at least 1 as loaded) and RepeatAuthFailures (0 to 30)
            const int32_t minutes[8] = {1, 2, 5, 64, 10080, 525600, 3, 30};
            model.max_clear_time = minutes[arg % 8];
            model.repeat_auth_failures = (arg >> 3) % 4 == 3 ? 30 : (arg >> 3) % 4;
            settings.max_clear_time.store(model.max_clear_time);
            settings.repeat_auth_failures.store(model.repeat_auth_failures);
            break;
        }
        case 14: { // networks counted afresh at another length and allowance, or not at all
            const int32_t lengths[8] = {0, 8, 16, 20, 24, 24, 29, 31};
            const int32_t allowances[8] = {1, 2, 3, 4, 5, 8, 20, 65535};
            model.net_bits = lengths[arg % 8];
            settings.network_failures.store(model.net_failures = allowances[next() % 8]);
            db_table *networks = model.net_bits ? db_table_make(model.slots, malloc, free) : nullptr;
            db_set_networks(db_current(), networks, model.net_bits);
            for (model_slot &s : model.net) s.in_use = false;
            model.net_held = model.untracked = 0;
            break;
        }
        case 11:
            if (arg >= 176 && arg < 216) {
                trust_operation(arg - 176, next());
                break;
            }
            if (arg >= 216) {
                uint8_t pick = next();
                store_operation(arg - 216, pick, model.slots == MODEL_SLOTS_SMALL ? 0 : next());
                break;
            }
            [[fallthrough]];
        default: { // white_match on a client address
            const client_address &c = clients[arg % 72];
            expect_eq("white_match", white_match(c.ip), model_white(c.ip) ? 1 : 0, op);
            break;
        }
        }
        compare_tables(op);
        op++;
    }
    return 0;
}
