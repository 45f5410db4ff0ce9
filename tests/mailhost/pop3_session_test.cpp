// The POP3 conversation: logins of each kind and the event each one raises, failed logins,
// and the commands of each state.
#include <gtest/gtest.h>

#include "host/base/host_interface.h"
#include "mailhost/base64.h"
#include "mailhost/md5.h"
#include "mailhost/pop3_session.h"
#include "mailhost/user_store.h"

static const char STAMP[] = "<42.7.1700000000@mailhost.tollgate>";

class MailhostPop3Session : public testing::Test {
protected:
    void SetUp() override
    {
        user_store_set_defaults();
        greeting = pop3_session_start(&session, STAMP);
    }
    pop3_reply say(const std::string &line) { return pop3_session_line(&session, line); }
    static std::string plain(const std::string &authzid, const std::string &user,
                             const std::string &password)
    {
        return base64_encode(authzid + '\0' + user + '\0' + password);
    }

    pop3_session session;
    std::string greeting;
};

TEST_F(MailhostPop3Session, GreetsWithTheApopTimeStamp)
{
    EXPECT_EQ(greeting, std::string("+OK Tollgate mail host ready ") + STAMP + "\r\n");
    EXPECT_EQ(session.state, POP3_AUTHORIZATION);
}

TEST_F(MailhostPop3Session, EachRightLoginRaisesItsEvent)
{
    const struct {
        std::vector<std::string> lines;
        int32_t event;
    } cases[] = {
        {{"USER alice", "PASS wonderland"}, EVENT_LOGIN},
        {{"user bob", "pass builder"}, EVENT_LOGIN},
        {{"APOP alice " + md5_hex(std::string(STAMP) + "wonderland")}, EVENT_APOP},
        {{"AUTH PLAIN " + plain("", "alice", "wonderland")}, EVENT_AUTH_OTHER},
        {{"AUTH plain " + plain("bob", "bob", "builder")}, EVENT_AUTH_OTHER},
        {{"AUTH PLAIN", plain("", "bob", "builder")}, EVENT_AUTH_OTHER},
    };
    for (const auto &c : cases) {
        pop3_session_start(&session, STAMP);
        pop3_reply last;
        for (const std::string &line : c.lines) last = say(line);
        EXPECT_EQ(last.login_event, c.event) << c.lines.back();
        EXPECT_EQ(last.text, "+OK maildrop has 0 messages (0 octets)\r\n");
        EXPECT_EQ(session.state, POP3_TRANSACTION);
    }
}

TEST_F(MailhostPop3Session, ApopDigestIsCaseInsensitiveAndBoundToTheTimeStamp)
{
    std::string digest = md5_hex(std::string(STAMP) + "wonderland");
    std::string upper;
    for (char c : digest) upper += (char)toupper((unsigned char)c);
    EXPECT_EQ(say("APOP alice " + upper).login_event, EVENT_APOP);

    pop3_session_start(&session, "<other@stamp>");
    EXPECT_EQ(say("APOP alice " + digest).login_event, 0);
}

TEST_F(MailhostPop3Session, WrongCredentialsAnswerErrAndRaiseNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"USER alice", "PASS wrong"},
        {"USER nobody", "PASS wonderland"},
        {"USER alice", "PASS wonderland "},
        {"APOP alice " + md5_hex(std::string(STAMP) + "wrong")},
        {"AUTH PLAIN " + plain("", "alice", "wrong")},
        {"AUTH PLAIN " + plain("bob", "alice", "wonderland")}, // acting for another user
        {"AUTH PLAIN", plain("", "nobody", "x")},
    };
    for (const auto &lines : cases) {
        pop3_session_start(&session, STAMP);
        pop3_reply last;
        for (const std::string &line : lines) last = say(line);
        EXPECT_EQ(last.text, "-ERR invalid user name or password\r\n") << lines.back();
        EXPECT_EQ(last.login_event, 0);
        EXPECT_FALSE(last.close);
        EXPECT_EQ(session.state, POP3_AUTHORIZATION);
        EXPECT_NE(last.note.find("failed login"), std::string::npos);
    }
}

TEST_F(MailhostPop3Session, MalformedAuthPlainIsRefusedAndCancelIsNotAFailure)
{
    const char *bad[] = {"AUTH PLAIN =", "AUTH PLAIN not*base64",
                         "AUTH PLAIN YWxpY2U=" /* "alice": no NULs */};
    for (const char *line : bad) {
        pop3_session_start(&session, STAMP);
        pop3_reply r = say(line);
        EXPECT_EQ(r.text, "-ERR malformed AUTH PLAIN response\r\n") << line;
        EXPECT_EQ(session.failures, 1);
    }
    pop3_session_start(&session, STAMP);
    EXPECT_EQ(say("AUTH PLAIN").text, "+ \r\n");
    EXPECT_EQ(say("*").text, "-ERR authentication cancelled\r\n");
    EXPECT_EQ(session.failures, 0);
    EXPECT_EQ(say("AUTH CRAM-MD5").text, "-ERR unsupported SASL mechanism\r\n");
    EXPECT_EQ(say("AUTH").text, "+OK SASL mechanisms follow\r\nPLAIN\r\n.\r\n");
}

TEST_F(MailhostPop3Session, HangsUpAfterTheThirdFailedLogin)
{
    for (int i = 1; i <= POP3_MAX_FAILURES; i++) {
        say("USER alice");
        pop3_reply r = say("PASS wrong");
        EXPECT_EQ(r.close, i == POP3_MAX_FAILURES) << i;
    }
    EXPECT_EQ(session.state, POP3_CLOSED);
    EXPECT_TRUE(say("USER alice").close);
}

TEST_F(MailhostPop3Session, PassWithoutUserAndMailboxCommandsBeforeLoginAreRefused)
{
    EXPECT_EQ(say("PASS wonderland").text, "-ERR send USER first\r\n");
    for (const char *line : {"STAT", "LIST", "UIDL", "NOOP", "RSET", "RETR 1"})
        EXPECT_EQ(say(line).text, "-ERR not logged in\r\n") << line;
    EXPECT_EQ(say("HELO").text, "-ERR unknown command\r\n");
    EXPECT_EQ(say("USER").text, "-ERR USER needs a name\r\n");
    EXPECT_EQ(session.failures, 0);
}

TEST_F(MailhostPop3Session, ServesAnEmptyMaildropAfterLogin)
{
    say("USER alice");
    say("PASS wonderland");
    const struct {
        const char *line;
        const char *answer;
    } cases[] = {
        {"STAT", "+OK 0 0\r\n"},
        {"LIST", "+OK 0 messages (0 octets)\r\n.\r\n"},
        {"list 1", "-ERR no such message\r\n"},
        {"UIDL", "+OK\r\n.\r\n"},
        {"UIDL 1", "-ERR no such message\r\n"},
        {"RETR 1", "-ERR no such message\r\n"},
        {"NOOP", "+OK\r\n"},
        {"RSET", "+OK maildrop has 0 messages (0 octets)\r\n"},
        {"USER bob", "-ERR already logged in\r\n"},
        {"XYZZY", "-ERR unknown command\r\n"},
    };
    for (const auto &c : cases) {
        pop3_reply r = say(c.line);
        EXPECT_EQ(r.text, c.answer) << c.line;
        EXPECT_EQ(r.login_event, 0);
        EXPECT_FALSE(r.close);
    }
}

TEST_F(MailhostPop3Session, CapaInEitherStateAndQuitCloses)
{
    const char capa[] = "+OK capability list follows\r\nUSER\r\nSASL PLAIN\r\nUIDL\r\n"
                        "IMPLEMENTATION Tollgate-mailhost\r\n.\r\n";
    EXPECT_EQ(say("CAPA").text, capa);
    say("USER bob");
    say("PASS builder");
    EXPECT_EQ(say("capa").text, capa);
    pop3_reply r = say("QUIT");
    EXPECT_EQ(r.text, "+OK Tollgate mail host signing off\r\n");
    EXPECT_TRUE(r.close);
}
