// The black list: address ranges refused at every connection.
//
// DESIGN: the [BlackIP] entries a load gathers are turned into ranges of host-order addresses and
// kept in a small array of their own. A publish merges them in place (so the array stays merged
// for the next reload) and makes them a range set, alone or, when the black-list files are
// loaded, together with the files' ranges (tracking/lists/). A decision then asks the set in
// force: one word of its index and a short search (tracking/range_set.h), whatever the list's
// size. With no entry and no file there is no set at all, and a decision pays one load of its
// pointer.
#include "tracking/black_list.h"

#include "host/base/ip_address.h"

// Start-up and the sweeper, under the lists' writer lock: the entries gathered since the last
// black_clear, each the range's first address in the high word and its last in the low word
// (host order), so that sorting the words sorts the ranges by their beginnings.
static struct {
    uint64_t ranges[BLACK_MAX];
    int32_t count;
} black_gathered;

// The gathered entries as a gathering to read, merge in place or append from; it never grows.
static range_set_gather black_view()
{
    range_set_gather view{};
    view.ranges = black_gathered.ranges;
    view.count = view.capacity = black_gathered.count;
    view.limit = BLACK_MAX;
    return view;
}

void black_clear()
{
    list_writer_enter();
    black_gathered.count = 0;
    list_publish(LIST_BLACK, nullptr, LIST_GRACE_MS);
    list_writer_leave();
}

int32_t black_add(const char *text, int32_t prefix)
{
    if (text == nullptr || text[0] == '\0') return 0;
    uint32_t address = ip_parse(text);
    if (address == IP_NONE) return 0;
    if (prefix == 0) return BLACK_PREFIX_ZERO;
    uint32_t mask = prefix_to_mask(prefix);
    if ((address & mask) != address) return 0;
    list_writer_enter();
    bool room = black_gathered.count < BLACK_MAX;
    if (room) {
        uint32_t first = ntohl(address), last = first | ~ntohl(mask);
        black_gathered.ranges[black_gathered.count++] = (uint64_t)first << 32 | last;
    }
    list_writer_leave();
    return room ? 1 : 0;
}

bool black_publish(void *(*alloc)(size_t), void (*release)(void *))
{
    list_writer_enter();
    range_set_gather view = black_view();
    range_set *set = nullptr;
    if (view.count > 0) {
        set = range_set_make(&view, alloc, release); // merges the entries in place
        black_gathered.count = view.count;
    }
    bool done = (view.count == 0 || set != nullptr) && list_publish(LIST_BLACK, set, LIST_GRACE_MS);
    if (!done) range_set_free(set);
    list_writer_leave();
    return done;
}

int32_t black_entries()
{
    list_writer_enter();
    int32_t count = black_gathered.count;
    list_writer_leave();
    return count;
}

int32_t black_gather_entries(range_set_gather *g)
{
    list_writer_enter();
    range_set_gather view = black_view();
    int32_t added = range_set_gather_append(g, &view);
    list_writer_leave();
    return added;
}
