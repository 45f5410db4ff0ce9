// The shared store's protocol: the script, the commands, and the reading of replies.
#include "tracking/shared/shared_protocol.h"

#include <cstdio>
#include <cstring>

// The script. KEYS[1] the address's count, KEYS[2] (optional) its network's. ARGV[1] 'c' for a
// connection, 'l' for a login, 'n' to forget the network whose count is KEYS[1]. For a
// connection: ARGV[2] the address's allowance, ARGV[3] the quiet time in seconds, ARGV[4] '1'
// when the local table let the connection in, ARGV[5] the network's allowance. Returns
// {decision, address count, network count}: 0 let in, 1 refused for the address, 2 refused for
// the network.
const char shared_script[] =
    "if ARGV[1] == 'n' then\n"
    "  redis.call('DEL', KEYS[1])\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "local a = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "if ARGV[1] == 'l' then\n"
    "  redis.call('DEL', KEYS[1])\n"
    "  if KEYS[2] and a > 0 and redis.call('DECRBY', KEYS[2], a) <= 0 then\n"
    "    redis.call('DEL', KEYS[2])\n"
    "  end\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "local quiet = ARGV[3]\n"
    "local n = 0\n"
    "local full = false\n"
    "if KEYS[2] then\n"
    "  n = tonumber(redis.call('GET', KEYS[2]) or '0')\n"
    "  full = n >= tonumber(ARGV[5])\n"
    "  if full then redis.call('EXPIRE', KEYS[2], quiet) end\n"
    "end\n"
    "if a > 0 and a >= tonumber(ARGV[2]) then\n"
    "  redis.call('EXPIRE', KEYS[1], quiet)\n"
    "  return {1, a, n}\n"
    "end\n"
    "if full then return {2, a, n} end\n"
    "if ARGV[4] ~= '1' then\n"
    "  if a > 0 then redis.call('EXPIRE', KEYS[1], quiet) end\n"
    "  return {0, a, n}\n"
    "end\n"
    "a = redis.call('INCR', KEYS[1])\n"
    "redis.call('EXPIRE', KEYS[1], quiet)\n"
    "if KEYS[2] then\n"
    "  n = redis.call('INCR', KEYS[2])\n"
    "  redis.call('EXPIRE', KEYS[2], quiet)\n"
    "end\n"
    "return {0, a, n}\n";

enum : int32_t {
    SHARED_NUMBER_SIZE = 16, // a 32-bit number in decimal, NUL included
    SHARED_ARGS_MAX = 10,    // words of the longest script call
    SHARED_COUNT_MAX = 2147483647, // a count's largest value
    SHARED_READ_BEYOND = -1, // shared_read_number's own verdict: a value above its bound
};
// The whole script, two keys of the longest prefix and the numbers fit one request.
static_assert(sizeof(shared_script) + 2 * SHARED_KEY_SIZE + 16 * SHARED_ARGS_MAX <=
              SHARED_REQUEST_SIZE);

// The failure texts.
static const char SHARED_TYPE[] = "unexpected reply of type %d";
static const char SHARED_ELEMENT_TYPE[] = "unexpected reply element of type %d";
static const char SHARED_RANGE[] = "reply value out of range";
static const char SHARED_MALFORMED[] = "malformed reply";
static const char SHARED_AFTER[] = "unexpected bytes after the reply";
static const char SHARED_TOO_LONG[] = "reply too long";

// The part of a reply not read yet.
struct shared_cursor {
    const char *at;
    const char *end;
};

// Fails the reply with the text `format` (given `value`): SHARED_READ_FAILED.
static int32_t shared_fail(shared_reply *reply, const char *format, int32_t value = 0)
{
    reply->error.code = SHARED_ERROR_PROTOCOL;
    snprintf(reply->error.text, sizeof reply->error.text, format, (int)value);
    return SHARED_READ_FAILED;
}

// A reply's type by its first byte, numbered as hiredis numbers them (0: none).
static int32_t shared_type_of(char byte)
{
    switch (byte) {
    case '$': return 1;
    case '*': return 2;
    case ':': return 3;
    case '+': return 5;
    case '-': return 6;
    default: return 0;
    }
}

// Reads the bytes `expected` at the cursor: DONE past them, MORE when the reply stops within
// them, FAILED (malformed) at the first other byte.
static int32_t shared_read_text(shared_cursor *c, const char *expected, shared_reply *reply)
{
    for (; *expected != '\0'; expected++, c->at++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        if (*c->at != *expected) return shared_fail(reply, SHARED_MALFORMED);
    }
    return SHARED_READ_DONE;
}

// Reads a decimal number no larger than `bound` and its line's end: DONE with *value,
// MORE, SHARED_READ_BEYOND as soon as the digits pass `bound` or a sign shows, or FAILED
// (malformed: no digit, a leading zero, another byte).
static int32_t shared_read_number(shared_cursor *c, int64_t bound, int64_t *value,
                                  shared_reply *reply)
{
    int64_t n = 0;
    int32_t digits = 0;
    for (; c->at < c->end && *c->at >= '0' && *c->at <= '9'; c->at++, digits++) {
        if (digits == 1 && n == 0) return shared_fail(reply, SHARED_MALFORMED);
        n = n * 10 + (*c->at - '0');
        if (n > bound) return SHARED_READ_BEYOND;
    }
    if (c->at == c->end) return SHARED_READ_MORE;
    if (digits == 0 && *c->at == '-') return SHARED_READ_BEYOND;
    if (digits == 0) return shared_fail(reply, SHARED_MALFORMED);
    *value = n;
    return shared_read_text(c, "\r\n", reply);
}

// The store's error line, after its '-': its text into reply->error.
static int32_t shared_read_error_line(shared_cursor *c, shared_reply *reply)
{
    const char *text = c->at;
    const char *cr = (const char *)memchr(text, '\r', (size_t)(c->end - text));
    if (cr == nullptr) return SHARED_READ_MORE;
    c->at = cr;
    int32_t verdict = shared_read_text(c, "\r\n", reply);
    if (verdict != SHARED_READ_DONE) return verdict;
    int32_t length = 0;
    for (; text + length < cr && length < SHARED_ERROR_SIZE - 1; length++) {
        unsigned char byte = (unsigned char)text[length];
        reply->error.text[length] = byte >= 0x20 && byte < 0x7F ? (char)byte : '?';
    }
    reply->error.text[length] = '\0';
    reply->error.code = SHARED_ERROR_STORE;
    return SHARED_READ_REFUSED;
}

// The script's digest, after its '$': "40\r\n", 40 lowercase hex digits, "\r\n".
static int32_t shared_read_digest(shared_cursor *c, shared_reply *reply)
{
    if (c->at < c->end && *c->at == '-') return shared_fail(reply, SHARED_TYPE, 4); // a nil
    int64_t length = 0;
    int32_t verdict = shared_read_number(c, SHARED_DIGEST_SIZE - 1, &length, reply);
    if (verdict == SHARED_READ_BEYOND || (verdict == SHARED_READ_DONE &&
                                          length != SHARED_DIGEST_SIZE - 1))
        return shared_fail(reply, SHARED_TYPE, 1);
    if (verdict != SHARED_READ_DONE) return verdict;
    for (int32_t i = 0; i < SHARED_DIGEST_SIZE - 1; i++, c->at++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        char digit = *c->at;
        if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f')))
            return shared_fail(reply, SHARED_MALFORMED);
        reply->digest[i] = digit;
    }
    reply->digest[SHARED_DIGEST_SIZE - 1] = '\0';
    return shared_read_text(c, "\r\n", reply);
}

// The script's answer, after its '*': "3\r\n" and three integers, the first 0..2.
static int32_t shared_read_counts(shared_cursor *c, shared_reply *reply)
{
    if (c->at < c->end && *c->at == '-') return shared_fail(reply, SHARED_TYPE, 4); // a nil
    int64_t elements = 0;
    int32_t verdict = shared_read_number(c, 3, &elements, reply);
    if (verdict == SHARED_READ_BEYOND || (verdict == SHARED_READ_DONE && elements != 3))
        return shared_fail(reply, SHARED_TYPE, 2);
    if (verdict != SHARED_READ_DONE) return verdict;
    for (int32_t i = 0; i < 3; i++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        if (*c->at != ':') return shared_fail(reply, SHARED_ELEMENT_TYPE, shared_type_of(*c->at));
        c->at++;
        int64_t value = 0;
        int64_t bound = i == 0 ? (int64_t)STORE_REFUSED_NETWORK : (int64_t)SHARED_COUNT_MAX;
        verdict = shared_read_number(c, bound, &value, reply);
        if (verdict == SHARED_READ_BEYOND) return shared_fail(reply, SHARED_RANGE);
        if (verdict != SHARED_READ_DONE) return verdict;
        reply->counts[i] = (int32_t)value;
    }
    return SHARED_READ_DONE;
}

int32_t shared_reply_read(const char *bytes, int32_t length, int32_t expected,
                          shared_reply *reply)
{
    if (length == 0) return SHARED_READ_MORE;
    if (length > SHARED_REPLY_SIZE) return shared_fail(reply, SHARED_TOO_LONG);
    shared_cursor c = {bytes + 1, bytes + length};
    char type = bytes[0];
    int32_t verdict;
    if (type == '-')
        verdict = shared_read_error_line(&c, reply);
    else if (type == '+' && expected == SHARED_EXPECT_OK)
        verdict = shared_read_text(&c, "OK\r\n", reply);
    else if (type == '$' && expected == SHARED_EXPECT_DIGEST)
        verdict = shared_read_digest(&c, reply);
    else if (type == '*' && expected == SHARED_EXPECT_COUNTS)
        verdict = shared_read_counts(&c, reply);
    else
        return shared_fail(reply, SHARED_TYPE, shared_type_of(type));
    if (verdict == SHARED_READ_MORE && length >= SHARED_REPLY_SIZE)
        return shared_fail(reply, SHARED_TOO_LONG);
    if ((verdict == SHARED_READ_DONE || verdict == SHARED_READ_REFUSED) && c.at != c.end)
        return shared_fail(reply, SHARED_AFTER);
    return verdict;
}

bool shared_reply_noscript(const shared_error &error)
{
    return error.code == SHARED_ERROR_STORE && strncmp(error.text, "NOSCRIPT", 8) == 0;
}

int32_t shared_command(char *out, int32_t size, int32_t argc, const char *const *argv)
{
    int32_t length = snprintf(out, (size_t)size, "*%d\r\n", (int)argc);
    for (int32_t i = 0; i < argc && length < size; i++) {
        int32_t word = (int32_t)strlen(argv[i]);
        length += snprintf(out + length, (size_t)(size - length), "$%d\r\n", (int)word);
        if (length + word + 2 >= size) return 0;
        memcpy(out + length, argv[i], (size_t)word);
        memcpy(out + length + word, "\r\n", 2);
        length += word + 2;
    }
    return length < size ? length : 0;
}

// Formats an address's key, or a network's when `bits` is not 0.
static void shared_key(char *key, const char *prefix, uint32_t address, int32_t bits)
{
    const unsigned char *b = (const unsigned char *)&address;
    if (bits == 0)
        snprintf(key, SHARED_KEY_SIZE, "%sa:%u.%u.%u.%u", prefix, b[0], b[1], b[2], b[3]);
    else
        snprintf(key, SHARED_KEY_SIZE, "%sn:%u.%u.%u.%u/%d", prefix, b[0], b[1], b[2], b[3],
                 (int)bits);
}

int32_t shared_script_command(char *out, const char *digest, const char *prefix, char kind,
                              const store_request *request)
{
    char address_key[SHARED_KEY_SIZE], network_key[SHARED_KEY_SIZE];
    char numbers[3][SHARED_NUMBER_SIZE];
    const char kind_word[2] = {kind, '\0'};
    bool network = request->network_bits != 0;
    if (kind == SHARED_CALL_FORGET_NETWORK && !network) return 0;
    shared_key(address_key, prefix, request->address, 0);
    if (network) shared_key(network_key, prefix, request->network, request->network_bits);
    const char *argv[SHARED_ARGS_MAX];
    int32_t n = 0;
    argv[n++] = digest[0] ? "EVALSHA" : "EVAL";
    argv[n++] = digest[0] ? digest : shared_script;
    if (kind == SHARED_CALL_FORGET_NETWORK) {
        argv[n++] = "1";
        argv[n++] = network_key;
    } else {
        argv[n++] = network ? "2" : "1";
        argv[n++] = address_key;
        if (network) argv[n++] = network_key;
    }
    argv[n++] = kind_word;
    if (kind == SHARED_CALL_CONNECT) {
        snprintf(numbers[0], sizeof numbers[0], "%d", (int)request->allowance);
        snprintf(numbers[1], sizeof numbers[1], "%d", (int)request->quiet_seconds);
        snprintf(numbers[2], sizeof numbers[2], "%d",
                 network ? (int)request->network_allowance : 0);
        argv[n++] = numbers[0];
        argv[n++] = numbers[1];
        argv[n++] = request->let_in_locally ? "1" : "0";
        argv[n++] = numbers[2];
    }
    return shared_command(out, SHARED_REQUEST_SIZE, n, argv);
}
