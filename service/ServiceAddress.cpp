#include "ServiceAddress.h"

#include <QList>

namespace {

// A prefix segment stays as it is in every address, so only bytes that need
// no escape are taken.
bool isPlainSegment(const QByteArray &segment)
{
    if (segment.isEmpty() || segment == "." || segment == "..")
        return false;
    for (const char c : segment) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~' || c == ',' || c == '=';
        if (!ok)
            return false;
    }
    return true;
}

bool isUsablePort(const QByteArray &authority)
{
    const qsizetype colon = authority.lastIndexOf(':');
    if (colon < 0 || authority.indexOf(']', colon) >= 0)
        return true; // no port, or the colon belongs to an IPv6 address
    bool ok = false;
    const uint port = authority.mid(colon + 1).toUInt(&ok);
    return ok && port >= 1 && port <= 65535;
}

} // namespace

ServiceAddress::ServiceAddress(QByteArray scheme)
    : m_scheme(std::move(scheme))
{
}

bool ServiceAddress::isPlainHost(const QByteArray &host)
{
    if (host.isEmpty() || host.size() > MaxHostBytes)
        return false;
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
            || c == '-' || c == ':' || c == '[' || c == ']';
        if (!ok)
            return false;
    }
    return true;
}

std::optional<ServiceAddress> ServiceAddress::fromPublicUrl(const QString &url, QString *reason)
{
    const QByteArray text = url.toUtf8();
    const qsizetype schemeEnd = text.indexOf("://");
    const QByteArray scheme = text.left(schemeEnd).toLower();
    if (schemeEnd < 0 || (scheme != "http" && scheme != "https")) {
        *reason = QStringLiteral("it must begin with http:// or https://");
        return std::nullopt;
    }
    const qsizetype pathStart = text.indexOf('/', schemeEnd + 3);
    const QByteArray authority = text.mid(schemeEnd + 3, pathStart < 0 ? -1 : pathStart - schemeEnd - 3);
    if (!isPlainHost(authority) || !isUsablePort(authority) || authority.startsWith(':')) {
        *reason =
            QStringLiteral("\"%1\" is no host name or address with an optional port").arg(QString::fromUtf8(authority));
        return std::nullopt;
    }
    QByteArray prefix;
    const QByteArray path = pathStart < 0 ? QByteArray() : text.mid(pathStart);
    for (const QByteArray &segment : path.split('/')) {
        if (segment.isEmpty())
            continue;
        if (!isPlainSegment(segment)) {
            *reason = QStringLiteral("the path prefix may hold only letters, digits and - . _ ~ , = between slashes, "
                                     "and no query");
            return std::nullopt;
        }
        prefix += '/' + segment;
    }
    if (path.contains("//")) {
        *reason = QStringLiteral("the path prefix has an empty segment");
        return std::nullopt;
    }
    ServiceAddress address(scheme);
    address.m_publicBase = scheme + "://" + authority.toLower() + prefix;
    address.m_pathPrefix = prefix;
    return address;
}

QByteArray ServiceAddress::base(const QByteArray &hostHeader, const QByteArray &defaultHost) const
{
    if (isPublic())
        return m_publicBase;
    const QByteArray host = hostHeader.trimmed();
    return m_scheme + "://" + (isPlainHost(host) ? host : defaultHost);
}

QByteArray ServiceAddress::localPath(const QByteArray &path) const
{
    if (m_pathPrefix.isEmpty() || !path.startsWith(m_pathPrefix))
        return path;
    const QByteArray rest = path.mid(m_pathPrefix.size());
    if (rest.isEmpty())
        return "/";
    return rest.startsWith('/') ? rest : path;
}
