// Fuzz target for white-list entry texts: a value is cut to 99 characters as it is read, split
// at its first "/" with both prefix defaults (0 when loading the settings file, 32 in the
// dialog), and the result is checked against a plain reading of the "%d" rules; the address
// part then goes through white_add and white_match.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/native/native_support.h"

namespace {

// "%d" read by hand: blanks, an optional sign, decimal digits up to the first other
// character; saturated at the 32-bit bounds. False when no digit follows.
bool reference_number(const char *p, int32_t *out)
{
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*p - '0');
    int64_t value = negative ? -magnitude : magnitude;
    *out = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : (int32_t)value;
    return true;
}

[[noreturn]] void fail(const char *what, const char *text)
{
    fprintf(stderr, "fuzz_entry: %s for the text \"%s\"\n", what, text);
    abort();
}

// The mask of the first n bits, octet by octet; all ones outside 1..32.
uint32_t reference_mask(int32_t n)
{
    if (n < 1 || n > 32) return 0xFFFFFFFFu;
    uint32_t mask = 0;
    for (int bit = 0; bit < n; bit++) {
        uint8_t octets[4];
        memcpy(octets, &mask, 4);
        octets[bit / 8] |= (uint8_t)(0x80 >> (bit % 8));
        memcpy(&mask, octets, 4);
    }
    return mask;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The value as the settings file or the dialog hands it over: at most 99 characters.
    char value[WHITE_TEXT_SIZE];
    size_t length = 0;
    while (length < size && length < WHITE_TEXT_SIZE - 1 && data[length] != 0) length++;
    if (length) memcpy(value, data, length);
    value[length] = '\0';

    const char *slash = strchr(value, '/');
    for (int32_t no_number : {0, 32}) {
        // An exactly sized copy, so that a read or write past the text is caught.
        char *text = (char *)malloc(length + 1);
        memcpy(text, value, length + 1);
        int32_t prefix = ip_split_entry(text, no_number);

        int32_t expected = 32;
        size_t address_length = length;
        if (slash) {
            address_length = (size_t)(slash - value);
            if (!reference_number(slash + 1, &expected)) expected = no_number;
        }
        if (prefix != expected) fail("wrong prefix", value);
        if (strlen(text) != address_length || memcmp(text, value, address_length) != 0)
            fail("wrong address part", value);
        if (slash && memcmp(text + address_length + 1, value + address_length + 1,
                            length - address_length) != 0)
            fail("text after the slash changed", value);

        // The address part as an entry: accepted exactly when it is a text the parser reads,
        // and then it matches its own address when it lies inside its mask.
        white_clear();
        uint32_t ip = ip_parse(text);
        int32_t added = white_add(text, prefix);
        white_publish();
        int32_t should_add = text[0] != '\0' && ip != IP_NONE;
        if (added != should_add) fail("white_add accepted the wrong texts", value);
        if (added) {
            uint32_t mask = reference_mask(prefix);
            if (white_match(ip) != ((ip & mask) == ip ? 1 : 0)) fail("white_match", value);
            if (white_match(ip & mask) != ((ip & mask) == ip ? 1 : 0)) fail("white_match of the network", value);
            if (mask_to_prefix(prefix_to_mask(prefix)) != (prefix >= 1 && prefix <= 32 ? prefix : 32))
                fail("mask_to_prefix", value);
        }
        free(text);
    }
    white_clear();
    return 0;
}
