#include "HttpAuthenticator.h"

#include "AccountBook.h"
#include "ConstantTime.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

namespace {

constexpr qsizetype OpaqueBytes = 16;
constexpr qsizetype MaxAuthorizationBytes = 8 * 1024; // far above any honest header

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

QByteArray schemeOf(const QByteArray &authorization, QByteArray *rest)
{
    const QByteArray trimmed = authorization.trimmed();
    const qsizetype blank = trimmed.indexOf(' ');
    if (blank < 0) {
        *rest = {};
        return trimmed.toLower();
    }
    *rest = trimmed.mid(blank + 1).trimmed();
    return trimmed.left(blank).toLower();
}

} // namespace

QHash<QByteArray, QByteArray> ParseDigestParameters(const QByteArray &text)
{
    QHash<QByteArray, QByteArray> result;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && (text.at(i) == ' ' || text.at(i) == ',' || text.at(i) == '\t'))
            ++i;
        const qsizetype nameStart = i;
        while (i < n && text.at(i) != '=' && text.at(i) != ',')
            ++i;
        const QByteArray name = text.mid(nameStart, i - nameStart).trimmed().toLower();
        if (i >= n || text.at(i) != '=') {
            continue;
        }
        ++i;
        while (i < n && text.at(i) == ' ')
            ++i;
        QByteArray value;
        if (i < n && text.at(i) == '"') {
            ++i;
            while (i < n && text.at(i) != '"') {
                if (text.at(i) == '\\' && i + 1 < n)
                    ++i;
                value.append(text.at(i));
                ++i;
            }
            ++i; // closing quote
        } else {
            const qsizetype valueStart = i;
            while (i < n && text.at(i) != ',')
                ++i;
            value = text.mid(valueStart, i - valueStart).trimmed();
        }
        if (!name.isEmpty())
            result.insert(name, value);
    }
    return result;
}

HttpAuthenticator::HttpAuthenticator(const AccountBook &accounts, QByteArray realm, std::function<qint64()> now,
                                     QByteArray pathPrefix)
    : m_accounts(accounts)
    , m_realm(std::move(realm))
    , m_pathPrefix(std::move(pathPrefix))
    , m_nonces(now ? std::move(now) : [] { return QDateTime::currentSecsSinceEpoch(); })
{
    QByteArray opaque(OpaqueBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(opaque.data()), OpaqueBytes / sizeof(quint32));
    m_opaque = opaque.toHex();
}

HttpAuthenticator::Result HttpAuthenticator::check(const HttpRequest &head)
{
    if (head.basic)
        return checkBasic(*head.basic);
    const QByteArray authorization = head.header("authorization");
    if (authorization.isEmpty())
        return {Outcome::Missing, {}};
    if (authorization.size() > MaxAuthorizationBytes)
        return {Outcome::Rejected, {}};
    QByteArray credentials;
    if (schemeOf(authorization, &credentials) == "digest")
        return checkDigest(head, credentials);
    return {Outcome::Rejected, {}};
}

HttpAuthenticator::Result HttpAuthenticator::checkBasic(const BasicCredentials &credentials) const
{
    const Account *account = m_accounts.find(m_accounts.addressForLoginName(credentials.user));
    if (!account || !ConstantTime::equal(account->password, credentials.password))
        return {Outcome::Rejected, {}};
    return {Outcome::Accepted, account->address};
}

bool HttpAuthenticator::isTargetOf(const QByteArray &uri, const HttpRequest &head) const
{
    return uri == head.rawTarget || (!m_pathPrefix.isEmpty() && uri == m_pathPrefix + head.rawTarget);
}

HttpAuthenticator::Result HttpAuthenticator::checkDigest(const HttpRequest &head, const QByteArray &credentials)
{
    const QHash<QByteArray, QByteArray> p = ParseDigestParameters(credentials);
    const QByteArray user = p.value("username");
    const QByteArray nonce = p.value("nonce");
    const QByteArray uri = p.value("uri");
    const QByteArray qop = p.value("qop");
    const QByteArray nc = p.value("nc");
    const QByteArray algorithm = p.value("algorithm");
    if (user.isEmpty() || nonce.isEmpty() || p.value("response").isEmpty() || p.value("realm") != m_realm
        || !isTargetOf(uri, head))
        return {Outcome::Rejected, {}};
    if (!algorithm.isEmpty() && algorithm.toUpper() != "MD5")
        return {Outcome::Rejected, {}};
    // Without qop there is no nonce count, and an answer could be sent again.
    if (qop != "auth" || nc.isEmpty() || p.value("cnonce").isEmpty())
        return {Outcome::Rejected, {}};
    bool countOk = false;
    const quint64 count = nc.toULongLong(&countOk, 16);
    const Account *account = m_accounts.find(m_accounts.addressForLoginName(user));
    if (!countOk || !account)
        return {Outcome::Rejected, {}};

    const QByteArray ha1 = md5Hex(user + ':' + m_realm + ':' + account->password);
    const QByteArray ha2 = md5Hex(head.method + ':' + uri);
    const QByteArray expected = md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + p.value("cnonce") + ':' + qop + ':' + ha2);
    if (!ConstantTime::equal(expected, p.value("response").toLower()))
        return {Outcome::Rejected, {}};
    // The right password: whatever is wrong with the nonce, a fresh one
    // with the same credentials will do.
    if (m_nonces.use(nonce, count) != DigestNonceBook::Verdict::Accepted)
        return {Outcome::Stale, {}};
    return {Outcome::Accepted, account->address};
}

HttpResponse HttpAuthenticator::challenge(const QByteArray &reason, bool stale)
{
    HttpResponse response = HttpResponse::failure(401, reason);
    QByteArray digest = "Digest realm=\"" + m_realm + "\", qop=\"auth\", algorithm=MD5, nonce=\"" + m_nonces.issue()
        + "\", opaque=\"" + m_opaque + '"';
    if (stale)
        digest += ", stale=true";
    response.addHeader("WWW-Authenticate", digest);
    response.addHeader("WWW-Authenticate", "Basic realm=\"" + m_realm + "\", charset=\"UTF-8\"");
    return response;
}
