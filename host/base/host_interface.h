// The module's view of the two records the host hands it: host_interface and host_connection.
//
// Owns: the record layouts (pinned to the host's byte offsets), the event, log and statistics
// numbers, and the module's interface copy `host_copy`.
// Threads: every thread that enters the module reads the copy; only start-up and shutdown
// (the host's thread that calls _startup/_closedown) replace it. The copy is never freed while
// a host call through it may be in flight: see the gate in tracking/events/event_gate.h.
#pragma once
#include <cstddef>
#include <cstdint>

// A 32-bit host's records are the published layout. A 64-bit host's (the x86-64 build of the
// stand-in host and the tests) follow one rule: every offset is doubled, each 32-bit word of the
// record taking 8 bytes. The layouts below are written once in the published offsets, through
// host_at, and each build pins its own.
static_assert(sizeof(void *) == 4 || sizeof(void *) == 8, "a 32-bit or a 64-bit process");
enum : int32_t { HOST_OFFSET_SCALE = (int32_t)(sizeof(void *) / 4) };

// The offset in this process's records of what a 32-bit host keeps at `offset`.
constexpr int32_t host_at(int32_t offset) { return offset * HOST_OFFSET_SCALE; }

enum : int32_t {
    HOST_INTERFACE_COPY_SIZE = host_at(918), // bytes of the host's record the module keeps
    HOST_STAT_NAME_SIZE = 200,      // name buffer of the statistics walks
    HOST_EVENT_CLASS_POP3 = 40,
    HOST_PARENT_WINDOW_MAIN = 6, // host_parent_window's argument for the owner of dialogs
};

// POP3 event codes (class 40).
enum : int32_t {
    EVENT_CONNECT2 = 2,
    EVENT_LOGIN = 4,
    EVENT_APOP = 5,
    EVENT_AUTH_OTHER = 6,
};

// Results of the event handler towards the host.
enum : int32_t {
    EVENT_GO_ON = 0,
    EVENT_REFUSE = -1,
    EVENT_REFUSE_SHORT_TERM = -3,
};

// Log types and priorities, as the host numbers them.
enum : int32_t {
    LOG_TYPE_GENERAL = 0,
    LOG_TYPE_WARNING = 1,
    LOG_TYPE_DAEMON = 10,
    LOG_TYPE_POP3 = 19400,
    LOG_TYPE_POP3_DETAIL = 19402,
};
enum : int32_t {
    LOG_PRIO_ERROR = 5,
    LOG_PRIO_WARNING = 10,
    LOG_PRIO_INFO = 15,
    LOG_PRIO_NOTICE = 20,
    LOG_PRIO_DETAIL = 25,
};

// Statistics category kinds.
enum : int32_t {
    STAT_KIND_COUNTER = 1,
    STAT_KIND_PEAK = 2,
};

// Host functions. Every argument is one word (numbers and handles are 32-bit, texts and outputs
// pointers); the host uses the C calling convention (the only one on x86-64).
typedef int32_t(__cdecl host_parent_window_fn)(int32_t which);
typedef int32_t(__cdecl host_stat_module_create_fn)(const char *name);
// The three words between the name and the kind are the host's: the module always passes 1, 0
// and 4 and gives them no meaning of its own.
typedef int32_t(__cdecl host_stat_category_create_fn)(int32_t module, const char *name,
                                                      int32_t host_word1, int32_t host_word2,
                                                      int32_t host_word3, int32_t kind);
typedef void(__cdecl host_stat_report_fn)(int32_t category, int32_t value);
typedef void(__cdecl host_log_text_fn)(int32_t type, int32_t priority, const char *text);
typedef void(__cdecl host_log_format_fn)(int32_t type, int32_t priority, const char *format, ...);
typedef int32_t(__cdecl host_stat_module_next_fn)(int32_t previous, char *name);
typedef int32_t(__cdecl host_stat_category_next_fn)(int32_t module, int32_t previous, char *name,
                                                    int32_t *out1, int32_t *out2, int32_t *out3);

struct host_connection;
// The procedure the module registers for POP3 events (exported as event_handler).
typedef int32_t(__cdecl host_event_fn)(int32_t ignored, int32_t code, host_connection *conn);
typedef int32_t(__cdecl host_hook_register_fn)(int32_t event_class, int32_t code,
                                               host_event_fn *handler, int32_t zero);
typedef void(__cdecl host_hook_remove_fn)(int32_t event_class, int32_t code,
                                          host_event_fn *handler);

#pragma pack(push, 1)
// The start of the host's record: the members the module reads, at the host's offsets (the
// published ones in the comments). Everything between them belongs to the host.
struct host_interface {
    uint8_t reserved0[host_at(4)];
    uint8_t version_major;                              // 4
#if defined(_WIN64)
    uint8_t reserved_minor; // the doubling spreads even the two version bytes apart
#endif
    uint8_t version_minor;                              // 5
    uint8_t reserved_window[host_at(10) - host_at(5) - 1];
    host_parent_window_fn *parent_window;               // 10
    uint8_t reserved_create[host_at(322) - host_at(10) - sizeof(void *)];
    host_stat_module_create_fn *stat_module_create;     // 322
    uint8_t reserved_category[host_at(330) - host_at(322) - sizeof(void *)];
    host_stat_category_create_fn *stat_category_create; // 330
    uint8_t reserved_report[host_at(338) - host_at(330) - sizeof(void *)];
    host_stat_report_fn *stat_report;                   // 338
    uint8_t reserved_log[host_at(358) - host_at(338) - sizeof(void *)];
    host_log_text_fn *log_text;                         // 358
    host_log_format_fn *log_format;                     // 362
    uint8_t reserved_walk[host_at(374) - host_at(362) - sizeof(void *)];
    host_stat_module_next_fn *stat_module_next;         // 374
    host_stat_category_next_fn *stat_category_next;     // 378
    uint8_t reserved_hook[host_at(706) - host_at(378) - sizeof(void *)];
    host_hook_register_fn *hook_register;               // 706
    host_hook_remove_fn *hook_remove;                   // 710
    uint8_t reserved_end[HOST_INTERFACE_COPY_SIZE - host_at(710) - sizeof(void *)];
};
#pragma pack(pop)

static_assert(offsetof(host_interface, version_major) == host_at(4));
static_assert(offsetof(host_interface, version_minor) == host_at(5));
static_assert(offsetof(host_interface, parent_window) == host_at(10));
static_assert(offsetof(host_interface, stat_module_create) == host_at(322));
static_assert(offsetof(host_interface, stat_category_create) == host_at(330));
static_assert(offsetof(host_interface, stat_report) == host_at(338));
static_assert(offsetof(host_interface, log_text) == host_at(358));
static_assert(offsetof(host_interface, log_format) == host_at(362));
static_assert(offsetof(host_interface, stat_module_next) == host_at(374));
static_assert(offsetof(host_interface, stat_category_next) == host_at(378));
static_assert(offsetof(host_interface, hook_register) == host_at(706));
static_assert(offsetof(host_interface, hook_remove) == host_at(710));
static_assert(sizeof(host_interface) == HOST_INTERFACE_COPY_SIZE);

enum : int32_t {
    HOST_RESPONSE_OFFSET = host_at(576),
    HOST_RESPONSE_MIN_SIZE = 32, // room the module may use in the response buffer
};

#pragma pack(push, 1)
// The start of the host's per-connection record: the members the module uses.
struct host_connection {
    uint8_t reserved0[host_at(40)];
    const char *client_address; // 40: dotted-quad text, NUL-terminated
    uint8_t reserved_response[HOST_RESPONSE_OFFSET - host_at(40) - sizeof(void *)];
    char response[HOST_RESPONSE_MIN_SIZE]; // 576: line sent to a refused client
};
#pragma pack(pop)

static_assert(offsetof(host_connection, client_address) == host_at(40));
static_assert(offsetof(host_connection, response) == HOST_RESPONSE_OFFSET);

// The doubled layout as a 64-bit host has it, in its own numbers.
static_assert(sizeof(void *) == 4 ||
              (offsetof(host_interface, version_minor) == 10 &&
               offsetof(host_interface, hook_remove) == 1420 && HOST_INTERFACE_COPY_SIZE == 1836 &&
               offsetof(host_connection, client_address) == 80 && HOST_RESPONSE_OFFSET == 1152));

// The module's private copy of the host's record, made by start-up and released by shutdown;
// null before start-up and after shutdown. Written only by the thread running _startup or
// _closedown, while no event call can be using it (tracking/events/event_gate.h); read by
// every thread.
extern host_interface *host_copy;

// Calls through the interface copy. The callers make sure the copy exists. The format calls
// hand the host the format and the values unchanged: the host does the formatting.
inline void host_log_text(int32_t type, int32_t priority, const char *text)
{
    host_copy->log_text(type, priority, text);
}
template <typename... Values>
inline void host_log_format(int32_t type, int32_t priority, const char *format, Values... values)
{
    host_copy->log_format(type, priority, format, values...);
}
inline void host_stat_report(int32_t category, int32_t value)
{
    host_copy->stat_report(category, value);
}

// The client's address text of a connection record; "" where the host left the pointer null.
inline const char *host_client_address(const host_connection *conn)
{
    return conn->client_address ? conn->client_address : "";
}
