#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The certificate and private key the service serves HTTPS with, read from
// their files and checked before the server starts: a key file others than
// its owner (and the user the service runs as, through an access control
// list) can read is refused (the key is as good as published), and so is a
// key that does not belong to the certificate.
class TlsCredentials
{
public:
    static constexpr qint64 MaxPemFileBytes = 1024 * 1024; // a certificate chain of a few certificates fits easily

    // nullopt with *error saying which file and what is wrong with it.
    static std::optional<TlsCredentials> load(const QString &certificateFile, const QString &keyFile, QString *error);

    // Both in PEM.
    const QByteArray &certificatePem() const { return m_certificatePem; }
    const QByteArray &keyPem() const { return m_keyPem; }

private:
    QByteArray m_certificatePem;
    QByteArray m_keyPem;
};
