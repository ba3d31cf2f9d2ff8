#include "WireForm.h"

#include <QFile>

namespace {
constexpr qint64 ReadPieceBytes = 64 * 1024; // one read of a file being measured; stays off the mmap path of malloc
}

QByteArray WireForm::fromStored(const QByteArray &stored)
{
    bool previousWasCr = false;
    const qint64 added = addedBytes(stored.constData(), stored.size(), &previousWasCr);
    if (added == 0)
        return stored;
    QByteArray wire;
    wire.reserve(stored.size() + added);
    char previous = 0;
    for (const char c : stored) {
        if (c == '\n' && previous != '\r')
            wire.append('\r');
        wire.append(c);
        previous = c;
    }
    return wire;
}

qint64 WireForm::addedBytes(const char *data, qsizetype size, bool *previousWasCr)
{
    qint64 added = 0;
    bool afterCr = *previousWasCr;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' && !afterCr)
            ++added;
        afterCr = (c == '\r');
    }
    *previousWasCr = afterCr;
    return added;
}

qint64 WireForm::sizeOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
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
