// The white list: address/mask pairs tested before a connection is counted.
#include "tracking/white_list.h"

#include "host/base/ip_address.h"

white_list_t white_list; // see the header for who reads and writes it

// The writers' own (start-up and the dialog's thread, one at a time): the entries gathered
// since the last publish or clear.
static struct {
    uint32_t address[WHITE_MAX];
    uint32_t mask[WHITE_MAX];
    int32_t count;
} white_gathered;

// The bank in force.
static const white_bank &white_in_force()
{
    return white_list.bank[white_list.in_force.load(std::memory_order_acquire)];
}

void white_clear()
{
    white_gathered.count = 0;
    white_publish();
}

int32_t white_add(const char *text, int32_t prefix)
{
    if (text == nullptr || text[0] == '\0') return 0;
    uint32_t address = ip_parse(text);
    if (address == IP_NONE) return 0;
    if (white_gathered.count >= WHITE_MAX) return 0;
    white_gathered.address[white_gathered.count] = address;
    white_gathered.mask[white_gathered.count] = prefix_to_mask(prefix);
    white_gathered.count++;
    return 1;
}

void white_publish()
{
    // Only the writers get here, so the bank in force is read without ordering.
    int32_t next = 1 - white_list.in_force.load(std::memory_order_relaxed);
    white_bank &bank = white_list.bank[next];
    for (int32_t i = 0; i < white_gathered.count; i++) {
        bank.address[i].store(white_gathered.address[i], std::memory_order_relaxed);
        bank.mask[i].store(white_gathered.mask[i], std::memory_order_relaxed);
    }
    bank.count.store(white_gathered.count, std::memory_order_relaxed);
    white_list.in_force.store(next, std::memory_order_release); // publishes the bank
    white_gathered.count = 0;
}

int32_t white_match(uint32_t address)
{
    const white_bank &bank = white_in_force();
    int32_t n = bank.count.load(std::memory_order_relaxed);
    for (int32_t i = 0; i < n; i++) {
        uint32_t mask = bank.mask[i].load(std::memory_order_relaxed);
        if ((address & mask) == bank.address[i].load(std::memory_order_relaxed)) return 1;
    }
    return 0;
}

int32_t white_count() { return white_in_force().count.load(std::memory_order_relaxed); }

void white_entry(int32_t index, uint32_t *address, uint32_t *mask)
{
    const white_bank &bank = white_in_force();
    *address = bank.address[index].load(std::memory_order_relaxed);
    *mask = bank.mask[index].load(std::memory_order_relaxed);
}
