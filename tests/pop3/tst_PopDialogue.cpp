// Whole POP3 dialogues over loopback: a raw client, the agent's POP3 side
// with a real session, and the reference web mail service over a Maildir.
#include "PopTestBench.h"

#include <QDirIterator>
#include <QRandomGenerator>

using namespace PopTest;

namespace {
const QString Domain = QStringLiteral("@zorvane.test");
} // namespace

class tst_PopDialogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void greetingAndCapabilities();
    void passwordThatCannotBeKeptIsLogged();
    void listingsMatchTheMaildir();
    void retrieveIsByteExact_data();
    void retrieveIsByteExact();
    void topCutsTheBody();
    void topHeaderSectionIsByteExact_data();
    void topHeaderSectionIsByteExact();
    void pipelinedAndSplitCommands();
    void overlongLineIsRefused();
    void updatePhase_data();
    void updatePhase();
    void quitClosesAndListensAgain();
    void quitWithoutWaitingStillUpdates();
    void droppedClientIsRecovered();
    void localhostOnlyRule();
    void secondClientIsNotAnswered();
    void logFileMasksPasswords();
    void trayShowsBusyThenIdle();
    void idleClientIsClosedWithoutUpdate();
    void noopWithinTheLimitKeepsTheClient();

private:
    void putMessage(const QString &account, const QByteArray &name, const QByteArray &text, bool read = false);
    QStringList maildirFiles(const QString &account, const QString &folder = QString()) const;
    void login(LineClient &client, const QByteArray &user, const QByteArray &password = "secret");

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<TestAgent> m_agent;
    QList<QByteArray> m_inbox; // the messages of "user", in listing order
    int m_settingsCount = 0;
};

void tst_PopDialogue::initTestCase()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    QVERIFY(m_env->isValid());
    m_service = std::make_unique<ServiceProcess>(m_env->path(QStringLiteral("service")));
    for (const char *account : {"user", "marks", "deletes", "ignored", "quitter", "hasty", "idler"})
        QVERIFY(m_service->addAccount(QLatin1String(account) + Domain, QStringLiteral("secret")));

    // The inbox of "user": a small message, dot lines, the sizes around the
    // large-message threshold, and a large message of 8-bit bytes.
    m_inbox << messageOfSize(300, "small");
    m_inbox << messageOfSize(2000, "dots", ".\r\n..\r\n.x\r\n. \r\nend.\r\n.\r\n");
    m_inbox << messageOfSize(50000, "at-threshold", ".starts with a dot\r\n");
    m_inbox << messageOfSize(50001, "above-threshold", ".\r\n");
    QByteArray big = messageOfSize(20000, "big", ".\r\n");
    QRandomGenerator random(5);
    QByteArray binaryLines;
    while (binaryLines.size() < 700000) {
        QByteArray line(qsizetype(random.bounded(1, 120)), '\0');
        for (char &c : line) {
            c = char(random.bounded(32, 256));
        }
        if (random.bounded(10) == 0)
            line.prepend('.');
        binaryLines += line + "\r\n";
    }
    big += binaryLines;
    m_inbox << big;
    for (int i = 0; i < m_inbox.size(); ++i)
        putMessage(QStringLiteral("user"), "100000000" + QByteArray::number(i) + ".M1P1.test", m_inbox.at(i));

    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
}

void tst_PopDialogue::cleanupTestCase()
{
    m_service.reset();
    m_env.reset();
}

void tst_PopDialogue::init()
{
    const QString settings = m_env->path(QStringLiteral("config/Zorvane/test%1.ini").arg(++m_settingsCount));
    QDir().mkpath(QFileInfo(settings).path());
    m_agent = std::make_unique<TestAgent>(settings, m_service->serviceUrl(), m_service->altServiceUrl(),
                                          TestAgent::listingAll(false, false));
    QVERIFY(m_agent->listening);
}

void tst_PopDialogue::cleanup()
{
    m_agent.reset();
}

void tst_PopDialogue::putMessage(const QString &account, const QByteArray &name, const QByteArray &text, bool read)
{
    const QString folder =
        m_service->maildir(account + Domain) + (read ? QStringLiteral("/cur/") : QStringLiteral("/new/"));
    QFile file(folder + QString::fromLatin1(name) + (read ? QStringLiteral(":2,S") : QString()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(text), text.size());
}

QStringList tst_PopDialogue::maildirFiles(const QString &account, const QString &folder) const
{
    QString root = m_service->maildir(account + Domain);
    if (!folder.isEmpty())
        root += QLatin1Char('/') + folder;
    QStringList names;
    for (const char *sub : {"/new", "/cur"}) {
        QDirIterator it(root + QLatin1String(sub), QDir::Files);
        while (it.hasNext())
            names << QFileInfo(it.next()).fileName();
    }
    names.sort();
    return names;
}

void tst_PopDialogue::login(LineClient &client, const QByteArray &user, const QByteArray &password)
{
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(client.command("USER " + user), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS " + password), QByteArray("+OK logged in\r\n"));
}

void tst_PopDialogue::greetingAndCapabilities()
{
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    const QByteArray capabilities("+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n");
    QCOMPARE(client.multiLineCommand("CAPA"), capabilities);
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("\r\n--New POP3 dialog--\r\n")));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("Connection request from 127.0.0.1(127.0.0.1) accepted.")));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Client has asked for capabilities.")));
    // In every state, the transaction state included.
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.multiLineCommand("capa"), capabilities);
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QCOMPARE(client.multiLineCommand("CAPA"), capabilities);
}

// The login succeeds but the password cannot be kept for the SMTP side (the
// store's file is a folder here): the dialogue goes on, and the log says
// why a later submission of this account will be refused.
void tst_PopDialogue::passwordThatCannotBeKeptIsLogged()
{
    const QString store = m_agent->settings.path();
    QVERIFY(QFile::remove(store));
    QVERIFY(QDir().mkpath(store));
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    client.readLine();
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    const QString log = m_agent->screenLog();
    QVERIFY2(log.contains(QStringLiteral("POP3-ERR: The password of user@zorvane.test could not be stored for "
                                         "sending: cannot ")),
             qPrintable(log));
    QVERIFY(log.contains(store));
    QVERIFY(client.command("STAT").startsWith("+OK "));
    QCOMPARE(client.command("QUIT"), QByteArray("+OK\r\n"));
}

void tst_PopDialogue::listingsMatchTheMaildir()
{
    LineClient client;
    login(client, "user");
    qint64 total = 0;
    QByteArray listing;
    for (int i = 0; i < m_inbox.size(); ++i) {
        total += m_inbox.at(i).size();
        listing += QByteArray::number(i + 1) + ' ' + QByteArray::number(m_inbox.at(i).size()) + "\r\n";
    }
    const QByteArray stat = "+OK " + QByteArray::number(m_inbox.size()) + ' ' + QByteArray::number(total);
    QCOMPARE(client.command("STAT"), stat + "\r\n");
    QCOMPARE(client.multiLineCommand("LIST"), stat + "\r\n" + listing + ".\r\n");
    QCOMPARE(client.command("LIST 2"), "+OK 2 " + QByteArray::number(m_inbox.at(1).size()) + "\r\n");
    QCOMPARE(client.command("LIST 99"), QByteArray("-ERR no such message\r\n"));

    const QByteArray uidl = client.multiLineCommand("UIDL");
    QVERIFY2(uidl.startsWith(stat + "\r\n1 "), uidl.constData());
    const QList<QByteArray> uidLines = uidl.split('\n');
    QCOMPARE(uidLines.size(), m_inbox.size() + 3); // status, one a message, ".", and the empty rest
    const QByteArray second = uidLines.at(2).trimmed();
    QCOMPARE(client.command("UIDL 2"), "+OK " + second + "\r\n");
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
    for (const char *log :
         {"POP3-Checking Inbox.", "POP3-Listing Inbox contents.", "POP3-Listing message IDs", "POP3-Nothing done."})
        QVERIFY2(m_agent->screenLog().contains(QLatin1String(log)), log);
}

void tst_PopDialogue::retrieveIsByteExact_data()
{
    QTest::addColumn<int>("message");
    QTest::newRow("small") << 1;
    QTest::newRow("dot lines") << 2;
    QTest::newRow("50000 bytes, direct path") << 3;
    QTest::newRow("50001 bytes, background path") << 4;
    QTest::newRow("large 8-bit message") << 5;
}

void tst_PopDialogue::retrieveIsByteExact()
{
    QFETCH(int, message);
    const QByteArray &stored = m_inbox.at(message - 1);
    LineClient client;
    login(client, "user");
    const auto [status, text] = splitRetrieve(client.multiLineCommand("RETR " + QByteArray::number(message)));
    QCOMPARE(status, "+OK " + QByteArray::number(stored.size()) + "\r\n");
    QCOMPARE(text.size(), stored.size());
    QVERIFY(text == stored);
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Receiving message #%1").arg(message)));
    // The dialogue goes on after the message.
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
    QVERIFY(!m_agent->pop->IsRetrieving());
    QVERIFY(!m_agent->session->IsBusy());
}

void tst_PopDialogue::topCutsTheBody()
{
    LineClient client;
    login(client, "user");
    const QByteArray &stored = m_inbox.at(1);
    const qsizetype headerEnd = stored.indexOf("\r\n\r\n") + 4;
    // Two body lines: ".", ".." go out stuffed and come back as they are;
    // the third is not sent.
    const QByteArray top = client.multiLineCommand("TOP 2 2");
    QVERIFY(top.startsWith("+OK\r\n"));
    QVERIFY(!top.contains("X-zorvane: busy..."));
    const QByteArray cut = unstuffData(top.mid(5)).first;
    QVERIFY2(cut.startsWith(stored.left(headerEnd) + ".\r\n..\r\n"), cut.constData());
    QVERIFY(!cut.contains(".x"));
    QVERIFY(top.contains("\r\n\r\n..\r\n...\r\n"));
    // No body lines: the header section alone.
    const QByteArray headerOnlyReply = client.multiLineCommand("TOP 1 0");
    QVERIFY(!headerOnlyReply.contains("X-zorvane: busy..."));
    const QByteArray headerOnly = unstuffData(headerOnlyReply.mid(5)).first;
    QVERIFY(headerOnly.startsWith(m_inbox.at(0).left(m_inbox.at(0).indexOf("\r\n\r\n") + 4)));
    QVERIFY(!headerOnly.contains("abcdefghij"));
    // TOP of a large message answers at once from the direct path.
    const QByteArray largeTop = client.multiLineCommand("TOP 4 1");
    QVERIFY(largeTop.startsWith("+OK\r\n"));
    QVERIFY(largeTop.contains("Subject: above-threshold\r\n"));
    QVERIFY(!largeTop.contains("X-zorvane: busy..."));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Inspecting message header #4")));
}

void tst_PopDialogue::topHeaderSectionIsByteExact_data()
{
    QTest::addColumn<int>("message");
    QTest::addColumn<QByteArray>("count");
    QTest::newRow("300 octets, no line") << 1 << QByteArray("0");
    QTest::newRow("300 octets, negative count") << 1 << QByteArray("-1");
    QTest::newRow("50001 octets from the properties, no line") << 4 << QByteArray("0");
    QTest::newRow("50001 octets from the properties, negative count") << 4 << QByteArray("-1");
}

// Without body lines a client gets the header section, closed by exactly
// one empty line, whether it was cut from the downloaded message or built
// from the message's properties (which add the line with its unique name).
void tst_PopDialogue::topHeaderSectionIsByteExact()
{
    QFETCH(int, message);
    QFETCH(QByteArray, count);
    LineClient client;
    login(client, "user");
    const QByteArray number = QByteArray::number(message);
    const QByteArray stored = m_inbox.at(message - 1);
    const QByteArray headerLines = stored.left(stored.indexOf("\r\n\r\n") + 2);
    QByteArray expected = "+OK\r\n" + headerLines;
    if (stored.size() > 10000) {
        const QByteArray uidl = client.command("UIDL " + number); // "+OK n name"
        expected += "X-Zorvane-Id: <" + uidl.mid(5 + number.size()).trimmed() + "@zorvane.test>\r\n";
    }
    expected += "\r\n.\r\n";
    QCOMPARE(client.multiLineCommand("TOP " + number + ' ' + count), expected);
    QVERIFY(
        m_agent->screenLog().contains(QStringLiteral("POP3-Inspecting message header #") + QString::number(message)));
    QVERIFY(!m_agent->screenLog().contains(QStringLiteral("POP3-Negative argument not allowed.")));
}

void tst_PopDialogue::pipelinedAndSplitCommands()
{
    LineClient client;
    login(client, "user");
    // Several commands in one segment: every one is answered, in order.
    client.send("STAT\r\nLIST\r\nNOOP\r\nLIST 1\r\n");
    const QByteArray stat = client.readLine();
    QVERIFY(stat.startsWith("+OK 5 "));
    const QByteArray list = client.readMultiLine();
    QVERIFY(list.startsWith(stat + "1 "));
    QVERIFY(list.endsWith("\r\n5 " + QByteArray::number(m_inbox.at(4).size()) + "\r\n.\r\n"));
    QCOMPARE(client.readLine(), QByteArray("+OK nothing done\r\n"));
    QCOMPARE(client.readLine(), "+OK 1 " + QByteArray::number(m_inbox.at(0).size()) + "\r\n");

    // One command over several segments, CR and LF apart: one answer, once
    // the line is whole.
    QSignalSpy arrivals(&m_agent->wskPop, &Winsock::DataArrival);
    for (const QByteArray &piece : {QByteArray("LI"), QByteArray("ST 2"), QByteArray("\r")}) {
        client.send(piece);
        QVERIFY(arrivals.wait());
        QCOMPARE(client.pending(), QByteArray());
    }
    client.send("\n");
    QCOMPARE(client.readLine(), "+OK 2 " + QByteArray::number(m_inbox.at(1).size()) + "\r\n");
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
}

void tst_PopDialogue::overlongLineIsRefused()
{
    LineClient client;
    login(client, "user");
    client.send(QByteArray(70000, 'x'));
    QCOMPARE(client.readLine(), QByteArray("-ERR line too long\r\n"));
    // The rest of that line is dropped; the next command is answered.
    client.send(QByteArray(5000, 'y') + "\r\nNOOP\r\n");
    QCOMPARE(client.readLine(), QByteArray("+OK nothing done\r\n"));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-ERR: Command line longer than 65536 bytes dropped.")));
    QCOMPARE(client.command("STAT").left(6), QByteArray("+OK 5 "));
}

void tst_PopDialogue::updatePhase_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<bool>("markRead");
    QTest::addColumn<bool>("deleteOnServer");
    QTest::newRow("both off") << QStringLiteral("ignored") << false << false;
    QTest::newRow("mark read") << QStringLiteral("marks") << true << false;
    QTest::newRow("delete") << QStringLiteral("deletes") << false << true;
}

// DELE 1, RSET, DELE 2 and DELE 3, QUIT: the marks reach the service only
// at QUIT, and only as the options say.
void tst_PopDialogue::updatePhase()
{
    QFETCH(QString, account);
    QFETCH(bool, markRead);
    QFETCH(bool, deleteOnServer);
    for (int i = 1; i <= 3; ++i)
        putMessage(account, "200000000" + QByteArray::number(i) + ".M1P1.test", messageOfSize(400 * i, "update"));
    const QStringList before = maildirFiles(account);
    QCOMPARE(before.size(), 3);

    m_agent->options.markReadOnServer = markRead;
    m_agent->options.deleteOnServer = deleteOnServer;
    LineClient client;
    login(client, account.toUtf8());
    const bool marking = markRead || deleteOnServer;
    const QByteArray dele = marking ? "+OK marked for deletion\r\n" : "+OK request ignored\r\n";
    QCOMPARE(client.command("DELE 1"), dele);
    QCOMPARE(client.command("RSET"), QByteArray("+OK reset\r\n"));
    QCOMPARE(client.command("DELE 2"), dele);
    QCOMPARE(client.command("DELE 3"), dele);
    // A marked message is gone for the rest of the dialogue.
    QCOMPARE(client.command("LIST 2"), marking ? QByteArray("-ERR deleted\r\n") : "+OK 2 800\r\n");
    QCOMPARE(maildirFiles(account), before);

    client.send("QUIT\r\n");
    QVERIFY(client.waitForClose());
    QCOMPARE(client.takeAll(), QByteArray("+OK\r\n\r\n"));
    const QString log = m_agent->screenLog();
    QVERIFY(log.contains(QStringLiteral("POP3-Cleaning up.")));
    QVERIFY(log.contains(QStringLiteral("POP3-Logoff.\r\n\r\n")));
    QCOMPARE(log.contains(QStringLiteral("  Executing pending mark requests.")), markRead);
    QCOMPARE(log.contains(QStringLiteral("  Executing pending deletions.")), deleteOnServer);
    QVERIFY(log.contains(QStringLiteral("POP3-Request to mark message #2 ")
                         + (marking ? QStringLiteral("for read/delete.") : QStringLiteral("ignored."))));
    // The logoff ends the dialogue's account.
    QVERIFY(m_agent->session->AccountOf(clsHotmail::FrontEnd::Pop3).isEmpty());
    QVERIFY(m_agent->listensAgain());

    const QStringList after = maildirFiles(account);
    const QStringList deleted = maildirFiles(account, QStringLiteral(".Deleted Items"));
    auto isRead = [](const QString &name) { return name.section(QStringLiteral(":2,"), 1).contains(QLatin1Char('S')); };
    if (deleteOnServer) {
        QCOMPARE(after.size(), 1);
        QVERIFY(after.first().startsWith(QStringLiteral("2000000001")));
        QCOMPARE(deleted.size(), 2);
    } else {
        QCOMPARE(after.size(), 3);
        QVERIFY(deleted.isEmpty());
        for (const QString &name : after)
            QCOMPARE(isRead(name), markRead && !name.startsWith(QStringLiteral("2000000001")));
    }
}

void tst_PopDialogue::quitClosesAndListensAgain()
{
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    client.readLine();
    QCOMPARE(client.command("USER quitter"), QByteArray("+OK password required\r\n"));
    client.send("QUIT\r\nNOOP\r\n");
    QVERIFY(client.waitForClose());
    // Nothing after QUIT is answered.
    QCOMPARE(client.takeAll(), QByteArray("+OK\r\n\r\n"));
    QVERIFY(m_agent->listensAgain());
    // The aborted logon and the blank line between dialogues.
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Logon aborted.\r\n\r\n\r\n")));
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);

    // The next client starts from the beginning.
    LineClient next;
    QVERIFY(next.connectTo(m_agent->pop3Port()));
    QCOMPARE(next.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(next.command("PASS secret"), QByteArray("-ERR authenticate first\r\n"));
}

// A client that sends DELE and QUIT together and closes at once still gets
// its marks carried out: the update phase does not depend on the replies
// reaching it.
void tst_PopDialogue::quitWithoutWaitingStillUpdates()
{
    putMessage(QStringLiteral("hasty"), "3000000001.M1P1.test", messageOfSize(500, "hasty"));
    m_agent->options.markReadOnServer = true;
    LineClient client;
    login(client, "hasty");
    client.send("DELE 1\r\nQUIT\r\n");
    client.socket().disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(maildirFiles(QStringLiteral("hasty")).value(0).endsWith(QStringLiteral(":2,S")),
                             LineClient::ReplyTimeoutMs);
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Logoff.")));
    QVERIFY(m_agent->listensAgain());
}

void tst_PopDialogue::droppedClientIsRecovered()
{
    {
        LineClient client;
        login(client, "user");
        QCOMPARE(client.command("STAT").left(6), QByteArray("+OK 5 "));
        client.abort();
    }
    // The watchdog finds the socket waiting to be closed on its next tick.
    QTRY_COMPARE_WITH_TIMEOUT(m_agent->wskPop.State(), int(Winsock::sckListening), 3 * SocketWatchdog::CheckIntervalMs);
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    QCOMPARE(client.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(client.command("STAT"), QByteArray("-ERR authenticate first\r\n"));
}

void tst_PopDialogue::localhostOnlyRule()
{
    const QHostAddress otherLoopback(QStringLiteral("127.0.0.2"));
    m_agent->options.localhostOnly = true;
    {
        LineClient stranger;
        QVERIFY(stranger.connectTo(m_agent->pop3Port(), otherLoopback));
        QVERIFY(stranger.waitForClose());
        QCOMPARE(stranger.takeAll(), QByteArray());
    }
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("Connection request from 127.0.0.2(127.0.0.2) rejected.")));
    QVERIFY(m_agent->listensAgain());
    {
        LineClient local;
        QVERIFY(local.connectTo(m_agent->pop3Port()));
        QCOMPARE(local.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
        local.send("QUIT\r\n");
        QVERIFY(local.waitForClose());
    }
    QVERIFY(m_agent->listensAgain());

    // With the check box off, any address is served.
    m_agent->options.localhostOnly = false;
    LineClient other;
    QVERIFY(other.connectTo(m_agent->pop3Port(), otherLoopback));
    QCOMPARE(other.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("Connection request from 127.0.0.2(127.0.0.2) accepted.")));
}

void tst_PopDialogue::secondClientIsNotAnswered()
{
    LineClient first;
    QVERIFY(first.connectTo(m_agent->pop3Port()));
    QCOMPARE(first.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    {
        // Nothing listens while a dialogue is in progress.
        LineClient second;
        QVERIFY(!second.connectTo(m_agent->pop3Port()));
        QCOMPARE(second.takeAll(), QByteArray());
    }
    QCOMPARE(first.command("NOOP"), QByteArray("-ERR authenticate first\r\n"));
    first.send("QUIT\r\n");
    QVERIFY(first.waitForClose());
    QVERIFY(m_agent->listensAgain());
    LineClient third;
    QVERIFY(third.connectTo(m_agent->pop3Port()));
    QCOMPARE(third.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
}

void tst_PopDialogue::logFileMasksPasswords()
{
    const QString logFolder = m_env->path(QStringLiteral("tmp/log%1").arg(m_settingsCount));
    m_agent->state.StartFileLog(true, logFolder);
    QVERIFY(m_agent->state.LogToFile);
    LineClient client;
    QVERIFY(client.connectTo(m_agent->pop3Port()));
    client.readLine();
    QCOMPARE(client.command("PASS early-secret"), QByteArray("-ERR authenticate first\r\n"));
    QCOMPARE(client.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(client.command("AUTH PLAIN c2VjcmV0"), QByteArray("-ERR not supported\r\n"));
    QCOMPARE(client.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
    m_agent->state.ActivityLog.reset();
    m_agent->state.LogToFile = false;

    QFile file(logFolder + QStringLiteral("/Log.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray log = file.readAll();
    QVERIFY2(!log.contains("secret"), log.constData());
    QVERIFY(!log.contains("c2VjcmV0"));
    for (const char *entry : {"\tPOP3> PASS ********\r\n", "\tPOP3> USER user\r\n", "\tPOP3< +OK logged in\r\n",
                              "\tPOP3> NOOP\r\n", "\tMSG < POP3-Logged in.\r\n"})
        QVERIFY2(log.contains(entry), entry);
}

void tst_PopDialogue::trayShowsBusyThenIdle()
{
    LineClient client;
    login(client, "user");
    QSignalSpy tray(&m_agent->state.TrayData, &TrayStatus::changed);
    QCOMPARE(client.multiLineCommand("RETR 4").left(10), QByteArray("+OK 50001\r"));
    QVERIFY(!tray.isEmpty());
    QCOMPARE(tray.first().at(1).toString(), TrayStatus::Busy);
    QCOMPARE(tray.last().at(1).toString(), TrayStatus::Idle);
    QCOMPARE(m_agent->state.TrayData.icon(), TrayStatus::Icon::Program);
    tray.clear();
    QCOMPARE(client.command("NOOP"), QByteArray("+OK nothing done\r\n"));
    QCOMPARE(tray.size(), 2);
    QCOMPARE(tray.at(0).at(1).toString(), TrayStatus::Busy);
    QCOMPARE(tray.at(1).at(1).toString(), TrayStatus::Idle);
}

// A client that goes silent after DELE is told so and disconnected; the
// update phase never runs, so the Maildir is untouched, and the next client
// is served with the message still there.
void tst_PopDialogue::idleClientIsClosedWithoutUpdate()
{
    QCOMPARE(m_agent->pop->IdleTimeout(), PopFrontEnd::PopIdleTimeoutMs);
    putMessage(QStringLiteral("idler"), "4000000001.M1P1.test", messageOfSize(600, "idle"));
    const QStringList before = maildirFiles(QStringLiteral("idler"));
    m_agent->options.markReadOnServer = true;
    m_agent->options.deleteOnServer = true;
    {
        LineClient client;
        login(client, "idler");
        QCOMPARE(client.command("DELE 1"), QByteArray("+OK marked for deletion\r\n"));
        m_agent->pop->SetIdleTimeout(300);
        QVERIFY(client.waitForClose());
        QCOMPARE(client.takeAll(), QByteArray("-ERR idle for too long, closing connection\r\n"));
    }
    const QString log = m_agent->screenLog();
    QVERIFY2(log.contains(QStringLiteral("POP3-Connection idle for 300 ms, closed.")), qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("POP3-Cleaning up.")));
    QVERIFY(m_agent->listensAgain());
    QCOMPARE(m_agent->pop->State(), PopState::Greeted);
    QCOMPARE(maildirFiles(QStringLiteral("idler")), before);
    QVERIFY(maildirFiles(QStringLiteral("idler"), QStringLiteral(".Deleted Items")).isEmpty());

    m_agent->pop->SetIdleTimeout(0);
    LineClient next;
    login(next, "idler");
    QCOMPARE(next.command("STAT"), QByteArray("+OK 1 600\r\n"));
    next.send("QUIT\r\n");
    QVERIFY(next.waitForClose());
    QCOMPARE(maildirFiles(QStringLiteral("idler")), before);
}

// NOOPs sent well within the limit, for longer than the limit in all, keep
// the dialogue; once they stop, the limit applies again.
void tst_PopDialogue::noopWithinTheLimitKeepsTheClient()
{
    constexpr int IdleLimitMs = 1500;
    constexpr int NoopEveryMs = 150;
    constexpr int NoopCount = 15; // 2250 ms of dialogue in all
    LineClient client;
    login(client, "user");
    m_agent->pop->SetIdleTimeout(IdleLimitMs);
    int sent = 0;
    QTimer ticker;
    ticker.setInterval(NoopEveryMs);
    QObject::connect(&ticker, &QTimer::timeout, &client.socket(), [&] {
        client.send("NOOP\r\n");
        if (++sent == NoopCount)
            ticker.stop();
    });
    ticker.start();
    QVERIFY(client.waitUntil(
        [&] { return client.pending().count("+OK nothing done\r\n") == NoopCount || client.closedByPeer(); }));
    QCOMPARE(client.pending().count("+OK nothing done\r\n"), NoopCount);
    QVERIFY(!client.closedByPeer());
    QVERIFY(!m_agent->screenLog().contains(QStringLiteral("POP3-Connection idle")));

    QVERIFY(client.waitForClose());
    QVERIFY(client.takeAll().endsWith("-ERR idle for too long, closing connection\r\n"));
    QVERIFY(m_agent->screenLog().contains(QStringLiteral("POP3-Connection idle for 1500 ms, closed.")));
}

QTEST_GUILESS_MAIN(tst_PopDialogue)
#include "tst_PopDialogue.moc"
