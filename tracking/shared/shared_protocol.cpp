// The shared store's protocol: the script, the commands, and the reading of replies.
#include "tracking/shared/shared_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The script. For a call on a network row ('n' forget, 'x' refuse) KEYS[1] is the network's
// count. For the others KEYS[1] is the address's count, KEYS[2] its offences, KEYS[3] its
// refusal in force (a key that lives as long as the refusal), KEYS[4] (optional) its network's
// count. ARGV[1] the call; for a connection and a refusal: ARGV[2] the address's allowance (for
// 'r' the count to hold), ARGV[3] the quiet time in seconds, ARGV[4] '1' when the local table
// let the connection in, ARGV[5] the network's allowance (for 'x' the count to hold), ARGV[6]
// the repeat factor ('0': no offender is kept), ARGV[7] the longest refusal in seconds, ARGV[8]
// an offender's allowance, ARGV[9] the most offences counted, ARGV[10] the offences the
// asking server's table holds. Returns {decision, address count, network count}: 0 let in, 1
// refused for the address, 2 refused for the network; with offenders kept, then {offences,
// forgotten}. Without them it reads and writes the two counts alone. An offender's refusal
// starts its quiet time again at each of its connections, and its count starts afresh once it
// clears; a login leaves its offences at 0 until they expire, so that a server whose table
// still holds some hears that they were forgiven.
// A login that trusts ('l' with ARGV[2]) has the trusted set last among its keys: ARGV[2] the
// entry (a dotted quad), ARGV[3] TrustDays in seconds, ARGV[4] MaxTrusted. The set is scored by
// the store's own clock (the servers' clocks may differ), trimmed to TrustDays and to MaxTrusted
// entries, oldest first, and expires TrustDays after its latest login.
// The sync ('y'): KEYS[1] the siege's shared count (a running sum modulo 2^31 that expires
// after SHARED_COUNT_LIFE seconds of quiet), KEYS[2] the siege mark (the token of the server
// that set it), KEYS[3] the trusted set. ARGV[2] '1' for the siege's part, ARGV[3] the count to
// add (may be below 0), ARGV[4] '1' to set or renew the mark, else the mark is dropped when it is
// the caller's, ARGV[5] the mark's life, ARGV[6] the caller's token, ARGV[7] TrustDays in
// seconds ('0': no page), ARGV[8] the second after which the page starts, ARGV[9] its most
// entries. Returns {store's second, the count before the addition, 1 when another server's mark
// is in force}, then each entry of the page, oldest first, as {its address as a number, the
// second of its latest login}.
const char shared_script[] =
    "local kind = ARGV[1]\n"
    "if kind == 'n' then\n"
    "  redis.call('DEL', KEYS[1])\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "if kind == 'x' then\n"
    "  redis.call('SET', KEYS[1], ARGV[5], 'EX', ARGV[3])\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "if kind == 'y' then\n"
    "  local now = tonumber(redis.call('TIME')[1])\n"
    "  local out = {now, 0, 0}\n"
    "  if ARGV[2] == '1' then\n"
    "    local before = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "    local after = (before + tonumber(ARGV[3])) % 2147483648\n"
    "    redis.call('SET', KEYS[1], after, 'EX', ARGV[10])\n"
    "    local mark = redis.call('GET', KEYS[2])\n"
    "    out[2] = before\n"
    "    if mark and mark ~= ARGV[6] then out[3] = 1 end\n"
    "    if ARGV[4] == '1' then\n"
    "      redis.call('SET', KEYS[2], ARGV[6], 'EX', ARGV[5])\n"
    "    elseif mark == ARGV[6] then\n"
    "      redis.call('DEL', KEYS[2])\n"
    "    end\n"
    "  end\n"
    "  if ARGV[7] ~= '0' then\n"
    "    redis.call('ZREMRANGEBYSCORE', KEYS[3], '-inf', '(' .. (now - tonumber(ARGV[7])))\n"
    "    local page = redis.call('ZRANGEBYSCORE', KEYS[3], '(' .. ARGV[8], '+inf',\n"
    "                            'WITHSCORES', 'LIMIT', 0, tonumber(ARGV[9]))\n"
    "    for i = 1, #page, 2 do\n"
    "      local q = {string.match(page[i], '^(%d+)%.(%d+)%.(%d+)%.(%d+)$')}\n"
    "      local v = 0\n"
    "      for k = 1, 4 do\n"
    "        local b = tonumber(q[k] or '256')\n"
    "        if v and b <= 255 then v = v * 256 + b else v = nil end\n"
    "      end\n"
    "      local t = tonumber(page[i + 1])\n"
    "      if v and t > 0 and t <= now then\n"
    "        out[#out + 1] = v\n"
    "        out[#out + 1] = t\n"
    "      end\n"
    "    end\n"
    "  end\n"
    "  return out\n"
    "end\n"
    "local a = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "if kind == 'l' then\n"
    "  local net = KEYS[4]\n"
    "  if ARGV[2] then\n"
    "    local t = KEYS[#KEYS]\n"
    "    if #KEYS == 4 then net = nil end\n"
    "    local now = tonumber(redis.call('TIME')[1])\n"
    "    local days = tonumber(ARGV[3])\n"
    "    redis.call('ZADD', t, now, ARGV[2])\n"
    "    redis.call('ZREMRANGEBYSCORE', t, '-inf', '(' .. (now - days))\n"
    "    redis.call('ZREMRANGEBYRANK', t, 0, -tonumber(ARGV[4]) - 1)\n"
    "    redis.call('EXPIRE', t, days)\n"
    "  end\n"
    "  redis.call('DEL', KEYS[1], KEYS[3])\n"
    "  local left = redis.call('PTTL', KEYS[2])\n"
    "  if left > 0 then redis.call('SET', KEYS[2], '0', 'PX', left) end\n"
    "  if net and a > 0 and redis.call('DECRBY', net, a) <= 0 then\n"
    "    redis.call('DEL', net)\n"
    "  end\n"
    "  return {0, 0, 0}\n"
    "end\n"
    "local quiet = tonumber(ARGV[3])\n"
    "local factor = tonumber(ARGV[6])\n"
    "local cap = tonumber(ARGV[7])\n"
    "local most = tonumber(ARGV[9])\n"
    "local kept = factor > 0 and redis.call('GET', KEYS[2])\n"
    "local o = math.min(tonumber(kept or '0'), most)\n"
    "local forgotten = (kept == '0' and tonumber(ARGV[10]) > 0) and 1 or 0\n"
    "local n = 0\n"
    "local function reply(d)\n"
    "  if factor > 0 then return {d, a, n, o, forgotten} end\n"
    "  return {d, a, n}\n"
    "end\n"
    "local function refuse()\n"
    "  local d = quiet\n"
    "  for k = 2, o do\n"
    "    if d <= 0 or d >= cap then break end\n"
    "    d = d * factor\n"
    "  end\n"
    "  d = math.min(d, cap)\n"
    "  redis.call('SET', KEYS[2], o, 'EX', d + cap)\n"
    "  redis.call('SET', KEYS[3], 1, 'EX', d)\n"
    "  redis.call('DEL', KEYS[1])\n"
    "  return reply(1)\n"
    "end\n"
    "local refusing = o > 0 and redis.call('EXISTS', KEYS[3]) == 1\n"
    "if kind == 'r' then\n"
    "  if refusing then return refuse() end\n"
    "  redis.call('SET', KEYS[1], ARGV[2], 'EX', o > 0 and cap or quiet)\n"
    "  return reply(0)\n"
    "end\n"
    "local full = false\n"
    "if KEYS[4] then\n"
    "  n = tonumber(redis.call('GET', KEYS[4]) or '0')\n"
    "  full = n >= tonumber(ARGV[5])\n"
    "  if full then redis.call('EXPIRE', KEYS[4], quiet) end\n"
    "end\n"
    "if refusing then return refuse() end\n"
    "if (a > 0 or o > 0) and a >= tonumber(o > 0 and ARGV[8] or ARGV[2]) then\n"
    "  if factor > 0 then\n"
    "    o = math.min(o + 1, most)\n"
    "    return refuse()\n"
    "  end\n"
    "  redis.call('EXPIRE', KEYS[1], quiet)\n"
    "  return reply(1)\n"
    "end\n"
    "if full then return reply(2) end\n"
    "local keep = o > 0 and cap or quiet\n"
    "if o > 0 then redis.call('EXPIRE', KEYS[2], cap) end\n"
    "if ARGV[4] ~= '1' then\n"
    "  if a > 0 then redis.call('EXPIRE', KEYS[1], keep) end\n"
    "  return reply(0)\n"
    "end\n"
    "a = redis.call('INCR', KEYS[1])\n"
    "redis.call('EXPIRE', KEYS[1], keep)\n"
    "if KEYS[4] then\n"
    "  n = redis.call('INCR', KEYS[4])\n"
    "  redis.call('EXPIRE', KEYS[4], quiet)\n"
    "end\n"
    "return reply(0)\n";

enum : int32_t {
    SHARED_NUMBER_SIZE = 16, // a 32-bit number in decimal, NUL included
    SHARED_LIMITS = 9,       // the numbers a connection's call sends after its kind
    SHARED_ARGS_MAX = 20,    // words of the longest script call
    SHARED_PORT_MAX = 65535,
    SHARED_COUNT_MAX = 2147483647, // a count's largest value
    SHARED_READ_BEYOND = -1, // shared_read_number's own verdict: a value above its bound
    SHARED_SYNC_HEAD = 3,    // the integers of a sync's reply before its page
    SHARED_SYNC_ELEMENTS = SHARED_SYNC_HEAD + 2 * STORE_TRUST_PAGE,
    SHARED_COUNT_LIFE = 120, // seconds the siege's shared count lasts without a sync
};
// The whole script, five keys of the longest prefix and the numbers fit one request.
static_assert(sizeof(shared_script) + 5 * SHARED_KEY_SIZE + 16 * SHARED_ARGS_MAX <=
              SHARED_REQUEST_SIZE);
// A sync's longest reply fits what a call holds of one.
static_assert(8 + SHARED_SYNC_ELEMENTS * 13 <= SHARED_REPLY_SIZE);

// The failure texts.
static const char SHARED_TYPE[] = "unexpected reply of type %d";
static const char SHARED_ELEMENT_TYPE[] = "unexpected reply element of type %d";
static const char SHARED_RANGE[] = "reply value out of range";
static const char SHARED_MALFORMED[] = "malformed reply";
static const char SHARED_AFTER[] = "unexpected bytes after the reply";
static const char SHARED_TOO_LONG[] = "reply too long";
static const char SHARED_NO_PRIMARY[] = "the sentinel knows no primary of that name";

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

// The largest value of each integer the script returns, in order: the decision, the address's
// and the network's counts, and with offenders kept their offences and "forgotten".
static const int64_t shared_element_bounds[SHARED_ELEMENTS_MAX] = {
    STORE_REFUSED_NETWORK, SHARED_COUNT_MAX, SHARED_COUNT_MAX, STORE_OFFENCES_MAX, 1};

// The script's answer, after its '*': the count of integers `elements`, then each within its
// bound in shared_element_bounds.
static int32_t shared_read_counts(shared_cursor *c, int32_t elements, shared_reply *reply)
{
    if (c->at < c->end && *c->at == '-') return shared_fail(reply, SHARED_TYPE, 4); // a nil
    int64_t count = 0;
    int32_t verdict = shared_read_number(c, elements, &count, reply);
    if (verdict == SHARED_READ_BEYOND || (verdict == SHARED_READ_DONE && count != elements))
        return shared_fail(reply, SHARED_TYPE, 2);
    if (verdict != SHARED_READ_DONE) return verdict;
    for (int32_t i = 0; i < elements; i++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        if (*c->at != ':') return shared_fail(reply, SHARED_ELEMENT_TYPE, shared_type_of(*c->at));
        c->at++;
        int64_t value = 0;
        verdict = shared_read_number(c, shared_element_bounds[i], &value, reply);
        if (verdict == SHARED_READ_BEYOND) return shared_fail(reply, SHARED_RANGE);
        if (verdict != SHARED_READ_DONE) return verdict;
        reply->counts[i] = (int32_t)value;
    }
    return SHARED_READ_DONE;
}

// A sync's answer, after its '*': its count of integers (the head and whole pairs, at most a
// page), the store's second (1..2^31-1), the shared count, the mark (0..1), then each entry's
// key (0..2^32-1) and second (1..2^31-1), into reply->sync.
static int32_t shared_read_sync(shared_cursor *c, shared_reply *reply)
{
    if (c->at < c->end && *c->at == '-') return shared_fail(reply, SHARED_TYPE, 4); // a nil
    int64_t count = 0;
    int32_t verdict = shared_read_number(c, SHARED_SYNC_ELEMENTS, &count, reply);
    if (verdict == SHARED_READ_BEYOND ||
        (verdict == SHARED_READ_DONE && (count < SHARED_SYNC_HEAD || count % 2 == 0)))
        return shared_fail(reply, SHARED_TYPE, 2);
    if (verdict != SHARED_READ_DONE) return verdict;
    store_sync_answer &a = reply->sync;
    a.trusted = (int32_t)(count - SHARED_SYNC_HEAD) / 2;
    for (int32_t i = 0; i < count; i++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        if (*c->at != ':') return shared_fail(reply, SHARED_ELEMENT_TYPE, shared_type_of(*c->at));
        c->at++;
        bool key = i >= SHARED_SYNC_HEAD && (i - SHARED_SYNC_HEAD) % 2 == 0;
        int64_t bound = i == 2 ? 1 : key ? (int64_t)UINT32_MAX : (int64_t)SHARED_COUNT_MAX;
        int64_t value = 0;
        verdict = shared_read_number(c, bound, &value, reply);
        if (verdict == SHARED_READ_BEYOND) return shared_fail(reply, SHARED_RANGE);
        if (verdict != SHARED_READ_DONE) return verdict;
        bool second = i == 0 || (i >= SHARED_SYNC_HEAD && !key);
        if (second && value == 0) return shared_fail(reply, SHARED_RANGE);
        int32_t entry = (i - SHARED_SYNC_HEAD) / 2;
        if (i == 0) a.store_now = (int32_t)value;
        else if (i == 1) a.counted = (int32_t)value;
        else if (i == 2) a.marked = value != 0;
        else if (key) a.trust_keys[entry] = htonl((uint32_t)value);
        else a.trust_stamps[entry] = (int32_t)value;
    }
    return SHARED_READ_DONE;
}

// One bulk string of at most `longest` bytes, each one of `allowed`, into `out` (NUL ended):
// "$<length>\r\n<bytes>\r\n".
static int32_t shared_read_word(shared_cursor *c, int32_t longest, const char *allowed, char *out,
                                shared_reply *reply)
{
    int32_t verdict = shared_read_text(c, "$", reply);
    if (verdict != SHARED_READ_DONE) return verdict;
    int64_t length = 0;
    verdict = shared_read_number(c, longest, &length, reply);
    if (verdict == SHARED_READ_BEYOND || (verdict == SHARED_READ_DONE && length == 0))
        return shared_fail(reply, SHARED_RANGE);
    if (verdict != SHARED_READ_DONE) return verdict;
    for (int32_t i = 0; i < length; i++, c->at++) {
        if (c->at == c->end) return SHARED_READ_MORE;
        if (strchr(allowed, *c->at) == nullptr || *c->at == '\0')
            return shared_fail(reply, SHARED_MALFORMED);
        out[i] = *c->at;
    }
    out[length] = '\0';
    return shared_read_text(c, "\r\n", reply);
}

// A sentinel's answer, after its '*': "2\r\n", the primary's dotted quad (as ip_format writes
// one, never 0.0.0.0 or 255.255.255.255) and its port (1..65535, no leading zero), each a bulk
// string; a nil array when the sentinel knows no primary of that name.
static int32_t shared_read_primary(shared_cursor *c, shared_reply *reply)
{
    if (c->at < c->end && *c->at == '-') {
        int32_t verdict = shared_read_text(c, "-1\r\n", reply);
        return verdict == SHARED_READ_DONE ? shared_fail(reply, SHARED_NO_PRIMARY) : verdict;
    }
    int64_t count = 0;
    int32_t verdict = shared_read_number(c, 2, &count, reply);
    if (verdict == SHARED_READ_BEYOND || (verdict == SHARED_READ_DONE && count != 2))
        return shared_fail(reply, SHARED_TYPE, 2);
    if (verdict != SHARED_READ_DONE) return verdict;
    char port[SHARED_NUMBER_SIZE];
    verdict = shared_read_word(c, IP_TEXT_SIZE - 1, "0123456789.", reply->primary, reply);
    if (verdict == SHARED_READ_DONE) verdict = shared_read_word(c, 5, "0123456789", port, reply);
    if (verdict != SHARED_READ_DONE) return verdict;
    char canonical[IP_TEXT_SIZE];
    uint32_t address = ip_parse(reply->primary);
    ip_format(address, canonical);
    long number = strtol(port, nullptr, 10);
    if (address == IP_NONE || address == 0 || strcmp(canonical, reply->primary) != 0 ||
        port[0] == '0' || number > SHARED_PORT_MAX)
        return shared_fail(reply, SHARED_RANGE);
    reply->primary_port = (int32_t)number;
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
        verdict = shared_read_counts(&c, 3, reply);
    else if (type == '*' && expected == SHARED_EXPECT_OFFENDER)
        verdict = shared_read_counts(&c, SHARED_ELEMENTS_MAX, reply);
    else if (type == '*' && expected == SHARED_EXPECT_PRIMARY)
        verdict = shared_read_primary(&c, reply);
    else if (type == '*' && expected == SHARED_EXPECT_SYNC)
        verdict = shared_read_sync(&c, reply);
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

// Formats the key `tag` ('a' count, 'o' offences, 'r' refusal in force) of an address, or a
// network's ('n', with its `bits`).
static void shared_key(char *key, const char *prefix, char tag, uint32_t address, int32_t bits)
{
    char text[IP_ENTRY_TEXT_SIZE];
    ip_format_entry(address, tag == 'n' ? bits : 0, text);
    snprintf(key, SHARED_KEY_SIZE, "%s%c:%s", prefix, tag, text);
}

// Writes the script call with the `key_count` keys `keys` and the `word_count` words `words`
// (the call's kind first) into `out`, by EVALSHA with `digest`, or EVAL with the script whole
// when `digest` is "". Returns its length (0 when it does not fit).
static int32_t shared_eval(char *out, const char *digest, const char (*keys)[SHARED_KEY_SIZE],
                           int32_t key_count, const char *const *words, int32_t word_count)
{
    char key_count_word[2] = {(char)('0' + key_count), '\0'};
    const char *argv[SHARED_ARGS_MAX];
    int32_t n = 0;
    argv[n++] = digest[0] ? "EVALSHA" : "EVAL";
    argv[n++] = digest[0] ? digest : shared_script;
    argv[n++] = key_count_word;
    for (int32_t k = 0; k < key_count; k++) argv[n++] = keys[k];
    for (int32_t k = 0; k < word_count; k++) argv[n++] = words[k];
    return shared_command(out, SHARED_REQUEST_SIZE, n, argv);
}

// Writes `value` in decimal into `text` (SHARED_NUMBER_SIZE bytes); returns `text`.
static const char *shared_number(char *text, int64_t value)
{
    snprintf(text, SHARED_NUMBER_SIZE, "%lld", (long long)value);
    return text;
}

// Formats the key of one of the store's own sets, `tag` after the prefix.
static void shared_set_key(char *key, const char *prefix, char tag)
{
    snprintf(key, SHARED_KEY_SIZE, "%s%c", prefix, tag);
}

int32_t shared_script_command(char *out, const char *digest, const char *prefix, char kind,
                              const store_request *request)
{
    char keys[5][SHARED_KEY_SIZE];
    char numbers[SHARED_LIMITS][SHARED_NUMBER_SIZE];
    char entry[IP_TEXT_SIZE];
    const char kind_word[2] = {kind, '\0'};
    bool network = request->network_bits != 0;
    bool network_row = kind == SHARED_CALL_FORGET_NETWORK || kind == SHARED_CALL_REFUSE_NETWORK;
    if (network_row && !network) return 0;
    int32_t key_count = 0;
    if (!network_row)
        for (char tag : {'a', 'o', 'r'})
            shared_key(keys[key_count++], prefix, tag, request->address, 0);
    if (network)
        shared_key(keys[key_count++], prefix, 'n', request->network, request->network_bits);
    const char *words[1 + SHARED_LIMITS];
    int32_t n = 0;
    words[n++] = kind_word;
    if (kind == SHARED_CALL_LOGIN && request->trust_seconds > 0) {
        shared_set_key(keys[key_count++], prefix, 't');
        ip_format(request->trust_key, entry);
        words[n++] = entry;
        words[n++] = shared_number(numbers[0], request->trust_seconds);
        words[n++] = shared_number(numbers[1], request->trust_most);
    } else if (kind != SHARED_CALL_LOGIN && kind != SHARED_CALL_FORGET_NETWORK) {
        const int32_t limits[SHARED_LIMITS] = {
            request->allowance,       request->quiet_seconds,
            request->let_in_locally,  network ? request->network_allowance : 0,
            request->repeat_factor,   request->longest_refusal,
            request->repeat_allowance, STORE_OFFENCES_MAX,
            request->offences};
        for (int32_t k = 0; k < SHARED_LIMITS; k++)
            words[n++] = shared_number(numbers[k], limits[k]);
    }
    return shared_eval(out, digest, keys, key_count, words, n);
}

int32_t shared_sync_command(char *out, const char *digest, const char *prefix,
                            const store_sync_request *request, uint32_t server)
{
    char keys[3][SHARED_KEY_SIZE];
    int32_t key_count = 0;
    for (char tag : {'s', 'm', 't'}) shared_set_key(keys[key_count++], prefix, tag);
    const int64_t values[] = {request->siege_on,      request->counted,
                              request->pressed,       request->mark_seconds,
                              server,                 request->trust_seconds,
                              request->trust_since,   STORE_TRUST_PAGE,
                              SHARED_COUNT_LIFE};
    enum : int32_t { VALUES = sizeof values / sizeof values[0] };
    char numbers[VALUES][SHARED_NUMBER_SIZE];
    const char kind_word[2] = {SHARED_CALL_SYNC, '\0'};
    const char *words[1 + VALUES] = {kind_word};
    for (int32_t k = 0; k < VALUES; k++) words[1 + k] = shared_number(numbers[k], values[k]);
    return shared_eval(out, digest, keys, key_count, words, 1 + VALUES);
}

int32_t shared_script_reply(char kind, const store_request *request)
{
    bool offender_call = kind == SHARED_CALL_CONNECT || kind == SHARED_CALL_REFUSE;
    return offender_call && request->repeat_factor > 0 ? SHARED_EXPECT_OFFENDER
                                                       : SHARED_EXPECT_COUNTS;
}

int32_t shared_sentinel_command(char *out, const char *name)
{
    const char *argv[] = {"SENTINEL", "get-master-addr-by-name", name};
    return shared_command(out, SHARED_REQUEST_SIZE, 3, argv);
}
