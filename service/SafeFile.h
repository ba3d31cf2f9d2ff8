#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

// File operations that never overwrite, never leave half a file behind and
// never follow a link another program put in the store.
class SafeFile
{
public:
    // Renames from to to; fails (and changes nothing) when to exists.
    // *exists tells the caller that this was the reason.
    static bool renameNoReplace(const QString &from, const QString &to, bool *exists, QString *error);
    // Creates path (which must not exist), writes all bytes and syncs them.
    static bool writeNew(const QString &path, QByteArrayView bytes, QString *error);
    // The same with the file's bytes given as pieces in order.
    static bool writeNew(const QString &path, const QList<QByteArrayView> &pieces, QString *error);
    // Opens path for appending, created with mode 0600 when missing and
    // never through a link; the descriptor, or nothing (with *error).
    static std::optional<int> openForAppending(const QString &path, QString *error);
    // Appends bytes to fd, syncs them and closes fd; path names it in *error.
    static bool appendSynced(int fd, const QString &path, QByteArrayView bytes, QString *error);
    // Creates the folder and its parents with mode 0700 where missing.
    static bool makeFolder(const QString &path, QString *error);
    // Opens a regular file for reading; a symbolic link, a FIFO, a device or
    // a folder is refused (null, with *error set), and opening never blocks.
    static std::unique_ptr<QFile> openRegular(const QString &path, QString *error);
    // Reads a whole regular file of at most maxBytes; false (with *error)
    // when it cannot be opened as one, or is larger.
    static bool readAll(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error);
    // Reads a whole regular file when it has at most maxBytes, with a few
    // system calls and no file object. Null when it cannot be read as one
    // (*error says why) or when it is larger (*larger is set, nothing read).
    static std::optional<QByteArray> readIfAtMost(const QString &path, qint64 maxBytes, bool *larger,
                                                  QString *error);
};
