// The host's own short-term block.
#include "mailhost/short_block.h"

#include <map>
#include <mutex>

static std::mutex block_lock;                    // guards block_until
static std::map<std::string, time_t> block_until; // connection threads, admin; block_lock

void short_block_add(const std::string &address, time_t until)
{
    std::lock_guard<std::mutex> hold(block_lock);
    block_until[address] = until;
}

int64_t short_block_left(const std::string &address, time_t now)
{
    std::lock_guard<std::mutex> hold(block_lock);
    auto found = block_until.find(address);
    if (found == block_until.end()) return 0;
    if (found->second <= now) {
        block_until.erase(found);
        return 0;
    }
    return (int64_t)(found->second - now);
}

int short_block_count(time_t now)
{
    std::lock_guard<std::mutex> hold(block_lock);
    int n = 0;
    for (const auto &entry : block_until)
        if (entry.second > now) n++;
    return n;
}

void short_block_clear()
{
    std::lock_guard<std::mutex> hold(block_lock);
    block_until.clear();
}
