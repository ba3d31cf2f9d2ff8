#pragma once

#include <QByteArray>

// The bytes received from the POP3 client and not yet interpreted, cut into
// CRLF-terminated command lines. Pipelined commands come out one line at a
// time; a command split over several segments comes out once it is whole.
// Scanning resumes where the last scan stopped, so a line that trickles in
// byte by byte costs linear time.
class PopBuffer
{
public:
    // A command line longer than this is refused: a peer must not grow our
    // memory with a line that never ends.
    static constexpr qsizetype MaxCommandLineBytes = 64 * 1024;
    // Input held while a command or a download is in progress (pipelined
    // lines included, an overlong line counting with its first
    // MaxCommandLineBytes); a client that floods past this is not waiting
    // for our replies at all.
    static constexpr qsizetype MaxHeldInputBytes = 1024 * 1024;

    enum class Next {
        Nothing, // no complete line yet
        Line,    // a command line, without its CRLF
        TooLong, // a line reached MaxCommandLineBytes; its bytes are dropped
    };

    // Adds received bytes, of an overlong line only as much as it takes to
    // refuse it. Returns false (and keeps nothing new) when the held input
    // would exceed MaxHeldInputBytes.
    bool append(const QByteArray &bytes);
    // Takes the next complete line, or reports an overlong one. After
    // TooLong the rest of that line, up to its CRLF, is dropped as it comes.
    Next takeNext(QByteArray *line);

    void clear();
    bool isEmpty() const { return heldBytes() == 0 && !m_discarding; }
    qsizetype heldBytes() const { return m_data.size() - m_start; }

private:
    void compact();
    // Bytes held after the last CRLF: the line still arriving.
    qsizetype unfinishedLineLength() const;

    QByteArray m_data;
    qsizetype m_start = 0;     // first byte not yet taken
    qsizetype m_scanned = 0;   // bytes from m_start already searched for CRLF
    bool m_discarding = false; // dropping the tail of an overlong line
};
