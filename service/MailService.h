#pragma once

#include "AccountBook.h"
#include "DavProperty.h"
#include "HttpAuthenticator.h"
#include "HttpMessage.h"
#include "MailStore.h"
#include "PathSegments.h"
#include "ServiceAddress.h"
#include "SubmissionLedger.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The web mail service: judges a request by its head, then turns the whole
// request into its answer. Knows nothing of sockets, so it can be driven
// directly.
class MailService
{
public:
    struct Settings
    {
        QString dataDir;
        QByteArray mailDomain = "zorvane.test";
        // host[:port] for addresses when a request has no usable Host header.
        QByteArray defaultHost = "127.0.0.1:8910";
        ServiceAddress address;        // where absolute addresses point
        std::function<qint64()> clock; // seconds since the epoch; empty: the real clock
        // The service's log: what went wrong inside, with the paths that
        // answers never show. Empty: not logged.
        std::function<void(const QString &)> log;
    };

    // What the head of a request decides before any of its body is read.
    struct HeadVerdict
    {
        std::optional<HttpResponse> refusal; // answer this at once, body unread
        bool wantsBody = false;              // false: the answer never looks at the body
    };

    explicit MailService(const Settings &settings);

    // Checks the credentials the request needs (setting head->account) and
    // says whether its body is wanted. Called once per request: a Digest
    // answer is used up by it.
    HeadVerdict examineHead(HttpRequest *head);
    // The answer to a request whose head examineHead() let through.
    HttpResponse handle(const HttpRequest &request);
    // Both steps at once, for a request already whole.
    HttpResponse serve(HttpRequest request);
    // Set before serving starts (the port may be known only then).
    void setDefaultHost(const QByteArray &hostAndPort) { m_settings.defaultHost = hostAndPort; }

    AccountBook &accounts() { return m_accounts; }
    MailStore &store() { return m_store; }

    static constexpr qint64 MaxMessageFileBytes = 512LL * 1024 * 1024; // beyond this a file is not served

private:
    struct Context
    {
        const HttpRequest &request;
        QByteArray base; // "scheme://host[:port][/prefix]"
    };
    // Whose credentials a request needs, judged from its head alone.
    struct RequiredAccount
    {
        bool needed = false;
        QByteArray owner; // the account that owns the address; empty: any account
        bool alternative = false;
    };

    RequiredAccount requiredAccount(const HttpRequest &head) const;
    PathSegments pathOf(const HttpRequest &request) const;

    HttpResponse route(const Context &context, const PathSegments &path);
    HttpResponse root(const Context &context);
    HttpResponse probe(const Context &context, bool alternative);
    HttpResponse login(const Context &context);
    HttpResponse accountResource(const Context &context, const PathSegments &path);

    HttpResponse homeCollection(const Context &context, const QByteArray &address);
    HttpResponse folder(const Context &context, const QByteArray &address, FolderKind kind);
    HttpResponse message(const Context &context, const QByteArray &address, FolderKind kind, const QByteArray &name);
    HttpResponse fetch(const Context &context, const MaildirMessage &message);
    HttpResponse streamedFetch(const MaildirMessage &message);
    HttpResponse messageProperties(const Context &context, const QByteArray &href, const MaildirMessage &message);
    HttpResponse markRead(const Context &context, const QByteArray &href, const MaildirFolder &folder,
                          const MaildirMessage &message);
    HttpResponse move(const Context &context, const QByteArray &address, FolderKind kind,
                      const MaildirMessage &message);
    HttpResponse submit(const Context &context, const QByteArray &address);
    HttpResponse storeSubmission(const Context &context, const QByteArray &address);
    HttpResponse collect(const Context &context);

    std::optional<PropfindRequest> propfindOf(const HttpRequest &request, HttpResponse *refusal) const;
    static std::optional<int> depthOf(const HttpRequest &request);
    // A failure inside the service: the answer says what failed, the log
    // also says where.
    HttpResponse internalFailure(int status, const QByteArray &what, const QString &detail) const;

    QByteArray baseOf(const HttpRequest &request) const;
    static QByteArray homeHref(const QByteArray &base, const QByteArray &address);
    static QByteArray folderHref(const QByteArray &base, const QByteArray &address, FolderKind kind);
    QList<DavProperty> homeProperties(const QByteArray &base, const QByteArray &address) const;
    QList<DavProperty> folderProperties(FolderKind kind, const MaildirFolder &folder) const;
    static QList<DavProperty> messageListProperties(const MaildirMessage &message, qint64 wireSize);
    static HttpResponse methodNotAllowed(const QByteArray &allow);

    Settings m_settings;
    AccountBook m_accounts;
    HttpAuthenticator m_authenticator;
    MailStore m_store;
    SubmissionLedger m_submissions;
};
