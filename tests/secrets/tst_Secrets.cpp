// Secrets and the files the agent writes: a canary password used over POP3
// and SMTP in debug mode must show up in no file the agent or the service
// writes and on no output; the settings store and the log are private to
// the user; a log folder or file that someone else planted is refused and
// the agent runs on without a log file.

#include "AgentProcess.h"
#include "LineClient.h"
#include "ScriptedMailService.h"
#include "ServiceProcess.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QByteArray Account = "user@zorvane.test";
const QByteArray LogRefused = "Error opening log file. Logging disabled";

QByteArray uniqueText(const QByteArray &prefix)
{
    return prefix + QUuid::createUuid().toByteArray(QUuid::Id128);
}

struct FileInfo
{
    bool exists = false;
    mode_t mode = 0;
    uid_t owner = 0;
    ino_t inode = 0;
    bool isLink = false;
};

FileInfo infoOf(const QString &path)
{
    struct stat st;
    FileInfo info;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return info;
    info.exists = true;
    info.mode = st.st_mode & 07777;
    info.owner = st.st_uid;
    info.inode = st.st_ino;
    info.isLink = S_ISLNK(st.st_mode);
    return info;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every way the password could be written down: as it is, and inside the
// Basic credentials an HTTP layer might log.
QList<QByteArray> formsOf(const QByteArray &password)
{
    return {password, password.toBase64(), ("user:" + password).toBase64(), (Account + ':' + password).toBase64()};
}

} // namespace

class tst_Secrets : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void canaryPasswordIsWrittenNowhere();
    void plantedLogFolderOrFileIsRefused_data();
    void plantedLogFolderOrFileIsRefused();
    void wideLogFolderOfOurOwnIsTightened();

private:
    void startScriptedAgent(const QByteArray &moreSettings);

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScriptedMailService> m_scripted;
    std::unique_ptr<AgentProcess> m_agent;
};

void tst_Secrets::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void tst_Secrets::cleanup()
{
    m_agent.reset();
    m_scripted.reset();
    m_root.reset();
}

void tst_Secrets::startScriptedAgent(const QByteArray &moreSettings)
{
    m_scripted = std::make_unique<ScriptedMailService>();
    m_scripted->setMessages({"Subject: hello\r\n\r\nHello.\r\n"});
    QVERIFY(m_scripted->listen());
    m_agent = std::make_unique<AgentProcess>(m_root->path());
    m_agent->writeSettings(m_scripted->serviceUrl(), m_scripted->altServiceUrl(), moreSettings);
    QVERIFY2(m_agent->start(), m_agent->standardError().constData());
}

void tst_Secrets::canaryPasswordIsWrittenNowhere()
{
    const QByteArray canary = uniqueText("Canary-");
    const QByteArray wrong = uniqueText("Wrong-");
    ServiceProcess service(m_root->filePath(QStringLiteral("service")));
    QVERIFY(service.addAccount(Account, canary));
    QVERIFY(!service.deliver(Account, "From: ann@example.org\r\nSubject: one\r\n\r\nBody.\r\n").isEmpty());
    QVERIFY2(service.start(), qPrintable(service.problem()));

    m_agent = std::make_unique<AgentProcess>(m_root->path());
    m_agent->writeSettings(service.serviceUrl(), service.altServiceUrl(), "DebugMode=1\nSaveSentItems=1\n");
    // Whatever mode the store had, it is the user's alone once written.
    QVERIFY(QFile::setPermissions(m_agent->settingsPath(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const FileInfo storeBefore = infoOf(m_agent->settingsPath());
    QVERIFY(m_agent->start());

    {
        LineClient pop;
        QVERIFY(pop.connectTo(m_agent->pop3Port()));
        QCOMPARE(pop.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
        QCOMPARE(pop.command("USER user"), QByteArray("+OK password required\r\n"));
        QVERIFY(pop.command("PASS " + wrong).startsWith("-ERR Login failure"));
        QCOMPARE(pop.command("PASS " + canary), QByteArray("+OK logged in\r\n"));
        QVERIFY(pop.command("STAT").startsWith("+OK 1 "));
        // A password sent again in the wrong place is an unknown command, logged masked.
        QCOMPARE(pop.command("PASS " + canary), QByteArray("-ERR invalid argument\r\n"));
        pop.send("RETR 1\r\n");
        QVERIFY(pop.readMultiLine().contains("Body."));
        QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
        QVERIFY(pop.waitForClose());
    }
    const FileInfo storeAfter = infoOf(m_agent->settingsPath());
    QCOMPARE(storeAfter.mode, mode_t(0600));
    // Written beside and renamed over: a new file, never the old one rewritten.
    QVERIFY(storeAfter.inode != storeBefore.inode);
    QVERIFY(m_agent->settingsBytes().contains("[AccountInfo]"));
    for (const QString &name :
         QDir(m_agent->path(QStringLiteral("config/Zorvane"))).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(name == QLatin1String("Zorvane.ini") || name == QLatin1String("Zorvane.ini.lock"), qPrintable(name));

    {
        LineClient smtp;
        QVERIFY(smtp.connectTo(m_agent->smtpPort()));
        QCOMPARE(smtp.readLine(), QByteArray("220 Zorvane Simple Mail Transfer Service Ready\r\n"));
        QCOMPARE(smtp.command("HELO client.example.org"), QByteArray("250 Zorvane\r\n"));
        QCOMPARE(smtp.command("MAIL FROM:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
        QCOMPARE(smtp.command("RCPT TO:<user@zorvane.test>"), QByteArray("250 OK\r\n"));
        QCOMPARE(smtp.command("DATA"), QByteArray("354 Start mail input; end with <CRLF>.<CRLF>\r\n"));
        smtp.send("From: user@zorvane.test\r\nSubject: sent with the canary\r\n\r\nHi.\r\n.\r\n");
        QCOMPARE(smtp.readLine(), QByteArray("250 OK\r\n"));
        QCOMPARE(smtp.command("QUIT"), QByteArray("221 Zorvane bye.\r\n"));
    }
    QVERIFY(m_agent->stop());
    service.stop();

    // The trace was written (and masked), so looking in it means something.
    const QByteArray log = readFile(m_agent->logFilePath());
    QVERIFY(log.contains("POP3> PASS ********"));
    QVERIFY(log.contains("SMTP> "));
    QVERIFY(m_agent->standardOutput().contains("POP3-Logged in."));
    QCOMPARE(infoOf(m_agent->logFolder()).mode, mode_t(0700));
    QCOMPARE(infoOf(m_agent->logFilePath()).mode & 077, mode_t(0));

    QList<QPair<QString, QByteArray>> places{{QStringLiteral("agent's standard output"), m_agent->standardOutput()},
                                             {QStringLiteral("agent's standard error"), m_agent->standardError()},
                                             {QStringLiteral("service's output"), service.output()}};
    const QString accounts = QDir(service.dataDir()).filePath(QStringLiteral("accounts"));
    QDirIterator files(m_root->path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    int filesLookedAt = 0;
    while (files.hasNext()) {
        const QString file = files.next();
        if (file == accounts) // the test wrote it: the service's input
            continue;
        places.append({file, readFile(file)});
        ++filesLookedAt;
    }
    QVERIFY(filesLookedAt >= 4); // settings, log, the messages
    for (const auto &[place, bytes] : places) {
        for (const QByteArray &secret : formsOf(canary) + formsOf(wrong))
            QVERIFY2(!bytes.contains(secret),
                     qPrintable(place + QStringLiteral(" holds ") + QString::fromUtf8(secret)));
    }
}

void tst_Secrets::plantedLogFolderOrFileIsRefused_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("log folder is a link to another folder") << QStringLiteral("folder link");
    QTest::newRow("log folder belongs to another user") << QStringLiteral("foreign folder");
    QTest::newRow("log file is a link to another file") << QStringLiteral("file link");
    QTest::newRow("log file is a named pipe") << QStringLiteral("fifo");
}

void tst_Secrets::plantedLogFolderOrFileIsRefused()
{
    QFETCH(QString, planted);
    const QString temp = m_root->filePath(QStringLiteral("temp"));
    const QString logFolder = temp + QStringLiteral("/Zorvane Logging");
    const QString elsewhere = m_root->filePath(QStringLiteral("elsewhere"));
    const QString victim = elsewhere + QStringLiteral("/victim.txt");
    const QByteArray victimText = "someone else's file\n";
    QVERIFY(QDir().mkpath(temp));
    QVERIFY(QDir().mkpath(elsewhere));
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(victimText);
    }

    if (planted == QLatin1String("folder link")) {
        QVERIFY(QFile::link(elsewhere, logFolder));
    } else if (planted == QLatin1String("foreign folder")) {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkpath(logFolder));
        QCOMPARE(::chown(QFile::encodeName(logFolder).constData(), 65534, 65534), 0);
        QCOMPARE(::chmod(QFile::encodeName(logFolder).constData(), 0777), 0);
    } else if (planted == QLatin1String("file link")) {
        QVERIFY(QDir().mkpath(logFolder));
        QVERIFY(QFile::link(victim, logFolder + QStringLiteral("/Log.txt")));
    } else {
        QVERIFY(QDir().mkpath(logFolder));
        QCOMPARE(::mkfifo(QFile::encodeName(logFolder + QStringLiteral("/Log.txt")).constData(), 0600), 0);
    }

    startScriptedAgent("DebugMode=1\n");
    QVERIFY(m_agent->waitForOutput(LogRefused));
    // It runs on: a client is served, its dialogue traced nowhere.
    LineClient pop;
    QVERIFY(pop.connectTo(m_agent->pop3Port()));
    QCOMPARE(pop.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QCOMPARE(pop.command("USER user"), QByteArray("+OK password required\r\n"));
    QCOMPARE(pop.command("PASS secret"), QByteArray("+OK logged in\r\n"));
    QCOMPARE(pop.command("QUIT"), QByteArray("+OK\r\n"));
    QVERIFY(m_agent->stop());
    QCOMPARE(m_agent->standardOutput().count(LogRefused), 1);

    QCOMPARE(readFile(victim), victimText);
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("victim.txt")});
    if (planted == QLatin1String("foreign folder")) {
        QCOMPARE(infoOf(logFolder).owner, uid_t(65534));
        QVERIFY(!infoOf(logFolder + QStringLiteral("/Log.txt")).exists);
    }
}

// A folder of ours that others may enter is closed to them before the log
// goes into it.
void tst_Secrets::wideLogFolderOfOurOwnIsTightened()
{
    const QString logFolder = m_root->filePath(QStringLiteral("temp/Zorvane Logging"));
    QVERIFY(QDir().mkpath(logFolder));
    QCOMPARE(::chmod(QFile::encodeName(logFolder).constData(), 0777), 0);
    startScriptedAgent("DebugMode=1\n");
    LineClient pop;
    QVERIFY(pop.connectTo(m_agent->pop3Port()));
    QCOMPARE(pop.readLine(), QByteArray("+OK Zorvane Welcome\r\n"));
    QVERIFY(m_agent->stop());
    QVERIFY(!m_agent->standardOutput().contains(LogRefused));
    QCOMPARE(infoOf(logFolder).mode, mode_t(0700));
    QVERIFY(readFile(logFolder + QStringLiteral("/Log.txt")).contains("Logging session started "));
}

QTEST_GUILESS_MAIN(tst_Secrets)
#include "tst_Secrets.moc"
