#pragma once

#include <QByteArray>

// SmtpBuffer: the bytes received on the SMTP connection and not yet handed to
// the interpreter, cut into command texts or into one whole message text.
//
// In the command phase a command text is everything received once it ends in
// CR LF (two lines that arrived together are one text). In the message phase
// the bytes are read once, as they arrive: the end marker "\r\n.\r\n" is
// looked for and the stuffing dot of every line that begins with two dots is
// dropped on the way, in the buffer the bytes came in, so once the marker is
// there the message text is ready: everything before the marker (its CR LF
// kept), unstuffed. A message that begins with the marker's dot line (".\r\n"
// right after the 354 reply) is the empty message. Bytes after the marker
// stay as the next command text.
class SmtpBuffer
{
public:
    // A command text that reaches this size without CR LF is refused: a peer
    // must not grow our memory with a line that never ends.
    static constexpr qsizetype MaxCommandTextBytes = 64 * 1024;
    // A message text above this size is refused after its end marker; beyond
    // it the bytes are counted and dropped, so a peer cannot exhaust memory.
    static constexpr qsizetype MaxMessageBytes = qsizetype(64) * 1024 * 1024;

    // Input received and not yet answered (command texts, and what follows
    // a whole message's end marker): one read of the socket brings at most
    // 1 MiB, so only a client that sends on while its replies are held (the
    // session serving the POP3 side) gets here, and it is not waiting for
    // them.
    static constexpr qsizetype MaxHeldInputBytes = 2 * 1024 * 1024;

    enum class Phase { Command, Message };
    enum class Take {
        Incomplete, // wait for more bytes
        Complete,   // text holds a command text or a whole message text
        TooLong,    // a command line without end reached MaxCommandTextBytes
        TooLarge,   // a whole message above MaxMessageBytes was dropped
    };

    // False when the bytes took the held input past MaxHeldInputBytes; the
    // caller drops the connection.
    bool append(const QByteArray &bytes);
    void clear();

    // The message phase begins after the 354 reply; start (what followed the
    // DATA line in its command text) and what is already here are the start
    // of the message text. head goes in front of the message text handed
    // over (the submission's envelope): put there first, it spares moving a
    // large message to make room for it.
    void beginMessage(const QByteArray &start = QByteArray(), const QByteArray &head = QByteArray());
    Phase phase() const { return m_phase; }

    // Hands over the next command text or message text, if one is whole.
    // A message handed over (or refused) returns the buffer to the command
    // phase.
    Take take(QByteArray *text);

    // The message phase has seen its end marker.
    bool messageComplete() const { return m_messageComplete; }
    bool isEmpty() const { return m_data.isEmpty(); }
    qsizetype heldInputBytes() const;
    qsizetype size() const { return m_data.size(); }
    // Bytes of the current message text received so far, as the client sent
    // them (stuffing dots and the marker included), dropped ones included.
    qint64 messageBytes() const { return m_messageBytes; }

private:
    // Where the last byte read of the message leaves its line.
    enum class LineState {
        LineStart, // after CR LF, or at the start of the message
        Text,      // within a line
        AfterCr,   // the byte before was a CR within a line
        Dot,       // a dot at a line start, not yet written
        DotCr,     // a dot and a CR at a line start, not yet written
    };

    void makeRoomFor(qsizetype incoming);
    Take takeCommand(QByteArray *text);
    Take takeMessage(QByteArray *text);
    void forgetMessage();
    void readMessageBytes(qsizetype from);
    void endMessage(qsizetype written, qsizetype read);
    void dropRefusedLine();

    QByteArray m_data;
    Phase m_phase = Phase::Command;
    // Message phase: m_data holds the message text read so far, unstuffed;
    // once its end marker is there, the text moves to m_message and m_data
    // holds what followed it.
    LineState m_lineState = LineState::LineStart;
    bool m_messageComplete = false;
    bool m_messageTooLarge = false;
    qint64 m_messageBytes = 0;
    // Bytes at the end of m_data not yet read: a dot (and a CR) at a line
    // start, whose meaning the next bytes tell.
    qsizetype m_heldBackBytes = 0;
    QByteArray m_message;
    // Command phase: the rest of a refused line is dropped up to its CR LF.
    bool m_skippingLine = false;
};
