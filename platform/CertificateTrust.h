#pragma once

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

// The certificate authorities a secure channel is verified against: the
// system's store, plus, when one is given, a PEM file of further authorities
// (for a service whose certificate comes from a private authority).
// Verification is never switched off.
//
// The system's store is the file and folder the TLS library trusts by default,
// or those named by SSL_CERT_FILE and SSL_CERT_DIR when they are set, as the
// system's TLS library itself honours them.
class CertificateTrust
{
public:
    // More than any bundle of authorities holds; a larger file is refused
    // rather than read into every connection.
    static constexpr qint64 MaxBundleBytes = 8 * 1024 * 1024;

    enum class Outcome { Trusted, Unreadable, NoCertificate };

    // Adds the authorities of the PEM file to the system's store for the
    // handles set up from now on; an empty path leaves the system's store
    // alone. A file that cannot be read or holds no certificate makes every
    // secure channel fail, so that a service is never trusted other than as
    // configured.
    Outcome trustAlso(const QString &pemFile);

    // Sets the handle's authorities when they changed since it was last set
    // up; appliedGeneration is the handle's record of that.
    void applyTo(CURL *handle, int &appliedGeneration) const;

private:
    QByteArray systemBundle() const;

    int m_generation = 0;
    QByteArray m_extraFile;   // as given, for a file that could not be used
    QByteArray m_authorities; // the system's bundle and the extra ones, PEM
    bool m_extraUnusable = false;
};
