#include "SocketOwner.h"

#include "ProcNetTcpTable.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#endif

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// The kernel's TCP states, as the diagnostics and the tables number them.
enum TcpState {
    Established = 1,
    SynSent = 2,
    SynReceived = 3,
    FinWait1 = 4,
    FinWait2 = 5,
    TimeWait = 6,
    Closed = 7,
    CloseWait = 8,
    LastAck = 9,
    Listening = 10,
    Closing = 11,
};

SocketOwner::Answer queryFailed(const QString &reason)
{
    return {SocketOwner::Outcome::QueryFailed, 0, reason};
}

#ifdef Q_OS_LINUX

QString errnoText(const char *what, int number)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(number));
}

// A netlink socket that closes itself.
class DiagSocket
{
public:
    DiagSocket()
        : m_fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG))
    {
    }
    ~DiagSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DiagSocket(const DiagSocket &) = delete;
    DiagSocket &operator=(const DiagSocket &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

struct DiagRequest
{
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// One exact lookup: the socket whose own end is the connection's peer and
// whose far end is the connection's local end.
DiagRequest peerSocketRequest(const ConnectionAddresses &connection)
{
    DiagRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST; // no NLM_F_DUMP: one socket by its id
    message.header.nlmsg_seq = 1;
    inet_diag_req_v2 &request = message.request;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_sport = htons(connection.peerPort);
    request.id.idiag_dport = htons(connection.localPort);
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    bool peerV4 = false;
    bool localV4 = false;
    const quint32 peer = connection.peerAddress.toIPv4Address(&peerV4);
    const quint32 local = connection.localAddress.toIPv4Address(&localV4);
    if (peerV4 && localV4) {
        // Dual-stack sockets with IPv4 ends are found by this lookup too.
        request.sdiag_family = AF_INET;
        request.id.idiag_src[0] = htonl(peer);
        request.id.idiag_dst[0] = htonl(local);
    } else {
        request.sdiag_family = AF_INET6;
        const Q_IPV6ADDR peer6 = connection.peerAddress.toIPv6Address();
        const Q_IPV6ADDR local6 = connection.localAddress.toIPv6Address();
        std::memcpy(request.id.idiag_src, peer6.c, sizeof peer6.c);
        std::memcpy(request.id.idiag_dst, local6.c, sizeof local6.c);
    }
    return message;
}

SocketOwner::Answer readKernelAnswer(const quint8 *data, ssize_t length, const inet_diag_req_v2 &asked)
{
    for (auto *header = reinterpret_cast<const nlmsghdr *>(data); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_seq != 1)
            continue;
        if (header->nlmsg_type == NLMSG_ERROR) {
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                return queryFailed(QStringLiteral("netlink: short error answer"));
            const int error = -static_cast<const nlmsgerr *>(NLMSG_DATA(header))->error;
            if (error == ENOENT)
                return SocketOwner::NoSocketWithThatPair();
            return queryFailed(errnoText("socket diagnostics", error));
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
        // Without a connection of that pair the kernel may offer a socket
        // that listens on the peer's port: that is somebody else's.
        if (found->id.idiag_sport != asked.id.idiag_sport || found->id.idiag_dport != asked.id.idiag_dport)
            return SocketOwner::NoSocketWithThatPair();
        return SocketOwner::AnswerFor(found->idiag_state, found->idiag_uid);
    }
    return queryFailed(QStringLiteral("socket diagnostics: no answer about the socket"));
}

#endif

} // namespace

bool SocketOwner::IsSupported()
{
#ifdef Q_OS_LINUX
    return true;
#else
    return false;
#endif
}

quint32 SocketOwner::CurrentUser()
{
#ifdef Q_OS_UNIX
    return ::geteuid();
#else
    return 0;
#endif
}

SocketOwner::Answer SocketOwner::AnswerFor(int tcpState, quint32 uid)
{
    switch (tcpState) {
    case Established:
    case SynSent:
    case SynReceived:
    case FinWait1:
    case FinWait2:
    case CloseWait:
    case LastAck:
    case Closing:
        return {Outcome::Found, uid, QString()};
    case TimeWait:
    case Closed:
        return {Outcome::NoSuchSocket, 0, QStringLiteral("the connection is already closed")};
    case Listening:
        return NoSocketWithThatPair();
    default:
        return {Outcome::NoSuchSocket, 0,
                QStringLiteral("the socket is not a whole connection (state %1)").arg(tcpState)};
    }
}

SocketOwner::Answer SocketOwner::NoSocketWithThatPair()
{
    return {Outcome::NoSuchSocket, 0, QStringLiteral("no socket on this computer has that address pair")};
}

SocketOwner::Answer SocketOwner::OfPeer(const ConnectionAddresses &connection)
{
    if (!IsSupported())
        return {Outcome::Unsupported, 0, QStringLiteral("this system cannot tell who opened a connection")};
    if (!connection.isComplete())
        return {Outcome::NoSuchSocket, 0, QStringLiteral("the connection was gone before it could be looked at")};
    const Answer kernel = AskKernel(connection);
    if (kernel.outcome == Outcome::Found)
        return kernel;
    // A kernel without the TCP diagnostics answers "no such socket" to
    // everything; the tables tell for sure.
    const Answer tables = ReadProcTables(connection);
    if (tables.outcome != Outcome::QueryFailed)
        return tables;
    if (kernel.outcome == Outcome::NoSuchSocket)
        return kernel;
    return queryFailed(kernel.reason + QStringLiteral("; ") + tables.reason);
}

SocketOwner::Answer SocketOwner::AskKernel(const ConnectionAddresses &connection)
{
#ifdef Q_OS_LINUX
    const DiagSocket socket;
    if (socket.fd() < 0)
        return queryFailed(errnoText("socket diagnostics", errno));
    const timeval timeout{KernelAnswerTimeoutMs / 1000, (KernelAnswerTimeoutMs % 1000) * 1000};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    DiagRequest message = peerSocketRequest(connection);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.fd(), &message, sizeof message, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel)
        < 0)
        return queryFailed(errnoText("socket diagnostics", errno));

    alignas(nlmsghdr) quint8 answer[KernelAnswerMaxBytes];
    ssize_t length = -1;
    do
        length = ::recv(socket.fd(), answer, sizeof answer, 0);
    while (length < 0 && errno == EINTR);
    if (length < 0)
        return queryFailed(errnoText("socket diagnostics", errno));
    return readKernelAnswer(answer, length, message.request);
#else
    Q_UNUSED(connection);
    return {Outcome::Unsupported, 0, QStringLiteral("this system cannot tell who opened a connection")};
#endif
}

SocketOwner::Answer SocketOwner::ReadProcTables(const ConnectionAddresses &connection)
{
    const std::pair<const char *, ProcNetTcpTable::Family> tables[] = {
        {"/proc/net/tcp", ProcNetTcpTable::Family::IPv4},
        {"/proc/net/tcp6", ProcNetTcpTable::Family::IPv6},
    };
    Answer answer = NoSocketWithThatPair();
    QStringList unreadable;
    for (const auto &[path, family] : tables) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly)) {
            // A system without IPv6 has no tcp6 table; only both missing is a failure.
            unreadable << table.fileName() + QStringLiteral(": ") + table.errorString();
            continue;
        }
        answer = ProcNetTcpTable::FindPeerSocket(table, family, connection);
        if (answer.outcome != Outcome::NoSuchSocket)
            return answer;
    }
    if (unreadable.size() == 2)
        return queryFailed(unreadable.join(QStringLiteral("; ")));
    return answer;
}
