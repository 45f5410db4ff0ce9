// One POP3 conversation over empty mailboxes, a line at a time.
#include "mailhost/pop3_session.h"

#include <cctype>

#include "host/base/host_interface.h"
#include "mailhost/base64.h"
#include "mailhost/md5.h"
#include "mailhost/user_store.h"

static const char POP3_CRLF[] = "\r\n";
static const char POP3_BAD_LOGIN[] = "-ERR invalid user name or password";
static const char POP3_EMPTY_DROP[] = "+OK maildrop has 0 messages (0 octets)";

static std::string pop3_line(const std::string &text) { return text + POP3_CRLF; }

static std::string pop3_upper(std::string text)
{
    for (char &c : text) c = (char)toupper((unsigned char)c);
    return text;
}

// A login succeeded: the session moves on and the host is told which kind of login it was.
static pop3_reply pop3_login_ok(pop3_session *s, const std::string &user, int32_t event,
                                const char *how)
{
    s->state = POP3_TRANSACTION;
    s->logged_in = user;
    s->user.clear();
    pop3_reply r;
    r.text = pop3_line(POP3_EMPTY_DROP);
    r.login_event = event;
    r.note = user + " logged in (" + how + ")";
    return r;
}

// A login failed: "-ERR", and the connection is dropped after POP3_MAX_FAILURES of them so
// that one connection cannot try passwords without end.
static pop3_reply pop3_login_failed(pop3_session *s, const std::string &user, const char *how,
                                    const char *answer = POP3_BAD_LOGIN)
{
    s->user.clear();
    s->failures++;
    pop3_reply r;
    r.text = pop3_line(answer);
    r.note = "failed login for '" + user + "' (" + how + ")";
    if (s->failures >= POP3_MAX_FAILURES) {
        r.close = true;
        s->state = POP3_CLOSED;
        r.note += ", hanging up after " + std::to_string(s->failures) + " failures";
    }
    return r;
}

// Case-insensitive comparison of two hexadecimal digests.
static bool pop3_same_digest(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && pop3_upper(a) == pop3_upper(b);
}

// Checks an AUTH PLAIN response (base64 of authzid NUL authcid NUL password).
static pop3_reply pop3_auth_plain(pop3_session *s, const std::string &response)
{
    s->auth_plain_waiting = false;
    if (response == "*") {
        pop3_reply r;
        r.text = pop3_line("-ERR authentication cancelled");
        return r;
    }
    std::string decoded;
    // "=" is the empty initial response (RFC 5034); it can hold no credentials.
    if (response == "=" || !base64_decode(response, &decoded))
        return pop3_login_failed(s, "", "AUTH PLAIN", "-ERR malformed AUTH PLAIN response");
    size_t first = decoded.find('\0');
    size_t second = first == std::string::npos ? first : decoded.find('\0', first + 1);
    if (second == std::string::npos || decoded.find('\0', second + 1) != std::string::npos)
        return pop3_login_failed(s, "", "AUTH PLAIN", "-ERR malformed AUTH PLAIN response");
    std::string authzid = decoded.substr(0, first);
    std::string authcid = decoded.substr(first + 1, second - first - 1);
    std::string password = decoded.substr(second + 1);
    std::string secret;
    if ((!authzid.empty() && authzid != authcid) || !user_store_password(authcid, &secret) ||
        secret != password)
        return pop3_login_failed(s, authcid, "AUTH PLAIN");
    return pop3_login_ok(s, authcid, EVENT_AUTH_OTHER, "AUTH PLAIN");
}

// Commands of the authorization state.
static pop3_reply pop3_authorization(pop3_session *s, const std::string &verb,
                                     const std::string &argument)
{
    pop3_reply r;
    if (verb == "USER") {
        if (argument.empty()) {
            r.text = pop3_line("-ERR USER needs a name");
            return r;
        }
        s->user = argument;
        r.text = pop3_line("+OK send PASS");
        return r;
    }
    if (verb == "PASS") {
        if (s->user.empty()) {
            r.text = pop3_line("-ERR send USER first");
            return r;
        }
        std::string user = s->user, secret;
        if (user_store_password(user, &secret) && secret == argument)
            return pop3_login_ok(s, user, EVENT_LOGIN, "USER/PASS");
        return pop3_login_failed(s, user, "USER/PASS");
    }
    if (verb == "APOP") {
        size_t space = argument.rfind(' ');
        if (space == std::string::npos || space == 0) {
            r.text = pop3_line("-ERR APOP needs a name and a digest");
            return r;
        }
        std::string user = argument.substr(0, space), secret;
        std::string digest = argument.substr(space + 1);
        if (user_store_password(user, &secret) &&
            pop3_same_digest(digest, md5_hex(s->timestamp + secret)))
            return pop3_login_ok(s, user, EVENT_APOP, "APOP");
        return pop3_login_failed(s, user, "APOP");
    }
    if (verb == "AUTH") {
        if (argument.empty()) {
            r.text = pop3_line("+OK SASL mechanisms follow") + pop3_line("PLAIN") + pop3_line(".");
            return r;
        }
        size_t space = argument.find(' ');
        std::string mechanism = pop3_upper(argument.substr(0, space));
        if (mechanism != "PLAIN") {
            r.text = pop3_line("-ERR unsupported SASL mechanism");
            return r;
        }
        if (space == std::string::npos) {
            s->auth_plain_waiting = true;
            r.text = pop3_line("+ ");
            return r;
        }
        return pop3_auth_plain(s, argument.substr(space + 1));
    }
    bool mailbox_command = verb == "STAT" || verb == "LIST" || verb == "UIDL" || verb == "NOOP" ||
                           verb == "RSET" || verb == "RETR" || verb == "DELE" || verb == "TOP";
    r.text = pop3_line(mailbox_command ? "-ERR not logged in" : "-ERR unknown command");
    return r;
}

// Commands of the transaction state, over an empty maildrop.
static pop3_reply pop3_transaction(pop3_session *, const std::string &verb,
                                   const std::string &argument)
{
    pop3_reply r;
    if (verb == "STAT")
        r.text = pop3_line("+OK 0 0");
    else if ((verb == "LIST" || verb == "UIDL") && argument.empty())
        r.text = pop3_line(verb == "LIST" ? "+OK 0 messages (0 octets)" : "+OK") + pop3_line(".");
    else if (verb == "LIST" || verb == "UIDL" || verb == "RETR" || verb == "DELE" || verb == "TOP")
        r.text = pop3_line("-ERR no such message");
    else if (verb == "NOOP")
        r.text = pop3_line("+OK");
    else if (verb == "RSET")
        r.text = pop3_line(POP3_EMPTY_DROP);
    else if (verb == "USER" || verb == "PASS" || verb == "APOP" || verb == "AUTH")
        r.text = pop3_line("-ERR already logged in");
    else
        r.text = pop3_line("-ERR unknown command");
    return r;
}

std::string pop3_session_start(pop3_session *session, const std::string &timestamp)
{
    *session = pop3_session();
    session->timestamp = timestamp;
    return pop3_line("+OK Tollgate mail host ready " + timestamp);
}

pop3_reply pop3_session_line(pop3_session *s, const std::string &line)
{
    if (s->state == POP3_CLOSED) {
        pop3_reply r;
        r.close = true;
        return r;
    }
    if (s->auth_plain_waiting) return pop3_auth_plain(s, line);

    size_t space = line.find(' ');
    std::string verb = pop3_upper(line.substr(0, space));
    std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    pop3_reply r;
    if (verb == "QUIT") {
        s->state = POP3_CLOSED;
        r.text = pop3_line("+OK Tollgate mail host signing off");
        r.close = true;
        return r;
    }
    if (verb == "CAPA") {
        r.text = pop3_line("+OK capability list follows") + pop3_line("USER") +
                 pop3_line("SASL PLAIN") + pop3_line("UIDL") +
                 pop3_line("IMPLEMENTATION Tollgate-mailhost") + pop3_line(".");
        return r;
    }
    if (s->state == POP3_AUTHORIZATION) return pop3_authorization(s, verb, argument);
    return pop3_transaction(s, verb, argument);
}
