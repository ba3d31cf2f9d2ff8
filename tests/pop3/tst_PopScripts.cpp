// POP3 dialogues as the client sees them, with a scripted web mail session:
// every state, every command, the replies byte for byte, what reached the
// session and the log. The real session's HTTP behaviour is tested against
// the reference service and a scripted HTTP peer elsewhere.
#include "DialogueScript.h"
#include "PopFrontEnd.h"
#include "ScriptedAgentState.h"
#include "Winsock.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

using Mailbox = QList<ScriptedSession::Message>;
using DialogueScript::Script;

// Sizes 28, 37 and 22; the third was read already.
const Mailbox Inbox{{"Subject: one\r\n\r\nfirst line\r\n"},
                    {"Subject: two\r\n\r\n.dot\r\nsecond\r\nthird\r\n"},
                    {"Subject: old\r\n\r\nseen\r\n", true}};

// The login every script starts from unless it says otherwise.
const Script LoggedIn{"! login ann@mail.test s3cret 200", "C: USER ann", "S: +OK password required", "C: PASS s3cret",
                      "S: +OK logged in"};

} // namespace

Q_DECLARE_METATYPE(Mailbox)

class tst_PopScripts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dialogue_data();
    void dialogue();

private:
    void authorization();
    void mailbox();
    void messages();
    void badArguments();
    void updatePhase();
    void sessionFailures();

    QTemporaryDir m_root;
    int m_rows = 0;
};

void tst_PopScripts::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(ScriptedAgentState::UseFoldersUnder(m_root.path()));
}

void tst_PopScripts::dialogue_data()
{
    QTest::addColumn<Mailbox>("mailbox");
    QTest::addColumn<Script>("script");
    authorization();
    mailbox();
    messages();
    badArguments();
    updatePhase();
    sessionFailures();
}

// Before the login: only USER, PASS after USER, CAPA, AUTH and QUIT; a name
// is normalised, a password never reaches the log.
void tst_PopScripts::authorization()
{
    const auto row = [](const char *name, const Script &script) { QTest::newRow(name) << Inbox << script; };
    row("login",
        LoggedIn
            + Script{"! calls ConnStatus Login", "! account pop3 ann@mail.test",
                     "! log POP3-Username 'ann@mail.test' received.", "! log POP3-Logged in."});
    row("too short", {"C: TOP", "S: -ERR syntax error", "! log POP3-Unknown command: TOP", "! calls"});
    row("empty line", {"C:", "S: -ERR syntax error", "! calls"});
    row("PASS first",
        {"C: PASS s3cret", "S: -ERR authenticate first", "! log POP3-Unknown command: PASS ********", "! calls"});
    row("STAT first", {"C: STAT", "S: -ERR authenticate first", "! log POP3-Unknown command: STAT"});
    row("RETR after USER",
        {"C: USER ann", "S: +OK password required", "C: RETR 1", "S: -ERR authenticate first",
         "! log POP3-Unknown command: RETR 1", "! calls ConnStatus"});
    row("AUTH", {"C: AUTH PLAIN", "S: -ERR not supported", "! log POP3-Selecting authentication method..."});
    row("AUTH after USER", {"C: USER ann", "S: +OK password required", "C: AUTH", "S: -ERR not supported"});
    row("CAPA in every state",
        Script{"C: CAPA", "S: +OK Capability list follows", "S: TOP", "S: USER", "S: UIDL", "S: .",
               "! log POP3-Client has asked for capabilities."}
            + LoggedIn + Script{"C: capa", "S: +OK Capability list follows", "S: TOP", "S: USER", "S: UIDL", "S: ."});
    // Only the first USER of a dialogue probes the service.
    row("USER twice",
        {"C: USER ann", "S: +OK password required", "C: USER other", "S: +OK password required",
         "! log POP3-Username 'other@mail.test' received.", "! calls ConnStatus"});
    row("user name normalised",
        {"! login jane.doe@example.org s3cret 200", "C: USER Jane.Doe#Example.ORG/inbox", "S: +OK password required",
         "C: PASS s3cret", "S: +OK logged in", "! account pop3 jane.doe@example.org"});
    row("wrong password, then the right one",
        {"! login ann@mail.test s3cret 200", "C: USER ann", "S: +OK password required", "C: PASS wrong",
         "S: -ERR Login failure 401", "! log POP3-ERR: Could not connect to the store: 401", "! account pop3 -",
         "! kept ann@mail.test -", "C: PASS s3cret", "S: +OK logged in", "! account pop3 ann@mail.test",
         "! account smtp -", "! kept ann@mail.test s3cret"});
    row("service not reachable at USER",
        {"! fail ConnStatus 900-No connection to Hotmail server.\r\n", "C: USER ann",
         "S: -ERR 900-No connection to Hotmail server.", "! log POP3-ERR: 900-No connection to Hotmail server.",
         "C: PASS s3cret", "S: -ERR authenticate first"});
    // Refused logins that still open the mailbox state, where every command
    // is refused until the list can be loaded.
    row("login answered 403",
        {"! login ann@mail.test s3cret 403", "! fail GetMsgStoreProps", "C: USER ann", "S: +OK password required",
         "C: PASS s3cret", "S: +OK", "! log POP3-ERR: Sorry. Proxy server not RFC2518-compatible.", "C: STAT",
         "S: -ERR Store not loaded", "! account pop3 -"});
    row("login answered 503",
        {"! login ann@mail.test s3cret 503", "! fail GetMsgStoreProps", "C: USER ann", "S: +OK password required",
         "C: PASS s3cret", "S: +OK", "! log POP3-ERR: Service temporarily unavailable", "C: LIST",
         "S: -ERR Store not loaded"});
    row("line break in the password is refused",
        {"C: USER ann", "S: +OK password required", "C: PASS a\rb", "S: -ERR invalid argument",
         "! log POP3-Line break or NUL in the PASS argument refused.", "! calls ConnStatus"});
    row("QUIT before login",
        {"C: USER ann", "S: +OK password required", "C: QUIT", "S: +OK", "S:", "! log POP3-Logon aborted.",
         "! calls ConnStatus"});
}

// The listings, loaded once on the first mailbox command; unread only
// unless the option says otherwise.
void tst_PopScripts::mailbox()
{
    const auto row = [](const char *name, const Mailbox &mailbox, const Script &script) {
        QTest::newRow(name) << mailbox << LoggedIn + script;
    };
    row("STAT, LIST, UIDL of the unread", Inbox,
        {"C: STAT",
         "S: +OK 2 65",
         "C: LIST",
         "S: +OK 2 65",
         "S: 1 28",
         "S: 2 37",
         "S: .",
         "C: LIST 2",
         "S: +OK 2 37",
         "C: LIST 3",
         "S: -ERR no such message",
         "C: UIDL",
         "S: +OK 2 65",
         "S: 1 m1",
         "S: 2 m2",
         "S: .",
         "C: UIDL 1",
         "S: +OK 1 m1",
         "! calls ConnStatus Login GetMsgStoreProps",
         "! log POP3-Checking Inbox.",
         "! log POP3-Listing Inbox contents.",
         "! log POP3-Listing message IDs"});
    row("read ones too", Inbox, {"! option unread-only off", "C: STAT", "S: +OK 3 87", "C: UIDL 3", "S: +OK 3 m3"});
    row("empty mailbox", {},
        {"C: STAT", "S: +OK 0 0", "C: LIST", "S: +OK 0 0", "S: .", "C: UIDL", "S: +OK 0 0", "S: ."});
    row("NOOP and lower case", Inbox,
        {"C: noop", "S: +OK nothing done", "! log POP3-Nothing done.", "C: list 1", "S: +OK 1 28"});
    row("collection before the listing", Inbox,
        {"! option collect on", "C: STAT", "S: +OK 2 65", "! calls ConnStatus Login PopCollect GetMsgStoreProps",
         "! log Hotmail POP collection done."});
    row("failed collection still lists", Inbox,
        {"! option collect on", "! fail PopCollect", "C: STAT", "S: +OK 2 65", "! log Hotmail POP collection failed."});
    row("store that will not load", Inbox,
        {"! fail GetMsgStoreProps", "C: STAT", "S: -ERR Store not loaded", "! clear GetMsgStoreProps", "C: STAT",
         "S: +OK 2 65", "! calls ConnStatus Login GetMsgStoreProps GetMsgStoreProps"});
    row("DELE, RSET", Inbox,
        {"C: DELE 1", "S: +OK marked for deletion", "C: LIST 1", "S: -ERR deleted", "C: RETR 1", "S: -ERR deleted",
         "C: TOP 1 0", "S: -ERR deleted", "C: STAT", "S: +OK 2 65", "C: RSET", "S: +OK reset",
         "! log POP3-Resetting marks.", "C: LIST 1", "S: +OK 1 28",
         "! log POP3-Request to mark message #1 for read/delete."});
    row("DELE ignored without mark or delete", Inbox,
        {"! option mark-read off", "C: DELE 1", "S: +OK request ignored", "C: LIST 1", "S: +OK 1 28",
         "! log POP3-Request to mark message #1 ignored."});
    row("DELE of nothing", Inbox, {"C: DELE 9", "S: -ERR no such message", "C: DELE 0", "S: -ERR no such message"});
}

// RETR and TOP: the message text as stored, data lines stuffed.
void tst_PopScripts::messages()
{
    const auto row = [](const char *name, const Script &script) { QTest::newRow(name) << Inbox << LoggedIn + script; };
    row("RETR",
        {"C: RETR 2", "S: +OK 37", "S: Subject: two", "S:", "S: ..dot", "S: second", "S: third", "S: .",
         "! log POP3-Receiving message #2", "! calls ConnStatus Login GetMsgStoreProps Retrieve"});
    // The lines cut from the body are followed by an empty line.
    row("TOP with body lines",
        {"C: TOP 2 1", "S: +OK", "S: Subject: two", "S:", "S: ..dot", "S:", "S: .",
         "! log POP3-Inspecting message header #2"});
    row("TOP header section only", {"C: TOP 1 0", "S: +OK", "S: Subject: one", "S:", "S: ."});
    row("TOP negative count is the header section",
        {"C: TOP 1 -1", "S: +OK", "S: Subject: one", "S:", "S: .", "! no-log POP3-Negative argument not allowed."});
    row("TOP beyond the body", {"C: TOP 1 9", "S: +OK", "S: Subject: one", "S:", "S: first line", "S: ."});
    // Above the large-message threshold the message comes as a background
    // download; the scripted session hands none out, so this is the path of
    // a download that could not start (the download itself is tested
    // against the real session).
    const QByteArray large = "Subject: big\r\n\r\n" + QByteArray(59982, 'x') + "\r\n";
    QTest::newRow("RETR of a large message that cannot start") << Mailbox{{large}}
                                                               << LoggedIn
            + Script{"C: LIST 1",
                     "S: +OK 1 60000",
                     "C: RETR 1",
                     "S: -ERR async retrieval failed",
                     "! log POP3-ERR: Message retrieval failed",
                     "C: NOOP",
                     "S: +OK nothing done"};
}

void tst_PopScripts::badArguments()
{
    const auto row = [](const char *name, const QByteArray &line, const QByteArray &reply, const QByteArray &log) {
        Script script = LoggedIn + Script{"C: " + line, "S: " + reply};
        if (!log.isEmpty())
            script += "! log " + log;
        // A bad argument changes nothing: the dialogue goes on as it was.
        script += Script{"C: LIST 1", "S: +OK 1 28"};
        QTest::newRow(name) << Inbox << script;
    };
    const QByteArray invalid = "-ERR invalid argument";
    row("RETR 0", "RETR 0", "-ERR no such message", "");
    row("RETR alone", "RETR", "-ERR no such message", "");
    row("RETR beyond", "RETR 77", "-ERR no such message", "POP3-Receiving message #77");
    row("LIST negative", "LIST -1", invalid, "POP3-Negative argument not allowed.");
    row("LIST word", "LIST one", invalid, "POP3-Unknown command: LIST one");
    row("LIST two numbers", "LIST 1 2", invalid, "POP3-Unknown command: LIST 1 2");
    row("RETR beyond 32 bits", "RETR 4294967297", invalid, "POP3-Unknown command: RETR 4294967297");
    row("DELE negative", "DELE -2", invalid, "POP3-Negative argument not allowed.");
    row("TOP without count", "TOP 1", invalid, "POP3-Unknown command: TOP 1");
    row("TOP word count", "TOP 1 x", invalid, "POP3-Unknown command: TOP 1 x");
    row("TOP negative message number", "TOP -1 5", invalid, "POP3-Negative argument not allowed.");
    row("TOP of nothing", "TOP 0 5", "-ERR no such message", "POP3-Inspecting message header #0");
    row("unknown word", "XTND", "-ERR no such command", "POP3-Unknown command: XTND");
    row("AUTH after login", "AUTH", "-ERR no such command", "POP3-Unknown command: AUTH");
    row("PASS after login", "PASS s3cret", invalid, "POP3-Unknown command: PASS ********");
    row("USER after login", "USER bob", invalid, "POP3-Unknown command: USER bob");
}

// QUIT in the transaction state: the marks reach the session only now, as
// the options say; then the logoff ends the dialogue's account.
void tst_PopScripts::updatePhase()
{
    const auto row = [](const char *name, const Script &script) { QTest::newRow(name) << Inbox << LoggedIn + script; };
    const Script marks{"C: DELE 1", "S: +OK marked for deletion", "C: RSET", "S: +OK reset",
                       "C: DELE 2", "S: +OK marked for deletion"};
    row("mark read",
        marks
            + Script{"C: QUIT", "S: +OK", "S:", "! marked-read m2", "! moved",
                     "! calls ConnStatus Login GetMsgStoreProps MarkAsRead Logoff", "! account pop3 -",
                     "! log   Executing pending mark requests.", "! no-log   Executing pending deletions.",
                     "! log POP3-Logoff."});
    row("delete",
        Script{"! option mark-read off", "! option delete on"} + marks
            + Script{"C: QUIT", "S: +OK", "S:", "! moved m2", "! marked-read",
                     "! calls ConnStatus Login GetMsgStoreProps MoveToDeletedItems Logoff",
                     "! log   Executing pending deletions."});
    row("both",
        Script{"! option delete on"} + marks + Script{"C: QUIT", "S: +OK", "S:", "! marked-read m2", "! moved m2"});
    row("neither",
        Script{"! option mark-read off", "C: DELE 1", "S: +OK request ignored", "C: QUIT", "S: +OK",
               "S:", "! calls ConnStatus Login GetMsgStoreProps Logoff", "! marked-read"});
    row("marking fails",
        marks
            + Script{
                "! fail MarkAsRead 500 Internal Server Error", "C: QUIT", "S: -ERR some deleted messages not removed",
                "! log POP3-ERR: Message #2 (m2) not marked as read: 500 Internal Server Error", "! account pop3 -"});
    row("moving fails",
        Script{"! option delete on", "! fail MoveToDeletedItems"} + marks
            + Script{"C: QUIT", "S: -ERR some deleted messages not removed", "! marked-read m2",
                     "! log POP3-ERR: Message #2 (m2) not moved to the deleted items: 404 Not Found"});
    row("QUIT without a listing",
        {"C: QUIT", "S: +OK", "S:", "! calls ConnStatus Login GetMsgStoreProps MarkAsRead Logoff"});
}

// What the session's failures look like to the client.
void tst_PopScripts::sessionFailures()
{
    const auto row = [](const char *name, const Script &script) { QTest::newRow(name) << Inbox << LoggedIn + script; };
    row("RETR fails",
        {"C: STAT", "S: +OK 2 65", "! fail Retrieve -ERR Retrieval failed: 12029, 12029 - no connection", "C: RETR 1",
         "S: -ERR Retrieval failed: 12029, 12029 - no connection", "! clear Retrieve", "C: RETR 1", "S: +OK 28",
         "S: Subject: one", "S:", "S: first line", "S: ."});
    row("TOP fails", {"! fail Top -ERR Retrieval failed: 12002", "C: TOP 1 0", "S: -ERR Retrieval failed: 12002"});
    QTest::newRow("login refused by the component") << Inbox << Script{"! login ann@mail.test s3cret 200",
                                                                       "! fail Login 12029",
                                                                       "C: USER ann",
                                                                       "S: +OK password required",
                                                                       "C: PASS s3cret",
                                                                       "S: -ERR Login failure 12029",
                                                                       "! account pop3 -"};
}

void tst_PopScripts::dialogue()
{
    QFETCH(Mailbox, mailbox);
    QFETCH(Script, script);
    ScriptedAgentState agent(m_root.filePath(QStringLiteral("pop%1.ini").arg(++m_rows)));
    agent.session.setMessages(mailbox);
    Winsock wskPop;
    PopFrontEnd frontEnd(agent.state, wskPop);
    const QString problem = agent.Run(script, [&](const QByteArray &line) { return frontEnd.HandlePopCommand(line); });
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // No password reaches the on-screen log, whatever the dialogue did.
    QVERIFY(!agent.screen.contains(QStringLiteral("s3cret")));
}

QTEST_GUILESS_MAIN(tst_PopScripts)
#include "tst_PopScripts.moc"
