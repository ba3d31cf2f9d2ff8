#include "SubmissionEnvelope.h"

namespace {

bool startsWithNoCase(const QByteArray &line, const char *prefix)
{
    const QByteArray p(prefix);
    return line.size() >= p.size() && line.left(p.size()).compare(p, Qt::CaseInsensitive) == 0;
}

bool isAddressByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && c != '<' && c != '>';
}

} // namespace

bool SubmissionEnvelope::fail(const QByteArray &reason)
{
    m_reason = reason;
    return false;
}

// "<" address ">" [ SP parameters ]; a bare address is taken too.
bool SubmissionEnvelope::takePath(const QByteArray &rest, QByteArray *address)
{
    const QByteArray text = rest.trimmed();
    QByteArray candidate;
    if (text.startsWith('<')) {
        const qsizetype close = text.indexOf('>');
        if (close < 0)
            return false;
        candidate = text.mid(1, close - 1);
    } else {
        const qsizetype blank = text.indexOf(' ');
        candidate = blank < 0 ? text : text.left(blank);
    }
    for (const char c : candidate) {
        if (!isAddressByte(c))
            return false;
    }
    *address = candidate;
    return true;
}

bool SubmissionEnvelope::parse(const QByteArray &body)
{
    m_sender.clear();
    m_recipients.clear();
    m_messageOffset = -1;
    bool haveSender = false;
    QList<QByteArray> seen;
    qsizetype start = 0;
    while (start < body.size() && start <= MaxEnvelopeBytes) {
        const qsizetype lf = body.indexOf('\n', start);
        if (lf < 0)
            return fail("the envelope is not followed by an empty line");
        QByteArray line = body.mid(start, lf - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = lf + 1;
        if (line.isEmpty()) {
            if (!haveSender)
                return fail("the envelope has no MAIL FROM line");
            if (m_recipients.isEmpty())
                return fail("the envelope has no RCPT TO line");
            m_messageOffset = start;
            return true;
        }
        QByteArray address;
        if (startsWithNoCase(line, "MAIL FROM:")) {
            if (haveSender)
                return fail("the envelope has more than one MAIL FROM line");
            if (!takePath(line.mid(10), &address))
                return fail("malformed envelope line: " + line.left(200));
            m_sender = address;
            haveSender = true;
        } else if (startsWithNoCase(line, "RCPT TO:")) {
            if (!takePath(line.mid(8), &address) || address.isEmpty())
                return fail("malformed envelope line: " + line.left(200));
            if (seen.contains(address.toLower()))
                continue;
            if (m_recipients.size() >= MaxRecipients)
                return fail("more than " + QByteArray::number(MaxRecipients) + " recipients");
            seen.append(address.toLower());
            m_recipients.append(address);
        } else {
            return fail("not an envelope line: " + line.left(200));
        }
    }
    return fail("the envelope is not followed by an empty line");
}
