#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// One running agent per user: a lock file in $XDG_RUNTIME_DIR, or in the
// temp folder when there is no runtime folder. A lock left by a process that
// has died is taken over.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &lockPath = defaultLockPath());

    // True when this process now holds the lock, false when another running
    // instance holds it.
    bool tryLock();
    QString lockPath() const { return m_path; }

    static QString defaultLockPath();

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};
