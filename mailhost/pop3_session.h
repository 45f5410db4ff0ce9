// One POP3 conversation (RFC 1939, CAPA of RFC 2449, AUTH PLAIN of RFC 5034) over empty
// mailboxes, as a state machine fed one line at a time; the socket side is mailhost/server.
//
// Owns: nothing shared; each connection owns its pop3_session.
// Threads: the connection's own thread. Reads the user store (read-only while serving).
#pragma once
#include <cstdint>
#include <string>

enum pop3_state {
    POP3_AUTHORIZATION, // before a successful login
    POP3_TRANSACTION,   // logged in
    POP3_CLOSED,        // QUIT answered or the connection given up
};

enum : int32_t {
    POP3_MAX_FAILURES = 3,     // failed logins in one connection before the server hangs up
    POP3_MAX_LINE = 1024,      // longest line accepted (AUTH responses need more than 255)
};

struct pop3_session {
    pop3_state state = POP3_AUTHORIZATION;
    std::string timestamp;     // the APOP time stamp of the greeting, angle brackets included
    std::string user;          // name given by USER, waiting for PASS; "" for none
    std::string logged_in;     // the user once logged in
    bool auth_plain_waiting = false; // "AUTH PLAIN" sent without a response: the next line is it
    int failures = 0;          // failed logins so far
};

// What the server does after a line.
struct pop3_reply {
    std::string text;          // CRLF-terminated lines to send (may be several)
    int32_t login_event = 0;   // EVENT_LOGIN, EVENT_APOP or EVENT_AUTH_OTHER after a login
    std::string note;          // a line for the host's log ("" for none)
    bool close = false;        // hang up after sending
};

// Starts a conversation with the APOP time stamp `timestamp` ("<...>"); returns the greeting.
std::string pop3_session_start(pop3_session *session, const std::string &timestamp);
// Handles one client line (without its CRLF).
pop3_reply pop3_session_line(pop3_session *session, const std::string &line);
