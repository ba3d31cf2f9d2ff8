#include "WireForm.h"

#include "SafeFile.h"

#include <cstring>

namespace {
constexpr qint64 ReadPieceBytes = 64 * 1024; // one read of a file being measured; stays off the mmap path of malloc
}

QByteArray WireForm::fromStoredPiece(const QByteArray &stored, bool *previousWasCr)
{
    bool carried = *previousWasCr;
    const qint64 added = addedBytes(stored.constData(), stored.size(), previousWasCr);
    if (added == 0)
        return stored;
    QByteArray wire(stored.size() + added, Qt::Uninitialized);
    const char *const begin = stored.constData();
    const char *const end = begin + stored.size();
    char *out = wire.data();
    // Each run up to the next LF goes over in one piece; a CR goes in front
    // of an LF that has none.
    for (const char *from = begin; from < end;) {
        const auto *lf = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
        const char *runEnd = lf ? lf : end;
        std::memcpy(out, from, size_t(runEnd - from));
        out += runEnd - from;
        if (!lf)
            break;
        const bool afterCr = lf == begin ? carried : lf[-1] == '\r';
        if (!afterCr)
            *out++ = '\r';
        *out++ = '\n';
        from = lf + 1;
    }
    return wire;
}

qint64 WireForm::addedBytes(const char *data, qsizetype size, bool *previousWasCr)
{
    if (size <= 0)
        return 0;
    qint64 added = 0;
    const char *const end = data + size;
    for (const char *lf = data; (lf = static_cast<const char *>(std::memchr(lf, '\n', size_t(end - lf)))); ++lf) {
        const bool afterCr = lf == data ? *previousWasCr : lf[-1] == '\r';
        if (!afterCr)
            ++added;
    }
    *previousWasCr = end[-1] == '\r';
    return added;
}

qint64 WireForm::sizeOfFile(const QString &path)
{
    QString error;
    const std::unique_ptr<QFile> file = SafeFile::openRegular(path, &error);
    if (!file)
        return -1;
    return sizeOfOpenFile(*file);
}

qint64 WireForm::sizeOfOpenFile(QFile &file)
{
    if (!file.seek(0))
        return -1;
    QByteArray piece(ReadPieceBytes, Qt::Uninitialized);
    qint64 total = 0;
    bool previousWasCr = false;
    for (;;) {
        const qint64 got = file.read(piece.data(), piece.size());
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got + addedBytes(piece.constData(), got, &previousWasCr);
    }
    return total;
}
