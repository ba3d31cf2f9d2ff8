// Prints how long the web mail session takes to log in and load an inbox of
// 1000 and of 10000 messages from the reference service, and how long the
// full listings (LIST, UIDL) of the loaded store take to build. Both should
// grow linearly with the number of messages.
//
// zv_bench_store_load [path of zorvane-service]
// Without an argument the service is looked for beside this program.

#include "SettingsStore.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const QString Account = QStringLiteral("bench@zorvane.test");
const QString Password = QStringLiteral("bench");
// Long enough for a service that has to read 10000 files cold.
constexpr int ServiceStartLimitMs = 60000;

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A Maildir inbox of count small messages, half of them read.
bool MakeInbox(const QString &dataDir, int count)
{
    if (!QDir().mkpath(dataDir))
        return false;
    if (!WriteFile(QDir(dataDir).filePath(QStringLiteral("accounts")), (Account + ' ' + Password + '\n').toUtf8()))
        return false;
    const QDir maildir(QDir(dataDir).filePath(QStringLiteral("mail/") + Account));
    for (const char *sub : {"new", "cur", "tmp"})
        if (!maildir.mkpath(QLatin1String(sub)))
            return false;
    const QByteArray body = QByteArray("A line of text that fills the message a little.\n").repeated(8);
    for (int i = 0; i < count; ++i) {
        const QByteArray number = QByteArray::number(i);
        const QByteArray text = "From: sender" + number + "@example.org\nTo: " + Account.toUtf8()
            + "\nSubject: message " + number + "\n\n" + body;
        const bool read = i % 2 == 1;
        const QString name =
            QStringLiteral("%1.M%2P1.bench").arg(1700000000 + i).arg(i) + (read ? QStringLiteral(":2,S") : QString());
        if (!WriteFile(maildir.filePath((read ? QStringLiteral("cur/") : QStringLiteral("new/")) + name), text))
            return false;
    }
    return true;
}

class Service
{
public:
    ~Service()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(ServiceStartLimitMs))
            m_process.kill();
        m_process.waitForFinished();
    }

    bool Start(const QString &program, const QString &dataDir)
    {
        m_process.start(program, {QStringLiteral("--data"), dataDir, QStringLiteral("--port"), QStringLiteral("0")});
        if (!m_process.waitForStarted(ServiceStartLimitMs))
            return false;
        while (serviceUrl.isEmpty() || altServiceUrl.isEmpty()) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(ServiceStartLimitMs))
                return false;
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine().trimmed());
                if (line.startsWith(QStringLiteral("ServiceUrl=")))
                    serviceUrl = line.section(QLatin1Char('='), 1);
                else if (line.startsWith(QStringLiteral("AltServiceUrl=")))
                    altServiceUrl = line.section(QLatin1Char('='), 1);
            }
        }
        return true;
    }

    QString serviceUrl;
    QString altServiceUrl;

private:
    QProcess m_process;
};

double Milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

bool Measure(const QString &servicePath, const QString &root, int count)
{
    const QString dataDir = QDir(root).filePath(QStringLiteral("data%1").arg(count));
    if (!MakeInbox(dataDir, count)) {
        std::fprintf(stderr, "cannot write the Maildir of %d messages\n", count);
        return false;
    }
    Service service;
    if (!service.Start(servicePath, dataDir)) {
        std::fprintf(stderr, "zorvane-service did not start (%s)\n", qPrintable(servicePath));
        return false;
    }

    SettingsStore settings(QDir(root).filePath(QStringLiteral("config/Zorvane/Zorvane%1.ini").arg(count)));
    settings.setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), service.serviceUrl);
    settings.setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), service.altServiceUrl);
    modMain state;
    state.Settings = &settings;
    clsHotmail session(state);

    for (int round = 1; round <= 2; ++round) {
        QElapsedTimer timer;
        timer.start();
        XmlDocument mailbox;
        const int status = session.Login(Account, Password, mailbox, clsHotmail::FrontEnd::Pop3);
        const QByteArray loaded = session.GetMsgStoreProps(mailbox, true);
        const double loadMs = Milliseconds(timer);
        if ((status != 207 && status != 200) || loaded != "+OK store loaded" || session.MessageCount() != count) {
            std::fprintf(stderr, "login %d, load \"%s\", %d messages listed\n", status, loaded.constData(),
                         session.MessageCount());
            return false;
        }

        timer.restart();
        const QByteArray list = session.List();
        const double listMs = Milliseconds(timer);
        timer.restart();
        const QByteArray uidl = session.ListNames();
        const double uidlMs = Milliseconds(timer);

        std::printf("%6d messages, %s: login+load %9.1f ms   LIST %7.2f ms (%lld octets)   UIDL %7.2f ms\n", count,
                    round == 1 ? "first load " : "second load", loadMs, listMs, static_cast<long long>(list.size()),
                    uidlMs);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    // The session's settings, log and temp files stay inside the bench's folder.
    for (const char *sub : {"config", "runtime", "tmp"})
        QDir(root.path()).mkpath(QLatin1String(sub));
    qputenv("XDG_CONFIG_HOME", QDir(root.path()).filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", QDir(root.path()).filePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("TMPDIR", QDir(root.path()).filePath(QStringLiteral("tmp")).toLocal8Bit());

    const QString servicePath = argc > 1
        ? QString::fromLocal8Bit(argv[1])
        : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("zorvane-service"));
    for (int count : {1000, 10000})
        if (!Measure(servicePath, root.path(), count))
            return 1;
    return 0;
}
