#pragma once

#include <QString>

#include <optional>

class Winsock;
class modMain;

// Start-up step of each listener: the port box's text becomes the socket's
// local port and the socket starts listening. Each failure is shown with
// ShowSystemProblem as "<error number in upper-case hex> - <description>",
// the description naming the protocol and the port so the user knows which
// setting to change ("Address already in use (POP3 port 110)"), and
// start-up goes on: a port text that is not a port still leads to a listen
// attempt (on the port the socket had).
class ListenerStartup
{
public:
    // The whole-number value of a port box, or nothing when it is not a
    // number from 0 to 65535.
    static std::optional<quint16> ParsePortText(const QString &text);

    // Returns true when the socket listens afterwards. protocol: "POP3" or
    // "SMTP".
    static bool Start(modMain &state, Winsock &socket, const QString &portText, const QString &protocol);

    // "<number in upper-case hex> - <description>"
    static QString ProblemText(int errorNumber, const QString &description);

private:
    // " (<protocol> port <port>)", the end of a description.
    static QString PortNamed(const QString &protocol, const QString &port);
};
