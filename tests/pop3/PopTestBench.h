#pragma once

// What the POP3 tests share: an isolated environment, the agent's POP3 side
// wired as the entry point wires it (with a real session), a raw POP3 client,
// and the reference web mail service as a child process.

#include "AgentOptions.h"
#include "MailTexts.h"
#include "PopFrontEnd.h"
#include "SettingsStore.h"
#include "SocketWatchdog.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace PopTest {

// Waits, letting events run, until done() holds or the time is up; wakes at
// every event of the watched object rather than on a poll interval.
inline bool waitUntil(const std::function<bool()> &done, QObject *watched, const char *const *signalNames,
                      int timeoutMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(timeoutMs);
    while (!done()) {
        if (!limit.isActive())
            return false;
        QEventLoop loop;
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        for (const char *const *name = signalNames; name && *name; ++name)
            QObject::connect(watched, *name, &loop, SLOT(quit()));
        // Other objects (the agent's side) may be what we wait for.
        QTimer::singleShot(0, &loop, [&loop, &done] {
            if (done())
                loop.quit();
        });
        loop.exec();
    }
    return true;
}

using MailTexts::messageOfSize;

// The text a client keeps of data lines: stuffing and terminator removed.
inline QByteArray unstuff(const QByteArray &dataLines)
{
    QByteArray text = dataLines;
    if (text.endsWith("\r\n.\r\n"))
        text.chop(3);
    QByteArray out;
    out.reserve(text.size());
    qsizetype lineStart = 0;
    while (lineStart < text.size()) {
        qsizetype end = text.indexOf("\r\n", lineStart);
        end = end < 0 ? text.size() : end + 2;
        const bool stuffed = text.at(lineStart) == '.';
        out.append(text.constData() + lineStart + (stuffed ? 1 : 0), end - lineStart - (stuffed ? 1 : 0));
        lineStart = end;
    }
    return out;
}

// The status line and the message a RETR brought, keep-alive lines removed.
inline QPair<QByteArray, QByteArray> splitRetrieve(const QByteArray &reply)
{
    const qsizetype statusEnd = reply.indexOf("\r\n") + 2;
    QByteArray data = reply.mid(statusEnd);
    while (data.startsWith("X-zorvane: busy...\r\n"))
        data.remove(0, 20);
    return {reply.left(statusEnd), unstuff(data)};
}

// Points XDG_CONFIG_HOME, XDG_RUNTIME_DIR and TMPDIR at folders of a fresh
// temporary directory for the whole test run.
class IsolatedEnvironment
{
public:
    IsolatedEnvironment()
    {
        const QString root = m_root.path();
        for (const char *name : {"config", "runtime", "tmp", "service"})
            QDir(root).mkpath(QLatin1String(name));
        QFile::setPermissions(root + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                     | QFileDevice::ExeOwner);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")));
        qputenv("TMPDIR", QFile::encodeName(root + QStringLiteral("/tmp")));
    }
    bool isValid() const { return m_root.isValid(); }
    QString path(const QString &name) const { return m_root.path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_root;
};

// A POP3 client on a raw socket: sends bytes exactly as given and reads
// replies exactly as they arrive.
class PopClient
{
public:
    static constexpr int ReplyTimeoutMs = 20000;

    PopClient() = default;

    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress())
    {
        if (!from.isNull() && !m_socket.bind(from, 0))
            return false;
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        static const char *const signalNames[] = {SIGNAL(connected()), SIGNAL(errorOccurred(QAbstractSocket::SocketError)),
                                                  nullptr};
        return PopTest::waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState
                                         || m_socket.state() == QAbstractSocket::UnconnectedState; },
                         &m_socket, signalNames, ReplyTimeoutMs)
            && m_socket.state() == QAbstractSocket::ConnectedState;
    }

    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }

    // Waits until the received bytes hold needle (or the peer has closed).
    bool waitFor(const QByteArray &needle, int timeoutMs = ReplyTimeoutMs)
    {
        return waitUntil([&] { return received().contains(needle) || closedByPeer(); }, timeoutMs)
            && received().contains(needle);
    }
    bool waitForClose(int timeoutMs = ReplyTimeoutMs)
    {
        return waitUntil([&] { return closedByPeer(); }, timeoutMs);
    }

    // The next line, CRLF included.
    QByteArray readLine()
    {
        if (!waitFor("\r\n"))
            return take(m_buffer.size());
        return take(m_buffer.indexOf("\r\n") + 2);
    }
    // A multi-line reply up to and including its terminating line.
    QByteArray readMultiLine()
    {
        waitUntil([&] { return multiLineEnd() >= 0 || closedByPeer(); }, ReplyTimeoutMs);
        const qsizetype end = multiLineEnd();
        return take(end >= 0 ? end : m_buffer.size());
    }
    // Sends one command line and returns the first line of the answer.
    QByteArray command(const QByteArray &line)
    {
        send(line + "\r\n");
        return readLine();
    }
    QByteArray multiLineCommand(const QByteArray &line)
    {
        send(line + "\r\n");
        return readMultiLine();
    }

    QByteArray received()
    {
        m_buffer += m_socket.readAll();
        return m_buffer;
    }
    QByteArray takeAll() { received(); return take(m_buffer.size()); }
    bool closedByPeer() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    void abort() { m_socket.abort(); }
    QTcpSocket &socket() { return m_socket; }

    // Waits until done() holds, waking whenever the socket has news.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = ReplyTimeoutMs)
    {
        static const char *const signalNames[] = {SIGNAL(readyRead()), SIGNAL(disconnected()), nullptr};
        return PopTest::waitUntil(done, &m_socket, signalNames, timeoutMs);
    }

private:
    qsizetype multiLineEnd()
    {
        const QByteArray &data = received();
        if (data.startsWith(".\r\n"))
            return 3;
        const qsizetype at = data.indexOf("\r\n.\r\n");
        if (data.startsWith("-ERR")) {
            const qsizetype lineEnd = data.indexOf("\r\n");
            return lineEnd >= 0 ? lineEnd + 2 : -1;
        }
        return at >= 0 ? at + 5 : -1;
    }
    QByteArray take(qsizetype count)
    {
        const QByteArray head = m_buffer.left(count);
        m_buffer.remove(0, count);
        return head;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

// The agent's POP3 side as the entry point builds it: program state, options,
// settings, both listeners, the session, the front end and the watchdog.
class PopAgent
{
public:
    // serviceUrl/altServiceUrl go into Preferences before the session reads them.
    PopAgent(const QString &settingsPath, const QString &serviceUrl, const QString &altServiceUrl)
        : settings(settingsPath)
    {
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), serviceUrl);
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), altServiceUrl);
        options.listUnreadOnly = false;
        options.markReadOnServer = false;
        options.deleteOnServer = false;
        options.collectPOP3 = false;
        options.localhostOnly = true;
        state.SetOptions(&options);
        state.Settings = &settings;
        wskPop.SetLocalPort(0);
        wskSmtp.SetLocalPort(0);
        listening = wskPop.Listen() && wskSmtp.Listen();
        session = std::make_unique<clsHotmail>(state);
        state.MailSession = session.get();
        frontEnd = std::make_unique<PopFrontEnd>(state, wskPop);
        watchdog = std::make_unique<SocketWatchdog>(state, wskPop, wskSmtp);
        QObject::connect(watchdog.get(), &SocketWatchdog::PopRecovered, frontEnd.get(), &PopFrontEnd::ResetDialogue);
        watchdog->start();
    }

    ~PopAgent()
    {
        watchdog.reset();
        frontEnd.reset();
        state.MailSession = nullptr;
        session.reset();
    }

    quint16 port() const { return wskPop.LocalPort(); }
    QString screenLog() const { return state.Screen.text(); }
    bool listensAgain(int timeoutMs = PopClient::ReplyTimeoutMs)
    {
        return QTest::qWaitFor([this] { return wskPop.State() == Winsock::sckListening; }, timeoutMs);
    }

    modMain state;
    OptionValues options;
    SettingsStore settings;
    Winsock wskPop;
    Winsock wskSmtp;
    bool listening = false;
    std::unique_ptr<clsHotmail> session;
    std::unique_ptr<PopFrontEnd> frontEnd;
    std::unique_ptr<SocketWatchdog> watchdog;
};

// zorvane-service over a data folder of its own, on a free port.
class ServiceProcess
{
public:
    explicit ServiceProcess(const QString &dataDir)
        : m_dataDir(dataDir)
    {
    }
    ~ServiceProcess() { stop(); }

    // Writes the accounts file: one "address password" a line.
    bool addAccount(const QString &address, const QString &password)
    {
        QDir().mkpath(m_dataDir);
        QFile accounts(m_dataDir + QStringLiteral("/accounts"));
        if (!accounts.open(QIODevice::Append))
            return false;
        accounts.write((address + QLatin1Char(' ') + password + QLatin1Char('\n')).toUtf8());
        QDir().mkpath(maildir(address) + QStringLiteral("/new"));
        QDir().mkpath(maildir(address) + QStringLiteral("/cur"));
        QDir().mkpath(maildir(address) + QStringLiteral("/tmp"));
        return true;
    }

    QString maildir(const QString &address) const { return m_dataDir + QStringLiteral("/mail/") + address; }

    bool start()
    {
        const QString program = qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/zorvane-service");
        if (!QFile::exists(program)) {
            m_problem = QStringLiteral("no ") + program;
            return false;
        }
        m_process.setProgram(program);
        m_process.setArguments({QStringLiteral("--data"), m_dataDir, QStringLiteral("--port"), QStringLiteral("0")});
        m_process.setStandardErrorFile(m_dataDir + QStringLiteral("/service.log"));
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            m_problem = m_process.errorString();
            return false;
        }
        static const char *const signalNames[] = {SIGNAL(readyReadStandardOutput()), SIGNAL(finished(int)), nullptr};
        waitUntil([this] { return readAddresses() || m_process.state() == QProcess::NotRunning; }, &m_process,
                  signalNames, 20000);
        if (m_serviceUrl.isEmpty() || m_altServiceUrl.isEmpty()) {
            m_problem = QStringLiteral("the service printed no addresses");
            return false;
        }
        return true;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(10000);
    }

    QString serviceUrl() const { return m_serviceUrl; }
    QString altServiceUrl() const { return m_altServiceUrl; }
    QString problem() const { return m_problem; }

private:
    bool readAddresses()
    {
        m_output += m_process.readAllStandardOutput();
        for (const QByteArray &line : m_output.split('\n')) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.startsWith("ServiceUrl="))
                m_serviceUrl = QString::fromUtf8(trimmed.mid(11));
            else if (trimmed.startsWith("AltServiceUrl="))
                m_altServiceUrl = QString::fromUtf8(trimmed.mid(14));
        }
        return !m_serviceUrl.isEmpty() && !m_altServiceUrl.isEmpty();
    }

    QString m_dataDir;
    QProcess m_process;
    QByteArray m_output;
    QString m_serviceUrl;
    QString m_altServiceUrl;
    QString m_problem;
};

} // namespace PopTest
