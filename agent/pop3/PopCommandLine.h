#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

// One POP3 command line taken apart: the command word is the first four
// bytes upper-cased ("TOP " keeps its blank), the argument text is the rest
// without surrounding blanks, the arguments are that text split at blanks.
struct PopCommandLine
{
    // A line (without CRLF) shorter than this is a syntax error: no command
    // word of four characters fits in it.
    static constexpr qsizetype MinLineBytes = 4;

    QByteArray command;
    QByteArray argumentText;
    QList<QByteArray> arguments;

    // Empty when the line is too short to hold a command word.
    static std::optional<PopCommandLine> parse(const QByteArray &line);
    // Whether the argument text holds a CR, an LF or a NUL: the line itself
    // ends only at CRLF, so single ones reach the argument.
    bool argumentBreaksLines() const;
};

// A numeric argument as the mailbox commands read it: an optional sign and
// decimal digits that fit a signed 32-bit number. An empty text reads as 0.
// A negative number carries its value (the lowest 32-bit one when it is
// further below): only TOP's line count may be negative.
struct PopNumber
{
    enum class Kind { Valid, NotNumeric, Negative, OutOfRange };
    Kind kind = Kind::NotNumeric;
    int value = 0;

    static PopNumber parse(const QByteArray &text);
};
