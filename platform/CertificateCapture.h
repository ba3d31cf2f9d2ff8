#pragma once

#include <QDateTime>
#include <QString>

#include <curl/curl.h>

#include <memory>

// What a server's certificate says of itself: enough for a user to see which
// certificate a service presented and why it was not trusted.
struct ServerCertificate
{
    QString subject;
    QString issuer;
    QDateTime validFrom;  // UTC
    QDateTime validUntil; // UTC

    bool isNull() const { return subject.isEmpty() && issuer.isEmpty(); }
};

// Watches the TLS handshakes of one transfer: keeps the certificate the
// server presented and the first verification failure, whether or not the
// handshake went through. It observes only: the verdict on the certificate
// stays the TLS library's.
//
// The watch outlives the transfer safely: what the TLS library calls back
// into is owned jointly with the library's own context and freed with it.
class CertificateCapture
{
public:
    CertificateCapture();
    ~CertificateCapture();

    // Arranges for the handle's next handshakes to be reported here. Returns
    // false when the TLS library is not one that can be watched; requests go
    // out all the same, only without certificate details.
    bool watch(CURL *handle);

    ServerCertificate certificate() const;
    // The certificate of the secure channel the handle's transfer runs on
    // right now, a channel kept from an earlier transfer or resumed from an
    // earlier session included; null over plain HTTP or when the channel
    // cannot be watched. Described once per channel.
    static ServerCertificate channelCertificate(CURL *handle);
    // The TLS library's first verification error (0 when none was seen).
    long verificationError() const;

    // The network code of a certificate that failed verification, from the
    // verification error libcurl reports: its dates, its name, or else its
    // authority.
    static int networkCodeForVerification(long verificationError);

    struct Record;

private:
    std::shared_ptr<Record> m_record;
};
