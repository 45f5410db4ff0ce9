// The mail host's POP3 server: accept loop and connection threads.
#include "mailhost/server.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/base/ip_address.h"
#include "mailhost/host_console.h"
#include "mailhost/host_side.h"
#include "mailhost/pop3_session.h"
#include "mailhost/short_block.h"

enum : int32_t {
    SERVER_RECORD_SIZE = 256 * sizeof(void *), // the connection record (2048 bytes in x86-64)
    SERVER_POLL_MS = 200,         // how often the accept loop asks whether to stop
    SERVER_RECV_CHUNK = 512,
};

static server_options server_config;          // main thread before serving; then read-only
static SOCKET server_listener = INVALID_SOCKET; // main thread only
static std::mutex server_lock;                // guards the two below
static std::condition_variable server_ended;  // signalled when a connection thread ends
static std::set<SOCKET> server_sockets;       // open connection sockets; server_lock
static int server_live_count;                 // connection threads running; server_lock
static std::map<uint32_t, int> server_per_address; // of those, per client address; server_lock
static std::atomic<uint32_t> server_serial;   // stamps of the greetings; relaxed

static void server_send(SOCKET s, const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        int n = send(s, text.data() + at, (int)(text.size() - at), 0);
        if (n <= 0) return;
        at += (size_t)n;
    }
}

// Reads one line into `line` (CR LF or LF stripped), keeping what follows it in `pending`.
// False when the client has gone, is silent too long (then `silent` is set), or sends a line
// longer than allowed (then `too_long` is set).
static bool server_read_line(SOCKET s, std::string *pending, std::string *line, bool *too_long,
                             bool *silent)
{
    *too_long = *silent = false;
    for (;;) {
        size_t end = pending->find('\n');
        if (end != std::string::npos) {
            *line = pending->substr(0, end);
            pending->erase(0, end + 1);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            if (line->size() > (size_t)POP3_MAX_LINE) {
                *too_long = true;
                return false;
            }
            return true;
        }
        if (pending->size() > (size_t)POP3_MAX_LINE) {
            *too_long = true;
            return false;
        }
        char chunk[SERVER_RECV_CHUNK];
        int n = recv(s, chunk, sizeof(chunk), 0);
        if (n < 0 && WSAGetLastError() == WSAETIMEDOUT) *silent = true;
        if (n <= 0) return false;
        pending->append(chunk, (size_t)n);
    }
}

// The APOP time stamp of a greeting: unique per connection (process, serial number, time).
static std::string server_timestamp()
{
    char text[80];
    snprintf(text, sizeof(text), "<%lu.%lu.%lu@mailhost.tollgate>",
             (unsigned long)GetCurrentProcessId(),
             (unsigned long)server_serial.fetch_add(1, std::memory_order_relaxed),
             (unsigned long)time(nullptr));
    return text;
}

// How long a receive on `s` may wait.
static void server_set_idle(SOCKET s, int seconds)
{
    DWORD idle_ms = (DWORD)seconds * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&idle_ms, sizeof(idle_ms));
}

// Serves one connection: the host's short-term block, CONNECT2, then the POP3 conversation.
static void server_connection(SOCKET s, std::string address)
{
    int64_t left = short_block_left(address, time(nullptr));
    if (left > 0) {
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_INFO,
                          address + " refused: on the short-term block for " +
                              std::to_string(left) + " more seconds");
        server_send(s, "-ERR your address is temporarily blocked, try again later\r\n");
        return;
    }
    host_console_note(LOG_TYPE_POP3, LOG_PRIO_DETAIL, "connection from " + address);

    // The record the module sees: the address at offset 40, the response buffer at 576 (80 and
    // 1152 in a 64-bit process).
    std::vector<uint8_t> record(SERVER_RECORD_SIZE, 0);
    host_connection *conn = (host_connection *)record.data();
    conn->client_address = address.c_str();
    int32_t result = host_side_fire(EVENT_CONNECT2, conn);
    if (result == EVENT_REFUSE || result == EVENT_REFUSE_SHORT_TERM) {
        record.back() = 0; // the module's line ends inside the record, whatever it wrote
        std::string response = conn->response;
        if (response.empty()) response = "-ERR connection refused";
        server_send(s, response + "\r\n");
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_INFO,
                          address + " refused by the module (" + std::to_string(result) + "): " +
                              response);
        if (result == EVENT_REFUSE_SHORT_TERM) {
            short_block_add(address, time(nullptr) + (time_t)server_config.block_minutes * 60);
            host_console_note(LOG_TYPE_POP3, LOG_PRIO_WARNING,
                              address + " put on the short-term block for " +
                                  std::to_string(server_config.block_minutes) + " minutes");
        }
        return;
    }
    if (result != EVENT_GO_ON)
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_WARNING,
                          "unknown CONNECT2 result " + std::to_string(result) + " for " + address +
                              ", connection allowed");

    pop3_session session;
    server_send(s, pop3_session_start(&session, server_timestamp()));
    std::string pending, line;
    bool too_long = false, silent = false, logged_in = false;
    while (server_read_line(s, &pending, &line, &too_long, &silent)) {
        pop3_reply reply = pop3_session_line(&session, line);
        if (!reply.note.empty())
            host_console_note(LOG_TYPE_POP3, LOG_PRIO_NOTICE, address + ": " + reply.note);
        // The module hears of the login before the client does, so that the client's next
        // connection already finds its address released.
        if (reply.login_event) {
            host_side_fire(reply.login_event, conn);
            // Only a client that has logged in may think for the full autologout time.
            if (!logged_in) server_set_idle(s, server_config.idle_seconds);
            logged_in = true;
        }
        server_send(s, reply.text);
        if (reply.close) break;
    }
    if (too_long) server_send(s, "-ERR line too long\r\n");
    if (silent)
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_INFO,
                          address + " dropped: silent for " +
                              std::to_string(logged_in ? server_config.idle_seconds
                                                       : server_config.login_idle_seconds) +
                              " s" + (logged_in ? "" : " before logging in"));
}

// The thread of one connection: serves it, then closes it and signs off. A socket that
// server_drain has already closed is no longer in the set and is not closed twice.
static void server_thread(SOCKET s, uint32_t ip, std::string address)
{
    server_connection(s, address);
    std::lock_guard<std::mutex> hold(server_lock);
    if (server_sockets.erase(s)) closesocket(s);
    server_live_count--;
    if (--server_per_address[ip] == 0) server_per_address.erase(ip);
    server_ended.notify_all();
}

bool server_open(const server_options &options, std::string *error)
{
    server_config = options;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        *error = "cannot start Windows Sockets";
        return false;
    }
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons((u_short)options.port);
    where.sin_addr.s_addr = inet_addr(options.bind_address.c_str());
    if (where.sin_addr.s_addr == INADDR_NONE && options.bind_address != "255.255.255.255") {
        *error = "not an IPv4 address: " + options.bind_address;
        return false;
    }
    server_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (server_listener == INVALID_SOCKET) {
        *error = "cannot create a socket (error " + std::to_string(WSAGetLastError()) + ")";
        return false;
    }
    if (bind(server_listener, (sockaddr *)&where, sizeof(where)) != 0 ||
        listen(server_listener, SOMAXCONN) != 0) {
        *error = "cannot listen on " + options.bind_address + ":" + std::to_string(options.port) +
                 " (error " + std::to_string(WSAGetLastError()) + ")";
        closesocket(server_listener);
        server_listener = INVALID_SOCKET;
        return false;
    }
    return true;
}

// Takes one waiting connection and hands it to a thread of its own, or turns it away when
// as many as allowed are being served, in all or from its address.
static void server_accept()
{
    sockaddr_in peer = {};
    int size = sizeof(peer);
    SOCKET s = accept(server_listener, (sockaddr *)&peer, &size);
    if (s == INVALID_SOCKET) return;
    uint32_t ip = peer.sin_addr.s_addr;
    char address[IP_TEXT_SIZE];
    ip_format(ip, address);

    server_set_idle(s, server_config.login_idle_seconds);
    bool full;
    {
        std::lock_guard<std::mutex> hold(server_lock);
        full = server_live_count >= server_config.max_connections;
        auto held = server_per_address.find(ip);
        if (!full && (held == server_per_address.end() ||
                      held->second < server_config.max_per_address)) {
            server_sockets.insert(s);
            server_live_count++;
            server_per_address[ip]++;
            std::thread(server_thread, s, ip, std::string(address)).detach();
            return;
        }
    }
    if (full) {
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_WARNING,
                          std::string(address) + " turned away: " +
                              std::to_string(server_config.max_connections) +
                              " connections are being served");
        server_send(s, "-ERR too many connections, try again later\r\n");
    } else {
        host_console_note(LOG_TYPE_POP3, LOG_PRIO_WARNING,
                          std::string(address) + " turned away: " +
                              std::to_string(server_config.max_per_address) +
                              " connections from it are being served");
        server_send(s, "-ERR too many connections from your address, try again later\r\n");
    }
    closesocket(s);
}

void server_serve(bool (*should_stop)())
{
    while (!should_stop()) {
        fd_set waiting;
        FD_ZERO(&waiting);
        FD_SET(server_listener, &waiting);
        timeval wait = {0, SERVER_POLL_MS * 1000};
        if (select(0, &waiting, nullptr, nullptr, &wait) > 0) server_accept();
    }
    closesocket(server_listener);
    server_listener = INVALID_SOCKET;
}

bool server_drain(int limit_ms)
{
    std::unique_lock<std::mutex> hold(server_lock);
    // Closing is what ends a receive blocked in another thread (a shutdown alone does not
    // everywhere). The listener is closed, so no new socket can take a closed one's handle.
    for (SOCKET s : server_sockets) {
        shutdown(s, SD_BOTH);
        closesocket(s);
    }
    server_sockets.clear();
    return server_ended.wait_for(hold, std::chrono::milliseconds(limit_ms),
                                 [] { return server_live_count == 0; });
}

