#include "MessageHeader.h"

#include "SafeFile.h"

namespace {
constexpr qint64 ReadPieceBytes = 16 * 1024; // most header sections fit one piece
}

MessageHeader::MessageHeader(const QByteArray &text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        const bool complete = end >= 0;
        if (!complete)
            end = text.size();
        QByteArray line = text.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() && complete)
            break;
        if (!line.isEmpty())
            m_lines.append(line);
        start = end + 1;
    }
}

bool MessageHeader::readFromFile(const QString &path, MessageHeader *header, QString *error)
{
    const std::unique_ptr<QFile> opened = SafeFile::openRegular(path, error);
    if (!opened)
        return false;
    QFile &file = *opened;
    QByteArray text;
    while (text.size() < MaxHeaderSectionBytes) {
        const QByteArray piece = file.read(ReadPieceBytes);
        if (piece.isEmpty())
            break;
        const qsizetype searchFrom = qMax<qsizetype>(0, text.size() - 3);
        text.append(piece);
        const qsizetype lf = text.indexOf("\n\n", searchFrom);
        const qsizetype crlf = text.indexOf("\n\r\n", searchFrom);
        const qsizetype end = (lf >= 0 && (crlf < 0 || lf < crlf)) ? lf + 2 : (crlf >= 0 ? crlf + 3 : -1);
        if (end >= 0) {
            text.truncate(end);
            break;
        }
    }
    if (text.size() > MaxHeaderSectionBytes)
        text.truncate(MaxHeaderSectionBytes);
    *header = MessageHeader(text);
    return true;
}

QByteArray MessageHeader::field(const QByteArray &name) const
{
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QByteArray &line = m_lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        QByteArray value = line.mid(colon + 1).trimmed();
        for (qsizetype j = i + 1; j < m_lines.size(); ++j) {
            const QByteArray &next = m_lines.at(j);
            if (next.isEmpty() || (next.at(0) != ' ' && next.at(0) != '\t'))
                break;
            value += ' ' + next.trimmed();
        }
        return value;
    }
    return {};
}
