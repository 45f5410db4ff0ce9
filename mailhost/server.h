// The mail host's POP3 server: the listening socket, the accept loop, and one thread per
// connection that fires the module's events and runs a pop3_session.
//
// Owns: the listening socket, the live connections (their sockets and count, in all and per
// address), and the connection threads.
// Threads: server_open/server_serve/server_drain on the main thread; each connection on its
// own thread. server_lock (inside) guards the live connections; the count is waited on
// through a condition variable under the same lock.
#pragma once
#include <cstdint>
#include <string>

struct server_options {
    std::string bind_address = "127.0.0.1";
    int port = 1110;
    int max_connections = 32; // connections served at once; more are turned away
    int max_per_address = 4;  // connections one address may hold at once; more are turned away
    int block_minutes = 5;    // length of the host's short-term block
    int login_idle_seconds = 60; // a client silent this long before it logs in is dropped
    int idle_seconds = 600;   // after a login (RFC 1939 autologout)
};

// Starts Windows Sockets and listens. False with `error` set when that fails.
bool server_open(const server_options &options, std::string *error);
// Accepts connections until `should_stop` (asked several times a second) returns true, then
// closes the listening socket. New connections are not accepted after that.
void server_serve(bool (*should_stop)());
// Hangs up every live connection and waits up to `limit_ms` for their threads to end. True
// when none is left: only then may the module be unloaded.
bool server_drain(int limit_ms);
