// The sentinels of a shared store: which server is the primary.
#include "tracking/shared/shared_sentinel.h"

#include <atomic>
#include <cstring>

#include "host/base/ip_address.h"
#include "tracking/shared/shared_protocol.h"

// The sentinels as start-up gave them (start-up writes, any caller reads after), and the one
// that answered last (any caller; relaxed, see the header).
static struct {
    int32_t count;
    uint32_t address[SHARED_SENTINELS_MAX]; // network byte order
    int32_t port[SHARED_SENTINELS_MAX];
    char name[SETTINGS_SHARED_TEXT_SIZE];
    std::atomic<int32_t> last;
} shared_sentinels;

void shared_sentinel_start(const settings_shared_t &config)
{
    shared_sentinels.count = config.sentinel_count;
    for (int32_t i = 0; i < config.sentinel_count; i++) {
        shared_sentinels.address[i] = ip_parse(config.sentinel_address[i]);
        shared_sentinels.port[i] = config.sentinel_port[i];
    }
    memcpy(shared_sentinels.name, config.master, sizeof shared_sentinels.name);
    shared_sentinels.last.store(0, std::memory_order_relaxed);
}

bool shared_sentinel_ask(const shared_deadline &deadline, uint32_t *address, int32_t *port,
                         shared_error *error)
{
    char command[SHARED_REQUEST_SIZE];
    int32_t length = shared_sentinel_command(command, shared_sentinels.name);
    int32_t first = shared_sentinels.last.load(std::memory_order_relaxed);
    shared_reply reply;
    for (int32_t k = 0; k < shared_sentinels.count; k++) {
        int32_t i = (first + k) % shared_sentinels.count;
        int32_t verdict =
            shared_connections_once(shared_sentinels.address[i], shared_sentinels.port[i], command,
                                    length, SHARED_EXPECT_PRIMARY, deadline, &reply);
        if (verdict != SHARED_READ_DONE) continue;
        shared_sentinels.last.store(i, std::memory_order_relaxed);
        *address = ip_parse(reply.primary);
        *port = reply.primary_port;
        return true;
    }
    *error = reply.error;
    return false;
}
