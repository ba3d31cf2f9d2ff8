#include "ScriptedMailService.h"

#include <QMutexLocker>

#include <atomic>
#include <memory>

namespace {

const FakeHttpPeer::Headers XmlType{{"Content-Type", "application/xml; charset=utf-8"}};

QByteArray escaped(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// "/mail/<account>/<rest>" split after the account segment; empty when the
// path is not below /mail/.
QList<QByteArray> mailSegments(const QByteArray &path)
{
    if (!path.startsWith("/mail/"))
        return {};
    QList<QByteArray> segments = path.mid(6).split('/');
    return segments;
}

} // namespace

ScriptedMailService::ScriptedMailService(const QByteArray &account)
    : m_account(account)
{
    m_peer.setResponder([this](const FakeHttpPeer::Request &request) { return answer(request); });
}

bool ScriptedMailService::listen()
{
    return m_peer.listen();
}

bool ScriptedMailService::listenInOwnThread()
{
    return m_peer.listenInOwnThread();
}

QString ScriptedMailService::serviceUrl() const
{
    return QString::fromUtf8(base()) + QStringLiteral("/dav/");
}

QString ScriptedMailService::altServiceUrl() const
{
    return QString::fromUtf8(base()) + QStringLiteral("/alt");
}

void ScriptedMailService::setPublicUrl(const QString &url)
{
    QMutexLocker lock(&m_mutex);
    m_publicUrl = url.toUtf8();
}

void ScriptedMailService::setMessages(const QList<QByteArray> &messages)
{
    QMutexLocker lock(&m_mutex);
    m_messages = messages;
    m_read = QList<bool>(messages.size(), false);
    m_present = QList<bool>(messages.size(), true);
}

void ScriptedMailService::setMessage(int index, const QByteArray &text)
{
    QMutexLocker lock(&m_mutex);
    m_messages[index] = text;
}

QList<QByteArray> ScriptedMailService::messages() const
{
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

void ScriptedMailService::setFault(Kind kind, Fault fault)
{
    QMutexLocker lock(&m_mutex);
    m_faults.insert(int(kind), std::move(fault));
}

void ScriptedMailService::setFault(Kind kind, const FakeHttpPeer::Answer &answer)
{
    setFault(kind,
             [answer](const FakeHttpPeer::Request &, int) { return std::optional<FakeHttpPeer::Answer>(answer); });
}

void ScriptedMailService::setDelay(Kind kind, int milliseconds)
{
    QMutexLocker lock(&m_mutex);
    m_delays.insert(int(kind), milliseconds);
}

void ScriptedMailService::stallNext(Kind kind)
{
    auto pending = std::make_shared<std::atomic_bool>(true);
    setFault(kind, [pending](const FakeHttpPeer::Request &, int) -> std::optional<FakeHttpPeer::Answer> {
        if (pending->exchange(false))
            return FakeHttpPeer::silence();
        return std::nullopt;
    });
}

void ScriptedMailService::clearFaults()
{
    QMutexLocker lock(&m_mutex);
    m_faults.clear();
    m_delays.clear();
}

int ScriptedMailService::requestCount(Kind kind) const
{
    QMutexLocker lock(&m_mutex);
    return m_counts.value(int(kind));
}

QList<QByteArray> ScriptedMailService::markedRead() const
{
    QMutexLocker lock(&m_mutex);
    return m_markedRead;
}

QList<QByteArray> ScriptedMailService::moved() const
{
    QMutexLocker lock(&m_mutex);
    return m_moved;
}

QList<QByteArray> ScriptedMailService::submissions() const
{
    QMutexLocker lock(&m_mutex);
    return m_submissions;
}

QList<QByteArray> ScriptedMailService::submissionAttempts() const
{
    QMutexLocker lock(&m_mutex);
    return m_submissionAttempts;
}

ScriptedMailService::Kind ScriptedMailService::kindOf(const FakeHttpPeer::Request &request)
{
    const QByteArray path = request.path();
    const QByteArray &verb = request.verb;
    if (request.target.contains("cmd=logoff"))
        return Kind::Probe;
    if (verb == "PROPFIND" && (path == "/dav/" || path == "/dav" || path.startsWith("/alt/")))
        return Kind::Login;
    const QList<QByteArray> segments = mailSegments(path);
    // account, "" for the home collection; account, folder, "" for a
    // folder; account, folder, name for a message.
    if (segments.size() == 2 && segments.at(1).isEmpty() && verb == "PROPFIND")
        return Kind::FolderCollection;
    if (segments.size() == 2 && segments.at(1) == "sendmsg" && verb == "POST")
        return Kind::Submit;
    if (segments.size() == 2 && segments.at(1) == "collect" && verb == "GET")
        return Kind::Collect;
    if (segments.size() == 3 && segments.at(2).isEmpty() && verb == "PROPFIND")
        return Kind::FolderListing;
    if (segments.size() == 3 && !segments.at(2).isEmpty()) {
        if (verb == "GET")
            return Kind::Fetch;
        if (verb == "PROPFIND")
            return Kind::Properties;
        if (verb == "PROPPATCH")
            return Kind::MarkRead;
        if (verb == "MOVE")
            return Kind::Move;
    }
    return Kind::Other;
}

FakeHttpPeer::Answer ScriptedMailService::status(int code, const QByteArray &reason)
{
    return FakeHttpPeer::reply(code, reason, reason + '\n',
                               {{"Content-Type", "text/plain; charset=utf-8"}, {"X-Zorvane-Reason", reason}});
}

FakeHttpPeer::Answer ScriptedMailService::notXml()
{
    return FakeHttpPeer::reply(207, "Multi-Status", "<html><body>Service maintenance <b>tonight</body>",
                               {{"Content-Type", "text/html"}});
}

FakeHttpPeer::Answer ScriptedMailService::truncated(int code, const QByteArray &body, qsizetype sentBytes)
{
    const QByteArray head = "HTTP/1.1 " + QByteArray::number(code)
        + " Whatever\r\nContent-Type: "
          "application/xml; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n";
    return FakeHttpPeer::raw(head + body.left(sentBytes)).close();
}

FakeHttpPeer::Answer ScriptedMailService::multistatusAnswer(const QByteArray &body)
{
    return FakeHttpPeer::reply(207, "Multi-Status", body, XmlType);
}

FakeHttpPeer::Answer ScriptedMailService::answer(const FakeHttpPeer::Request &request)
{
    const Kind kind = kindOf(request);
    Fault fault;
    int occurrence = 0;
    int delayMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        occurrence = ++m_counts[int(kind)];
        fault = m_faults.value(int(kind));
        delayMs = m_delays.value(int(kind));
        if (kind == Kind::Submit)
            m_submissionAttempts.append(request.body);
    }
    // The fault is asked without the lock held: it may look at the record.
    if (fault) {
        if (const std::optional<FakeHttpPeer::Answer> faulty = fault(request, occurrence))
            return *faulty;
    }
    if (delayMs <= 0)
        return contractAnswer(kind, request);
    FakeHttpPeer::Answer slow;
    slow.wait(delayMs);
    slow.steps += contractAnswer(kind, request).steps;
    return slow;
}

FakeHttpPeer::Answer ScriptedMailService::contractAnswer(const FakeHttpPeer::Request &request)
{
    return contractAnswer(kindOf(request), request);
}

FakeHttpPeer::Answer ScriptedMailService::contractAnswer(Kind kind, const FakeHttpPeer::Request &request)
{
    QMutexLocker lock(&m_mutex);
    const QList<QByteArray> segments = mailSegments(request.path());
    const int index = segments.size() == 3 ? indexOfName(segments.at(2)) : -1;
    switch (kind) {
    case Kind::Probe:
        return FakeHttpPeer::reply(207, "Multi-Status",
                                   multistatus(response(base() + "/dav/", "<m:service>scripted</m:service>")), XmlType);
    case Kind::Login:
    case Kind::FolderCollection:
        return FakeHttpPeer::reply(207, "Multi-Status", mailboxDocument(), XmlType);
    case Kind::FolderListing:
        return FakeHttpPeer::reply(207, "Multi-Status", inboxListing(), XmlType);
    case Kind::Fetch:
        if (index < 0)
            return status(404, "no such message");
        return FakeHttpPeer::reply(200, "OK", m_messages.at(index), {{"Content-Type", "message/rfc822"}});
    case Kind::Properties:
        if (index < 0)
            return status(404, "no such message");
        return FakeHttpPeer::reply(207, "Multi-Status", messageProperties(index), XmlType);
    case Kind::MarkRead:
        if (index < 0)
            return status(404, "no such message");
        m_read[index] = true;
        m_markedRead.append(messageName(index));
        return FakeHttpPeer::reply(207, "Multi-Status",
                                   multistatus(response(home() + "inbox/" + messageName(index), "<m:read/>")), XmlType);
    case Kind::Move:
        if (index < 0)
            return status(404, "no such message");
        m_present[index] = false;
        m_moved.append(messageName(index));
        return FakeHttpPeer::reply(201, "Created", QByteArray(), {{"Location", request.header("Destination")}});
    case Kind::Submit:
        m_submissions.append(request.body);
        return FakeHttpPeer::reply(201, "Created", "stored: 1 outbox\n",
                                   {{"Content-Type", "text/plain; charset=utf-8"}});
    case Kind::Collect:
        return FakeHttpPeer::reply(200, "OK", "collected\n", {{"Content-Type", "text/plain; charset=utf-8"}});
    case Kind::Other:
        break;
    }
    return status(404, "not found");
}

QByteArray ScriptedMailService::base() const
{
    if (!m_publicUrl.isEmpty())
        return m_publicUrl;
    return m_peer.url(QString()).toUtf8();
}

QByteArray ScriptedMailService::home() const
{
    return base() + "/mail/" + m_account + '/';
}

int ScriptedMailService::indexOfName(const QByteArray &name) const
{
    for (int i = 0; i < m_messages.size(); ++i) {
        if (m_present.at(i) && messageName(i) == name)
            return i;
    }
    return -1;
}

QByteArray ScriptedMailService::response(const QByteArray &href, const QByteArray &props)
{
    return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" + props
        + "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
}

QByteArray ScriptedMailService::multistatus(const QByteArray &responses)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\" xmlns:m=\"urn:zorvane:mail\">"
        + responses + "</D:multistatus>";
}

QByteArray ScriptedMailService::mailboxDocument() const
{
    int total = 0;
    int unread = 0;
    for (int i = 0; i < m_messages.size(); ++i) {
        if (!m_present.at(i))
            continue;
        ++total;
        unread += m_read.at(i) ? 0 : 1;
    }
    const QByteArray folder = "<D:resourcetype><D:collection/></D:resourcetype>";
    return multistatus(
        response(home(),
                 folder + "<m:address>" + m_account + "</m:address><m:inbox>" + home() + "inbox/</m:inbox>"
                     + "<m:deleteditems>" + home() + "deleteditems/</m:deleteditems><m:sentitems>" + home()
                     + "sentitems/</m:sentitems><m:sendmsg>" + home() + "sendmsg</m:sendmsg><m:collect>" + home()
                     + "collect</m:collect>")
        + response(home() + "inbox/",
                   folder + "<m:foldertype>inbox</m:foldertype><m:totalcount>" + QByteArray::number(total)
                       + "</m:totalcount><m:unreadcount>" + QByteArray::number(unread) + "</m:unreadcount>")
        + response(home() + "deleteditems/",
                   folder
                       + "<m:foldertype>deleteditems</m:foldertype><m:totalcount>"
                         "0</m:totalcount><m:unreadcount>0</m:unreadcount>"));
}

QByteArray ScriptedMailService::inboxListing() const
{
    QByteArray responses = response(home() + "inbox/", "<D:resourcetype><D:collection/></D:resourcetype>");
    for (int i = 0; i < m_messages.size(); ++i) {
        if (!m_present.at(i))
            continue;
        responses += response(home() + "inbox/" + messageName(i),
                              "<D:resourcetype/><D:getcontentlength>" + QByteArray::number(m_messages.at(i).size())
                                  + "</D:getcontentlength><m:read>" + (m_read.at(i) ? "1" : "0") + "</m:read>");
    }
    return multistatus(responses);
}

QByteArray ScriptedMailService::messageProperties(int index) const
{
    const QByteArray &message = m_messages.at(index);
    const qsizetype headerEnd = message.indexOf("\r\n\r\n");
    const QByteArray header = headerEnd < 0 ? message : message.left(headerEnd);
    QByteArray lines;
    for (const QByteArray &line : header.split('\n')) {
        QByteArray text = line;
        if (text.endsWith('\r'))
            text.chop(1);
        lines += "<m:line>" + escaped(text) + "</m:line>";
    }
    return multistatus(response(home() + "inbox/" + messageName(index),
                                "<D:resourcetype/><D:getcontentlength>" + QByteArray::number(message.size())
                                    + "</D:getcontentlength><m:read>" + (m_read.at(index) ? "1" : "0")
                                    + "</m:read><m:header>" + lines + "</m:header>"));
}
