// One web mail session, two front ends: SMTP commands arrive while POP3
// loads the message list and while it downloads a large message. Both
// dialogues end and neither message is lost or changed.
#include "PopFrontEnd.h"
#include "SmtpTestRig.h"
#include "UnstuffData.h"

namespace {
const QString Demo = QStringLiteral("demo@zorvane.test");
const QString Ann = QStringLiteral("ann@zorvane.test");
} // namespace

class tst_SmtpWithPop3 : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sendWhileDownloading();

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
    const QString inbox = data + QStringLiteral("/mail/") + Demo;
    for (const char *part : {"/tmp", "/cur", "/new"})
        QVERIFY(QDir().mkpath(inbox + QLatin1String(part)));
    QFile file(inbox + QStringLiteral("/new/1700000000.M1P1.tst"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(stored);
    file.close();

    ServiceProcess service;
    QVERIFY(service.start(data, {Demo + QStringLiteral(" demo"), Ann + QStringLiteral(" annpw")}));
    Agent agent(m_root.filePath(QStringLiteral("Zorvane.ini")), service.serviceUrl, service.altServiceUrl);
    agent.storePassword(Demo, "demo"); // an earlier POP3 login kept it
    agent.options.markReadOnServer = false;
    agent.options.deleteOnServer = false;
    Winsock wskPop;
    wskPop.SetLocalPort(0);
    QVERIFY(wskPop.Listen());
    PopFrontEnd pop3(agent.state, wskPop);

    SmtpClient pop;
    QVERIFY(pop.connectTo(wskPop.LocalPort()));
    QVERIFY(pop.reply().startsWith("+OK"));
    QVERIFY(pop.command("USER demo\r\n").startsWith("+OK"));
    QCOMPARE(pop.command("PASS demo\r\n"), QByteArray("+OK logged in\r\n"));
    SmtpClient smtp;
    QVERIFY(smtp.connectTo(agent.wskSmtp.LocalPort()));
    QVERIFY(smtp.reply().startsWith("220 "));

    // HELO's service check is asked for while the first POP3 mailbox command
    // loads the message list through the session's one request.
    bool asked = false;
    const auto duringPop3Command = QObject::connect(&agent.state.TrayData, &TrayStatus::changed, &agent.state,
                                                    [&](TrayStatus::Icon, const QString &tip) {
                                                        if (tip != TrayStatus::Busy || std::exchange(asked, true))
                                                            return;
                                                        smtp.socket.write("HELO tester\r\n");
                                                    });
    pop.socket.write("STAT\r\n");
    QCOMPARE(smtp.reply(), QByteArray("250 Zorvane\r\n"));
    QObject::disconnect(duringPop3Command);
    QVERIFY(pop.reply().startsWith("+OK 1 "));
    QCOMPARE(smtp.command("MAIL FROM:<demo@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));

    // The download runs while the message is submitted.
    pop.socket.write("RETR 1\r\n");
    QCOMPARE(smtp.command("RCPT TO:<ann@zorvane.test>\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("DATA\r\n").left(4), QByteArray("354 "));
    const QByteArray sent = "Subject: meanwhile\r\n\r\n..sent while a download ran\r\n";
    QCOMPARE(smtp.command(sent + ".\r\n"), QByteArray("250 OK\r\n"));
    QCOMPARE(smtp.command("QUIT\r\n"), QByteArray("221 Zorvane bye.\r\n"));

    QVERIFY(pop.waitUntil([&] { return pop.received.endsWith("\r\n.\r\n"); }));
    QByteArray retrieved = pop.received;
    QVERIFY(retrieved.startsWith("+OK"));
    retrieved.remove(0, retrieved.indexOf("\r\n") + 2);
    while (retrieved.startsWith(QByteArrayLiteral("X-zorvane: busy...\r\n")))
        retrieved.remove(0, 20);
    QCOMPARE(UnstuffData(retrieved), stored);
    pop.received.clear();
    QVERIFY(pop.command("QUIT\r\n").startsWith("+OK"));

    QCOMPARE(service.messages(Ann), QList<QByteArray>{"Subject: meanwhile\r\n\r\n.sent while a download ran\r\n"});
}

QTEST_MAIN(tst_SmtpWithPop3)
#include "tst_SmtpWithPop3.moc"
