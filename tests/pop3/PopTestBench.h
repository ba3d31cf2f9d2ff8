#pragma once

// What the POP3 tests share: an isolated environment, the agent as the
// program assembles it (TestAgent), a raw POP3 client, and the reference web
// mail service as a child process.

#include "LineClient.h"
#include "MailTexts.h"
#include "ServiceProcess.h"
#include "TestAgent.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QtTest>

namespace PopTest {

using MailTexts::messageOfSize;

using MailTexts::unstuffData;

// The status line and the message a RETR brought, keep-alive lines removed.
inline QPair<QByteArray, QByteArray> splitRetrieve(const QByteArray &reply)
{
    const auto [status, data] = MailTexts::splitStatus(reply);
    return {status, unstuffData(data).first};
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
        QFile::setPermissions(root + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")));
        qputenv("TMPDIR", QFile::encodeName(root + QStringLiteral("/tmp")));
    }
    bool isValid() const { return m_root.isValid(); }
    QString path(const QString &name) const { return m_root.path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_root;
};

} // namespace PopTest
