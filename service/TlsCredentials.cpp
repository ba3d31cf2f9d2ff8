#include "TlsCredentials.h"

#include <QFile>
#include <QtEndian>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/xattr.h>
#endif

namespace {

#ifdef Q_OS_LINUX
// A file's POSIX access control list as the kernel keeps it in an extended
// attribute: a version word, then entries of tag, permissions and id, all
// little-endian.
constexpr char AclAttribute[] = "system.posix_acl_access";
constexpr quint32 AclVersion = 2;
constexpr qsizetype AclHeaderBytes = 4;
constexpr qsizetype AclEntryBytes = 8;
constexpr qsizetype MaxAclBytes = AclHeaderBytes + 1024 * AclEntryBytes; // far more entries than any file has
enum AclTag : quint16 { AclUser = 0x02, AclGroupObject = 0x04, AclGroup = 0x08, AclMask = 0x10, AclOther = 0x20 };
constexpr quint16 AclRead = 0x04;
#endif

bool readPem(const QString &path, QByteArray *pem, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *pem = file.read(TlsCredentials::MaxPemFileBytes + 1);
    if (pem->size() > TlsCredentials::MaxPemFileBytes) {
        *error = QStringLiteral("%1 is larger than %2 bytes; it should hold PEM text")
                     .arg(path)
                     .arg(TlsCredentials::MaxPemFileBytes);
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

// Whether the file's access control list lets anyone read it but its owner
// and the user the service runs as; nullopt when the file has none. With a
// list, the group bits of the mode are the list's mask, not what the group
// may do: a key that systemd hands the service as a credential is 0400 with
// a read entry for the service's user, and its mode reads 0440.
#ifdef Q_OS_LINUX
std::optional<bool> aclLetsOthersRead(const QByteArray &path)
{
    QByteArray acl(MaxAclBytes, '\0');
    const ssize_t size = ::getxattr(path.constData(), AclAttribute, acl.data(), size_t(acl.size()));
    if (size < 0)
        return std::nullopt; // no list, or a file system without them: the mode tells
    const auto *bytes = reinterpret_cast<const uchar *>(acl.constData());
    if (size < AclHeaderBytes || (size - AclHeaderBytes) % AclEntryBytes != 0
        || qFromLittleEndian<quint32>(bytes) != AclVersion)
        return true; // a list that cannot be read is taken for the worst
    quint16 mask = 07;
    for (qsizetype at = AclHeaderBytes; at < size; at += AclEntryBytes) {
        if (qFromLittleEndian<quint16>(bytes + at) == AclMask)
            mask = qFromLittleEndian<quint16>(bytes + at + 2);
    }
    for (qsizetype at = AclHeaderBytes; at < size; at += AclEntryBytes) {
        const quint16 tag = qFromLittleEndian<quint16>(bytes + at);
        const quint16 permissions = qFromLittleEndian<quint16>(bytes + at + 2);
        const quint32 id = qFromLittleEndian<quint32>(bytes + at + 4);
        const bool reads = permissions & (tag == AclOther ? 07 : mask) & AclRead;
        if (!reads)
            continue;
        if ((tag == AclUser && id != ::geteuid()) || tag == AclGroupObject || tag == AclGroup || tag == AclOther)
            return true;
    }
    return false;
}
#endif

bool isOnlyOwnerReadable(const QString &path, QString *error)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
#ifdef Q_OS_LINUX
    const std::optional<bool> listed = aclLetsOthersRead(QFile::encodeName(path));
#else
    const std::optional<bool> listed; // the access lists of other systems are not looked at
#endif
    if (listed.value_or(false)) {
        *error = QStringLiteral("%1 can be read by others than its owner (its access control list lets them); allow "
                                "its owner alone (setfacl -b %1; chmod 600 %1)")
                     .arg(path);
        return false;
    }
    if (!listed && (info.st_mode & (S_IRGRP | S_IROTH))) {
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
