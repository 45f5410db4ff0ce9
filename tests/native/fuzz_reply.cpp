// Fuzz target for the shared store's replies: the input's first byte picks the reply expected
// (AUTH's, SCRIPT LOAD's, the script's without and with offenders, a sentinel's naming the primary,
// or the sweeper's sync), the rest is what the store sends. Each prefix is read as a connection
// receives it, from an exactly sized copy, and the reading must hold:
// - it waits for more only below the longest sound reply of the kind (an error line: below
//   SHARED_REPLY_SIZE), so a length, count or value beyond what the script returns fails at
//   once and a call never holds more;
// - a reply it takes is sound (a decision of 0 to 2, counts of 0 or more, offences of 0 to
//   STORE_OFFENCES_MAX and a "forgotten" of 0 or 1, a lowercase hex digest, a primary's dotted
//   quad and port; a sync's store second of 1 or more, mark of 0 or 1, and whole pairs of a
//   32-bit key and a second of 1 or more, at most a page) and exactly its canonical form; an
//   error line exactly the line; once a prefix is a reply or cannot become one, no longer
//   prefix is one;
// - the canonical reply of values taken from the input reads back as those values, each of its
//   shorter prefixes as "more".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tracking/shared/shared_protocol.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &bytes)
{
    fprintf(stderr, "fuzz_reply: %s for \"%s\"\n", what, bytes.c_str());
    abort();
}

// Reads `bytes` as a reply of the kind `expected` from a copy of exactly their size.
int32_t read(const std::string &bytes, int32_t expected, shared_reply *reply)
{
    char *copy = (char *)malloc(bytes.size() + 1);
    memcpy(copy, bytes.data(), bytes.size());
    *reply = {};
    int32_t verdict = shared_reply_read(copy, (int32_t)bytes.size(), expected, reply);
    free(copy);
    return verdict;
}

// The canonical reply of the kind `expected` that `reply` holds ("" when it is not sound).
std::string canonical(int32_t expected, const shared_reply &reply)
{
    if (expected == SHARED_EXPECT_OK) return "+OK\r\n";
    if (expected == SHARED_EXPECT_DIGEST)
        return strspn(reply.digest, "0123456789abcdef") == SHARED_DIGEST_SIZE - 1
                   ? "$40\r\n" + std::string(reply.digest) + "\r\n"
                   : "";
    char text[128];
    if (expected == SHARED_EXPECT_PRIMARY) {
        char quad[IP_TEXT_SIZE];
        uint32_t address = ip_parse(reply.primary);
        ip_format(address, quad);
        int port = reply.primary_port;
        if (address == IP_NONE || address == 0 || strcmp(quad, reply.primary) != 0 || port < 1 ||
            port > 65535)
            return "";
        snprintf(text, sizeof text, "*2\r\n$%d\r\n%s\r\n$%d\r\n%d\r\n", (int)strlen(quad), quad,
                 (int)std::to_string(port).size(), port);
        return text;
    }
    if (expected == SHARED_EXPECT_SYNC) {
        const store_sync_answer &a = reply.sync;
        if (a.store_now < 1 || a.counted < 0 || a.trusted < 0 || a.trusted > STORE_TRUST_PAGE)
            return "";
        std::string out = "*" + std::to_string(3 + 2 * a.trusted) + "\r\n:" +
                          std::to_string(a.store_now) + "\r\n:" + std::to_string(a.counted) +
                          "\r\n:" + (a.marked ? "1" : "0") + "\r\n";
        for (int32_t i = 0; i < a.trusted; i++) {
            if (a.trust_stamps[i] < 1) return "";
            out += ":" + std::to_string(ntohl(a.trust_keys[i])) + "\r\n:" +
                   std::to_string(a.trust_stamps[i]) + "\r\n";
        }
        return out;
    }
    const int32_t *n = reply.counts;
    if (n[0] < 0 || n[0] > STORE_REFUSED_NETWORK || n[1] < 0 || n[2] < 0) return "";
    snprintf(text, sizeof text, "*3\r\n:%d\r\n:%d\r\n:%d\r\n", (int)n[0], (int)n[1], (int)n[2]);
    if (expected == SHARED_EXPECT_COUNTS) return text;
    if (n[3] < 0 || n[3] > STORE_OFFENCES_MAX || n[4] < 0 || n[4] > 1) return "";
    text[1] = '5';
    return text + std::string(":") + std::to_string(n[3]) + "\r\n:" + std::to_string(n[4]) + "\r\n";
}

// The longest sound reply of the kind `expected`.
size_t longest(int32_t expected)
{
    shared_reply reply = {{STORE_REFUSED_NETWORK, INT32_MAX, INT32_MAX, STORE_OFFENCES_MAX, 1},
                          {}, "255.255.255.254", 65535, {}, {}};
    memset(reply.digest, 'f', SHARED_DIGEST_SIZE - 1);
    reply.sync = {INT32_MAX, INT32_MAX, true, STORE_TRUST_PAGE, {}, {}};
    for (int32_t i = 0; i < STORE_TRUST_PAGE; i++)
        reply.sync.trust_keys[i] = UINT32_MAX, reply.sync.trust_stamps[i] = INT32_MAX;
    return canonical(expected, reply).size();
}

// Reads every prefix of `bytes` up to the first that is not "more", and longer ones after it.
void check_prefixes(const std::string &bytes, int32_t expected)
{
    shared_reply reply;
    size_t bound = bytes[0] == '-' ? (size_t)SHARED_REPLY_SIZE : longest(expected);
    size_t end = 1;
    int32_t verdict = SHARED_READ_MORE;
    for (; end <= bytes.size() && verdict == SHARED_READ_MORE; end++) {
        verdict = read(bytes.substr(0, end), expected, &reply);
        if (verdict == SHARED_READ_MORE && end >= bound)
            fail("waits for more past the longest reply", bytes.substr(0, end));
    }
    if (verdict == SHARED_READ_MORE) return;
    std::string taken = bytes.substr(0, --end);
    if (verdict == SHARED_READ_DONE && taken != canonical(expected, reply))
        fail("took a reply that is not sound or not canonical", taken);
    if (verdict == SHARED_READ_REFUSED) {
        std::string line = taken.substr(1, taken.size() - 3);
        std::string shown = line.substr(0, SHARED_ERROR_SIZE - 1);
        for (char &c : shown) c = (unsigned char)c < 0x20 || (unsigned char)c >= 0x7F ? '?' : c;
        if (taken.compare(taken.size() - 2, 2, "\r\n") != 0 || line.find('\r') != line.npos ||
            reply.error.code != SHARED_ERROR_STORE || shown != reply.error.text)
            fail("took an error line wrongly", taken);
    }
    if (verdict == SHARED_READ_FAILED && reply.error.code != SHARED_ERROR_PROTOCOL)
        fail("a failure without its code", taken);
    for (size_t longer : {end + 1, bytes.size()})
        if (longer > end && longer <= bytes.size() &&
            read(bytes.substr(0, longer), expected, &reply) != SHARED_READ_FAILED)
            fail("a reply or a failure grew into something else", bytes.substr(0, longer));
}

// The canonical reply of values taken from `data` reads back as them, and only when whole.
void check_canonical(const uint8_t *data, size_t size, int32_t expected)
{
    shared_reply made = {};
    for (int i = 0; i < SHARED_DIGEST_SIZE - 1; i++)
        made.digest[i] = "0123456789abcdef"[i < (int)size ? data[i] % 16 : 0];
    for (int i = 0; i < SHARED_ELEMENTS_MAX; i++) {
        uint32_t value = 0;
        if (size >= 4 * (size_t)i + 4) memcpy(&value, data + 4 * i, 4);
        made.counts[i] = (int32_t)(value & 0x7FFFFFFFu) >> (value % 31);
    }
    made.counts[0] %= 3;
    made.counts[3] %= STORE_OFFENCES_MAX + 1;
    made.counts[4] %= 2;
    uint32_t address = 0;
    if (size >= 4) memcpy(&address, data, 4);
    ip_format(address == 0 || address == IP_NONE ? 0x0100007Fu : address, made.primary);
    made.primary_port = 1 + made.counts[1] % 65535;
    made.sync = {1 + made.counts[1] % INT32_MAX, made.counts[2], made.counts[4] != 0,
                 (int32_t)(size % (STORE_TRUST_PAGE + 1)), {}, {}};
    for (int32_t i = 0; i < made.sync.trusted; i++) {
        uint32_t value = 0;
        if (size >= 4 * (size_t)i + 4) memcpy(&value, data + 4 * i, 4);
        made.sync.trust_keys[i] = value;
        made.sync.trust_stamps[i] = 1 + (int32_t)(value >> 1) % INT32_MAX;
    }
    std::string bytes = canonical(expected, made);
    shared_reply reply;
    for (size_t end = 1; end < bytes.size(); end++)
        if (read(bytes.substr(0, end), expected, &reply) != SHARED_READ_MORE)
            fail("refused a beginning of a sound reply", bytes.substr(0, end));
    if (read(bytes, expected, &reply) != SHARED_READ_DONE || canonical(expected, reply) != bytes)
        fail("did not read a sound reply back", bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) return 0;
    static const int32_t kinds[] = {SHARED_EXPECT_OK, SHARED_EXPECT_DIGEST, SHARED_EXPECT_COUNTS,
                                    SHARED_EXPECT_OFFENDER, SHARED_EXPECT_PRIMARY,
                                    SHARED_EXPECT_SYNC};
    int32_t expected = kinds[data[0] % 6];
    check_prefixes(std::string((const char *)data + 1, size - 1), expected);
    check_canonical(data + 1, size - 1, expected);
    return 0;
}
