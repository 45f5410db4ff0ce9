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
// record taking 8 bytes. Each build pins its own layout below.
#if defined(_WIN64)
static_assert(sizeof(void *) == 8, "the 64-bit host records are laid out for a 64-bit process");
#else
static_assert(sizeof(void *) == 4, "the host records are laid out for a 32-bit process");
#endif

enum : int32_t {
#if defined(_WIN64)
    HOST_INTERFACE_COPY_SIZE = 1836, // bytes of the host's record the module keeps
#else
    HOST_INTERFACE_COPY_SIZE = 918, // bytes of the host's record the module keeps
#endif
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
typedef int32_t(__cdecl host_stat_category_create_fn)(int32_t module, const char *name, int32_t a,
                                                      int32_t b, int32_t c, int32_t kind);
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

#if defined(_WIN64)
#pragma pack(push, 1)
// The start of a 64-bit host's record: the members the module reads, at the doubled offsets.
// Everything between them belongs to the host.
struct host_interface {
    uint8_t reserved0[8];
    uint8_t version_major;                              // 8
    uint8_t reserved9;
    uint8_t version_minor;                              // 10
    uint8_t reserved11[20 - 11];
    host_parent_window_fn *parent_window;               // 20
    uint8_t reserved28[644 - 28];
    host_stat_module_create_fn *stat_module_create;     // 644
    uint8_t reserved652[660 - 652];
    host_stat_category_create_fn *stat_category_create; // 660
    uint8_t reserved668[676 - 668];
    host_stat_report_fn *stat_report;                   // 676
    uint8_t reserved684[716 - 684];
    host_log_text_fn *log_text;                         // 716
    host_log_format_fn *log_format;                     // 724
    uint8_t reserved732[748 - 732];
    host_stat_module_next_fn *stat_module_next;         // 748
    host_stat_category_next_fn *stat_category_next;     // 756
    uint8_t reserved764[1412 - 764];
    host_hook_register_fn *hook_register;               // 1412
    host_hook_remove_fn *hook_remove;                   // 1420
    uint8_t reserved1428[HOST_INTERFACE_COPY_SIZE - 1428];
};
#pragma pack(pop)

static_assert(offsetof(host_interface, version_major) == 8);
static_assert(offsetof(host_interface, version_minor) == 10);
static_assert(offsetof(host_interface, parent_window) == 20);
static_assert(offsetof(host_interface, stat_module_create) == 644);
static_assert(offsetof(host_interface, stat_category_create) == 660);
static_assert(offsetof(host_interface, stat_report) == 676);
static_assert(offsetof(host_interface, log_text) == 716);
static_assert(offsetof(host_interface, log_format) == 724);
static_assert(offsetof(host_interface, stat_module_next) == 748);
static_assert(offsetof(host_interface, stat_category_next) == 756);
static_assert(offsetof(host_interface, hook_register) == 1412);
static_assert(offsetof(host_interface, hook_remove) == 1420);
static_assert(sizeof(host_interface) == HOST_INTERFACE_COPY_SIZE);
#else
#pragma pack(push, 1)
// The start of the host's record: the members the module reads, at the host's offsets.
// Everything between them belongs to the host.
struct host_interface {
    uint8_t reserved0[4];
    uint8_t version_major;                              // 4
    uint8_t version_minor;                              // 5
    uint8_t reserved6[4];
    host_parent_window_fn *parent_window;               // 10
    uint8_t reserved14[322 - 14];
    host_stat_module_create_fn *stat_module_create;     // 322
    uint8_t reserved326[330 - 326];
    host_stat_category_create_fn *stat_category_create; // 330
    uint8_t reserved334[338 - 334];
    host_stat_report_fn *stat_report;                   // 338
    uint8_t reserved342[358 - 342];
    host_log_text_fn *log_text;                         // 358
    host_log_format_fn *log_format;                     // 362
    uint8_t reserved366[374 - 366];
    host_stat_module_next_fn *stat_module_next;         // 374
    host_stat_category_next_fn *stat_category_next;     // 378
    uint8_t reserved382[706 - 382];
    host_hook_register_fn *hook_register;               // 706
    host_hook_remove_fn *hook_remove;                   // 710
    uint8_t reserved714[HOST_INTERFACE_COPY_SIZE - 714];
};
#pragma pack(pop)

static_assert(offsetof(host_interface, version_major) == 4);
static_assert(offsetof(host_interface, version_minor) == 5);
static_assert(offsetof(host_interface, parent_window) == 10);
static_assert(offsetof(host_interface, stat_module_create) == 322);
static_assert(offsetof(host_interface, stat_category_create) == 330);
static_assert(offsetof(host_interface, stat_report) == 338);
static_assert(offsetof(host_interface, log_text) == 358);
static_assert(offsetof(host_interface, log_format) == 362);
static_assert(offsetof(host_interface, stat_module_next) == 374);
static_assert(offsetof(host_interface, stat_category_next) == 378);
static_assert(offsetof(host_interface, hook_register) == 706);
static_assert(offsetof(host_interface, hook_remove) == 710);
static_assert(sizeof(host_interface) == HOST_INTERFACE_COPY_SIZE);
#endif

enum : int32_t {
#if defined(_WIN64)
    HOST_RESPONSE_OFFSET = 1152,
#else
    HOST_RESPONSE_OFFSET = 576,
#endif
    HOST_RESPONSE_MIN_SIZE = 32, // room the module may use in the response buffer
};

#if defined(_WIN64)
#pragma pack(push, 1)
// The start of a 64-bit host's per-connection record: the members the module uses.
struct host_connection {
    uint8_t reserved0[80];
    const char *client_address; // 80: dotted-quad text, NUL-terminated
    uint8_t reserved88[HOST_RESPONSE_OFFSET - 88];
    char response[HOST_RESPONSE_MIN_SIZE]; // 1152: line sent to a refused client
};
#pragma pack(pop)

static_assert(offsetof(host_connection, client_address) == 80);
static_assert(offsetof(host_connection, response) == HOST_RESPONSE_OFFSET);
#else
#pragma pack(push, 1)
// The start of the host's per-connection record: the members the module uses.
struct host_connection {
    uint8_t reserved0[40];
    const char *client_address; // 40: dotted-quad text, NUL-terminated
    uint8_t reserved44[HOST_RESPONSE_OFFSET - 44];
    char response[HOST_RESPONSE_MIN_SIZE]; // 576: line sent to a refused client
};
#pragma pack(pop)

static_assert(offsetof(host_connection, client_address) == 40);
static_assert(offsetof(host_connection, response) == HOST_RESPONSE_OFFSET);
#endif

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
