// IPv4 addresses as text and as numbers: the module's one parser and formatter of addresses,
// of prefix lengths and their masks, and of the "a.b.c.d/n" form that list entries, network
// rows and log lines write a range in.
//
// Owns: nothing but procedures; no state.
// Threads: any thread, at any time: each procedure works on its arguments alone.
// Lock: none needed.
//
// Windows: Winsock's inet_addr, which needs no WSAStartup. Elsewhere (the native sanitizer,
// fuzzing and benchmark builds): the C library's inet_addr, which reads the same dotted forms.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

// inet_addr's failure result, and the value a rejected text is tracked under.
constexpr uint32_t IP_NONE = 0xFFFFFFFFu;

enum : int32_t {
    IP_TEXT_SIZE = 16,       // "255.255.255.255" and its NUL
    IP_ENTRY_TEXT_SIZE = 19, // "255.255.255.255/32" and its NUL
};

// Parses dotted-quad text (and the short and radix forms the platform parser accepts) into
// network byte order; IP_NONE when the text is not an address.
inline uint32_t ip_parse(const char *text) { return (uint32_t)inet_addr(text); }

// Writes `ip` (network byte order) into `text` (IP_TEXT_SIZE bytes) in dotted decimal, as
// inet_ntoa prints it, and returns its length. No Winsock start-up needed, no shared buffer.
inline int32_t ip_format(uint32_t ip, char *text)
{
    const unsigned char *octet = (const unsigned char *)&ip; // the first octet comes first
    int32_t n = 0;
    for (int k = 0; k < 4; k++) {
        unsigned v = octet[k];
        if (k > 0) text[n++] = '.';
        if (v >= 100) text[n++] = (char)('0' + v / 100);
        if (v >= 10) text[n++] = (char)('0' + v / 10 % 10);
        text[n++] = (char)('0' + v % 10);
    }
    text[n] = '\0';
    return n;
}

// Writes `ip` followed by "/prefix" when `prefix` is above 0 ("10.1.2.0/24"), the address alone
// otherwise, into `text` (IP_ENTRY_TEXT_SIZE bytes, room for a prefix up to 32; a longer one is
// cut); returns its length.
inline int32_t ip_format_entry(uint32_t ip, int32_t prefix, char *text)
{
    int32_t n = ip_format(ip, text);
    if (prefix > 0) snprintf(text + n, IP_ENTRY_TEXT_SIZE - n, "/%d", (int)prefix);
    return (int32_t)strlen(text);
}

// The mask of the first n bits in network order; all ones for n <= 0 or n > 32.
inline uint32_t prefix_to_mask(int32_t n)
{
    if (n <= 0 || n > 32) return IP_NONE;
    uint32_t host_order = n == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n);
    return htonl(host_order);
}

// The length of a mask made of leading one bits, 0..32; 0 for any other value.
inline int32_t mask_to_prefix(uint32_t mask)
{
    for (int32_t n = 32; n >= 0; n--) {
        uint32_t host_order = n == 0 ? 0u : n == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n);
        if (mask == htonl(host_order)) return n;
    }
    return 0;
}

// Splits an entry text "address[/prefix]" in place: cuts the text at the first "/" and
// returns the prefix read from what followed it with "%d" (leading blanks, a sign, digits up
// to the first non-digit). Returns 32 when the text has no "/", and `no_number` when a "/" is
// followed by no number.
inline int32_t ip_split_entry(char *text, int32_t no_number)
{
    char *slash = strchr(text, '/');
    if (slash == nullptr) return 32;
    // Reads as "%d" would (blanks, a sign, digits up to the first non-digit), but saturates a
    // number too long for 32 bits where sscanf's result is undefined.
    char *end;
    long long value = strtoll(slash + 1, &end, 10);
    int32_t prefix = no_number;
    if (end != slash + 1)
        prefix = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : (int32_t)value;
    *slash = '\0';
    return prefix;
}
