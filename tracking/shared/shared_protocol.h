// The shared store's protocol: the script, the commands sent to the store, and the reading and
// checking of its replies. Pure code over buffers its callers own: no socket, no clock, no
// state, no allocation. The Windows module and the native sanitizer and fuzz trees build it
// alike (tests/native/fuzz_reply.cpp reads and checks replies with it).
//
// Owns: nothing but constants (the script's text).
// Threads: any, several at once; every procedure works on its arguments only.
//
// DESIGN
// The replies the store gives are few and tiny: "+OK" to AUTH, the script's 40-digit digest to
// SCRIPT LOAD, an array of three small integers to the script (five with offenders kept; to a
// sync three, then two for each trusted entry of its page), an array of two short strings (the
// primary's address and port) to a sentinel, or an error line.
// The bytes of
// a reply are read from their start each time more arrive, and the reading says at once that
// the reply is complete, may still become one, or cannot be one: a length, element count or
// value beyond what the script returns fails as soon as its digits show it, as does a wrong
// type, a malformed line or a byte after the reply. Only the canonical form is accepted (no
// sign, no leading zero), so a reply read back is exactly the bytes the store sent. A reply
// that may still grow never needs more than SHARED_REPLY_SIZE bytes: whatever a store sends, a
// call holds at most that much of it.
#pragma once
#include <cstdint>

#include "host/base/ip_address.h"
#include "settings/values/settings.h"
#include "tracking/store_seam.h"

enum : int32_t {
    SHARED_REPLY_SIZE = 1024,   // the most of one reply a call holds (an error line's longest)
    SHARED_REQUEST_SIZE = 8192, // one command as sent, the script whole and five keys included
    SHARED_KEY_SIZE = SETTINGS_SHARED_TEXT_SIZE + 32, // prefix, tag, dotted quad, /bits
    SHARED_DIGEST_SIZE = 41,    // the script's SHA-1 in hex, NUL included
    SHARED_ERROR_SIZE = 128,    // a failure's text for the warning line, NUL included
};

// What one reply is expected to be.
enum : int32_t {
    SHARED_EXPECT_OK,     // AUTH: "+OK"
    SHARED_EXPECT_DIGEST, // SCRIPT LOAD: a bulk string of 40 lowercase hex digits
    SHARED_EXPECT_COUNTS, // the script: {decision 0..2, address count, network count}, counts
                          // 0..2^31-1
    SHARED_EXPECT_OFFENDER, // the script with offenders kept: the counts, then {offences
                            // 0..STORE_OFFENCES_MAX, forgotten 0..1}
    SHARED_EXPECT_PRIMARY,  // SENTINEL get-master-addr-by-name: {dotted quad, port 1..65535} as
                            // two bulk strings; a nil array (no primary of that name) fails
    SHARED_EXPECT_SYNC,     // the script's sync: {store's second, shared count, mark 0..1}, then
                            // up to STORE_TRUST_PAGE pairs {key 0..2^32-1, second}
};

enum : int32_t { SHARED_ELEMENTS_MAX = 5 }; // integers in the longest reply the script gives

// Where the reading of a reply stands (the connections' own failures use FAILED too).
enum : int32_t {
    SHARED_READ_MORE,    // a beginning of the expected reply: more bytes are needed
    SHARED_READ_DONE,    // the expected reply, exactly the bytes given
    SHARED_READ_REFUSED, // the store's error line: error holds its text, code SHARED_ERROR_STORE
    SHARED_READ_FAILED,  // anything else: error says what
};

// A failure's code in the warning line "failed (error CODE: TEXT)": a Windows Sockets code for a
// socket's failure, or one of these (numbered as the hiredis client library numbers them).
enum : int32_t {
    SHARED_ERROR_STORE = 2,    // the store answered with an error line
    SHARED_ERROR_CLOSED = 3,   // the store closed the connection
    SHARED_ERROR_PROTOCOL = 4, // a reply of the wrong shape, type or range
};

struct shared_error {
    int32_t code;
    char text[SHARED_ERROR_SIZE];
};

// A reply read: the part its expected shape fills, or why it failed.
struct shared_reply {
    int32_t counts[SHARED_ELEMENTS_MAX]; // SHARED_EXPECT_COUNTS: decision, address count,
                                         // network's; SHARED_EXPECT_OFFENDER: then offences and
                                         // forgotten
    char digest[SHARED_DIGEST_SIZE];     // SHARED_EXPECT_DIGEST
    char primary[IP_TEXT_SIZE];          // SHARED_EXPECT_PRIMARY: the address, as sent
    int32_t primary_port;                // and its port
    store_sync_answer sync;              // SHARED_EXPECT_SYNC
    shared_error error;                  // SHARED_READ_REFUSED and SHARED_READ_FAILED
};

// Reads the `length` bytes received so far (from the reply's first byte) as a reply of the
// `expected` kind. Returns a SHARED_READ_ code; MORE only while `length` is below
// SHARED_REPLY_SIZE, and FAILED for more bytes than that. The store's error text is copied
// with every byte outside printable ASCII shown as '?', cut to fit.
int32_t shared_reply_read(const char *bytes, int32_t length, int32_t expected,
                          shared_reply *reply);
// True when `error` is the store's NOSCRIPT: it does not know the digest sent.
bool shared_reply_noscript(const shared_error &error);

// Writes the command `argv[0..argc)` as the store reads one (an array of bulk strings) into
// `out`; returns its length, or 0 when it does not fit in `size` bytes.
int32_t shared_command(char *out, int32_t size, int32_t argc, const char *const *argv);

// The script's calls.
enum : char {
    SHARED_CALL_CONNECT = 'c',        // one connection's round trip
    SHARED_CALL_LOGIN = 'l',          // a login: forget the address, take it from its network
    SHARED_CALL_FORGET_NETWORK = 'n', // forget a network's count
    SHARED_CALL_REFUSE = 'r',         // "Refuse now" on an address
    SHARED_CALL_REFUSE_NETWORK = 'x', // "Refuse now" on a network row
    SHARED_CALL_SYNC = 'y',           // the sweeper's sync: the siege and the trusted entries
};

// The script, as SCRIPT LOAD and EVAL send it.
extern const char shared_script[];

// Writes the script call `kind` for `request` into `out` (SHARED_REQUEST_SIZE bytes): EVALSHA
// with `digest`, or EVAL with the script whole when `digest` is "". The keys begin with
// `prefix` (shorter than SETTINGS_SHARED_TEXT_SIZE): for a call on a network row only the
// network's ("<prefix>n:<network>/<bits>"); for the others the address's count
// ("<prefix>a:<address>"), offences ("<prefix>o:<address>") and refusal in force
// ("<prefix>r:<address>"), then the network's when network_bits is not 0. A login and a
// network's forgetting send only the keys, except a login that trusts (trust_seconds not 0): it
// adds the trusted set's key ("<prefix>t") and the entry, TrustDays in seconds and MaxTrusted.
// The others send every limit of the request. Returns the command's length; 0 for a call on a
// network row that names no network (network_bits 0).
int32_t shared_script_command(char *out, const char *digest, const char *prefix, char kind,
                              const store_request *request);
// Writes the sweeper's sync `request` of the server whose token is `server` into `out`
// (SHARED_REQUEST_SIZE bytes), as shared_script_command: the keys are the siege's shared count
// ("<prefix>s"), its mark ("<prefix>m") and the trusted set ("<prefix>t"). Returns its length.
int32_t shared_sync_command(char *out, const char *digest, const char *prefix,
                            const store_sync_request *request, uint32_t server);
// The reply the script gives to the call `kind` for `request`: SHARED_EXPECT_OFFENDER for a
// connection or a refusal of an address while offenders are kept, else SHARED_EXPECT_COUNTS.
int32_t shared_script_reply(char kind, const store_request *request);
// Writes a sentinel's question for the address of the primary it knows as `name` into `out`
// (SHARED_REQUEST_SIZE bytes); returns its length.
int32_t shared_sentinel_command(char *out, const char *name);
