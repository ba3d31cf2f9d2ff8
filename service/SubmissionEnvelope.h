#pragma once

#include <QByteArray>
#include <QList>

// The head of a submission body: "MAIL FROM:<…>" and "RCPT TO:<…>" lines,
// each ending in CR LF (LF alone is taken too), then an empty line; the
// message follows.
class SubmissionEnvelope
{
public:
    // The agent's largest envelope: up to 1000 recipients, 1 MiB with its
    // closing empty line.
    static constexpr qsizetype MaxEnvelopeBytes = 1024 * 1024;
    static constexpr qsizetype MaxRecipients = 1000;

    // False with reason() set when the body does not begin with a usable
    // envelope.
    bool parse(const QByteArray &body);

    const QByteArray &sender() const { return m_sender; }
    // In the order given, without repeats (compared in lower case).
    const QList<QByteArray> &recipients() const { return m_recipients; }
    qsizetype messageOffset() const { return m_messageOffset; }
    const QByteArray &reason() const { return m_reason; }

private:
    bool fail(const QByteArray &reason);
    static bool takePath(const QByteArray &rest, QByteArray *address);

    QByteArray m_sender;
    QList<QByteArray> m_recipients;
    qsizetype m_messageOffset = -1;
    QByteArray m_reason;
};
