// One web mail session, two front ends: SMTP commands arrive while POP3
// loads the message list and while it downloads a large message. Both
// dialogues end and neither message is lost or changed. Two accounts, one on
// each front end, in either order: each dialogue goes on with its own.
#include "MailTexts.h"
#include "SmtpTestRig.h"

namespace {
const QString Demo = QStringLiteral("demo@zorvane.test");
const QString Ann = QStringLiteral("ann@zorvane.test");

// A message as the store keeps it, in the inbox of Demo.
bool storeForDemo(const QString &dataFolder, const QByteArray &text)
{
    const QString maildir = dataFolder + QStringLiteral("/mail/") + Demo;
    for (const char *part : {"/tmp", "/cur", "/new"})
        QDir().mkpath(maildir + QLatin1String(part));
    QFile file(maildir + QStringLiteral("/new/1700000000.M1P1.tst"));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The reference service with the accounts Demo and Ann, and the agent on it.
struct BothFrontEnds
{
    explicit BothFrontEnds(const QString &dataFolder)
        : service(dataFolder)
    {
    }

    bool start(const QString &settingsPath)
    {
        if (!service.writeAccounts((Demo + QStringLiteral(" demo\n") + Ann + QStringLiteral(" annpw\n")).toUtf8())
            || !service.start()) {
            qWarning("%s", qPrintable(service.problem()));
            return false;
        }
        agent = std::make_unique<TestAgent>(settingsPath, service.serviceUrl(), service.altServiceUrl());
        return agent->listening;
    }

    // A POP3 client logged in as user.
    void logInPop(LineClient &pop, const QByteArray &user, const QByteArray &password)
    {
        QVERIFY(pop.connectTo(agent->pop3Port()));
        QVERIFY(pop.readLine().startsWith("+OK"));
        QVERIFY(pop.exchange("USER " + user + "\r\n").startsWith("+OK"));
        QCOMPARE(pop.exchange("PASS " + password + "\r\n"), QByteArray("+OK logged in\r\n"));
    }

    // An SMTP client greeted by the agent.
    void greetSmtp(LineClient &smtp)
    {
        QVERIFY(smtp.connectTo(agent->smtpPort()));
        QVERIFY(smtp.readLine().startsWith("220 "));
    }

    ServiceProcess service;
    std::unique_ptr<TestAgent> agent;
};
} // namespace

class tst_SmtpWithPop3 : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sendWhileDownloading();
    void otherAccountSendsDuringAPop3Dialogue();
    void otherAccountLogsInDuringAnSmtpDialogue();

private:
    QTemporaryDir m_root;
};

void tst_SmtpWithPop3::initTestCase()
{
    QVERIFY(m_root.isValid());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(name))));
        qputenv(name, m_root.filePath(QString::fromLatin1(name)).toUtf8());
    }
}

void tst_SmtpWithPop3::sendWhileDownloading()
{
    // A message far above the size that takes the asynchronous path.
    QByteArray stored = "From: ann@zorvane.test\r\nTo: demo@zorvane.test\r\nSubject: big\r\n\r\n";
    for (int line = 0; stored.size() < 4 * 1024 * 1024; ++line)
        stored += (line % 7 == 0 ? "." : "") + QByteArray::number(line).repeated(12) + "\r\n";
    const QString data = m_root.filePath(QStringLiteral("service"));
    QVERIFY(storeForDemo(data, stored));
    BothFrontEnds rig(data);
    QVERIFY(rig.start(m_root.filePath(QStringLiteral("Zorvane.ini"))));
    TestAgent &agent = *rig.agent;
    ServiceProcess &service = rig.service;
    agent.storePassword(Demo, "demo"); // an earlier POP3 login kept it
    agent.options.markReadOnServer = false;
    agent.options.deleteOnServer = false;

    LineClient pop;
    rig.logInPop(pop, "demo", "demo");
    LineClient smtp;
    rig.greetSmtp(smtp);

    // HELO's service check is asked for while the first POP3 mailbox command
    // loads the message list through the session's one request.
    bool asked = false;
    const auto duringPop3Command = QObject::connect(&agent.state.TrayData, &TrayStatus::changed, &agent.state,
                                                    [&](TrayStatus::Icon, const QString &tip) {
                                                        if (tip != TrayStatus::Busy || std::exchange(asked, true))
                                                            return;
                                                        smtp.socket().write("HELO tester\r\n");
                                                    });
    pop.socket().write("STAT\r\n");
    QCOMPARE(smtp.readLine(), QByteArray("250 Zorvane\r\n"));
    QObject::disconnect(duringPop3Command);
    QVERIFY(pop.readLine().startsWith("+OK 1 "));
    QCOMPARE(smtp.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));

    // The download runs while the message is submitted.
    pop.socket().write("RETR 1\r\n");
    QCOMPARE(smtp.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("DATA\r\n").left(4), QByteArray("354 "));
    const QByteArray sent = "Subject: meanwhile\r\n\r\n..sent while a download ran\r\n";
    QCOMPARE(smtp.exchange(sent + ".\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("QUIT\r\n"), QByteArray("221 Zorvane bye.\r\n"));

    QVERIFY(pop.waitUntil([&] { return pop.pending().endsWith("\r\n.\r\n"); }));
    const auto [status, dataLines] = MailTexts::splitStatus(pop.takeAll());
    QVERIFY(status.startsWith("+OK"));
    const auto [retrieved, terminated] = MailTexts::unstuffData(dataLines);
    QVERIFY(terminated);
    QCOMPARE(retrieved, stored);
    QVERIFY(pop.exchange("QUIT\r\n").startsWith("+OK"));

    QCOMPARE(service.messages(Ann), QList<QByteArray>{"Subject: meanwhile\r\n\r\n.sent while a download ran\r\n"});
}

// Demo reads over POP3; between two of its commands a message from Ann is
// submitted. Demo's RETR, DELE and QUIT go on with Demo's account: the
// message comes down, is moved at QUIT, and QUIT says "+OK".
void tst_SmtpWithPop3::otherAccountSendsDuringAPop3Dialogue()
{
    const QString data = m_root.filePath(QStringLiteral("two-accounts-1"));
    const QByteArray stored = "From: ann@zorvane.test\r\nTo: demo@zorvane.test\r\nSubject: for demo\r\n\r\nHello.\r\n";
    QVERIFY(storeForDemo(data, stored));
    BothFrontEnds rig(data);
    QVERIFY(rig.start(m_root.filePath(QStringLiteral("two-accounts-1.ini"))));
    TestAgent &agent = *rig.agent;
    ServiceProcess &service = rig.service;
    agent.storePassword(Ann, "annpw");
    agent.options.markReadOnServer = true;
    agent.options.deleteOnServer = true;

    LineClient pop;
    rig.logInPop(pop, "demo", "demo");
    QVERIFY(pop.exchange("STAT\r\n").startsWith("+OK 1 "));

    LineClient smtp;
    rig.greetSmtp(smtp);
    QCOMPARE(smtp.exchange("HELO tester\r\n"), QByteArray("250 Zorvane\r\n"));
    QCOMPARE(smtp.exchange("MAIL FROM:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("RCPT TO:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("DATA\r\n").left(4), QByteArray("354 "));
    QCOMPARE(smtp.exchange("Subject: from ann\r\n\r\nHi.\r\n.\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("QUIT\r\n"), QByteArray("221 Zorvane bye.\r\n"));

    pop.socket().write("RETR 1\r\n");
    QVERIFY(pop.waitUntil([&] { return pop.pending().endsWith("\r\n.\r\n") || pop.pending().startsWith("-ERR"); }));
    QVERIFY2(pop.pending().startsWith("+OK " + QByteArray::number(stored.size()) + "\r\n"), pop.pending().constData());
    pop.takeAll();
    QCOMPARE(pop.exchange("DELE 1\r\n"), QByteArray("+OK marked for deletion\r\n"));
    QCOMPARE(pop.exchange("QUIT\r\n"), QByteArray("+OK\r\n"));

    // Demo's message went to the deleted items; Ann's submission arrived,
    // and is the only message left in Demo's inbox.
    QCOMPARE(service.messages(Demo, QStringLiteral(".Deleted Items")), QList<QByteArray>{stored});
    QCOMPARE(service.messages(Demo), QList<QByteArray>{"Subject: from ann\r\n\r\nHi.\r\n"});
}

// An SMTP dialogue of Demo is past HELO when Ann logs in over POP3: Demo's
// MAIL logs in as Demo and the message goes out as Demo's.
void tst_SmtpWithPop3::otherAccountLogsInDuringAnSmtpDialogue()
{
    BothFrontEnds rig(m_root.filePath(QStringLiteral("two-accounts-2")));
    QVERIFY(rig.start(m_root.filePath(QStringLiteral("two-accounts-2.ini"))));
    TestAgent &agent = *rig.agent;
    ServiceProcess &service = rig.service;
    agent.storePassword(Demo, "demo");
    agent.options.saveSentItems = true;

    LineClient smtp;
    rig.greetSmtp(smtp);
    QCOMPARE(smtp.exchange("HELO tester\r\n"), QByteArray("250 Zorvane\r\n"));

    LineClient pop;
    rig.logInPop(pop, "ann", "annpw");

    QCOMPARE(smtp.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(agent.screen.count(QStringLiteral("SMTP-Logged in.")), 1);
    QCOMPARE(smtp.exchange("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("DATA\r\n").left(4), QByteArray("354 "));
    QCOMPARE(smtp.exchange("Subject: from demo\r\n\r\nHi Ann.\r\n.\r\n"), QByteArray("250 OK\r\n"));
    // Another message of the same account needs no new login; one from the
    // other account does (its password was kept at its POP3 login).
    QCOMPARE(smtp.exchange("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("RSET\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(agent.screen.count(QStringLiteral("SMTP-Logged in.")), 1);
    QCOMPARE(smtp.exchange("MAIL FROM:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(agent.screen.count(QStringLiteral("SMTP-Logged in.")), 2);
    QCOMPARE(smtp.exchange("RSET\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.exchange("QUIT\r\n"), QByteArray("221 Zorvane bye.\r\n"));

    // Ann's dialogue is still Ann's.
    QVERIFY(pop.exchange("STAT\r\n").startsWith("+OK 1 "));
    QCOMPARE(pop.exchange("QUIT\r\n"), QByteArray("+OK\r\n"));
    QCOMPARE(service.messages(Ann), QList<QByteArray>{"Subject: from demo\r\n\r\nHi Ann.\r\n"});
    QCOMPARE(service.messages(Demo, QStringLiteral(".Sent Items")).size(), 1);
}

QTEST_MAIN(tst_SmtpWithPop3)
#include "tst_SmtpWithPop3.moc"
