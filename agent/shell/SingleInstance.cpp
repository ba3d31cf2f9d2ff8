#include "SingleInstance.h"

#include "InstanceLock.h"

SingleInstance::SingleInstance(const QString &lockPath)
    : m_path(lockPath)
{
}

QString SingleInstance::defaultLockPath()
{
    return InstanceLock::DefaultPath(QStringLiteral("Zorvane"));
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
