// The white list: address/mask pairs tested before a connection is counted.
#include "tracking/white_list.h"

#include <cstdlib>
#include <cstring>

#include "host/base/platform.h"

white_list_t white_list; // see the header for who reads and writes it

int32_t white_add(const char *text, int32_t prefix)
{
    if (text == nullptr || text[0] == '\0') return 0;
    uint32_t address = ip_parse(text);
    if (address == IP_NONE) return 0;
    uint32_t mask = prefix_to_mask(prefix);
    int32_t n = white_list.count.load(std::memory_order_relaxed); // only writers get here
    if (n >= WHITE_MAX) return 0;
    white_list.address[n].store(address, std::memory_order_relaxed);
    white_list.mask[n].store(mask, std::memory_order_relaxed);
    white_list.count.store(n + 1, std::memory_order_release); // publishes the entry
    return 1;
}

int32_t white_match(uint32_t address)
{
    int32_t n = white_list.count.load(std::memory_order_acquire);
    for (int32_t i = 0; i < n; i++) {
        uint32_t mask = white_list.mask[i].load(std::memory_order_relaxed);
        if ((address & mask) == white_list.address[i].load(std::memory_order_relaxed)) return 1;
    }
    return 0;
}

void white_clear() { white_list.count.store(0, std::memory_order_release); }

int32_t white_count() { return white_list.count.load(std::memory_order_acquire); }

uint32_t prefix_to_mask(int32_t n)
{
    if (n <= 0 || n > 32) return IP_NONE;
    uint32_t host_order = n == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n);
    return htonl(host_order);
}

int32_t mask_to_prefix(uint32_t mask)
{
    for (int32_t n = 32; n >= 0; n--) {
        uint32_t host_order = n == 0 ? 0u : n == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> n);
        if (mask == htonl(host_order)) return n;
    }
    return 0;
}

int32_t white_split_entry(char *text, int32_t no_number)
{
    char *slash = strchr(text, '/');
    if (slash == nullptr) return 32;
    // Reads as "%d" would (blanks, a sign, digits up to the first non-digit), but saturates a
    // number too long for 32 bits where sscanf's result is undefined.
    char *end;
    long long value = strtoll(slash + 1, &end, 10);
    int32_t prefix = no_number;
    if (end != slash + 1) prefix = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : (int32_t)value;
    *slash = '\0';
    return prefix;
}
