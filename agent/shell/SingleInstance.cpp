#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

SingleInstance::SingleInstance(const QString &lockPath)
    : m_path(lockPath)
{
}

QString SingleInstance::defaultLockPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath(QStringLiteral("Zorvane.lock"));
    // The temp folder is shared between users: the name carries ours.
#ifdef Q_OS_WIN
    const QString user = qEnvironmentVariable("USERNAME");
#else
    const QString user = QString::number(::getuid());
#endif
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return QDir(temp).filePath(QStringLiteral("Zorvane-%1.lock").arg(user));
}

bool SingleInstance::tryLock()
{
    if (m_lock && m_lock->isLocked())
        return true;
    m_lock = std::make_unique<QLockFile>(m_path);
    // Age alone never makes a lock stale; a dead owner does.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    // Only a lock held by a live instance keeps us out; a folder we cannot
    // write must not stop the agent from running.
    return m_lock->error() != QLockFile::LockFailedError;
}
