// The session against the real reference service: real HTTP with Digest
// authentication, a real Maildir behind it. What the session reports is
// checked against the files in the Maildir.

#include "MessageTextReplies.h"
#include "ServiceProcess.h"
#include "WebmailTestEnvironment.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QTest>

namespace {

// The session's logins here are those of a POP3 dialogue.
constexpr clsHotmail::FrontEnd ForPop3 = clsHotmail::FrontEnd::Pop3;

const QString Demo = QStringLiteral("demo@zorvane.test");
const QString Bob = QStringLiteral("bob@alt.zorvane.test");
const QString Carol = QStringLiteral("carol@zorvane.test");

struct StoredMessage
{
    QString folder;   // "new" or "cur"
    QString fileName; // the Maildir file name
    QByteArray bytes; // as stored (LF line ends here and there)
};

// The wire form: every LF without CR before it becomes CR LF.
QByteArray WireForm(const QByteArray &bytes)
{
    QByteArray wire;
    wire.reserve(bytes.size() + bytes.size() / 20);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\n' && (i == 0 || bytes.at(i - 1) != '\r'))
            wire += '\r';
        wire += bytes.at(i);
    }
    return wire;
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// File names (without folder) of a Maildir folder's files, new/ and cur/.
QStringList MaildirFiles(const QString &maildir)
{
    QStringList names;
    for (const char *sub : {"new", "cur"}) {
        const QDir dir(QDir(maildir).filePath(QLatin1String(sub)));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        for (const QString &file : files)
            names.append(QLatin1String(sub) + QLatin1Char('/') + file);
    }
    return names;
}

} // namespace

class tst_SessionService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void probes();
    void loginOfEveryAccountKind_data();
    void loginOfEveryAccountKind();
    void wrongPasswordRefusedAfterFourRequests();
    void storeOfUnreadAndOfAll();
    void retrieveAndTopGiveTheStoredMessage();
    void markAsReadFlagsExactlyTheMarked();
    void moveTakesExactlyTheMarked();
    void sendDeliversLocallyWithSentCopy();

private:
    clsHotmail &session() { return *m_env->session; }
    XmlDocument LoginAs(const QString &user, const QString &password, clsHotmail::FrontEnd frontEnd = ForPop3);
    QString DemoMaildir() const { return m_service->maildir(Demo); }
    QByteArray NameOf(int i) const { return m_messages.at(i).fileName.section(QLatin1Char(':'), 0, 0).toUtf8(); }
    int LogCount(const QByteArray &text) const;

    std::unique_ptr<WebmailTestEnvironment> m_env;
    std::unique_ptr<ServiceProcess> m_service;
    // Oldest first: the listing order of the service.
    QList<StoredMessage> m_messages;
};

void tst_SessionService::init()
{
    m_env = std::make_unique<WebmailTestEnvironment>();
    m_service = std::make_unique<ServiceProcess>(m_env->Path(QStringLiteral("service")));
    QVERIFY(m_service->writeAccounts("# test accounts\n"
                                     "demo@zorvane.test demo\n"
                                     "\n"
                                     "bob@alt.zorvane.test bobpw\n"
                                     "carol@zorvane.test carolpw redirect\n"));

    // Three messages: an unread one with LF line ends and a dot line, a read
    // one with CR LF, and an unread one above 10000 octets.
    m_messages = {
        {QStringLiteral("new"), QStringLiteral("1700000001.M1P1.test"),
         "From: Ann <ann@example.org>\nTo: demo@zorvane.test\nSubject: one\n\nfirst\n.\n..two dots\nlast\n"},
        {QStringLiteral("cur"), QStringLiteral("1700000002.M2P1.test:2,S"),
         "From: ben@example.org\r\nSubject: two\r\n\r\nread already\r\n"},
        {QStringLiteral("new"), QStringLiteral("1700000003.M3P1.test"),
         "From: Cid <cid@example.org>\nSubject: big\n\n" + QByteArray(12000, 'z') + "\n"},
    };
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-3600);
    for (qsizetype i = 0; i < m_messages.size(); ++i) {
        const StoredMessage &m = m_messages.at(i);
        for (const char *sub : {"new", "cur", "tmp"})
            QDir().mkpath(QDir(DemoMaildir()).filePath(QLatin1String(sub)));
        QFile file(QDir(DemoMaildir()).filePath(m.folder + QLatin1Char('/') + m.fileName));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(m.bytes), m.bytes.size());
        QVERIFY(file.setFileTime(oldest.addSecs(i * 60), QFileDevice::FileModificationTime));
    }
    for (const QString &account : {Bob, Carol})
        for (const char *sub : {"new", "cur", "tmp"})
            QDir().mkpath(QDir(m_service->maildir(account)).filePath(QLatin1String(sub)));

    QVERIFY2(m_service->start(), qPrintable(m_service->problem()));
    m_env->StartSession(m_service->serviceUrl(), m_service->altServiceUrl());
    m_env->state->StartFileLog(true, m_env->LogFolder());
    QVERIFY(m_env->state->LogToFile);
}

void tst_SessionService::cleanup()
{
    m_env->session.reset();
    m_service.reset();
    m_env.reset();
}

XmlDocument tst_SessionService::LoginAs(const QString &user, const QString &password, clsHotmail::FrontEnd frontEnd)
{
    XmlDocument mailbox;
    const int status = session().Login(user, password, mailbox, frontEnd);
    if (status != 207 && status != 200)
        qWarning("login of %s gave %d", qPrintable(user), status);
    return mailbox;
}

int tst_SessionService::LogCount(const QByteArray &text) const
{
    return int(ReadFile(m_env->state->ActivityLog->filePath()).count(text));
}

void tst_SessionService::probes()
{
    QCOMPARE(session().ConnStatus(Demo), QByteArray());
    QCOMPARE(session().ConnStatus(Bob), QByteArray()); // 900 with the probe header
    QCOMPARE(session().Logoff(Demo), 207);
    QCOMPARE(session().Logoff(Bob), 900);
}

void tst_SessionService::loginOfEveryAccountKind_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("redirects");
    QTest::newRow("ordinary") << Demo << QStringLiteral("demo") << 0;
    QTest::newRow("ordinary, mixed case") << QStringLiteral("Demo@Zorvane.test") << QStringLiteral("demo") << 0;
    QTest::newRow("alternative") << Bob << QStringLiteral("bobpw") << 0;
    QTest::newRow("redirected with 900") << Carol << QStringLiteral("carolpw") << 1;
}

void tst_SessionService::loginOfEveryAccountKind()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    XmlDocument mailbox;
    QCOMPARE(session().Login(user, password, mailbox, ForPop3), 207);
    QTEST(LogCount("\t900 - "), "redirects");
    QVERIFY(session().GetSendUrl(mailbox));
    const QByteArray account = user.toLower().toUtf8();
    QVERIFY2(session().SendUrl().endsWith("/mail/" + account + "/sendmsg"), session().SendUrl().constData());
    QVERIFY(session().PopCollect(mailbox));
    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    QVERIFY(session().InboxUrl().endsWith("/mail/" + account + "/inbox/"));
}

void tst_SessionService::wrongPasswordRefusedAfterFourRequests()
{
    XmlDocument mailbox;
    QCOMPARE(session().Login(Demo, QStringLiteral("not-demo"), mailbox, ForPop3), 401);
    QCOMPARE(LogCount("\t401 - "), 4);
    QCOMPARE(session().Login(QStringLiteral("nobody@zorvane.test"), QStringLiteral("x"), mailbox, ForPop3), 401);
}

void tst_SessionService::storeOfUnreadAndOfAll()
{
    const XmlDocument mailbox = LoginAs(Demo, QStringLiteral("demo"));
    const qint64 size0 = WireForm(m_messages.at(0).bytes).size();
    const qint64 size1 = WireForm(m_messages.at(1).bytes).size();
    const qint64 size2 = WireForm(m_messages.at(2).bytes).size();

    QCOMPARE(session().GetMsgStoreProps(mailbox), QByteArray("+OK store loaded"));
    QCOMPARE(session().Stat(), "+OK 2 " + QByteArray::number(size0 + size2));
    QCOMPARE(session().ListNames(),
             "+OK 2 " + QByteArray::number(size0 + size2) + "\r\n1 " + NameOf(0) + "\r\n2 " + NameOf(2) + "\r\n.");

    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    const QByteArray stat = "+OK 3 " + QByteArray::number(size0 + size1 + size2);
    QCOMPARE(session().Stat(), stat);
    QCOMPARE(session().List(),
             stat + "\r\n1 " + QByteArray::number(size0) + "\r\n2 " + QByteArray::number(size1) + "\r\n3 "
                 + QByteArray::number(size2) + "\r\n.");
    QCOMPARE(session().ListNames(2), "+OK 2 " + NameOf(1));

    session().Mark(2);
    QCOMPARE(session().List(2), QByteArray("-ERR deleted"));
    QCOMPARE(session().ListNames(2), QByteArray("-ERR deleted"));
    QCOMPARE(session().Stat(), stat); // marked messages still count
    QCOMPARE(session().List(4), QByteArray("-ERR no such message"));

    // A message another program delivers shows up at the next load.
    QFile late(QDir(DemoMaildir()).filePath(QStringLiteral("new/1700000009.M9P1.test")));
    QVERIFY(late.open(QIODevice::WriteOnly));
    late.write("Subject: late\n\nhello\n");
    late.close();
    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    QCOMPARE(session().MessageCount(), 4);
    QVERIFY(!session().IsMarked(2)); // a load clears the marks
}

void tst_SessionService::retrieveAndTopGiveTheStoredMessage()
{
    const XmlDocument mailbox = LoginAs(Demo, QStringLiteral("demo"));
    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));

    for (int i = 0; i < 3; ++i) {
        const QByteArray wire = WireForm(m_messages.at(i).bytes);
        QCOMPARE(session().MessageSize(i + 1), qint64(wire.size()));
        QCOMPARE(session().Retrieve(i + 1), "+OK " + QByteArray::number(wire.size()) + "\r\n" + wire + ".");
    }

    const QByteArray first = WireForm(m_messages.at(0).bytes);
    QCOMPARE(session().Top(1, 2),
             "+OK\r\nFrom: Ann <ann@example.org>\r\nTo: demo@zorvane.test\r\nSubject: one\r\n"
             "\r\nfirst\r\n.\r\n\r\n.");
    QCOMPARE(session().Top(1, 0), MessageTextReplies::TopReply(first, 0));
    QCOMPARE(session().Top(1, 10), "+OK\r\n" + first + ".");

    // Above 10000 octets with no body line: the header lines from the
    // message's properties, and its unique name.
    QCOMPARE(session().Top(3, 0),
             "+OK\r\nFrom: Cid <cid@example.org>\r\nSubject: big\r\nX-Zorvane-Id: <" + NameOf(2)
                 + "@zorvane.test>\r\n\r\n.");

    // An asynchronous download delivers the same bytes.
    std::unique_ptr<XmlHttpRequest> download = session().RetrieveAsync(3);
    QVERIFY(download);
    QTRY_COMPARE(download->readyState(), 4);
    QCOMPARE(download->responseText(), WireForm(m_messages.at(2).bytes));
    session().AsyncDownloadFinished();
    QVERIFY(!session().IsBusy());
}

void tst_SessionService::markAsReadFlagsExactlyTheMarked()
{
    const XmlDocument mailbox = LoginAs(Demo, QStringLiteral("demo"));
    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    QCOMPARE(session().Mark(3), QByteArray("+OK marked for deletion"));
    QVERIFY(session().MarkAsRead());

    const QStringList files = MaildirFiles(DemoMaildir());
    QCOMPARE(files.size(), 3);
    QVERIFY(files.contains(QStringLiteral("new/") + m_messages.at(0).fileName)); // untouched
    QVERIFY(files.contains(QStringLiteral("cur/") + m_messages.at(1).fileName)); // was read before
    const QStringList third = files.filter(QString::fromUtf8(NameOf(2)));
    QCOMPARE(third.size(), 1);
    QVERIFY2(third.first().startsWith(QStringLiteral("cur/"))
                 && third.first().section(QStringLiteral(":2,"), 1).contains(QLatin1Char('S')),
             qPrintable(third.first()));

    // The unread store no longer lists it.
    QCOMPARE(session().GetMsgStoreProps(mailbox), QByteArray("+OK store loaded"));
    QCOMPARE(session().ListNames(),
             "+OK 1 " + QByteArray::number(WireForm(m_messages.at(0).bytes).size()) + "\r\n1 " + NameOf(0) + "\r\n.");
}

void tst_SessionService::moveTakesExactlyTheMarked()
{
    const XmlDocument mailbox = LoginAs(Demo, QStringLiteral("demo"));
    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    session().Mark(1);
    session().Mark(3);
    QVERIFY(session().MoveToDeletedItems());

    const QStringList inbox = MaildirFiles(DemoMaildir());
    QCOMPARE(inbox, QStringList{QStringLiteral("cur/") + m_messages.at(1).fileName});
    const QStringList deleted = MaildirFiles(QDir(DemoMaildir()).filePath(QStringLiteral(".Deleted Items")));
    QCOMPARE(deleted.size(), 2);
    QCOMPARE(deleted.filter(QString::fromUtf8(NameOf(0))).size(), 1);
    QCOMPARE(deleted.filter(QString::fromUtf8(NameOf(2))).size(), 1);

    QCOMPARE(session().GetMsgStoreProps(mailbox, true), QByteArray("+OK store loaded"));
    QCOMPARE(session().ListNames(),
             "+OK 1 " + QByteArray::number(WireForm(m_messages.at(1).bytes).size()) + "\r\n1 " + NameOf(1) + "\r\n.");
}

void tst_SessionService::sendDeliversLocallyWithSentCopy()
{
    const XmlDocument mailbox = LoginAs(Demo, QStringLiteral("demo"), clsHotmail::FrontEnd::Smtp);
    QVERIFY(session().GetSendUrl(mailbox));
    const QByteArray message = "From: demo@zorvane.test\r\nTo: bob@alt.zorvane.test\r\nSubject: Hello\r\n\r\n"
                               "Hi Bob.\r\n.leading dot\r\n";
    const QByteArray envelope = "MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<bob@alt.zorvane.test>\r\n\r\n";

    QCOMPARE(session().Send(envelope + message, true), QByteArray("250 OK\r\n"));
    const QStringList bobFiles = MaildirFiles(m_service->maildir(Bob));
    QCOMPARE(bobFiles.size(), 1);
    QVERIFY(bobFiles.first().startsWith(QStringLiteral("new/")));
    QCOMPARE(ReadFile(QDir(m_service->maildir(Bob)).filePath(bobFiles.first())), message);
    const QString sentItems = QDir(DemoMaildir()).filePath(QStringLiteral(".Sent Items"));
    const QStringList sent = MaildirFiles(sentItems);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(ReadFile(QDir(sentItems).filePath(sent.first())), message);

    // Without the copy flag nothing more goes to the sent items.
    QCOMPARE(session().Send(envelope + message, false), QByteArray("250 OK\r\n"));
    QCOMPARE(MaildirFiles(m_service->maildir(Bob)).size(), 2);
    QCOMPARE(MaildirFiles(sentItems).size(), 1);

    // A sender that is not the account is refused with the service's word.
    const QByteArray forged = "MAIL FROM:<bob@alt.zorvane.test>\r\nRCPT TO:<demo@zorvane.test>\r\n\r\n";
    QVERIFY(session().Send(forged + message, false).startsWith("554 Transaction failed. 403 "));
    QCOMPARE(MaildirFiles(DemoMaildir()).size(), 3);
}

QTEST_GUILESS_MAIN(tst_SessionService)
#include "tst_SessionService.moc"
