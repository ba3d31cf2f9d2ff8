#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Where the absolute addresses the service writes point. By default at the
// scheme the service itself speaks and the host the client named in its
// Host header; with a public address (the service behind a reverse proxy),
// at that address whatever a request says. A public address may carry a
// path prefix; requests may come with the prefix or with it taken off.
class ServiceAddress
{
public:
    static constexpr qsizetype MaxHostBytes = 255; // a DNS name and a port

    // Addresses follow the Host header, with this scheme ("http" or "https").
    explicit ServiceAddress(QByteArray scheme = "http");
    // "scheme://host[:port][/prefix]"; nullopt with *reason when unusable.
    static std::optional<ServiceAddress> fromPublicUrl(const QString &url, QString *reason);

    // "scheme://host[:port][/prefix]" without a final "/", for a request
    // with this Host header (defaultHost when it has none that is usable).
    QByteArray base(const QByteArray &hostHeader, const QByteArray &defaultHost) const;
    // The path with the public prefix taken off, when it begins with it.
    QByteArray localPath(const QByteArray &path) const;
    const QByteArray &pathPrefix() const { return m_pathPrefix; }
    bool isPublic() const { return !m_publicBase.isEmpty(); }

    // Plain host names, IP addresses and ports only: a Host header's value
    // ends up inside addresses, stylesheets and XPath literals.
    static bool isPlainHost(const QByteArray &host);

private:
    QByteArray m_scheme;
    QByteArray m_publicBase; // empty: follow the Host header
    QByteArray m_pathPrefix; // empty or "/a/b"
};
