#include "CertificateCapture.h"

#include "NetworkCode.h"

#include <QTimeZone>

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>

struct CertificateCapture::Record
{
    ServerCertificate certificate;
    long firstError = X509_V_OK;
};

namespace {

using SharedRecord = std::shared_ptr<CertificateCapture::Record>;

// The TLS library frees what it holds of a record together with its context,
// which may outlive the transfer (a connection kept for reuse).
void releaseRecord(void *, void *held, CRYPTO_EX_DATA *, int, long, void *)
{
    delete static_cast<SharedRecord *>(held);
}

int recordSlot()
{
    static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, releaseRecord);
    return slot;
}

QString nameText(const X509_NAME *name)
{
    BIO *text = BIO_new(BIO_s_mem());
    if (!text)
        return QString();
    X509_NAME_print_ex(text, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *bytes = nullptr;
    const long length = BIO_get_mem_data(text, &bytes);
    const QString result = length > 0 ? QString::fromUtf8(bytes, length) : QString();
    BIO_free(text);
    return result;
}

QDateTime timeOf(const ASN1_TIME *time)
{
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return QDateTime();
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), QTimeZone::utc());
}

ServerCertificate describe(X509 *certificate)
{
    ServerCertificate description;
    description.subject = nameText(X509_get_subject_name(certificate));
    description.issuer = nameText(X509_get_issuer_name(certificate));
    description.validFrom = timeOf(X509_get0_notBefore(certificate));
    description.validUntil = timeOf(X509_get0_notAfter(certificate));
    return description;
}

// Called by the TLS library for every certificate of the chain it checks;
// its verdict is passed on unchanged.
int observeVerification(int verified, X509_STORE_CTX *store)
{
    auto *connection = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    SSL_CTX *context = connection ? SSL_get_SSL_CTX(connection) : nullptr;
    auto *held = context ? static_cast<SharedRecord *>(SSL_CTX_get_ex_data(context, recordSlot())) : nullptr;
    if (!held || !*held)
        return verified;
    CertificateCapture::Record &record = **held;
    if (record.certificate.isNull()) {
        if (X509 *serverCertificate = X509_STORE_CTX_get0_cert(store))
            record.certificate = describe(serverCertificate);
    }
    if (!verified && record.firstError == X509_V_OK)
        record.firstError = X509_STORE_CTX_get_error(store);
    return verified;
}

// libcurl hands over each new TLS context before its handshake.
CURLcode watchContext(CURL *, void *sslContext, void *capture)
{
    auto *context = static_cast<SSL_CTX *>(sslContext);
    const SharedRecord &record = *static_cast<const SharedRecord *>(capture);
    delete static_cast<SharedRecord *>(SSL_CTX_get_ex_data(context, recordSlot()));
    auto *held = new SharedRecord(record);
    if (!SSL_CTX_set_ex_data(context, recordSlot(), held)) {
        delete held;
        return CURLE_OK;
    }
    SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), observeVerification);
    return CURLE_OK;
}

// Only a libcurl built on the OpenSSL this program links hands over
// contexts of this kind.
bool tlsLibraryIsWatchable()
{
    static const bool watchable = [] {
        const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
        return info && info->ssl_version && QByteArray(info->ssl_version).startsWith("OpenSSL/");
    }();
    return watchable;
}

} // namespace

CertificateCapture::CertificateCapture()
    : m_record(std::make_shared<Record>())
{
}

CertificateCapture::~CertificateCapture() = default;

bool CertificateCapture::watch(CURL *handle)
{
    if (!tlsLibraryIsWatchable())
        return false;
    return curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, watchContext) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &m_record) == CURLE_OK;
}

ServerCertificate CertificateCapture::certificate() const
{
    return m_record->certificate;
}

ServerCertificate CertificateCapture::channelCertificate(CURL *handle)
{
    if (!tlsLibraryIsWatchable())
        return ServerCertificate();
    const curl_tlssessioninfo *session = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session
        || session->backend != CURLSSLBACKEND_OPENSSL || !session->internals)
        return ServerCertificate();
    auto *connection = static_cast<SSL *>(session->internals);
    auto *held = static_cast<SharedRecord *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(connection), recordSlot()));
    if (!held || !*held)
        return ServerCertificate();
    // A resumed session skips the verification that describes the
    // certificate; the session still knows it.
    CertificateCapture::Record &record = **held;
    if (record.certificate.isNull()) {
        if (X509 *peer = SSL_get0_peer_certificate(connection))
            record.certificate = describe(peer);
    }
    return record.certificate;
}

long CertificateCapture::verificationError() const
{
    return m_record->firstError;
}

int CertificateCapture::networkCodeForVerification(long verificationError)
{
    switch (verificationError) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return NetworkCode::CertificateDateInvalid;
    // A chain that was trusted and still refused: libcurl's own check of
    // the server's name, made after the handshake.
    case X509_V_OK:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return NetworkCode::CertificateNameInvalid;
    default:
        return NetworkCode::CertificateAuthorityInvalid;
    }
}
