#pragma once

#include "FuzzHarness.h"

#include "AgentOptions.h"
#include "PopBuffer.h"
#include "PopFrontEnd.h"
#include "PopInterpreter.h"

#include <functional>

// What the POP3 fuzz targets share: the input's option byte, and client
// bytes cut into command lines by the front end's own line buffer (in
// segments the input chooses), each line handed to HandlePopCommand. Every
// reply must be a POP3 reply; the dialogue state must stay one of its four
// values.
//
// Input: one byte of options (bit 0 unread only, 1 mark read, 2 delete,
// 3 POP collection, bits 4-7 segment length), then the client's bytes.
namespace PopDialogueDriver {

// A dialogue longer than this adds nothing but time per input.
constexpr int MaxCommandsPerInput = 48;

struct Input
{
    OptionValues options;
    qsizetype segment = 1;
    QByteArray clientBytes;
};

inline Input Read(const uint8_t *data, size_t size)
{
    FuzzHarness::InputReader reader(data, size);
    const quint8 flags = reader.byte();
    Input input;
    input.options.listUnreadOnly = flags & 1;
    input.options.markReadOnServer = flags & 2;
    input.options.deleteOnServer = flags & 4;
    input.options.collectPOP3 = flags & 8;
    input.segment = 1 + (flags >> 4) * 7;
    input.clientBytes = reader.rest();
    return input;
}

inline void requirePopReply(const QByteArray &reply, const QByteArray &line)
{
    if (reply.isEmpty())
        return;
    FuzzHarness::require(reply.startsWith("+OK") || reply.startsWith("-ERR"), "reply is no POP3 status",
                         line + '\n' + reply);
    FuzzHarness::require(reply.endsWith("\r\n"), "reply does not end in CRLF", line + '\n' + reply);
}

// The front end reads nothing after it accepted QUIT.
inline bool quitAccepted(const QByteArray &line, const QByteArray &reply)
{
    return line.left(4).toUpper() == "QUIT"
        && (reply == PopInterpreter::QuitReply || reply == PopInterpreter::QuitReplyNotAllRemoved);
}

// afterCommand runs once each command has been answered (with its line).
inline void Run(const Input &input, PopFrontEnd &frontEnd, const std::function<void(const QByteArray &)> &afterCommand)
{
    PopBuffer buffer;
    int commands = 0;
    const QByteArray &bytes = input.clientBytes;
    for (qsizetype at = 0; at < bytes.size() && commands < MaxCommandsPerInput; at += input.segment) {
        if (!buffer.append(bytes.mid(at, input.segment)))
            return; // the front end drops such a client
        QByteArray line;
        for (;;) {
            const PopBuffer::Next next = buffer.takeNext(&line);
            if (next == PopBuffer::Next::Nothing)
                break;
            if (next == PopBuffer::Next::TooLong)
                continue;
            FuzzHarness::require(!line.contains("\r\n"), "a line holds CRLF", line);
            FuzzHarness::require(line.size() < PopBuffer::MaxCommandLineBytes, "an overlong line came through");
            const QByteArray reply = frontEnd.HandlePopCommand(line);
            requirePopReply(reply, line);
            const int popState = int(frontEnd.State());
            FuzzHarness::require(popState == 0 || popState == 1 || popState == 2 || popState == 99, "unknown state");
            afterCommand(line);
            if (quitAccepted(line, reply) || ++commands >= MaxCommandsPerInput)
                return;
        }
    }
}

} // namespace PopDialogueDriver
