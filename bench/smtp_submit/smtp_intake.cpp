// Intake time of a message text in the SMTP front end: the bytes arrive in
// segments of a TCP packet's size, are collected with the end-marker search
// and handed over whole, then unstuffed. Prints one line per size; the time
// per MiB stays flat when the intake is linear in the message size.
#include "SmtpBuffer.h"
#include "UnstuffData.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr qsizetype SegmentBytes = 1460; // one Ethernet-sized TCP segment

QByteArray wireText(qsizetype bytes)
{
    QByteArray line = QByteArray(76, 'm') + "\r\n";
    QByteArray wire;
    wire.reserve(bytes + 8);
    for (int n = 0; wire.size() < bytes; ++n)
        wire += (n % 40 == 0 ? ".." : "") + line;
    return wire + ".\r\n";
}

} // namespace

int main()
{
    std::printf("%8s %12s %12s %10s\n", "MiB", "collect ms", "unstuff ms", "ms/MiB");
    for (const int mebibytes : {1, 10, 50}) {
        const QByteArray wire = wireText(qsizetype(mebibytes) * 1024 * 1024);
        SmtpBuffer buffer;
        QByteArray text;
        QElapsedTimer timer;
        timer.start();
        buffer.beginMessage();
        for (qsizetype at = 0; at < wire.size(); at += SegmentBytes)
            buffer.append(wire.mid(at, SegmentBytes));
        if (buffer.take(&text) != SmtpBuffer::Take::Complete || text.size() != wire.size()) {
            std::fprintf(stderr, "the message was not taken whole\n");
            return 1;
        }
        const double collectMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        const QByteArray message = UnstuffData(text);
        const double unstuffMs = timer.nsecsElapsed() / 1e6;
        std::printf("%8d %12.1f %12.1f %10.2f\n", mebibytes, collectMs, unstuffMs, (collectMs + unstuffMs) / mebibytes);
        if (message.isEmpty())
            return 1;
    }
    return 0;
}
