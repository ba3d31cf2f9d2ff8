#include "TlsCredentials.h"

#include <QFile>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>

namespace {

bool readPem(const QString &path, QByteArray *pem, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *pem = file.read(TlsCredentials::MaxPemFileBytes + 1);
    if (pem->size() > TlsCredentials::MaxPemFileBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes; it should hold PEM text").arg(path).arg(TlsCredentials::MaxPemFileBytes);
        return false;
    }
    return true;
}

gnutls_datum_t datumOf(const QByteArray &bytes)
{
    return {reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.constData())), unsigned(bytes.size())};
}

QString gnutlsError(int code)
{
    return QString::fromUtf8(gnutls_strerror(code));
}

bool isOnlyOwnerReadable(const QString &path, QString *error)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    if (info.st_mode & (S_IRGRP | S_IROTH)) {
        *error = QStringLiteral("%1 can be read by others than its owner (mode %2); allow its owner alone "
                                "(chmod 600 %1)")
                     .arg(path)
                     .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}

bool isCertificate(const QByteArray &pem)
{
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) < 0)
        return false;
    const gnutls_datum_t data = datumOf(pem);
    const bool ok = gnutls_x509_crt_import(certificate, &data, GNUTLS_X509_FMT_PEM) >= 0;
    gnutls_x509_crt_deinit(certificate);
    return ok;
}

int importKey(const QByteArray &pem)
{
    gnutls_x509_privkey_t key = nullptr;
    if (gnutls_x509_privkey_init(&key) < 0)
        return GNUTLS_E_MEMORY_ERROR;
    const gnutls_datum_t data = datumOf(pem);
    const int result = gnutls_x509_privkey_import2(key, &data, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_x509_privkey_deinit(key);
    return result;
}

// 0 when the key belongs to the certificate, else the library's error.
int pairUp(const QByteArray &certificatePem, const QByteArray &keyPem)
{
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0)
        return GNUTLS_E_MEMORY_ERROR;
    const gnutls_datum_t certificate = datumOf(certificatePem);
    const gnutls_datum_t key = datumOf(keyPem);
    const int result =
        gnutls_certificate_set_x509_key_mem2(credentials, &certificate, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_certificate_free_credentials(credentials);
    return result < 0 ? result : 0;
}

} // namespace

std::optional<TlsCredentials> TlsCredentials::load(const QString &certificateFile, const QString &keyFile,
                                                    QString *error)
{
    TlsCredentials loaded;
    if (!isOnlyOwnerReadable(keyFile, error) || !readPem(keyFile, &loaded.m_keyPem, error)
        || !readPem(certificateFile, &loaded.m_certificatePem, error))
        return std::nullopt;
    if (!isCertificate(loaded.m_certificatePem)) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certificateFile);
        return std::nullopt;
    }
    const int keyResult = importKey(loaded.m_keyPem);
    if (keyResult < 0) {
        *error = QStringLiteral("%1 holds no usable PEM private key (%2); a key protected by a passphrase cannot be "
                                "used, as the service asks no one for it")
                     .arg(keyFile, gnutlsError(keyResult));
        return std::nullopt;
    }
    const int pairResult = pairUp(loaded.m_certificatePem, loaded.m_keyPem);
    if (pairResult == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
        *error = QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(keyFile, certificateFile);
        return std::nullopt;
    }
    if (pairResult < 0) {
        *error = QStringLiteral("cannot use %1 with %2: %3").arg(certificateFile, keyFile, gnutlsError(pairResult));
        return std::nullopt;
    }
    return loaded;
}
