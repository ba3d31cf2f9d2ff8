#pragma once

// What every diagnostics test shares: private settings, runtime and temp
// folders, the agent's Preferences written as the agent keeps them, free
// ports, and a recorder in place of the web browser.

#include "Diagnostics.h"
#include "HelpPages.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>
#include <vector>

class DiagnosticsTestEnvironment
{
public:
    DiagnosticsTestEnvironment()
    {
        if (!m_root.isValid())
            qFatal("no temporary folder for the test");
        const QDir root(m_root.path());
        root.mkpath(QStringLiteral("runtime"));
        root.mkpath(QStringLiteral("tmp"));
        QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", root.filePath(QStringLiteral("runtime")).toLocal8Bit());
        qputenv("TMPDIR", root.filePath(QStringLiteral("tmp")).toLocal8Bit());
        qunsetenv(Diagnostics::WaitIntervalVariable);
        UseFreshConfig();
    }

    QString Path() const { return m_root.path(); }

    // A new, empty settings folder: a missing store, all defaults. Each case
    // gets its own, so no stored file is ever read from a cache.
    QString UseFreshConfig()
    {
        const QString config = QDir(m_root.path()).filePath(QStringLiteral("config%1").arg(++m_configs));
        QDir().mkpath(config);
        qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
        return config;
    }

    // Writes the section Preferences with these keys, in a fresh settings folder.
    QString WritePreferences(const QMap<QString, QString> &values)
    {
        const QString config = UseFreshConfig();
        QDir(config).mkpath(QStringLiteral("Zorvane"));
        QFile ini(QDir(config).filePath(QStringLiteral("Zorvane/Zorvane.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            qFatal("cannot write the settings file");
        QByteArray text = "[Preferences]\n";
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            text += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
        ini.write(text);
        return ini.fileName();
    }

private:
    QTemporaryDir m_root;
    int m_configs = 0;
};

// The one environment of a test program. A test's static initMain() calls it,
// so the folders are in place before the application object starts.
inline DiagnosticsTestEnvironment &TestEnvironment()
{
    static DiagnosticsTestEnvironment environment;
    return environment;
}

// Stands in for the web browser: remembers which pages would have opened.
class HelpPageRecorder
{
public:
    HelpPageRecorder() = default;
    explicit HelpPageRecorder(Diagnostics &form) { AttachTo(form); }
    void AttachTo(Diagnostics &form)
    {
        form.SetHelpPageOpener([this](const QUrl &page) {
            pages.append(page);
            return true;
        });
    }
    bool Opened(HelpPages::Page page) const { return pages.size() == 1 && pages.first() == HelpPages::Url(page); }

    QList<QUrl> pages;
};

// Ports for the agent's settings. Sockets listen as the agent's do: IPv4, on
// every local address.
namespace TestPorts {

inline std::unique_ptr<QTcpServer> Hold(int port)
{
    auto server = std::make_unique<QTcpServer>();
    if (port < 1 || port > 65535 || !server->listen(QHostAddress::AnyIPv4, quint16(port)))
        return nullptr;
    return server;
}

inline bool IsFree(int port)
{
    return Hold(port) != nullptr;
}

// A port that nothing holds just now.
inline int Free()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

// Holds the ports first, first + offsets[0], ... for a first port in
// [low, high]; empty when no such first port is found.
inline std::vector<std::unique_ptr<QTcpServer>> HoldSeries(int low, int high, const QList<int> &offsets)
{
    constexpr int Tries = 200; // enough to step over ports other programs hold
    for (int attempt = 0; attempt < Tries; ++attempt) {
        const int first = low + int(QRandomGenerator::global()->bounded(high - low + 1));
        std::vector<std::unique_ptr<QTcpServer>> held;
        held.push_back(Hold(first));
        for (int offset : offsets) {
            if (!held.back())
                break;
            held.push_back(Hold(first + offset));
        }
        if (held.back())
            return held;
    }
    return {};
}

} // namespace TestPorts

// The lines of a report, split at CR LF.
inline QStringList ReportLines(const QString &report)
{
    return report.split(QStringLiteral("\r\n"));
}

// The port lines of the report, POP3 and SMTP, in the order of the report.
inline QStringList PortLines(const QString &report)
{
    static const QRegularExpression portLine(
        QStringLiteral("^Port \\d+ (is available for (POP3|SMTP)\\.|in use by (another program|the running Zorvane "
                       "agent)\\. Retrying\\.\\.\\.)$"));
    QStringList lines;
    for (const QString &line : ReportLines(report)) {
        if (portLine.match(line).hasMatch())
            lines.append(line);
    }
    return lines;
}

inline QString InUseLine(int port)
{
    return QStringLiteral("Port %1 in use by another program. Retrying...").arg(port);
}

inline QString AgentInUseLine(int port)
{
    return QStringLiteral("Port %1 in use by the running Zorvane agent. Retrying...").arg(port);
}

inline QString AvailableLine(int port, const QString &protocol)
{
    return QStringLiteral("Port %1 is available for %2.").arg(port).arg(protocol);
}
