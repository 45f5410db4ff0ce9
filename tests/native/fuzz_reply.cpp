// Fuzz target for the shared store's replies: the input's first byte picks the reply expected
// (AUTH's, SCRIPT LOAD's or the script's), the rest is what the store sends. Each prefix is read
// as a connection receives it, from an exactly sized copy, and the reading must hold:
// - it waits for more only below the longest reply of the kind expected (an error line: below
//   SHARED_REPLY_SIZE), so that a length, count or value beyond what the script returns fails
//   at once and a call never holds more;
// - a reply it takes holds what the script can give and is exactly its canonical form, and an
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
    fprintf(stderr, "fuzz_reply: %s for the %zu bytes \"%s\"\n", what, bytes.size(),
            bytes.c_str());
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

// The canonical reply of the kind `expected` that `reply` holds.
std::string canonical(int32_t expected, const shared_reply &reply)
{
    if (expected == SHARED_EXPECT_OK) return "+OK\r\n";
    if (expected == SHARED_EXPECT_DIGEST) return "$40\r\n" + std::string(reply.digest) + "\r\n";
    char text[64];
    snprintf(text, sizeof text, "*3\r\n:%d\r\n:%d\r\n:%d\r\n", (int)reply.counts[0],
             (int)reply.counts[1], (int)reply.counts[2]);
    return text;
}

// True when `reply` holds what the script can give: a decision of 0 to 2, counts of 0 or more,
// a digest of lowercase hex digits.
bool sound(int32_t expected, const shared_reply &reply)
{
    if (expected == SHARED_EXPECT_COUNTS)
        return reply.counts[0] >= 0 && reply.counts[0] <= STORE_REFUSED_NETWORK &&
               reply.counts[1] >= 0 && reply.counts[2] >= 0;
    if (expected == SHARED_EXPECT_DIGEST)
        return strspn(reply.digest, "0123456789abcdef") == SHARED_DIGEST_SIZE - 1;
    return true;
}

// The longest reply of the kind `expected` (not an error line).
size_t longest(int32_t expected)
{
    shared_reply reply = {};
    memset(reply.digest, 'f', SHARED_DIGEST_SIZE - 1);
    reply.counts[0] = STORE_REFUSED_NETWORK;
    reply.counts[1] = reply.counts[2] = INT32_MAX;
    return canonical(expected, reply).size();
}

// An error line as the reading shows it: cut to fit, bytes outside printable ASCII as '?'.
std::string shown(const std::string &line)
{
    std::string text = line.substr(0, SHARED_ERROR_SIZE - 1);
    for (char &c : text)
        if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F) c = '?';
    return text;
}

// Checks the reading of every prefix of `bytes`, up to the first that is not "more", and of
// the longer ones after it.
void check_prefixes(const std::string &bytes, int32_t expected)
{
    shared_reply reply;
    size_t end = 1;
    int32_t verdict = SHARED_READ_MORE;
    for (; end <= bytes.size(); end++) {
        verdict = read(bytes.substr(0, end), expected, &reply);
        if (verdict != SHARED_READ_MORE) break;
        size_t bound = bytes[0] == '-' ? (size_t)SHARED_REPLY_SIZE : longest(expected);
        if (end >= bound) fail("waits for more past the longest reply", bytes.substr(0, end));
    }
    if (verdict == SHARED_READ_MORE) return;
    std::string taken = bytes.substr(0, end);
    if (verdict == SHARED_READ_DONE &&
        (taken != canonical(expected, reply) || !sound(expected, reply)))
        fail("took a reply that is not canonical or sound", taken);
    if (verdict == SHARED_READ_REFUSED) {
        std::string line = taken.substr(1, taken.size() - 3);
        if (taken[0] != '-' || taken.substr(taken.size() - 2) != "\r\n" ||
            line.find('\r') != std::string::npos || reply.error.code != SHARED_ERROR_STORE ||
            shown(line) != reply.error.text)
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
    for (int i = 0; i < 3; i++) {
        uint32_t value = 0;
        if (size >= 4 * (size_t)i + 4) memcpy(&value, data + 4 * i, 4);
        made.counts[i] = (int32_t)(value & 0x7FFFFFFFu) >> (value % 31);
    }
    made.counts[0] %= 3;
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
    if (size == 0) return 0;
    int32_t expected = data[0] % 3 == 0   ? SHARED_EXPECT_OK
                       : data[0] % 3 == 1 ? SHARED_EXPECT_DIGEST
                                          : SHARED_EXPECT_COUNTS;
    std::string bytes((const char *)data + 1, size - 1);
    check_prefixes(bytes, expected);
    check_canonical(data + 1, size - 1, expected);
    return 0;
}
