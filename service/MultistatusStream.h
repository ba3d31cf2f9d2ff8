#pragma once

#include "MultistatusWriter.h"
#include "ResponseBody.h"

#include <functional>

// A multistatus answer written while it is sent: each piece asks the
// producer for more resources until a piece is full, so only one piece and
// what the producer keeps are ever held, however many resources there are.
class MultistatusStream : public ResponseBody
{
public:
    // Adds the next resource (or a few) to the writer; false when none are left.
    using Producer = std::function<bool(MultistatusWriter &)>;

    static constexpr qsizetype PieceBytes = 64 * 1024; // about 150 listed messages a piece

    MultistatusStream(MultistatusWriter writer, Producer producer);

    bool next(QByteArray *out, bool *failed) override;

private:
    MultistatusWriter m_writer;
    Producer m_producer;
    bool m_finished = false;
};
