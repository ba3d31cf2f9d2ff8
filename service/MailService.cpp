#include "MailService.h"

#include "DavRequestBody.h"
#include "HttpDate.h"
#include "MaildirDelivery.h"
#include "MessageHeader.h"
#include "MultistatusStream.h"
#include "MultistatusWriter.h"
#include "SafeFile.h"
#include "SubmissionEnvelope.h"
#include "WireForm.h"
#include "WireFormStream.h"
#include "XmlText.h"

#include <sys/stat.h>

namespace {

constexpr const char *AllowAll = "OPTIONS, GET, HEAD, POST, PROPFIND, PROPPATCH, MOVE";

DavProperty davProperty(const char *name, const QByteArray &valueXml)
{
    return {{DavNamespace, name}, valueXml};
}

DavProperty mailProperty(const char *name, const QByteArray &valueXml)
{
    return {{MailNamespace, name}, valueXml};
}

bool hasQueryCommand(const QByteArray &query, const QByteArray &command)
{
    for (const QByteArray &pair : query.split('&')) {
        if (pair == "cmd=" + command)
            return true;
    }
    return false;
}

bool isTrue(const QByteArray &flag)
{
    return flag.trimmed().compare("t", Qt::CaseInsensitive) == 0;
}

// The path of a Destination header (an absolute address or an absolute
// path), as the request path would be.
QByteArray pathOfDestination(const QByteArray &destination)
{
    QByteArray path = destination.trimmed();
    const qsizetype scheme = path.indexOf("://");
    if (!path.startsWith('/') && scheme > 0) {
        const qsizetype slash = path.indexOf('/', scheme + 3);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    const qsizetype query = path.indexOf('?');
    return query < 0 ? path : path.left(query);
}

// The size a listing gives for a message; -1 when it is gone.
qint64 wireSizeOf(MailStore &store, const MaildirMessage &message)
{
    return store.sizes().wireSize(message.filePath, message.mtimeNs, message.fileSize);
}

} // namespace

MailService::MailService(const Settings &settings)
    : m_settings(settings)
    , m_accounts(settings.dataDir + QStringLiteral("/accounts"), settings.mailDomain)
    , m_authenticator(m_accounts, settings.mailDomain.toLower(), settings.clock, settings.address.pathPrefix())
    , m_store(settings.dataDir, settings.log)
    , m_submissions(settings.dataDir, settings.clock)
{
}

QByteArray MailService::baseOf(const HttpRequest &request) const
{
    return m_settings.address.base(request.header("host"), m_settings.defaultHost);
}

PathSegments MailService::pathOf(const HttpRequest &request) const
{
    return PathSegments::parse(m_settings.address.localPath(request.path()));
}

HttpResponse MailService::internalFailure(int status, const QByteArray &what, const QString &detail) const
{
    if (m_settings.log)
        m_settings.log(QString::fromUtf8(what) + QStringLiteral(": ") + detail);
    return HttpResponse::failure(status, what);
}

QByteArray MailService::homeHref(const QByteArray &base, const QByteArray &address)
{
    return base + "/mail/" + PathSegments::encode(address, "@") + '/';
}

QByteArray MailService::folderHref(const QByteArray &base, const QByteArray &address, FolderKind kind)
{
    return homeHref(base, address) + MailStore::segmentFor(kind) + '/';
}

HttpResponse MailService::methodNotAllowed(const QByteArray &allow)
{
    HttpResponse response = HttpResponse::failure(405, "this address does not take that verb");
    response.addHeader("Allow", allow);
    return response;
}

MailService::RequiredAccount MailService::requiredAccount(const HttpRequest &head) const
{
    const PathSegments path = pathOf(head);
    if (head.method == "OPTIONS" || !path.isValid() || path.size() == 0)
        return {};
    const QByteArray &first = path.at(0);
    const bool login = head.method == "PROPFIND";
    if (first == "dav" && path.size() == 1 && login && !hasQueryCommand(head.query(), "logoff"))
        return {true, {}, false};
    if (first == "alt" && path.size() == 2 && login)
        return {true, path.at(1).toLower(), true};
    if (first == "mail" && path.size() >= 2)
        return {true, path.at(1).toLower(), false};
    return {};
}

MailService::HeadVerdict MailService::examineHead(HttpRequest *head)
{
    m_accounts.refresh();
    const RequiredAccount required = requiredAccount(*head);
    if (!required.needed)
        return {};
    const HttpAuthenticator::Result result = m_authenticator.check(*head);
    switch (result.outcome) {
    case HttpAuthenticator::Outcome::Accepted:
        break;
    case HttpAuthenticator::Outcome::Missing:
        return {m_authenticator.challenge("authentication required")};
    case HttpAuthenticator::Outcome::Stale:
        return {m_authenticator.challenge("the nonce can no longer be used", true)};
    case HttpAuthenticator::Outcome::Rejected:
        return {m_authenticator.challenge("wrong user name or password")};
    }
    // 401, not 403: a client that holds several accounts' credentials (the
    // agent does) is asked to present the ones of this account.
    if (required.alternative && (result.address != required.owner || !AccountBook::isAlternative(result.address)))
        return {m_authenticator.challenge("not an alternative account of these credentials")};
    if (!required.owner.isEmpty() && result.address != required.owner)
        return {m_authenticator.challenge("these credentials belong to another account")};
    head->account = result.address;
    return {std::nullopt, true};
}

HttpResponse MailService::serve(HttpRequest request)
{
    HeadVerdict verdict = examineHead(&request);
    if (verdict.refusal)
        return std::move(*verdict.refusal);
    return handle(request);
}

HttpResponse MailService::handle(const HttpRequest &request)
{
    // Only a request whose credentials were checked reaches an account.
    if (requiredAccount(request).needed && request.account.isEmpty())
        return m_authenticator.challenge("authentication required");
    const Context context{request, baseOf(request)};
    if (request.method == "OPTIONS") {
        HttpResponse response = HttpResponse::text(200, {});
        response.addHeader("DAV", "1");
        response.addHeader("Allow", AllowAll);
        return response;
    }
    const PathSegments path = pathOf(request);
    if (!path.isValid())
        return HttpResponse::failure(400, "malformed path");
    return route(context, path);
}

HttpResponse MailService::route(const Context &context, const PathSegments &path)
{
    const HttpRequest &request = context.request;
    if (path.size() == 0)
        return root(context);
    const QByteArray &first = path.at(0);
    if (first == "dav" && path.size() == 1) {
        if (hasQueryCommand(request.query(), "logoff"))
            return probe(context, false);
        return login(context);
    }
    if (first == "alt" && path.size() == 1 && hasQueryCommand(request.query(), "logoff"))
        return probe(context, true);
    if (first == "alt" && path.size() == 2)
        return login(context);
    if (first == "mail" && path.size() >= 2)
        return accountResource(context, path);
    return HttpResponse::failure(404, "no such address");
}

HttpResponse MailService::root(const Context &context)
{
    const QByteArray &method = context.request.method;
    if (method == "PROPFIND") {
        HttpResponse response = HttpResponse::failure(900, "log in at the entry address");
        response.addHeader("Location", context.base + "/dav/");
        return response;
    }
    if (method == "GET" || method == "HEAD")
        return HttpResponse::text(
            200, "zorvane-service: a WebDAV mail service. Point Zorvane at " + context.base + "/dav/\r\n");
    return methodNotAllowed("OPTIONS, GET, HEAD, PROPFIND");
}

HttpResponse MailService::probe(const Context &context, bool alternative)
{
    MultistatusWriter writer;
    writer.addResource(context.base + (alternative ? "/alt" : "/dav/"), {mailProperty("service", "zorvane-service")},
                       PropfindRequest{});
    HttpResponse response = HttpResponse::xml(alternative ? 900 : 207, writer.finish());
    // The alternative entry answers 900 with the probe header: reachable.
    if (alternative)
        response.addHeader("X-Zorvane-Probe", "alive");
    return response;
}

HttpResponse MailService::login(const Context &context)
{
    if (context.request.method != "PROPFIND")
        return methodNotAllowed("OPTIONS, PROPFIND");
    const QByteArray &address = context.request.account;
    const Account *account = m_accounts.find(address);
    if (account && account->redirect) {
        HttpResponse response = HttpResponse::failure(900, "this account logs in at its home collection");
        response.addHeader("Location", homeHref(context.base, address));
        return response;
    }
    return homeCollection(context, address);
}

HttpResponse MailService::accountResource(const Context &context, const PathSegments &path)
{
    const QByteArray &address = context.request.account;
    if (path.size() == 2)
        return homeCollection(context, address);
    const QByteArray &second = path.at(2);
    const auto kind = MailStore::kindForSegment(second);
    if (path.size() == 3) {
        if (kind)
            return folder(context, address, *kind);
        if (second == "sendmsg")
            return submit(context, address);
        if (second == "collect")
            return collect(context);
    }
    if (path.size() == 4 && kind)
        return message(context, address, *kind, path.at(3));
    return HttpResponse::failure(404, "no such address");
}

std::optional<int> MailService::depthOf(const HttpRequest &request)
{
    const QByteArray depth = request.header("depth").trimmed().toLower();
    if (depth.isEmpty() || depth == "infinity" || depth == "1")
        return 1;
    if (depth == "0")
        return 0;
    return std::nullopt;
}

std::optional<PropfindRequest> MailService::propfindOf(const HttpRequest &request, HttpResponse *refusal) const
{
    PropfindRequest propfind;
    switch (DavRequestBody::parsePropfind(request.body, &propfind)) {
    case DavRequestBody::Outcome::Ok:
        return propfind;
    case DavRequestBody::Outcome::TooLarge:
        *refusal = HttpResponse::failure(413, "the XML body is too large");
        return std::nullopt;
    case DavRequestBody::Outcome::TooManyProperties:
        *refusal = HttpResponse::failure(
            413,
            "the propfind names more than " + QByteArray::number(DavRequestBody::MaxNamedProperties)
                + " properties or more than " + QByteArray::number(DavRequestBody::MaxNamedPropertyBytes)
                + " bytes of names");
        return std::nullopt;
    case DavRequestBody::Outcome::Malformed:
        break;
    }
    *refusal = HttpResponse::failure(400, "the body is no well-formed propfind without a DTD");
    return std::nullopt;
}

QList<DavProperty> MailService::homeProperties(const QByteArray &base, const QByteArray &address) const
{
    const QByteArray home = homeHref(base, address);
    return {davProperty("displayname", XmlText::escape(address)),
            davProperty("resourcetype", "<D:collection/>"),
            mailProperty("address", XmlText::escape(address)),
            mailProperty("inbox", XmlText::escape(folderHref(base, address, FolderKind::Inbox))),
            mailProperty("deleteditems", XmlText::escape(folderHref(base, address, FolderKind::DeletedItems))),
            mailProperty("sentitems", XmlText::escape(folderHref(base, address, FolderKind::SentItems))),
            mailProperty("sendmsg", XmlText::escape(home + "sendmsg")),
            mailProperty("collect", XmlText::escape(home + "collect"))};
}

QList<DavProperty> MailService::folderProperties(FolderKind kind, const MaildirFolder &folder) const
{
    const MaildirFolder::Counts counts = folder.counts();
    return {davProperty("displayname", MailStore::displayNameFor(kind)), davProperty("resourcetype", "<D:collection/>"),
            mailProperty("foldertype", MailStore::segmentFor(kind)),
            mailProperty("totalcount", QByteArray::number(counts.total)),
            mailProperty("unreadcount", QByteArray::number(counts.unread))};
}

QList<DavProperty> MailService::messageListProperties(const MaildirMessage &message, qint64 wireSize)
{
    return {davProperty("resourcetype", {}), davProperty("getcontentlength", QByteArray::number(wireSize)),
            davProperty("getcontenttype", "message/rfc822"),
            davProperty("getlastmodified", HttpDate::fromNanoseconds(message.mtimeNs)),
            mailProperty("read", message.isRead() ? "1" : "0")};
}

HttpResponse MailService::homeCollection(const Context &context, const QByteArray &address)
{
    if (context.request.method != "PROPFIND")
        return methodNotAllowed("OPTIONS, PROPFIND");
    const auto depth = depthOf(context.request);
    if (!depth)
        return HttpResponse::failure(400, "Depth must be 0, 1 or infinity");
    HttpResponse refusal;
    const auto propfind = propfindOf(context.request, &refusal);
    if (!propfind)
        return refusal;
    QString error;
    if (!m_store.folder(address, FolderKind::Inbox).ensure(&error))
        return internalFailure(507, "cannot create the mailbox", error);
    MultistatusWriter writer(propfind->names);
    writer.addResource(homeHref(context.base, address), homeProperties(context.base, address), *propfind);
    if (*depth > 0) {
        for (const FolderKind kind : MailStore::allFolders()) {
            writer.addResource(folderHref(context.base, address, kind),
                               folderProperties(kind, m_store.folder(address, kind)), *propfind);
        }
    }
    return HttpResponse::xml(207, writer.finish());
}

HttpResponse MailService::folder(const Context &context, const QByteArray &address, FolderKind kind)
{
    if (context.request.method != "PROPFIND")
        return methodNotAllowed("OPTIONS, PROPFIND");
    const auto depth = depthOf(context.request);
    if (!depth)
        return HttpResponse::failure(400, "Depth must be 0, 1 or infinity");
    HttpResponse refusal;
    const auto propfind = propfindOf(context.request, &refusal);
    if (!propfind)
        return refusal;
    const MaildirFolder maildir = m_store.folder(address, kind);
    const QByteArray href = folderHref(context.base, address, kind);
    MultistatusWriter writer(propfind->names);
    writer.addResource(href, folderProperties(kind, maildir), *propfind);
    if (*depth == 0)
        return HttpResponse::xml(207, writer.finish());
    // A folder may hold many thousands of messages: their responses are
    // written as the answer goes out, each file measured when its turn comes.
    auto remaining = std::make_shared<QList<MaildirMessage>>(maildir.list());
    auto producer = [this, href, request = *propfind, remaining, at = qsizetype(0)](MultistatusWriter &out) mutable {
        while (at < remaining->size()) {
            const MaildirMessage &message = remaining->at(at++);
            const qint64 size = wireSizeOf(m_store, message);
            if (size < 0)
                continue; // gone since the folder was read
            out.addResource(href + message.name, messageListProperties(message, size), request);
            return true;
        }
        return false;
    };
    return HttpResponse::xml(207, std::make_shared<MultistatusStream>(std::move(writer), std::move(producer)));
}

HttpResponse MailService::message(const Context &context, const QByteArray &address, FolderKind kind,
                                  const QByteArray &name)
{
    const QByteArray &method = context.request.method;
    static const QByteArray allow = "OPTIONS, GET, HEAD, PROPFIND, PROPPATCH, MOVE";
    if (method != "GET" && method != "HEAD" && method != "PROPFIND" && method != "PROPPATCH" && method != "MOVE")
        return methodNotAllowed(allow);
    const MaildirFolder maildir = m_store.folder(address, kind);
    const QByteArray canonicalName = PathSegments::encode(name);
    const auto found = maildir.find(canonicalName, m_store.indexes());
    if (!found)
        return HttpResponse::failure(404, "no such message");
    const QByteArray href = folderHref(context.base, address, kind) + found->name;
    if (method == "GET" || method == "HEAD")
        return fetch(context, *found);
    if (method == "PROPFIND")
        return messageProperties(context, href, *found);
    if (method == "PROPPATCH")
        return markRead(context, href, maildir, *found);
    return move(context, address, kind, *found);
}

HttpResponse MailService::fetch(const Context &, const MaildirMessage &message)
{
    // A message that one read of the file takes goes out with its head in
    // one piece: no stream, no second look at the file, no size to look up.
    QString error;
    bool larger = false;
    if (std::optional<QByteArray> stored =
            SafeFile::readIfAtMost(message.filePath, WireFormStream::ReadPieceBytes, &larger, &error)) {
        bool previousWasCr = false;
        HttpResponse response;
        response.status = 200;
        response.addHeader("Content-Type", "message/rfc822");
        response.body = WireForm::fromStoredPiece(*stored, &previousWasCr);
        return response;
    }
    if (!larger)
        return internalFailure(500, "cannot read the message", error);
    return streamedFetch(message);
}

HttpResponse MailService::streamedFetch(const MaildirMessage &message)
{
    QString error;
    std::unique_ptr<QFile> file = SafeFile::openRegular(message.filePath, &error);
    struct stat info
    {
    };
    if (!file || ::fstat(file->handle(), &info) != 0)
        return internalFailure(500, "cannot read the message", error);
    if (info.st_size > MaxMessageFileBytes)
        return internalFailure(500, "the message is too large to serve",
                               QStringLiteral("%1 has %2 bytes").arg(message.filePath).arg(info.st_size));
    const qint64 mtimeNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    const qint64 wireSize = m_store.sizes().wireSize(message.filePath, mtimeNs, info.st_size, file.get());
    if (wireSize < 0)
        return internalFailure(500, "cannot read the message", message.filePath);
    HttpResponse response;
    response.status = 200;
    response.addHeader("Content-Type", "message/rfc822");
    response.stream = std::make_shared<WireFormStream>(std::move(file), wireSize);
    return response;
}

HttpResponse MailService::messageProperties(const Context &context, const QByteArray &href,
                                            const MaildirMessage &message)
{
    HttpResponse refusal;
    const auto propfind = propfindOf(context.request, &refusal);
    if (!propfind)
        return refusal;
    MessageHeader header({});
    QString error;
    if (!MessageHeader::readFromFile(message.filePath, &header, &error))
        return internalFailure(500, "cannot read the message", error);
    const qint64 size = wireSizeOf(m_store, message);
    QList<DavProperty> properties = messageListProperties(message, qMax<qint64>(size, 0));
    static const QList<QPair<const char *, QByteArray>> fields{{"from", "From"}, {"to", "To"},
                                                               {"cc", "Cc"},     {"subject", "Subject"},
                                                               {"date", "Date"}, {"messageid", "Message-ID"}};
    for (const auto &field : fields) {
        const QByteArray value = header.field(field.second);
        if (!value.isEmpty())
            properties.append(mailProperty(field.first, XmlText::fromBytes(value)));
    }
    QByteArray lines;
    for (const QByteArray &line : header.lines())
        lines += "<m:line>" + XmlText::fromBytes(line) + "</m:line>";
    properties.append(mailProperty("header", lines));
    MultistatusWriter writer(propfind->names);
    writer.addResource(href, properties, *propfind);
    return HttpResponse::xml(207, writer.finish());
}

HttpResponse MailService::markRead(const Context &context, const QByteArray &href, const MaildirFolder &folder,
                                   const MaildirMessage &message)
{
    QList<PropertyUpdate> updates;
    switch (DavRequestBody::parsePropertyUpdate(context.request.body, &updates)) {
    case DavRequestBody::Outcome::Ok:
        break;
    case DavRequestBody::Outcome::TooLarge:
        return HttpResponse::failure(413, "the XML body is too large");
    case DavRequestBody::Outcome::TooManyProperties:
        return HttpResponse::failure(413,
                                     "the propertyupdate names more than "
                                         + QByteArray::number(DavRequestBody::MaxNamedProperties) + " properties");
    case DavRequestBody::Outcome::Malformed:
        return HttpResponse::failure(400, "the body is no well-formed propertyupdate without a DTD");
    }
    // Only the read flag can be set, and a PROPPATCH is done whole or not at
    // all: one property refused fails the others with 424.
    const DavPropertyName readFlag{MailNamespace, "read"};
    const auto isUsable = [&](const PropertyUpdate &update) {
        return update.name == readFlag && (!update.set || update.value == "1" || update.value == "0");
    };
    const bool allSettable = std::all_of(updates.cbegin(), updates.cend(), isUsable);
    std::optional<bool> read;
    QList<QPair<DavPropertyName, int>> statuses;
    for (const PropertyUpdate &update : updates) {
        if (allSettable)
            read = update.set && update.value == "1";
        const int status = allSettable ? 200 : isUsable(update) ? 424 : update.name == readFlag ? 409 : 403;
        const bool listed = std::any_of(statuses.cbegin(), statuses.cend(),
                                        [&](const auto &entry) { return entry.first == update.name; });
        if (!listed)
            statuses.append({update.name, status});
    }
    if (allSettable && read) {
        QString error;
        if (!folder.setRead(message, *read, &error))
            return internalFailure(500, "cannot change the read flag", error);
    }
    QList<DavPropertyName> named;
    for (const auto &entry : statuses)
        named.append(entry.first);
    MultistatusWriter writer(named);
    writer.addPropertyStatuses(href, statuses);
    return HttpResponse::xml(207, writer.finish());
}

HttpResponse MailService::move(const Context &context, const QByteArray &address, FolderKind kind,
                               const MaildirMessage &message)
{
    const QByteArray destination = context.request.header("destination");
    if (destination.isEmpty())
        return HttpResponse::failure(400, "MOVE needs a Destination header");
    const PathSegments target = PathSegments::parse(m_settings.address.localPath(pathOfDestination(destination)));
    if (!target.isValid() || target.size() != 4 || target.at(0) != "mail")
        return HttpResponse::failure(400, "the Destination is no message address");
    if (target.at(1).toLower() != address)
        return HttpResponse::failure(403, "the Destination belongs to another account");
    const auto targetKind = MailStore::kindForSegment(target.at(2));
    if (!targetKind)
        return HttpResponse::failure(409, "the Destination folder does not exist");
    const QByteArray &targetName = target.at(3);
    QByteArray unique = PathSegments::encode(targetName) == message.name ? message.uniquePart : targetName;
    if (!MaildirFolder::isUsableUniquePart(unique))
        return HttpResponse::failure(400, "the Destination name cannot name a message");
    if (*targetKind == kind && unique == message.uniquePart)
        return HttpResponse::failure(403, "the Destination is the message itself");

    const bool renameOnClash = isTrue(context.request.header("x-zorvane-rename"));
    const MaildirFolder targetFolder = m_store.folder(address, *targetKind);
    constexpr int MaxFreshNameTries = 3; // a fresh name clashes only if another writer raced us
    for (int attempt = 0; attempt <= MaxFreshNameTries; ++attempt) {
        bool clash = targetFolder.find(MaildirFolder::nameForUniquePart(unique), m_store.indexes()).has_value();
        QString error;
        if (!clash && m_store.folder(address, kind).moveInto(message, targetFolder, unique, &clash, &error)) {
            HttpResponse response = HttpResponse::text(201, "moved\r\n");
            response.addHeader(
                "Location", folderHref(context.base, address, *targetKind) + MaildirFolder::nameForUniquePart(unique));
            return response;
        }
        if (!clash)
            return internalFailure(500, "cannot move the message", error);
        if (!renameOnClash)
            return HttpResponse::failure(412, "the Destination name is taken");
        unique = MaildirDelivery::newUniquePart();
    }
    return HttpResponse::failure(500, "cannot find a free name in the Destination folder");
}

HttpResponse MailService::submit(const Context &context, const QByteArray &address)
{
    const HttpRequest &request = context.request;
    if (request.method != "POST")
        return methodNotAllowed("OPTIONS, POST");
    // An attempt repeated because its answer was lost is answered as the
    // first one was, and not stored again.
    return m_submissions.once(address, request.header("x-zorvane-submission-id").trimmed(), request.body,
                              [&] { return storeSubmission(context, address); });
}

HttpResponse MailService::storeSubmission(const Context &context, const QByteArray &address)
{
    const HttpRequest &request = context.request;
    if (!isTrue(request.header("x-zorvane-envelope")))
        return HttpResponse::failure(400, "the body must begin with an envelope (X-Zorvane-Envelope: t)");
    SubmissionEnvelope envelope;
    if (!envelope.parse(request.body))
        return HttpResponse::failure(400, envelope.reason());
    // The null sender (notices such as delivery reports) is the account's own.
    if (!envelope.sender().isEmpty() && m_accounts.addressForLoginName(envelope.sender()) != address)
        return HttpResponse::failure(403, "the sender must be the account's own address");

    QList<QByteArray> localRecipients;
    QList<QByteArray> outsideRecipients;
    for (const QByteArray &recipient : envelope.recipients()) {
        const QByteArray candidate = m_accounts.addressForLoginName(recipient);
        if (m_accounts.find(candidate)) {
            if (!localRecipients.contains(candidate))
                localRecipients.append(candidate);
            continue;
        }
        const QByteArray domain = candidate.mid(candidate.lastIndexOf('@') + 1);
        if (m_accounts.isServiceDomain(domain))
            return HttpResponse::failure(422, "unknown recipient <" + recipient + ">");
        outsideRecipients.append(recipient);
    }

    const QByteArrayView message = QByteArrayView(request.body).sliced(envelope.messageOffset());
    MaildirDelivery delivery;
    QString error;
    bool stored = true;
    for (const QByteArray &recipient : localRecipients)
        stored = stored && delivery.stage(m_store.folder(recipient, FolderKind::Inbox), message, false, &error);
    if (stored && !outsideRecipients.isEmpty()) {
        QByteArray relayHead = "X-Zorvane-Envelope-From: <" + envelope.sender() + ">\r\n";
        for (const QByteArray &recipient : outsideRecipients)
            relayHead += "X-Zorvane-Envelope-To: <" + recipient + ">\r\n";
        stored = delivery.stage(m_store.outbox(), QList<QByteArrayView>{relayHead, message}, false, &error);
    }
    const bool sentCopy = isTrue(request.header("x-zorvane-save-in-sent"));
    if (stored && sentCopy)
        stored = delivery.stage(m_store.folder(address, FolderKind::SentItems), message, true, &error);
    if (!stored || !delivery.commit(&error))
        return internalFailure(507, "the message could not be stored", error);
    QByteArray summary = "stored: " + QByteArray::number(localRecipients.size()) + " local, "
        + QByteArray::number(outsideRecipients.isEmpty() ? 0 : 1) + " outbox";
    if (sentCopy)
        summary += ", sent copy";
    return HttpResponse::text(201, summary + "\r\n");
}

HttpResponse MailService::collect(const Context &context)
{
    if (context.request.method != "GET" && context.request.method != "HEAD")
        return methodNotAllowed("OPTIONS, GET, HEAD");
    return HttpResponse::text(200, "nothing to collect\r\n");
}
