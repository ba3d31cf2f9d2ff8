#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// File operations that never overwrite and never leave half a file behind.
class SafeFile
{
public:
    // Renames from to to; fails (and changes nothing) when to exists.
    // *exists tells the caller that this was the reason.
    static bool renameNoReplace(const QString &from, const QString &to, bool *exists, QString *error);
    // Creates path (which must not exist), writes all bytes and syncs them.
    static bool writeNew(const QString &path, QByteArrayView bytes, QString *error);
    // Creates the folder and its parents with mode 0700 where missing.
    static bool makeFolder(const QString &path, QString *error);
    // Reads a whole file up to maxBytes; false when it cannot be read or is larger.
    static bool readAll(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error);
};
