#include "MultistatusStream.h"

MultistatusStream::MultistatusStream(MultistatusWriter writer, Producer producer)
    : m_writer(std::move(writer))
    , m_producer(std::move(producer))
{
}

bool MultistatusStream::next(QByteArray *out, bool *)
{
    if (m_finished)
        return false;
    while (m_writer.pendingBytes() < PieceBytes) {
        if (!m_producer(m_writer)) {
            m_finished = true;
            out->append(m_writer.finish());
            return true;
        }
    }
    out->append(m_writer.take());
    return true;
}
