#include "WireFormStream.h"

#include "WireForm.h"

WireFormStream::WireFormStream(std::unique_ptr<QFile> file, qint64 wireSize)
    : m_file(std::move(file))
    , m_wireSize(wireSize)
{
    m_file->seek(0);
}

bool WireFormStream::next(QByteArray *out, bool *failed)
{
    if (m_sent >= m_wireSize)
        return false;
    const QByteArray stored = m_file->read(ReadPieceBytes);
    if (stored.isEmpty()) {
        *failed = true; // the file is shorter than when it was measured
        return false;
    }
    QByteArray wire = WireForm::fromStoredPiece(stored, &m_previousWasCr);
    if (m_sent + wire.size() > m_wireSize) {
        *failed = true;
        wire.truncate(m_wireSize - m_sent);
    }
    m_sent += wire.size();
    out->append(wire);
    return true;
}
