#include "CertificateTrust.h"

#include <QFile>

namespace {

const QByteArray PemCertificateBegin = "-----BEGIN CERTIFICATE-----";

// The system's store as the TLS library's own conventions name it.
struct SystemStore
{
    QByteArray file;
    QByteArray folder;
};

SystemStore systemStore()
{
    static const SystemStore store = [] {
        SystemStore found;
        if (CURL *probe = curl_easy_init()) {
            char *path = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path)
                found.file = path;
            path = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &path) == CURLE_OK && path)
                found.folder = path;
            curl_easy_cleanup(probe);
        }
        if (qEnvironmentVariableIsSet("SSL_CERT_FILE"))
            found.file = qgetenv("SSL_CERT_FILE");
        if (qEnvironmentVariableIsSet("SSL_CERT_DIR"))
            found.folder = qgetenv("SSL_CERT_DIR");
        return found;
    }();
    return store;
}

// A null text leaves libcurl without that option; an empty one would name
// no file at all.
const char *optionText(const QByteArray &text)
{
    return text.isEmpty() ? nullptr : text.constData();
}

QByteArray readBundle(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly) && file.size() <= CertificateTrust::MaxBundleBytes;
    if (!*ok)
        return QByteArray();
    const QByteArray content = file.read(CertificateTrust::MaxBundleBytes);
    *ok = file.error() == QFileDevice::NoError;
    return content;
}

} // namespace

CertificateTrust::Outcome CertificateTrust::trustAlso(const QString &pemFile)
{
    ++m_generation;
    m_authorities.clear();
    m_extraFile = QFile::encodeName(pemFile);
    m_extraUnusable = false;
    if (pemFile.isEmpty())
        return Outcome::Trusted;

    bool readable = false;
    const QByteArray extra = readBundle(pemFile, &readable);
    if (!readable || !extra.contains(PemCertificateBegin)) {
        m_extraUnusable = true;
        return readable ? Outcome::NoCertificate : Outcome::Unreadable;
    }
    // One bundle: the system's authorities and the extra ones. (A bundle in
    // memory replaces the system's file, not its folder.)
    m_authorities = systemBundle();
    if (!m_authorities.isEmpty() && !m_authorities.endsWith('\n'))
        m_authorities += '\n';
    m_authorities += extra;
    return Outcome::Trusted;
}

void CertificateTrust::applyTo(CURL *handle, int &appliedGeneration) const
{
    if (appliedGeneration == m_generation)
        return;
    appliedGeneration = m_generation;
    const SystemStore store = systemStore();
    curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, static_cast<curl_blob *>(nullptr));
    curl_easy_setopt(handle, CURLOPT_CAPATH, optionText(store.folder));
    if (m_extraUnusable) {
        // Names the file that cannot be used: every handshake fails, and says so.
        curl_easy_setopt(handle, CURLOPT_CAINFO, m_extraFile.constData());
        return;
    }
    if (m_authorities.isEmpty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, optionText(store.file));
        return;
    }
    curl_blob bundle{const_cast<char *>(m_authorities.constData()), size_t(m_authorities.size()), CURL_BLOB_COPY};
    curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &bundle);
}

QByteArray CertificateTrust::systemBundle() const
{
    const QByteArray file = systemStore().file;
    if (file.isEmpty())
        return QByteArray();
    bool readable = false;
    return readBundle(QFile::decodeName(file), &readable);
}
