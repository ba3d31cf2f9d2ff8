// SMTP dialogues as the client sees them, with a scripted web mail session:
// every state and command, the envelope as the service receives it, the
// sender's login, the session's failures and a session the POP3 side holds.
// The listener, the intake of the message text and the real session are
// tested over loopback elsewhere.
#include "DialogueScript.h"
#include "ScriptedAgentState.h"
#include "SmtpDialogue.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

using DialogueScript::Script;

const QByteArray Ok = "S: 250 OK";
const QByteArray StartInput = "S: 354 Start mail input; end with <CRLF>.<CRLF>";
const QByteArray NoValidUser = "S: 451 No valid user name. Receive first, then try again.";
const QByteArray LocalError = "S: 451 Local error in processing";
const QByteArray SyntaxError = "S: 501 Syntax error in parameters or arguments";
const QByteArray Unrecognized = "S: 500 Unrecognized command";
// An accepted QUIT: the front end sends its bye and closes.
const QByteArray QuitAccepted = "S: " + SmtpDialogue::QuitAccepted;

// HELO and the login of demo@mail.test through its sender address.
const Script Greeted{"C: HELO tester", "S: 250 Zorvane"};
const Script Sender{"! stored demo@mail.test pw", "! login demo@mail.test pw 200", "C: MAIL FROM:<demo@mail.test>", Ok};
const Script Message{"C: DATA", StartInput, "C: Subject: hi", "C:", "C: ..dot", "C: .", Ok};

} // namespace

class tst_SmtpScripts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dialogue_data();
    void dialogue();

private:
    void commands();
    void submission();
    void senderLogin();
    void envelopeLines();
    void envelopeBounds();
    void busySession();

    QTemporaryDir m_root;
    int m_rows = 0;
};

void tst_SmtpScripts::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(ScriptedAgentState::UseFoldersUnder(m_root.path()));
}

void tst_SmtpScripts::dialogue_data()
{
    QTest::addColumn<Script>("script");
    commands();
    submission();
    senderLogin();
    envelopeLines();
    envelopeBounds();
    busySession();
}

// Only HELO opens the dialogue; EHLO is refused in both states.
void tst_SmtpScripts::commands()
{
    QTest::newRow("before HELO") << Script{"C: MAIL FROM:<demo@mail.test>",
                                           Unrecognized,
                                           "C: RCPT TO:<ann@mail.test>",
                                           Unrecognized,
                                           "C: DATA",
                                           Unrecognized,
                                           "C: EHLO tester",
                                           "S: 502 Command not implemented",
                                           "C: NOOP",
                                           Ok,
                                           "C: rset",
                                           Ok,
                                           "C: QUIT",
                                           QuitAccepted,
                                           "! calls",
                                           "! log SMTP-Logoff."};
    QTest::newRow("HELO probes the service") << Greeted
            + Script{"! calls ConnStatus",
                     "! log SMTP-Logon request received.",
                     "C: EHLO tester",
                     "S: 502 Command not implemented",
                     "C: VRFY demo",
                     Unrecognized,
                     "C: noop",
                     Ok,
                     "C: HELO again",
                     "S: 250 Zorvane",
                     "! calls ConnStatus",
                     "C: QUIT",
                     QuitAccepted};
    QTest::newRow("service unreachable at HELO")
        << Script{"! fail ConnStatus Communication error: 12029, 12029 - no connection\r\n",
                  "C: HELO tester",
                  "S: 550 Requested action not taken: mailbox unavailable",
                  "! log SMTP-ERR: Unable to connect to Hotmail server.",
                  "! box Zorvane - System Problem\nCommunication error: 12029, 12029 - no connection\r\n",
                  "C: MAIL FROM:<demo@mail.test>",
                  Unrecognized};
    QTest::newRow("credentials of AUTH stay out of the log") << Greeted
            + Script{"C: AUTH PLAIN AHVzZXIAc2VjcmV0", Unrecognized,
                     "! log SMTP-Unknown command received:AUTH PLAIN ********", "! no-log AHVzZXIAc2VjcmV0"};
}

// The envelope lines, an empty line and the message text go to the
// service in one submission, end marker and dot stuffing undone.
void tst_SmtpScripts::submission()
{
    const QByteArray submitted = "! submitted MAIL FROM:<demo@mail.test>\r\nRCPT TO:<ann@mail.test>\r\n\r\n"
                                 "Subject: hi\r\n\r\n.dot\r\n";
    QTest::newRow("one message") << Greeted + Sender + Script{"C: RCPT TO:<ann@mail.test>", Ok} + Message
            + Script{submitted,
                     "! sent-copy on",
                     "! calls ConnStatus Login GetSendUrl Send",
                     "! account smtp demo@mail.test",
                     "! log SMTP-Logged in.",
                     "! log SMTP-Receiving data..."};
    QTest::newRow("two messages, one login, no copy") << Script{"! option save-sent off"} + Greeted + Sender
            + Script{"C: RCPT TO:<ann@mail.test>", Ok} + Message
            + Script{"C: MAIL FROM:<demo@mail.test>", Ok, "C: RCPT TO:<ann@mail.test>", Ok} + Message
            + Script{submitted, "! sent-copy off", "! calls ConnStatus Login GetSendUrl Send Send"};
    QTest::newRow("RSET drops the envelope, keeps the login") << Greeted + Sender
            + Script{"C: RCPT TO:<bob@mail.test>", Ok, "C: RSET", Ok, "C: MAIL FROM:<demo@mail.test>", Ok,
                     "C: RCPT TO:<ann@mail.test>", Ok}
            + Message + Script{submitted, "! calls ConnStatus Login GetSendUrl Send"};
    QTest::newRow("service refuses the message") << Greeted + Sender
            + Script{"! fail Send 554 Transaction failed. 500 Internal Server Error\r\n", "C: DATA", StartInput, "C: x",
                     "C: .", "S: 554 Transaction failed. 500 Internal Server Error",
                     "! log Transaction failed. 500 Internal Server Error",
                     // The envelope went with it: the next message starts a new one.
                     "! clear Send", "C: RCPT TO:<ann@mail.test>", Ok, "C: DATA", StartInput, "C: y", "C: .", Ok,
                     "! submitted RCPT TO:<ann@mail.test>\r\n\r\ny\r\n"};
    QTest::newRow("empty message") << Greeted + Sender
            + Script{"C: DATA", StartInput, "C: .", Ok, "! submitted MAIL FROM:<demo@mail.test>\r\n\r\n"};
}

// MAIL logs in with the account the sender names, with the password kept
// at that account's POP3 login.
void tst_SmtpScripts::senderLogin()
{
    const auto row = [](const char *name, const Script &script) { QTest::newRow(name) << Greeted + script; };
    row("no password kept", {"C: MAIL FROM:<demo@mail.test>", NoValidUser, "! calls ConnStatus", "! account smtp -"});
    row("wrong password kept",
        {"! stored demo@mail.test old", "! login demo@mail.test pw 200", "C: MAIL FROM:<demo@mail.test>",
         "S: 450 authentication failed", "! log SMTP-ERR: Could not connect to the mailbox:", "! account smtp -"});
    row("login answered 403",
        {"! stored demo@mail.test pw", "! login demo@mail.test pw 403", "C: MAIL FROM:<demo@mail.test>",
         "S: 451 Command forbidden by proxy server"});
    row("login answered 503",
        {"! stored demo@mail.test pw", "! login demo@mail.test pw 503", "C: MAIL FROM:<demo@mail.test>",
         "S: 451 Service temporarily unavailable"});
    row("mixed case, blank after colon",
        {"! stored demo@mail.test pw", "! login demo@mail.test pw 200", "C: Mail From: <Demo@Mail.TEST>", Ok,
         "! account smtp demo@mail.test", "C: RCPT TO:<ann@mail.test>", Ok, "C: DATA", StartInput, "C: .", Ok,
         "! submitted Mail From:<Demo@Mail.TEST>\r\nRCPT TO:<ann@mail.test>\r\n\r\n"});
    row("null sender without a POP3 login", {"C: MAIL FROM:<>", NoValidUser, "! calls ConnStatus"});
    row("null sender with the POP3 user's account",
        {"! pop3-user Demo@mail.test", "! stored demo@mail.test pw", "! login demo@mail.test pw 200", "C: MAIL FROM:<>",
         Ok, "! account smtp demo@mail.test"});
    row("null sender keeps the login", Sender + Script{"C: MAIL FROM:<>", Ok, "! calls ConnStatus Login GetSendUrl"});
    row("another sender logs in again",
        Sender
            + Script{"! stored ann@mail.test pw2", "! login ann@mail.test pw2 200", "C: MAIL FROM:<ann@mail.test>", Ok,
                     "! calls ConnStatus Login GetSendUrl Login GetSendUrl", "! account smtp ann@mail.test"});
    row("HELO keeps the login",
        Sender
            + Script{"C: HELO again", "S: 250 Zorvane", "C: MAIL FROM:<demo@mail.test>", Ok,
                     "! calls ConnStatus Login GetSendUrl"});
}

// Each MAIL and RCPT line goes into the envelope as the client ended it;
// a line with a break or NUL inside is refused whole.
void tst_SmtpScripts::envelopeLines()
{
    QTest::newRow("lines as the client ended them") << Greeted
            + Script{"C: MAIL FROM: <demo@mail.test> ", NoValidUser, "C: RCPT TO:<ann@mail.test>\n", Ok,
                     "C: RCPT TO <bob@mail.test>", Ok, "C: rcpt to:\t<cy@mail.test>", Ok, "C: DATA", StartInput,
                     // Without a login there is no send address.
                     "C: .", LocalError, "! log SMTP-Processing recipients.",
                     "! submitted MAIL FROM:<demo@mail.test> \r\nRCPT TO:<ann@mail.test>\nRCPT TO <bob@mail.test>:\r\n"
                     "rcpt to:<cy@mail.test>\r\n\r\n"};
    const Script refusedLines{"C: RCPT TO:<bob@mail.test>\n\nSubject: injected",      SyntaxError,
                              "C: MAIL FROM:<x@mail.test>\rSubject: injected",        SyntaxError,
                              QByteArrayLiteral("C: MAIL FROM:<x\x00@mail.test>"),    SyntaxError,
                              "C: RCPT TO:<bob@mail.test>\r\nRCPT TO:<cy@mail.test>", SyntaxError};
    QTest::newRow("line breaks and NUL inside are refused whole") << Greeted + Sender
            + Script{"C: RCPT TO:<ann@mail.test>", Ok} + refusedLines
            + Script{"! log SMTP-ERR: Line break or NUL inside an envelope command; refused.",
                     "! no-log injected",
                     "C: DATA",
                     StartInput,
                     "C: .",
                     Ok,
                     "! submitted MAIL FROM:<demo@mail.test>\r\nRCPT TO:<ann@mail.test>\r\n\r\n"};
}

// At most MaxRecipients RCPT lines and MaxEnvelopeBytes of envelope; the
// line that would pass either is refused and the envelope kept.
void tst_SmtpScripts::envelopeBounds()
{
    Script many = Greeted + Sender;
    QByteArray envelope = "MAIL FROM:<demo@mail.test>\r\n";
    for (int n = 0; n < SmtpDialogue::MaxRecipients; ++n) {
        const QByteArray line = "RCPT TO:<r" + QByteArray::number(n) + "@mail.test>";
        many += Script{"C: " + line, Ok};
        envelope += line + "\r\n";
    }
    many += Script{"C: RCPT TO:<one-more@mail.test>", "S: 452 Too many recipients",
                   "! log SMTP-ERR: Too many recipients; line refused.", "C: DATA", StartInput, "C: .", Ok,
                   "! submitted " + envelope + "\r\n",
                   // A new envelope counts afresh.
                   "C: RCPT TO:<first@mail.test>", Ok};
    QTest::newRow("recipients") << many;

    const QByteArray longLine = "RCPT TO:<" + QByteArray(4000, 'l') + "@mail.test>";
    const int fitting = int((SmtpDialogue::MaxEnvelopeBytes - 2) / (longLine.size() + 2));
    Script full = Greeted;
    for (int n = 0; n < fitting; ++n)
        full += Script{"C: " + longLine, Ok};
    full += Script{"C: " + longLine,
                   "S: 452 Too many recipients",
                   "C: MAIL FROM:<" + QByteArray(4000, 'm') + ">",
                   "S: 452 Requested action not taken: insufficient system storage",
                   "! log SMTP-ERR: The envelope is full; line refused.",
                   "C: RSET",
                   Ok,
                   "C: " + longLine,
                   Ok};
    QTest::newRow("envelope bytes") << full;
}

// The session serves one operation at a time: a command that needs it
// while the POP3 side holds it is refused, and nothing is half done.
void tst_SmtpScripts::busySession()
{
    QTest::newRow("HELO") << Script{"! busy",         "C: HELO tester",
                                    LocalError,       "! log SMTP-ERR: The web mail session stayed busy; nothing done.",
                                    "! calls",        "! free",
                                    "C: HELO tester", "S: 250 Zorvane"};
    QTest::newRow("MAIL") << Greeted
            + Script{"! stored demo@mail.test pw",
                     "! login demo@mail.test pw 200",
                     "! busy",
                     "C: MAIL FROM:<demo@mail.test>",
                     LocalError,
                     "! account smtp -",
                     "! free",
                     "C: MAIL FROM:<demo@mail.test>",
                     Ok};
    QTest::newRow("message text") << Greeted + Sender
            + Script{"C: RCPT TO:<ann@mail.test>", Ok, "C: DATA", StartInput, "! busy", "C: x", "C: .", LocalError,
                     "! calls ConnStatus Login GetSendUrl", "! free",
                     // The envelope is gone with the refused message.
                     "C: DATA", StartInput, "C: y", "C: .", Ok, "! submitted \r\ny\r\n"};
}

void tst_SmtpScripts::dialogue()
{
    QFETCH(Script, script);
    ScriptedAgentState agent(m_root.filePath(QStringLiteral("smtp%1.ini").arg(++m_rows)));
    SmtpDialogue dialogue(agent.state);
    // A busy session refuses at once; the wait itself is tested with the front end.
    dialogue.setSessionWaitLimit(0);
    QByteArray messageText;
    const auto handle = [&](const QByteArray &line) -> QByteArray {
        // A line the client ends with a bare LF goes as it is.
        if (dialogue.state() != SmtpState::MessageText) {
            const QByteArray reply = dialogue.HandleSmtpCommand(line.endsWith('\n') ? line : line + "\r\n");
            // The sign of an accepted QUIT is no reply line: the front end
            // sends its bye instead.
            return reply == SmtpDialogue::QuitAccepted ? reply + "\r\n" : reply;
        }
        // The message text goes to the dialogue whole, end marker included.
        messageText += line + "\r\n";
        if (line != ".")
            return QByteArray();
        return dialogue.HandleSmtpCommand(std::exchange(messageText, QByteArray()));
    };
    const QString problem = agent.Run(script, handle);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(!agent.screen.contains(QStringLiteral("AHVzZXIAc2VjcmV0")));
}

QTEST_GUILESS_MAIN(tst_SmtpScripts)
#include "tst_SmtpScripts.moc"
