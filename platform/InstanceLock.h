#pragma once

#include <QString>

// Stand-in for the system's knowledge of which programs run: a program that
// must run only once per user holds a lock file, in $XDG_RUNTIME_DIR, or in
// the temp folder (shared between users, so the name carries the user's).
class InstanceLock
{
public:
    // Where the program of this name keeps its lock.
    static QString DefaultPath(const QString &program);

    // True when a live process holds the lock at path. Only looks: the lock
    // is never taken, so a program starting meanwhile is not kept out.
    static bool IsHeld(const QString &path);
};
