#pragma once

#include "ConnectionAddresses.h"

#include <QString>

// Stand-in for the system's socket tables: which user opened the far end of
// a TCP connection that came in on this computer. Linux is asked through
// its socket diagnostics (NETLINK_SOCK_DIAG) by the connection's exact
// address pair, with /proc/net/tcp and /proc/net/tcp6 as the fallback;
// other systems have no such query here.
class SocketOwner
{
public:
    enum class Outcome {
        Found,        // uid holds the owner
        NoSuchSocket, // no socket on this computer has that address pair: gone, or another computer's
        QueryFailed,  // the system could not be asked
        Unsupported,  // this system has no such query
    };
    struct Answer
    {
        Outcome outcome = Outcome::QueryFailed;
        quint32 uid = 0;
        QString reason; // why the owner is not known; empty when found
    };

    // The kernel's answer is in its socket buffer when the request returns;
    // a longer silence means something is badly wrong.
    static constexpr int KernelAnswerTimeoutMs = 500;
    // One answer of the kernel: a fixed header and a few small attributes.
    static constexpr int KernelAnswerMaxBytes = 8192;

    static bool IsSupported();
    // The user the agent's sockets belong to.
    static quint32 CurrentUser();

    // The owner of the peer's socket of the connection: the kernel is asked
    // first; where it cannot be asked or does not know the socket, the
    // tables under /proc are read.
    static Answer OfPeer(const ConnectionAddresses &connection);
    // Each way of asking on its own.
    static Answer AskKernel(const ConnectionAddresses &connection);
    static Answer ReadProcTables(const ConnectionAddresses &connection);

    // What a socket in the given TCP state (the kernel's numbering, as in
    // the tables) with the given uid tells about its owner. A socket that
    // is closing down (TIME_WAIT) or not yet a whole socket reports uid 0,
    // which is nobody's: those count as gone, never as root's.
    static Answer AnswerFor(int tcpState, quint32 uid);
    // The answer about a pair that no socket here has.
    static Answer NoSocketWithThatPair();
};
