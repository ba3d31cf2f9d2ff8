#include "HttpAuthenticator.h"

#include "AccountBook.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

namespace {

constexpr qsizetype SecretBytes = 32;
constexpr qsizetype MaxAuthorizationBytes = 8 * 1024; // far above any honest header

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guess was right.
bool equalInConstantTime(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
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

HttpAuthenticator::HttpAuthenticator(const AccountBook &accounts, QByteArray realm,
                                     std::function<qint64()> now)
    : m_accounts(accounts), m_realm(std::move(realm)), m_now(std::move(now))
{
    if (!m_now)
        m_now = [] { return QDateTime::currentSecsSinceEpoch(); };
    m_secret.resize(SecretBytes);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_secret.data()),
                                          SecretBytes / sizeof(quint32));
    m_opaque = QCryptographicHash::hash(m_secret + "opaque", QCryptographicHash::Sha256).toHex().left(32);
}

QByteArray HttpAuthenticator::nonceMac(const QByteArray &timeText) const
{
    return QCryptographicHash::hash(m_secret + timeText, QCryptographicHash::Sha256).toHex().left(32);
}

QByteArray HttpAuthenticator::issueNonce() const
{
    const QByteArray timeText = QByteArray::number(m_now(), 16);
    return timeText + '-' + nonceMac(timeText);
}

int HttpAuthenticator::nonceState(const QByteArray &nonce) const
{
    const qsizetype dash = nonce.indexOf('-');
    if (dash <= 0)
        return -1;
    const QByteArray timeText = nonce.left(dash);
    if (!equalInConstantTime(nonce.mid(dash + 1), nonceMac(timeText)))
        return -1;
    bool ok = false;
    const qint64 issued = timeText.toLongLong(&ok, 16);
    if (!ok)
        return -1;
    const qint64 age = m_now() - issued;
    return (age < 0 || age > NonceLifetimeSeconds) ? 1 : 0;
}

HttpAuthenticator::Result HttpAuthenticator::check(const HttpRequest &request) const
{
    const QByteArray authorization = request.header("authorization");
    if (authorization.isEmpty())
        return {Outcome::Missing, {}};
    if (authorization.size() > MaxAuthorizationBytes)
        return {Outcome::Rejected, {}};
    QByteArray credentials;
    const QByteArray scheme = schemeOf(authorization, &credentials);
    if (scheme == "basic")
        return checkBasic(credentials);
    if (scheme == "digest")
        return checkDigest(request, credentials);
    return {Outcome::Rejected, {}};
}

HttpAuthenticator::Result HttpAuthenticator::checkBasic(const QByteArray &credentials) const
{
    const auto decoded = QByteArray::fromBase64Encoding(credentials, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return {Outcome::Rejected, {}};
    const qsizetype colon = decoded.decoded.indexOf(':');
    if (colon < 0)
        return {Outcome::Rejected, {}};
    const QByteArray address = m_accounts.addressForLoginName(decoded.decoded.left(colon));
    const Account *account = m_accounts.find(address);
    if (!account || !equalInConstantTime(account->password, decoded.decoded.mid(colon + 1)))
        return {Outcome::Rejected, {}};
    return {Outcome::Accepted, account->address};
}

HttpAuthenticator::Result HttpAuthenticator::checkDigest(const HttpRequest &request,
                                                         const QByteArray &credentials) const
{
    const QHash<QByteArray, QByteArray> p = ParseDigestParameters(credentials);
    const QByteArray user = p.value("username");
    const QByteArray nonce = p.value("nonce");
    const QByteArray uri = p.value("uri");
    const QByteArray qop = p.value("qop");
    const QByteArray algorithm = p.value("algorithm");
    if (user.isEmpty() || nonce.isEmpty() || p.value("response").isEmpty() || p.value("realm") != m_realm
        || uri != request.rawTarget)
        return {Outcome::Rejected, {}};
    if (!algorithm.isEmpty() && algorithm.toUpper() != "MD5")
        return {Outcome::Rejected, {}};
    if (!qop.isEmpty() && (qop != "auth" || p.value("nc").isEmpty() || p.value("cnonce").isEmpty()))
        return {Outcome::Rejected, {}};
    const Account *account = m_accounts.find(m_accounts.addressForLoginName(user));
    if (!account)
        return {Outcome::Rejected, {}};

    const QByteArray ha1 = md5Hex(user + ':' + m_realm + ':' + account->password);
    const QByteArray ha2 = md5Hex(request.method + ':' + uri);
    const QByteArray expected = qop.isEmpty()
        ? md5Hex(ha1 + ':' + nonce + ':' + ha2)
        : md5Hex(ha1 + ':' + nonce + ':' + p.value("nc") + ':' + p.value("cnonce") + ':' + qop + ':' + ha2);
    if (!equalInConstantTime(expected, p.value("response").toLower()))
        return {Outcome::Rejected, {}};
    // The right password with a nonce this run did not issue (an earlier run
    // of the service) or one that has expired: the client may simply answer
    // a fresh nonce with the same credentials.
    if (nonceState(nonce) != 0)
        return {Outcome::Stale, {}};
    return {Outcome::Accepted, account->address};
}

HttpResponse HttpAuthenticator::challenge(const QByteArray &reason, bool stale) const
{
    HttpResponse response = HttpResponse::failure(401, reason);
    QByteArray digest = "Digest realm=\"" + m_realm + "\", qop=\"auth\", algorithm=MD5, nonce=\""
        + issueNonce() + "\", opaque=\"" + m_opaque + '"';
    if (stale)
        digest += ", stale=true";
    response.addHeader("WWW-Authenticate", digest);
    response.addHeader("WWW-Authenticate", "Basic realm=\"" + m_realm + "\", charset=\"UTF-8\"");
    return response;
}
