#pragma once

#include "ResponseBody.h"

#include <QFile>

#include <memory>

// A stored message sent in wire form straight from its open file, a piece
// at a time, so that a large message is never held whole. The length is
// the wire size measured before; a file that changed since is cut off
// rather than sent other than announced.
class WireFormStream : public ResponseBody
{
public:
    static constexpr qint64 ReadPieceBytes = 64 * 1024; // one read of the file

    WireFormStream(std::unique_ptr<QFile> file, qint64 wireSize);

    qint64 size() const override { return m_wireSize; }
    bool next(QByteArray *out, bool *failed) override;

private:
    std::unique_ptr<QFile> m_file;
    qint64 m_wireSize;
    qint64 m_sent = 0;
    bool m_previousWasCr = false;
};
