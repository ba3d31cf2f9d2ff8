#pragma once

// What the SMTP front end tests share: the reference service in a temporary
// folder, an agent (state, settings, session, socket, front end) built fresh
// for each test, and a raw SMTP client driven from the event loop.

#include "AgentOptions.h"
#include "SettingsStore.h"
#include "SmtpFrontEnd.h"
#include "StoredTexts.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <memory>

// Replies, logins and stores of the reference service come within this time.
constexpr int ReplyTimeoutMs = 60000;

// zorvane-service on a free port with the accounts given as "address password".
class ServiceProcess
{
public:
    bool start(const QString &folder, const QStringList &accounts)
    {
        m_folder = folder;
        QFile accountFile(folder + QStringLiteral("/accounts"));
        if (!accountFile.open(QIODevice::WriteOnly))
            return false;
        accountFile.write(accounts.join(QLatin1Char('\n')).toUtf8() + '\n');
        accountFile.close();

        m_process.start(qEnvironmentVariable("ZORVANE_BIN_DIR") + QStringLiteral("/zorvane-service"),
                        {QStringLiteral("--data"), folder, QStringLiteral("--port"), QStringLiteral("0")});
        if (!m_process.waitForStarted())
            return false;
        // The two address lines come first; the process is another program,
        // so blocking on its output holds up nothing of ours.
        while (serviceUrl.isEmpty() || altServiceUrl.isEmpty()) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(ReplyTimeoutMs))
                return false;
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                if (line.startsWith(QStringLiteral("ServiceUrl=")))
                    serviceUrl = line.section(QLatin1Char('='), 1);
                else if (line.startsWith(QStringLiteral("AltServiceUrl=")))
                    altServiceUrl = line.section(QLatin1Char('='), 1);
            }
        }
        return true;
    }

    ~ServiceProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished())
            m_process.kill();
    }

    // The messages of a Maildir folder ("" the inbox, ".Sent Items" ...), new and cur.
    QList<QByteArray> messages(const QString &account, const QString &folder = QString()) const
    {
        QList<QByteArray> found;
        for (const char *part : {"new", "cur"}) {
            QDir dir(m_folder + QStringLiteral("/mail/") + account + QLatin1Char('/') + folder + QLatin1Char('/')
                     + QLatin1String(part));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QFile file(dir.filePath(name));
                if (file.open(QIODevice::ReadOnly))
                    found.append(file.readAll());
            }
        }
        return found;
    }

    QString serviceUrl;
    QString altServiceUrl;

private:
    QString m_folder;
    QProcess m_process;
};

// The agent's side: what the entry point builds, minus window and POP3.
class Agent
{
public:
    Agent(const QString &settingsPath, const QString &serviceUrl, const QString &altServiceUrl)
        : settings(settingsPath)
    {
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), serviceUrl);
        settings.setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), altServiceUrl);
        state.Settings = &settings;
        state.SetOptions(&options);
        state.messageBoxWithIcon = [this](modMain::BoxIcon, const QString &title, const QString &text) {
            boxes.append(title + QStringLiteral(": ") + text);
        };
        QObject::connect(&state.Screen, &OnScreenLog::appended, &state,
                         [this](const QString &chunk, bool) { screen += chunk; });
        session = std::make_unique<clsHotmail>(state);
        state.MailSession = session.get();
        wskSmtp.SetLocalPort(0);
        wskSmtp.Listen();
        frontEnd = std::make_unique<SmtpFrontEnd>(state, wskSmtp);
    }

    void storePassword(const QString &account, const QByteArray &password)
    {
        settings.setValue(QStringLiteral("AccountInfo"), account, EncipherText(password, account));
    }

    SettingsStore settings;
    OptionValues options;
    modMain state;
    std::unique_ptr<clsHotmail> session;
    Winsock wskSmtp;
    std::unique_ptr<SmtpFrontEnd> frontEnd;
    QStringList boxes;
    QString screen; // everything the on-screen log was given, never cleared
};

// A raw SMTP client on the test's event loop.
class SmtpClient
{
public:
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress())
    {
        if (!from.isNull() && !socket.bind(from))
            return false;
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }

    // Runs the event loop until done() holds, woken by what the socket does.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = ReplyTimeoutMs)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        const auto check = [&] {
            if (done())
                loop.quit();
        };
        QObject::connect(&socket, &QTcpSocket::readyRead, &loop, check);
        QObject::connect(&socket, &QTcpSocket::bytesWritten, &loop, check);
        QObject::connect(&socket, &QTcpSocket::stateChanged, &loop, check);
        timer.start(timeoutMs);
        loop.exec();
        return done();
    }

    // The next reply line with its CR LF; empty when none came in time.
    QByteArray reply(int timeoutMs = ReplyTimeoutMs)
    {
        if (!waitUntil([this] { return received.contains("\r\n"); }, timeoutMs))
            return QByteArray();
        const qsizetype end = received.indexOf("\r\n") + 2;
        const QByteArray line = received.left(end);
        received.remove(0, end);
        return line;
    }

    QByteArray command(const QByteArray &text)
    {
        socket.write(text);
        return reply();
    }

    // Writes the bytes in pieces of pieceBytes, keeping no more than a few
    // pieces queued, so the agent takes them in as many small arrivals.
    void sendInPieces(const QByteArray &bytes, qsizetype pieceBytes)
    {
        qsizetype sent = 0;
        auto feed = [&] {
            while (sent < bytes.size() && socket.bytesToWrite() < 4 * pieceBytes) {
                socket.write(bytes.mid(sent, pieceBytes));
                sent += pieceBytes;
            }
        };
        const auto connection = QObject::connect(&socket, &QTcpSocket::bytesWritten, feed);
        feed();
        waitUntil([&] { return sent >= bytes.size(); });
        QObject::disconnect(connection);
    }

    bool waitForClose()
    {
        return waitUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }

    QTcpSocket socket;
    QByteArray received;
};
