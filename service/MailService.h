#pragma once

#include "AccountBook.h"
#include "DavProperty.h"
#include "HttpAuthenticator.h"
#include "HttpMessage.h"
#include "MailStore.h"
#include "PathSegments.h"
#include "SubmissionLedger.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The web mail service: turns one complete HTTP request into its answer.
// Knows nothing of sockets, so it can be driven directly.
class MailService
{
public:
    struct Settings
    {
        QString dataDir;
        QByteArray mailDomain = "zorvane.test";
        // host[:port] for addresses when a request has no usable Host header.
        QByteArray defaultHost = "127.0.0.1:8910";
        std::function<qint64()> clock; // seconds since the epoch; empty: the real clock
    };

    explicit MailService(const Settings &settings);

    HttpResponse handle(const HttpRequest &request);
    // Set before serving starts (the port may be known only then).
    void setDefaultHost(const QByteArray &hostAndPort) { m_settings.defaultHost = hostAndPort; }

    AccountBook &accounts() { return m_accounts; }
    MailStore &store() { return m_store; }

    static constexpr qint64 MaxMessageFileBytes = 512LL * 1024 * 1024; // beyond this a file is not served

private:
    struct Context
    {
        const HttpRequest &request;
        QByteArray base; // "http://host[:port]"
    };

    HttpResponse route(const Context &context, const PathSegments &path);
    HttpResponse root(const Context &context);
    HttpResponse probe(const Context &context, bool alternative);
    HttpResponse login(const Context &context, const QByteArray *alternativeName);
    HttpResponse accountResource(const Context &context, const PathSegments &path);

    HttpResponse homeCollection(const Context &context, const QByteArray &address);
    HttpResponse folder(const Context &context, const QByteArray &address, FolderKind kind);
    HttpResponse message(const Context &context, const QByteArray &address, FolderKind kind, const QByteArray &name);
    HttpResponse fetch(const Context &context, const MaildirMessage &message);
    HttpResponse messageProperties(const Context &context, const QByteArray &href, const MaildirMessage &message);
    HttpResponse markRead(const Context &context, const QByteArray &href, const MaildirFolder &folder,
                          const MaildirMessage &message);
    HttpResponse move(const Context &context, const QByteArray &address, FolderKind kind, const MaildirMessage &message);
    HttpResponse submit(const Context &context, const QByteArray &address);
    HttpResponse storeSubmission(const Context &context, const QByteArray &address);
    HttpResponse collect(const Context &context);

    // The authenticated account, or the answer that refuses the request.
    std::optional<HttpResponse> authenticate(const HttpRequest &request, QByteArray *address) const;
    std::optional<PropfindRequest> propfindOf(const HttpRequest &request, HttpResponse *refusal) const;
    static std::optional<int> depthOf(const HttpRequest &request);

    QByteArray baseOf(const HttpRequest &request) const;
    static QByteArray homeHref(const QByteArray &base, const QByteArray &address);
    static QByteArray folderHref(const QByteArray &base, const QByteArray &address, FolderKind kind);
    QList<DavProperty> homeProperties(const QByteArray &base, const QByteArray &address) const;
    QList<DavProperty> folderProperties(FolderKind kind, const MaildirFolder &folder) const;
    QList<DavProperty> messageListProperties(const MaildirMessage &message, qint64 wireSize) const;
    static HttpResponse methodNotAllowed(const QByteArray &allow);

    Settings m_settings;
    AccountBook m_accounts;
    HttpAuthenticator m_authenticator;
    MailStore m_store;
    SubmissionLedger m_submissions;
};
