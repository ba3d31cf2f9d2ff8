#pragma once

// What the session tests share: private settings, runtime and temp folders,
// a settings store that points the session at a test's service, and a
// program state built fresh for each case.

#include "SettingsStore.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>

class WebmailTestEnvironment
{
public:
    WebmailTestEnvironment()
    {
        if (!m_root.isValid())
            qFatal("no temporary folder for the test");
        const QDir root(m_root.path());
        for (const char *folder : {"config", "runtime", "tmp", "log"})
            root.mkpath(QLatin1String(folder));
        QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", root.filePath(QStringLiteral("runtime")).toLocal8Bit());
        qputenv("TMPDIR", root.filePath(QStringLiteral("tmp")).toLocal8Bit());
    }

    QString Path(const QString &relative = QString()) const { return QDir(m_root.path()).filePath(relative); }
    QString LogFolder() const { return Path(QStringLiteral("log")); }

    // A fresh program state whose settings store names these service
    // addresses, and a session created on it.
    void StartSession(const QString &serviceUrl, const QString &altServiceUrl)
    {
        session.reset();
        state.reset();
        settings =
            std::make_unique<SettingsStore>(Path(QStringLiteral("config/Zorvane/Zorvane%1.ini").arg(++m_stores)));
        settings->setValue(QStringLiteral("Preferences"), QStringLiteral("ServiceUrl"), serviceUrl);
        settings->setValue(QStringLiteral("Preferences"), QStringLiteral("AltServiceUrl"), altServiceUrl);
        state = std::make_unique<modMain>();
        state->messageBox = [](const QString &, const QString &) {};
        state->Settings = settings.get();
        session = std::make_unique<clsHotmail>(*state);
        state->MailSession = session.get();
    }

    // A loopback port on which nothing listens.
    static quint16 DeadPort()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            qFatal("no free port");
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<modMain> state;
    std::unique_ptr<clsHotmail> session;

private:
    QTemporaryDir m_root;
    int m_stores = 0;
};
