// Base64 (RFC 4648, standard alphabet with padding), for AUTH PLAIN.
#include "mailhost/base64.h"

#include <cstdint>

static const char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const std::string &bytes)
{
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        size_t n = bytes.size() - at < 3 ? bytes.size() - at : 3;
        uint32_t group = 0;
        for (size_t i = 0; i < 3; i++)
            group = group << 8 | (i < n ? (uint8_t)bytes[at + i] : 0);
        for (size_t i = 0; i < 4; i++)
            text += i <= n ? base64_alphabet[(group >> (18 - 6 * i)) & 63] : '=';
    }
    return text;
}

// The value of one alphabet character, -1 for anything else.
static int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool base64_decode(const std::string &text, std::string *out)
{
    out->clear();
    if (text.size() % 4 != 0) return false;
    for (size_t at = 0; at < text.size(); at += 4) {
        bool last = at + 4 == text.size();
        int pad = 0;
        uint32_t group = 0;
        for (size_t i = 0; i < 4; i++) {
            char c = text[at + i];
            if (c == '=') {
                // Padding only in the last group, only in its last two places, only trailing.
                if (!last || i < 2) return false;
                pad++;
                group <<= 6;
                continue;
            }
            int v = base64_value(c);
            if (v < 0 || pad > 0) return false;
            group = group << 6 | (uint32_t)v;
        }
        // Bits that the padding leaves over must be zero, or two texts would decode alike.
        if ((pad == 1 && (group & 0xff) != 0) || (pad == 2 && (group & 0xffff) != 0))
            return false;
        for (int i = 0; i < 3 - pad; i++) *out += (char)(group >> (16 - 8 * i));
    }
    return true;
}
