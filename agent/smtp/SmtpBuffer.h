#pragma once

#include <QByteArray>

// SmtpBuffer: the bytes received on the SMTP connection and not yet handed to
// the interpreter, cut into command texts or into one whole message text.
//
// In the command phase a command text is everything received once it ends in
// CR LF (two lines that arrived together are one text). In the message phase
// the text ends at the first "\r\n.\r\n"; only bytes not searched before are
// searched (plus the four before them, where a marker may have begun), so
// taking in a message costs time in proportion to its size however it is cut
// into segments. Bytes after the marker stay as the next command text.
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
    // of the message text.
    void beginMessage(const QByteArray &start = QByteArray());
    Phase phase() const { return m_phase; }

    // Hands over the next command text or message text, if one is whole.
    // A message handed over (or refused) returns the buffer to the command
    // phase.
    Take take(QByteArray *text);

    // The message phase has seen its end marker.
    bool messageComplete() const { return m_markerEnd >= 0; }
    bool isEmpty() const { return m_data.isEmpty(); }
    qsizetype heldInputBytes() const;
    qsizetype size() const { return m_data.size(); }
    // Bytes of the current message text received so far, dropped ones included.
    qint64 messageBytes() const { return m_droppedBytes + m_data.size(); }

private:
    void makeRoomFor(qsizetype incoming);
    Take takeCommand(QByteArray *text);
    Take takeMessage(QByteArray *text);
    void scanForEndMarker();
    void dropRefusedLine();
    void dropOversizedMessageBytes();

    QByteArray m_data;
    Phase m_phase = Phase::Command;
    // Message phase: bytes of m_data already searched for the end marker, and
    // where the marker ends once found (-1 while not found).
    qsizetype m_searched = 0;
    qsizetype m_markerEnd = -1;
    qint64 m_droppedBytes = 0;
    // Command phase: the rest of a refused line is dropped up to its CR LF.
    bool m_skippingLine = false;
};
