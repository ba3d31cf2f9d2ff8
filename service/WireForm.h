#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A message as it goes over the wire: the stored bytes with every LF that
// does not follow a CR turned into CR LF. Stored files keep whatever line ends
// their writer chose; the listed size is always the wire form's.
class WireForm
{
public:
    // The wire form of a piece of a stored file read in pieces;
    // previousWasCr carries the last byte of the previous piece and is
    // updated.
    static QByteArray fromStoredPiece(const QByteArray &stored, bool *previousWasCr);
    // The wire size of a file, read in pieces; -1 when it cannot be read.
    static qint64 sizeOfFile(const QString &path);
    static qint64 sizeOfOpenFile(QFile &file);
    // Bytes the conversion adds to a piece; previousWasCr carries the last
    // byte of the previous piece and is updated.
    static qint64 addedBytes(const char *data, qsizetype size, bool *previousWasCr);
};
