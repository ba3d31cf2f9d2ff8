#include "SafeFile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(const QString &what, const QString &path)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// False (with errno set) when not every byte could be written.
bool writeWhole(int fd, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// A descriptor of a regular file opened for reading, -1 (with *error) for
// anything else. O_NONBLOCK: opening a FIFO would otherwise wait for a
// writer.
int openRegularFile(const QString &path, struct stat *info, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot read"), path);
        return -1;
    }
    if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        ::close(fd);
        *error = QStringLiteral("not a regular file: %1").arg(path);
        return -1;
    }
    return fd;
}

// The size bytes of an open file; null when they cannot all be read (the
// file shrank meanwhile, or reading failed).
std::optional<QByteArray> readExactly(int fd, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int reason = n == 0 ? ENODATA : errno;
            bytes = QByteArray();
            errno = reason; // for the caller's message
            return std::nullopt;
        }
        got += n;
    }
    return bytes;
}

} // namespace

bool SafeFile::renameNoReplace(const QString &from, const QString &to, bool *exists, QString *error)
{
    *exists = false;
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) {
        *exists = (errno == EEXIST);
        *error = systemError(QStringLiteral("cannot rename to"), to);
        return false;
    }
    // File systems without the no-replace rename: a hard link fails on an
    // existing name just the same.
    if (::link(source.constData(), target.constData()) != 0) {
        *exists = (errno == EEXIST);
        *error = systemError(QStringLiteral("cannot link"), to);
        return false;
    }
    ::unlink(source.constData());
    return true;
}

bool SafeFile::writeNew(const QString &path, QByteArrayView bytes, QString *error)
{
    return writeNew(path, QList<QByteArrayView>{bytes}, error);
}

bool SafeFile::writeNew(const QString &path, const QList<QByteArrayView> &pieces, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot create"), path);
        return false;
    }
    for (const QByteArrayView bytes : pieces) {
        if (!writeWhole(fd, bytes)) {
            *error = systemError(QStringLiteral("cannot write"), path);
            ::close(fd);
            ::unlink(native.constData());
            return false;
        }
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        *error = systemError(QStringLiteral("cannot sync"), path);
        ::unlink(native.constData());
        return false;
    }
    return true;
}

std::optional<int> SafeFile::openForAppending(const QString &path, QString *error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot open"), path);
        return std::nullopt;
    }
    // A file made by someone else with a wider mode is narrowed.
    ::fchmod(fd, 0600);
    return fd;
}

bool SafeFile::appendSynced(int fd, const QString &path, QByteArrayView bytes, QString *error)
{
    const bool written = writeWhole(fd, bytes);
    if (!written || ::fsync(fd) != 0) {
        *error = systemError(written ? QStringLiteral("cannot sync") : QStringLiteral("cannot write"), path);
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        *error = systemError(QStringLiteral("cannot close"), path);
        return false;
    }
    return true;
}

bool SafeFile::makeFolder(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    for (qsizetype i = 1; i <= native.size(); ++i) {
        if (i != native.size() && native.at(i) != '/')
            continue;
        const QByteArray part = native.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            *error = systemError(QStringLiteral("cannot create folder"), QFile::decodeName(part));
            return false;
        }
    }
    struct stat info
    {
    };
    if (::stat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("not a folder: %1").arg(path);
        return false;
    }
    return true;
}

std::unique_ptr<QFile> SafeFile::openRegular(const QString &path, QString *error)
{
    struct stat info
    {
    };
    const int fd = openRegularFile(path, &info, error);
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = QStringLiteral("cannot read %1").arg(path);
        return nullptr;
    }
    return file;
}

bool SafeFile::readAll(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error)
{
    const std::unique_ptr<QFile> file = openRegular(path, error);
    if (!file)
        return false;
    const qint64 size = file->size();
    if (size > maxBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes);
        return false;
    }
    // Sized by the file, not by the limit, so a small file reserves little.
    bytes->resize(size);
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file->read(bytes->data() + got, size - got);
        if (n <= 0)
            break; // the file shrank meanwhile; take what is there
        got += n;
    }
    bytes->truncate(got);
    return true;
}

std::optional<QByteArray> SafeFile::readIfAtMost(const QString &path, qint64 maxBytes, bool *larger, QString *error)
{
    *larger = false;
    struct stat info
    {
    };
    const int fd = openRegularFile(path, &info, error);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> bytes;
    if (info.st_size > maxBytes) {
        *larger = true;
    } else {
        bytes = readExactly(fd, qsizetype(info.st_size));
        if (!bytes)
            *error = systemError(QStringLiteral("cannot read all of"), path);
    }
    ::close(fd);
    return bytes;
}
