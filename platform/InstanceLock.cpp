#include "InstanceLock.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <unistd.h>
#endif

QString InstanceLock::DefaultPath(const QString &program)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath(program + QStringLiteral(".lock"));
#ifdef Q_OS_WIN
    const QString user = qEnvironmentVariable("USERNAME");
#else
    const QString user = QString::number(::getuid());
#endif
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return QDir(temp).filePath(QStringLiteral("%1-%2.lock").arg(program, user));
}

bool InstanceLock::IsHeld(const QString &path)
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!QLockFile(path).getLockInfo(&pid, &host, &application) || pid <= 0)
        return false;
#ifdef Q_OS_WIN
    return true; // the holder cannot be looked at here; count it as alive
#else
    // A lock of another machine (a shared home folder) cannot be checked.
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return true;
    // A process we may not signal is alive all the same.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#endif
}
